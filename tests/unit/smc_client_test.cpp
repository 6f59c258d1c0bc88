#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "daemon/smc/smc_types.h"
#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Record = sim::SmcKeyStore::Record;

const std::string kInvalidDest = "(ipc/send) invalid destination port";
const std::string kGeneralError = "(iokit/common) general error";

TEST(SmcRecords, EveryTypeCodeDecodesAsItsTableSays) {
    struct Case {
        std::string type;
        Bytes bytes;
        std::optional<double> expected;
    };
    const auto flt = daemon::floatBytes(1234.5f);
    const Case cases[] = {
        {"ui8 ", {0xFE, 0x01}, 254.0},
        {"ui16", {0x12, 0x34}, 0x1234},
        {"ui32", {0x12, 0x34, 0x56, 0x78}, 0x12345678},
        {"sp1e", {0x40, 0x00}, 1.0},
        {"sp3c", {0x10, 0x00}, 1.0},
        {"sp5b", {0x08, 0x00}, 1.0},
        {"sp5a", {0x04, 0x00}, 1.0},
        {"sp669", {0x02, 0x00}, 1.0},
        {"sp78", {0x19, 0x80}, 25.5},
        {"sp78", {0xFF, 0x00}, 255.0},  // unsigned, not -1
        {"sp87", {0x00, 0x80}, 1.0},
        {"sp96", {0x00, 0x40}, 1.0},
        {"spb4", {0x00, 0x10}, 1.0},
        {"spf0", {0x01, 0x02}, 258.0},
        {"flt ", {flt[0], flt[1], flt[2], flt[3]}, 1234.5},
        {"fpe2", {0x1F, 0x43}, 2000.0},  // the fraction bits are dropped
        {"fp2e", {0x1F, 0x40}, std::nullopt},
        {"{fds", {0x1F, 0x40}, std::nullopt},
        {"sp69", {0x02, 0x00}, std::nullopt},  // a four-character look-alike is no code
        {"UI8 ", {0x01}, std::nullopt},
        {"", {0x01}, std::nullopt},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 32> bytes{};
        std::copy(c.bytes.begin(), c.bytes.end(), bytes.begin());
        EXPECT_EQ(daemon::decodeNumeric(c.type, bytes), c.expected) << "type \"" << c.type << "\"";
    }
}

// Everything zero but the key, the command and what the call names.
Record sent(std::uint32_t key, std::uint8_t command, std::uint8_t size = 0, std::uint32_t index = 0) {
    Record r{};
    std::memcpy(r.data(), &key, 4);
    r[28] = size;
    r[42] = command;
    std::memcpy(r.data() + 44, &index, 4);
    return r;
}

TEST_F(OpenSmcTest, RequestRecordsAreExactToTheByte) {
    daemon::SMCVal_t value{"FS! "};
    ASSERT_EQ(smc.read(value), 0);
    daemon::SMCVal_t toWrite{"CH0B"};
    toWrite.dataType = "ui8 ";  // never sent
    toWrite.dataSize = 1;
    toWrite.bytes[0] = 2;
    toWrite.bytes[31] = 0xAA;
    ASSERT_EQ(smc.write(toWrite), 0);
    Record write = sent(daemon::keyToCode("CH0B"), 6, 1);
    write[48] = 2;
    write[79] = 0xAA;  // all 32 value bytes go out
    EXPECT_EQ(store.requests(), (std::vector<Record>{sent(0x46532120, 9), sent(0x46532120, 5, 2), write}));

    // One index request per counted key.
    store.clearHistory();
    const auto keys = smc.getAllKeys();
    EXPECT_EQ(keys, store.keys());
    const auto requests = store.requests();
    ASSERT_EQ(requests.size(), keys.size() + 2);  // after the two steps reading "#KEY"
    for (std::uint32_t i = 0; i < keys.size(); ++i) EXPECT_EQ(requests[i + 2], sent(0, 8, 0, i)) << i;

    store.removeKey("#KEY");
    EXPECT_TRUE(smc.getAllKeys().empty());
    EXPECT_TRUE(log.contains("ERROR no keys count found"));
}

TEST_F(SmcTest, OpenFailuresAreLoggedWithTheFailingStepAndReturnOne) {
    struct Case {
        void (*arrange)(sim::SimSmcDriver&);
        std::string line;
    };
    const Case cases[] = {
        {[](sim::SimSmcDriver& d) { d.setServicePresent(false); }, "Error IOIteratorNext(): (os/kern) successful"},
        {[](sim::SimSmcDriver& d) { d.failGetMatchingServices(kDriverNotFound); },
         "Error IOServiceGetMatchingServices(): (iokit/common) data was not found"},
        {[](sim::SimSmcDriver& d) { d.failServiceOpen(static_cast<KernReturn>(0xe00002c1)); },
         "Error IOServiceOpen(): (iokit/common) privilege violation"},
    };
    for (const auto& c : cases) {
        sim::SimSmcDriver seam{store};
        c.arrange(seam);
        daemon::SMC client{seam, log};
        EXPECT_EQ(client.open(), 1) << c.line;
        EXPECT_EQ(client.conn(), 0u);
        EXPECT_TRUE(log.contains(c.line)) << c.line;
    }
}

TEST_F(SmcTest, OneConnectionIsHeldAtATimeAndCallsWithoutItFail) {
    EXPECT_FALSE(smc.isChargeKeyReadable());
    EXPECT_TRUE(log.contains("Error read fan value: " + kInvalidDest));
    ASSERT_EQ(smc.open(), 0);
    const IoConnect first = smc.conn();
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.conn(), first);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    EXPECT_TRUE(smc.isChargeKeyReadable());
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(smc.close(), kMachSendInvalidDest);
    daemon::SMCVal_t value{"CH0B"};
    value.dataSize = 1;
    EXPECT_EQ(smc.write(value), kMachSendInvalidDest);
    EXPECT_TRUE(store.writes().empty());
}

TEST_F(OpenSmcTest, ReadFillsSizeTypeAndBytesAndRefusesKeysThatAreNotFourBytes) {
    store.addKey("TEST", "ui16", {0x12, 0x34});
    daemon::SMCVal_t value{"TEST"};
    value.bytes[5] = 0x55;  // beyond the size: left alone
    ASSERT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 2u);
    EXPECT_EQ(value.dataType, "ui16");
    EXPECT_EQ(Bytes(value.bytes.begin(), value.bytes.begin() + 6), (Bytes{0x12, 0x34, 0, 0, 0, 0x55}));
    daemon::SMCVal_t unknown{"NONE"};  // answered by the controller, not refused by the kernel
    EXPECT_EQ(smc.read(unknown), 0);
    EXPECT_EQ(unknown.dataSize, 0u);

    store.clearHistory();
    for (const std::string key : {"", "CH0", "CH0BX", "é12"}) {
        daemon::SMCVal_t bad{key};
        bad.dataSize = 1;
        EXPECT_EQ(smc.read(bad), kDriverBadArgument) << key;
        EXPECT_EQ(smc.write(bad), kDriverBadArgument) << key;
    }
    EXPECT_TRUE(store.requests().empty());
}

TEST_F(OpenSmcTest, GettersDecodeByTypeAndAnswerNothingForWhatTheyCannotRead) {
    store.addKey("TZER", "ui16", {0x00, 0x00});
    store.addKey("HEXK", "hex_", {0x07});
    store.addKey("F1ID", "{fds", {0, 0, 0, 0, 0xA0, '\t', 'L', 'e', 'f', 't', 0, ' ', ' ', ' ', ' ', ' '});
    // Zero is nothing, except for the fan mask and the mode keys.
    EXPECT_EQ(smc.getValue("FS! "), 0.0);
    EXPECT_EQ(smc.getValue("TZER"), std::nullopt);
    EXPECT_EQ(smc.getValue("TC0P"), 40.0);
    EXPECT_EQ(smc.getValue("NONE"), std::nullopt);
    // Blanks, no-break spaces included, are trimmed; NUL characters are not.
    EXPECT_EQ(smc.getStringValue("F1ID"), std::string("Left\0", 5));
    EXPECT_EQ(smc.getUInt8Value("HEXK"), 7);
    EXPECT_EQ(smc.getUInt8Value("FS! "), std::nullopt);  // two bytes
    EXPECT_EQ(smc.getUInt8Value("NONE"), std::nullopt);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"intValue 7"});
    store.failNextRead("HEXK", kDriverError);
    EXPECT_EQ(smc.getUInt8Value("HEXK"), std::nullopt);
    EXPECT_TRUE(log.contains("Error read fan value: " + kGeneralError));
}

TEST_F(OpenSmcTest, OneByteWritesKeepToTheKeysFormAndRefuseWhatCannotFit) {
    store.addKey("HEXK", "hex_", {0x00});
    store.addKey("WIDE", "ui32", {0x01, 0x02, 0x03, 0x04});
    smc.setUInt8Value("HEXK", 2);
    EXPECT_EQ(valueOf("HEXK"), Bytes{2});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"设置电池状态数值 2", "bytes 2"}));
    smc.setUInt8Value("WIDE", 9);  // another type: written back as read
    EXPECT_EQ(valueOf("WIDE"), (Bytes{1, 2, 3, 4}));

    const auto writes = store.writes().size();
    smc.setUInt8Value("HEXK", 256);
    smc.setUInt8Value("HEXK", -1);
    store.failNextRead("HEXK", kDriverError);
    smc.setUInt8Value("HEXK", 1);
    EXPECT_EQ(store.writes().size(), writes);
    store.failNextWrite("HEXK", kDriverError);
    smc.setUInt8Value("HEXK", 1);
    EXPECT_TRUE(log.contains("Error write: " + kGeneralError));
    EXPECT_EQ(valueOf("HEXK"), Bytes{2});
}

// Oversized values and texts outside ASCII from the driver are the fuzz target smc_replies'.
TEST_F(SmcTest, TheDestructorClosesTheConnectionAndANeverOpenedClientLogsItsClose) {
    {
        daemon::SMC client{driver, log};
        ASSERT_EQ(client.open(), 0);
    }
    EXPECT_EQ(driver.openConnectionCount(), 0u);
    EXPECT_TRUE(log.lines().empty());
    { daemon::SMC neverOpened{driver, log}; }
    EXPECT_TRUE(log.contains("error close smc connection: " + kInvalidDest));
}

// --- Fans ---

class FanTest : public OpenSmcTest {
protected:
    void setMask(std::uint8_t mask) { store.setValue("FS! ", {0, mask}); }
    std::size_t writesTo(const std::string& key) const {
        std::size_t n = 0;
        for (const auto& w : store.writes()) n += w.key == key;
        return n;
    }
};

TEST_F(FanTest, ModeChangesSetTheModeKeyAndFollowTheMaskTable) {
    struct Case {
        std::uint8_t current;
        int fan;
        daemon::FanMode mode;
        std::uint8_t expected;
    };
    const auto f = daemon::FanMode::forced, a = daemon::FanMode::automatic;
    const Case cases[] = {
        {0, 0, f, 1},
        {0, 0, a, 0},
        {0, 1, f, 2},
        {0, 1, a, 0},
        {1, 0, f, 1},
        {1, 0, a, 0},
        {1, 1, f, 3},
        {1, 1, a, 1},
        {2, 0, f, 3},
        {2, 0, a, 2},
        {2, 1, f, 2},
        {2, 1, a, 0},
        {3, 0, f, 3},
        {3, 0, a, 2},
        {3, 1, f, 3},
        {3, 1, a, 1},
        // Fans or masks beyond two fans hand every fan back to the system; a third fan's mode is left.
        {0, 2, f, 0},
        {3, 2, f, 0},
        {5, 0, f, 0},
        {4, 1, a, 0},
    };
    store.addKey("F2Md", "ui8 ", {0});
    for (const auto& c : cases) {
        setMask(c.current);
        store.clearHistory();
        smc.setFanMode(c.fan, c.mode);
        const std::string label = "mask " + std::to_string(c.current) + " fan " + std::to_string(c.fan);
        const Bytes mode{static_cast<std::uint8_t>(c.fan < 2 ? c.mode : daemon::FanMode::automatic)};
        EXPECT_EQ(valueOf("F" + std::to_string(c.fan) + "Md"), mode) << label;
        EXPECT_EQ(valueOf("FS! "), (Bytes{0, c.expected})) << label;
        EXPECT_EQ(writesTo("FS! "), c.current == c.expected ? 0u : 1u) << label;  // an unchanged mask is not written
    }
}

TEST_F(FanTest, SpeedIsWrittenInTheTargetKeysOwnFormUpToTheMaximum) {
    struct Case {
        const char* type;
        Bytes initial;
        int speed;
        Bytes expected;
    };
    const Case cases[] = {
        {"fpe2", {0, 0}, 2000, {0x1F, 0x40}},
        {"flt ", {0, 0, 0, 0}, 2000, {0x00, 0x00, 0xFA, 0x44}},
        {"ui16", {0xAB, 0xCD}, 2000, {0xAB, 0xCD}},              // another type: written back as read
        {"flt ", {0, 0, 0, 0}, 4500, {0x00, 0xA0, 0x8C, 0x45}},  // the maximum itself
        {"flt ", {0, 0, 0, 0}, 4501, {0, 0, 0, 0}},
        {"fpe2", {0, 0}, -4, {0, 0}},  // fpe2 holds no negative speed
    };
    store.addKey("F0Mx", "flt ", {0x00, 0xA0, 0x8C, 0x45});  // 4500.0
    for (const auto& c : cases) {
        store.addKey("F0Tg", c.type, c.initial);
        smc.setFanSpeed(0, c.speed);
        EXPECT_EQ(valueOf("F0Tg"), c.expected) << c.type << " " << c.speed;
    }
    EXPECT_TRUE(log.contains("new fan speed (4501) is more than maximum speed (4500)"));
}

}  // namespace
}  // namespace wattkeeper::testkit
