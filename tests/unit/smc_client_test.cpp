#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testing {
namespace {

const std::string kInvalidDest = "(ipc/send) invalid destination port";

TEST_F(SmcTest, OpenFailuresAreLoggedWithTheFailingStepAndReturnOne) {
    struct Case {
        const char* name;
        void (*arrange)(sim::SimSmcDriver&);
        std::string line;
    };
    const Case cases[] = {
        {"no service", [](sim::SimSmcDriver& d) { d.setServicePresent(false); },
         "Error IOIteratorNext(): (os/kern) successful"},
        {"lookup fails", [](sim::SimSmcDriver& d) { d.failGetMatchingServices(kIOReturnNotFound); },
         "Error IOServiceGetMatchingServices(): (iokit/common) data was not found"},
        {"open refused", [](sim::SimSmcDriver& d) { d.failServiceOpen(static_cast<KernReturn>(0xe00002c1)); },
         "Error IOServiceOpen(): (iokit/common) privilege violation"},
    };
    for (const auto& c : cases) {
        sim::SmcKeyStore keys = sim::SmcKeyStore::macBook();
        sim::SimSmcDriver seam{keys};
        c.arrange(seam);
        log.clear();
        SMC client{seam, log};
        EXPECT_EQ(client.open(), 1) << c.name;
        EXPECT_EQ(client.conn(), 0u) << c.name;
        EXPECT_TRUE(logged(c.line)) << c.name;
        EXPECT_EQ(seam.openConnectionCount(), 0u) << c.name;
    }
}

TEST_F(SmcTest, OpeningTwiceKeepsOneConnectionAndClosingTwiceGivesTheHandleBackOnce) {
    ASSERT_EQ(smc.open(), 0);
    const IoConnect first = smc.conn();
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.conn(), first);
    EXPECT_EQ(driver.openConnectionCount(), 1u);
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(smc.close(), kMachSendInvalidDest);
}

TEST_F(SmcTest, EveryCallFailsBeforeOpenAndAfterClose) {
    EXPECT_FALSE(smc.isChargeKeyReadable());
    EXPECT_TRUE(logged("Error read fan value: " + kInvalidDest));

    ASSERT_EQ(smc.open(), 0);
    EXPECT_TRUE(smc.isChargeKeyReadable());
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(smc.conn(), 0u);
    log.clear();
    EXPECT_FALSE(smc.isChargeKeyReadable());
    EXPECT_TRUE(logged("Error read fan value: " + kInvalidDest));
    SMCVal_t value{"CH0B"};
    value.dataSize = 1;
    EXPECT_EQ(smc.write(value), kMachSendInvalidDest);
}

TEST_F(OpenSmcTest, ReadFillsSizeTypeAndBytesAndKeepsThemOnAFailedSecondStep) {
    store.addKey("TEST", "ui16", {0x12, 0x34});
    SMCVal_t value{"TEST"};
    value.bytes[5] = 0x55;  // beyond the size: left alone
    ASSERT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 2u);
    EXPECT_EQ(value.dataType, "ui16");
    EXPECT_EQ(value.bytes[0], 0x12);
    EXPECT_EQ(value.bytes[1], 0x34);
    EXPECT_EQ(value.bytes[5], 0x55);

    // An unknown key is answered by the controller, not refused by the kernel.
    SMCVal_t unknown{"NONE"};
    EXPECT_EQ(smc.read(unknown), 0);
    EXPECT_EQ(unknown.dataSize, 0u);
}

TEST_F(OpenSmcTest, KeysThatAreNotFourCharactersAreRefusedWithoutADriverCall) {
    for (const std::string key : {"", "CH0", "CH0BX", "F10Md", "é12", "\xFF\xFF\xFF\xFF"}) {
        store.clearHistory();
        log.clear();
        SMCVal_t value{key};
        value.dataSize = 1;
        EXPECT_EQ(smc.read(value), kIOReturnBadArgument) << key;
        EXPECT_EQ(smc.write(value), kIOReturnBadArgument) << key;
        EXPECT_TRUE(store.requests().empty()) << key;
        EXPECT_EQ(log.lines().size(), 2u) << key;
    }
}

TEST_F(OpenSmcTest, GetValueDecodesByTypeAndTreatsZeroAsNothingExceptForFanMasks) {
    store.addKey("FS! ", "ui16", {0x00, 0x00});
    store.addKey("F0Md", "ui8 ", {0x00});
    store.addKey("TZER", "ui16", {0x00, 0x00});
    store.addKey("TC0P", "sp78", {0x28, 0x00});
    store.addKey("TFPE", "fp2e", {0x12, 0x00});
    store.addKey("TEMP", "ui8 ", {});  // size 0
    struct Case {
        const char* key;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"FS! ", 0.0}, {"F0Md", 0.0}, {"TZER", std::nullopt}, {"TC0P", 40.0},
        {"TFPE", std::nullopt}, {"NONE", std::nullopt}, {"TEMP", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(smc.getValue(c.key), c.expected) << c.key;
    EXPECT_TRUE(log.lines().empty());

    store.failNextRead("TC0P", kIOReturnError);
    EXPECT_EQ(smc.getValue("TC0P"), std::nullopt);
    EXPECT_TRUE(logged("Error read(TC0P): (iokit/common) general error"));
}

TEST_F(OpenSmcTest, GetStringValueReadsOnlyFanDescriptorsTrimmed) {
    std::vector<std::uint8_t> fds(16, 0);
    const char name[] = "\t Left side  ";  // 12 characters after the 4-byte header
    std::memcpy(fds.data() + 4, name, 12);
    store.addKey("F0ID", "{fds", fds);
    std::vector<std::uint8_t> nbsp(16, 0);
    nbsp[4] = 0xA0;
    nbsp[5] = 'R';
    nbsp[6] = 0xA0;
    store.addKey("F1ID", "{fds", nbsp);
    EXPECT_EQ(smc.getStringValue("F0ID"), "Left side");
    // No-break spaces are blanks too; NUL characters are not, so they stay.
    EXPECT_EQ(smc.getStringValue("F1ID"), std::string("R\u00A0") + std::string(9, '\0'));

    EXPECT_EQ(smc.getStringValue("CH0I"), std::nullopt);  // all zero: nothing, silently
    store.setValue("CH0I", {1});
    EXPECT_EQ(smc.getStringValue("CH0I"), std::nullopt);
    EXPECT_TRUE(logged("unsupported data type ui8  for key: CH0I"));
    store.failNextRead("F0ID", kIOReturnError);
    EXPECT_EQ(smc.getStringValue("F0ID"), std::nullopt);
    EXPECT_TRUE(logged("Error read(): (iokit/common) general error"));
}

TEST(SmcEnumeration, IssuesOneIndexRequestPerCountedKey) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store;
    store.addKey("CH0B", "ui8 ", {0});
    store.addKey("CH0C", "ui8 ", {0});  // with "#KEY", three keys
    sim::SimSmcDriver driver{store};
    SMC smc{driver, log};
    ASSERT_EQ(smc.open(), 0);
    store.clearHistory();
    EXPECT_EQ(smc.getAllKeys(), (std::vector<std::string>{"#KEY", "CH0B", "CH0C"}));
    std::size_t indexRequests = 0;
    for (const auto& r : store.requests()) indexRequests += r[42] == 8;
    EXPECT_EQ(indexRequests, 3u);

    store.removeKey("#KEY");
    EXPECT_TRUE(smc.getAllKeys().empty());
    EXPECT_TRUE(log.contains("ERROR no keys count found"));
}

TEST_F(OpenSmcTest, OneByteGetterAnswersOnlyForOneByteTypes) {
    store.addKey("HEXK", "hex_", {0x07});
    store.addKey("WIDE", "ui16", {0x00, 0x07});
    EXPECT_EQ(smc.getUInt8Value("HEXK"), 7);
    EXPECT_TRUE(logged("intValue 7"));
    log.clear();
    EXPECT_EQ(smc.getUInt8Value("WIDE"), std::nullopt);
    EXPECT_EQ(smc.getUInt8Value("NONE"), std::nullopt);  // no type at all
    EXPECT_TRUE(log.lines().empty());
    store.failNextRead("HEXK", kIOReturnError);
    EXPECT_EQ(smc.getUInt8Value("HEXK"), std::nullopt);
    EXPECT_TRUE(logged("Error read fan value: (iokit/common) general error"));
}

TEST_F(OpenSmcTest, OneByteSetterWritesByTheKeysTypeAndRefusesWhatCannotFit) {
    store.addKey("HEXK", "hex_", {0x00});
    store.addKey("WIDE", "ui32", {0x01, 0x02, 0x03, 0x04});

    smc.setUInt8Value("HEXK", 2);
    EXPECT_EQ(valueOf("HEXK"), std::vector<std::uint8_t>{2});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"设置电池状态数值 2", "bytes 2"}));
    const auto sent = store.requests().back();
    EXPECT_EQ(sent[42], 6);
    EXPECT_EQ(sent[28], 1);  // the size read
    EXPECT_EQ(sent[48], 2);

    smc.setUInt8Value("WIDE", 9);  // another type: written back as read
    EXPECT_EQ(valueOf("WIDE"), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(store.writes().back().key, "WIDE");

    const auto writesBefore = store.writes().size();
    smc.setUInt8Value("HEXK", 256);
    smc.setUInt8Value("HEXK", -1);
    EXPECT_EQ(store.writes().size(), writesBefore);
    EXPECT_EQ(valueOf("HEXK"), std::vector<std::uint8_t>{2});

    store.failNextRead("HEXK", kIOReturnError);
    smc.setUInt8Value("HEXK", 1);
    EXPECT_EQ(store.writes().size(), writesBefore);
    EXPECT_TRUE(logged("Error read fan value: (iokit/common) general error"));
    store.failNextWrite("HEXK", kIOReturnError);
    smc.setUInt8Value("HEXK", 1);
    EXPECT_TRUE(logged("Error write: (iokit/common) general error"));
    EXPECT_EQ(valueOf("HEXK"), std::vector<std::uint8_t>{2});
}

TEST_F(OpenSmcTest, Fpe2WritesTwoBytesWithoutReadingAndRefusesOutOfRange) {
    store.addKey("F0Tg", "fpe2", {0x00, 0x00});
    store.clearHistory();
    EXPECT_EQ(smc.writeFPE2("F0Tg", 2000), 0);
    EXPECT_EQ(store.requests().size(), 1u);
    EXPECT_EQ(valueOf("F0Tg"), (std::vector<std::uint8_t>{0x1F, 0x40}));
    EXPECT_EQ(smc.writeFPE2("F0Tg", 16384), kIOReturnBadArgument);
    EXPECT_EQ(smc.writeFPE2("F0Tg", -1), kIOReturnBadArgument);
    EXPECT_EQ(store.requests().size(), 1u);
}

// A driver whose answers no real driver gives: oversized values, texts outside ASCII.
class StrangeDriver : public sim::SimSmcDriver {
public:
    using SimSmcDriver::SimSmcDriver;
    KernReturn callStructMethod(IoConnect c, std::uint32_t s, const void* in, std::size_t inSize, void* out,
                                std::size_t* outSize) override {
        const KernReturn result = SimSmcDriver::callStructMethod(c, s, in, inSize, out, outSize);
        const std::uint32_t huge = 200;
        std::memcpy(static_cast<std::uint8_t*>(out) + 28, &huge, 4);
        std::memset(static_cast<std::uint8_t*>(out) + 48, 0x5A, 32);
        return result;
    }
    std::string machErrorString(KernReturn) override { return "(os/kern) fa\xC3\xA7on"; }
};

TEST(SmcDriverAnswers, AnOversizedValueIsBoundedAndANonAsciiTextBecomesUnknownError) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    StrangeDriver driver{store};
    SMC smc{driver, log};
    ASSERT_EQ(smc.open(), 0);
    SMCVal_t value{"CH0B"};
    ASSERT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 32u);
    EXPECT_EQ(value.bytes[31], 0x5A);
    EXPECT_EQ(smc.errorText(5), "unknown error");
}

TEST(SmcLifetime, DestroyingAClientClosesItsConnectionAndLogsAFailedClose) {
    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    {
        SMC smc{driver, log};
        ASSERT_EQ(smc.open(), 0);
    }
    EXPECT_EQ(driver.openConnectionCount(), 0u);
    EXPECT_TRUE(log.lines().empty());
    { SMC neverOpened{driver, log}; }
    EXPECT_TRUE(log.contains("error close smc connection: " + kInvalidDest));
}

}  // namespace
}  // namespace wattkeeper::testing
