#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim/smc_key_store.h"

namespace {

using wattkeeper::IoConnect;
using wattkeeper::IoObject;
using wattkeeper::KernReturn;
using wattkeeper::kIOReturnBadArgument;
using wattkeeper::kIOReturnError;
using wattkeeper::kKernSuccess;
using wattkeeper::kMachSendInvalidDest;
using wattkeeper::machErrorText;
using wattkeeper::sim::SimSmcDriver;
using wattkeeper::sim::SmcKeyStore;
using Record = SmcKeyStore::Record;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kReadBytes = 5;
constexpr std::uint8_t kWriteBytes = 6;
constexpr std::uint8_t kReadIndex = 8;
constexpr std::uint8_t kReadKeyInfo = 9;

std::uint32_t fourcc(const std::string& text) {
    return (std::uint32_t{static_cast<std::uint8_t>(text[0])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(text[1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(text[2])} << 8) | static_cast<std::uint8_t>(text[3]);
}

void put32(Record& record, std::size_t offset, std::uint32_t value) { std::memcpy(&record[offset], &value, 4); }

std::uint32_t get32(const Record& record, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, &record[offset], 4);
    return value;
}

// A record laid out as the daemon's client sends it: everything zero but the fields it names.
Record request(const std::string& key, std::uint8_t command, std::uint32_t size = 0, const Bytes& bytes = {},
               std::uint32_t index = 0) {
    Record r{};
    put32(r, 0, fourcc(key));
    put32(r, 28, size);
    r[42] = command;
    put32(r, 44, index);
    std::copy(bytes.begin(), bytes.end(), r.begin() + 48);
    return r;
}

Record reply(const std::string& key, std::uint8_t result, std::uint32_t size = 0, const std::string& type = {},
             const Bytes& bytes = {}) {
    Record r{};
    put32(r, 0, fourcc(key));
    put32(r, 28, size);
    if (!type.empty()) put32(r, 32, fourcc(type));
    r[40] = result;
    std::copy(bytes.begin(), bytes.end(), r.begin() + 48);
    return r;
}

struct Answer {
    KernReturn kern;
    Record reply;
};

// The reply buffer starts dirty, as a buffer the client reuses between calls does.
Answer call(SmcKeyStore& store, const Record& req) {
    Answer answer{0, {}};
    answer.reply.fill(0xAA);
    std::size_t outSize = 80;
    answer.kern = store.callStructMethod(2, req.data(), 80, answer.reply.data(), &outSize);
    return answer;
}

std::optional<Bytes> valueOf(const SmcKeyStore& store, const std::string& key) {
    const auto info = store.key(key);
    if (!info) return std::nullopt;
    return info->value;
}

TEST(SmcKeyStoreTest, KeyInfoOfFanMaskIsTheDriversExactRecord) {
    auto store = SmcKeyStore::macBook();
    Record expected{};
    expected[0] = 0x20, expected[1] = 0x21, expected[2] = 0x53, expected[3] = 0x46;     // "FS! " in host order
    expected[28] = 2;                                                                   // two bytes
    expected[32] = 0x36, expected[33] = 0x31, expected[34] = 0x69, expected[35] = 0x75;  // "ui16"
    const Answer answer = call(store, request("FS! ", kReadKeyInfo));
    EXPECT_EQ(answer.kern, kKernSuccess);
    EXPECT_EQ(answer.reply, expected);
}

TEST(SmcKeyStoreTest, ReadsAnswerSizeTypeAndValueByteForByte) {
    struct Case {
        std::string key;
        std::string type;
        Bytes value;
    };
    const Case cases[] = {
        {"CH0B", "ui8 ", {0x00}},
        {"CH0I", "ui8 ", {0x00}},
        {"FS! ", "ui16", {0x00, 0x00}},
        {"F0Mx", "flt ", {0x00, 0x38, 0xB9, 0x45}},  // 5927.0 in host order
        {"TC0P", "sp78", {0x28, 0x00}},
        {"#KEY", "ui32", {0x00, 0x00, 0x00, 0x18}},
        {"F0ID", "{fds", {0, 0, 1, 0, 'L', 'e', 'f', 't', ' ', 's', 'i', 'd', 'e', ' ', ' ', ' '}},
        {"BSIn", "hex_", {0x07}},
    };
    auto store = SmcKeyStore::macBook();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const auto size = static_cast<std::uint32_t>(c.value.size());
        const Answer info = call(store, request(c.key, kReadKeyInfo));
        EXPECT_EQ(info.kern, kKernSuccess);
        EXPECT_EQ(info.reply, reply(c.key, 0x00, size, c.type));
        const Answer bytes = call(store, request(c.key, kReadBytes, size));
        EXPECT_EQ(bytes.kern, kKernSuccess);
        EXPECT_EQ(bytes.reply, reply(c.key, 0x00, size, {}, c.value));
    }
}

TEST(SmcKeyStoreTest, UnknownKeyIsAnsweredByTheControllerNotTheKernel) {
    auto store = SmcKeyStore::macBook();
    for (const std::uint8_t command : {kReadKeyInfo, kReadBytes, kWriteBytes}) {
        SCOPED_TRACE(int{command});
        const Answer answer = call(store, request("ZZZZ", command, 1, {0x02}));
        EXPECT_EQ(answer.kern, kKernSuccess);
        EXPECT_EQ(answer.reply, reply("ZZZZ", 0x84));
    }
    EXPECT_FALSE(store.key("ZZZZ"));
    EXPECT_TRUE(store.writes().empty());
}

TEST(SmcKeyStoreTest, AcceptedWriteStoresOnlyTheKeysSizeAndIsRecorded) {
    auto store = SmcKeyStore::macBook();
    const Answer answer = call(store, request("FS! ", kWriteBytes, 2, {0x00, 0x03, 0xEE, 0xEE}));
    EXPECT_EQ(answer.kern, kKernSuccess);
    EXPECT_EQ(answer.reply, reply("FS! ", 0x00));
    EXPECT_EQ(valueOf(store, "FS! "), (Bytes{0x00, 0x03}));
    EXPECT_EQ(call(store, request("FS! ", kReadBytes, 2)).reply, reply("FS! ", 0x00, 2, {}, {0x00, 0x03}));
    ASSERT_EQ(store.writes().size(), 1U);
    EXPECT_EQ(store.writes()[0].key, "FS! ");
    EXPECT_EQ(store.writes()[0].value, (Bytes{0x00, 0x03}));
}

TEST(SmcKeyStoreTest, RejectedWritesLeaveTheValueAlone) {
    struct Case {
        std::string key;
        std::uint32_t size;
        std::uint8_t result;
    };
    const Case cases[] = {
        {"CH0B", 2, 0x87},  // one-byte key written as two
        {"CH0B", 0, 0x87},
        {"FS! ", 1, 0x87},
        {"TC0P", 2, 0x86},  // sensor
        {"#KEY", 4, 0x86},
    };
    auto store = SmcKeyStore::macBook();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " size " + std::to_string(c.size));
        const auto before = valueOf(store, c.key);
        const Answer answer = call(store, request(c.key, kWriteBytes, c.size, {0x02, 0x02, 0x02, 0x02}));
        EXPECT_EQ(answer.kern, kKernSuccess);
        EXPECT_EQ(answer.reply, reply(c.key, c.result));
        EXPECT_EQ(valueOf(store, c.key), before);
    }
    EXPECT_TRUE(store.writes().empty());
}

TEST(SmcKeyStoreTest, MalformedCallsAreRefusedByTheDriver) {
    struct Case {
        const char* name;
        std::uint32_t selector;
        std::size_t inSize;
        std::size_t outSize;
    };
    const Case cases[] = {
        {"selector 0", 0, 80, 80}, {"selector 3", 3, 80, 80},    {"short input", 2, 79, 80},
        {"long input", 2, 81, 80}, {"short output", 2, 80, 40},
    };
    auto store = SmcKeyStore::macBook();
    const Record req = request("CH0B", kReadKeyInfo);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Record out{};
        std::size_t outSize = c.outSize;
        EXPECT_EQ(store.callStructMethod(c.selector, req.data(), c.inSize, out.data(), &outSize),
                  kIOReturnBadArgument);
    }
    EXPECT_TRUE(store.requests().empty());
}

TEST(SmcKeyStoreTest, CommandsOutsideTheControllersSetAreBadCommands) {
    auto store = SmcKeyStore::macBook();
    for (const std::uint8_t command : {0, 2, 11, 12, 255}) {
        SCOPED_TRACE(int{command});
        const Answer answer = call(store, request("CH0B", command));
        EXPECT_EQ(answer.kern, kKernSuccess);
        EXPECT_EQ(answer.reply, reply("CH0B", 0x82));
    }
}

TEST(SmcKeyStoreTest, KeyCountFollowsAddingAndRemovingKeys) {
    SmcKeyStore store;
    const auto count = [&] { return call(store, request("#KEY", kReadBytes, 4)).reply; };
    EXPECT_EQ(count(), reply("#KEY", 0, 4, {}, {0, 0, 0, 1}));
    store.addKey("CH0B", "ui8 ", {0});
    store.addKey("CH0C", "ui8 ", {0});
    EXPECT_EQ(count(), reply("#KEY", 0, 4, {}, {0, 0, 0, 3}));
    store.addKey("CH0B", "ui8 ", {2});  // replaced, not added
    EXPECT_EQ(count(), reply("#KEY", 0, 4, {}, {0, 0, 0, 3}));
    EXPECT_TRUE(store.removeKey("CH0C"));
    EXPECT_FALSE(store.removeKey("CH0C"));
    EXPECT_EQ(count(), reply("#KEY", 0, 4, {}, {0, 0, 0, 2}));
    EXPECT_FALSE(store.setValue("#KEY", {0, 0, 0, 9}));
    EXPECT_EQ(count(), reply("#KEY", 0, 4, {}, {0, 0, 0, 2}));
}

TEST(SmcKeyStoreTest, EnumerationGoesByKeyCodeWhateverTheOrderOfAdding) {
    SmcKeyStore store;
    for (const char* key : {"TC0P", "FS! ", "F0Ac", "b0ac", "CH0B", "FNum"}) store.addKey(key, "ui8 ", {0});
    const std::vector<std::string> expected{"#KEY", "CH0B", "F0Ac", "FNum", "FS! ", "TC0P", "b0ac"};
    EXPECT_EQ(store.keys(), expected);
    for (std::uint32_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const Answer answer = call(store, request(std::string(4, '\0'), kReadIndex, 0, {}, i));
        EXPECT_EQ(answer.kern, kKernSuccess);
        EXPECT_EQ(get32(answer.reply, 0), fourcc(expected[i]));
        EXPECT_EQ(answer.reply[40], 0x00);
    }
    const Answer past = call(store, request(std::string(4, '\0'), kReadIndex, 0, {}, 7));
    EXPECT_EQ(past.kern, kKernSuccess);
    EXPECT_EQ(past.reply[40], 0x84);
}

TEST(SmcKeyStoreTest, InjectedFailuresHitTheirKeyAndStepOnce) {
    struct Case {
        const char* name;
        bool write;  // which kind is armed
        std::uint8_t command;
        bool fires;
    };
    const Case cases[] = {
        {"read fails key info", false, kReadKeyInfo, true}, {"read fails bytes", false, kReadBytes, true},
        {"read spares writes", false, kWriteBytes, false},  {"write fails writes", true, kWriteBytes, true},
        {"write spares key info", true, kReadKeyInfo, false}, {"write spares bytes", true, kReadBytes, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto store = SmcKeyStore::macBook();
        if (c.write) {
            store.failNextWrite("CH0B", kIOReturnError);
        } else {
            store.failNextRead("CH0B", kIOReturnError);
        }
        EXPECT_EQ(call(store, request("CH0C", c.command, 1, {0x02})).kern, kKernSuccess);  // another key
        const Answer first = call(store, request("CH0B", c.command, 1, {0x02}));
        EXPECT_EQ(first.kern, c.fires ? kIOReturnError : kKernSuccess);
        if (c.fires) {
            EXPECT_EQ(first.reply, Record{});
            EXPECT_EQ(valueOf(store, "CH0B"), Bytes{0x00});
            EXPECT_EQ(call(store, request("CH0B", c.command, 1, {0x02})).kern, kKernSuccess);
        }
    }
}

TEST(SmcKeyStoreTest, HardwareSideChangesAreSeenByTheNextRead) {
    auto store = SmcKeyStore::macBook();
    EXPECT_TRUE(store.setValue("TC0P", {0x19, 0x80}));
    EXPECT_EQ(call(store, request("TC0P", kReadBytes, 2)).reply, reply("TC0P", 0, 2, {}, {0x19, 0x80}));
    EXPECT_FALSE(store.setValue("TC0P", {0x19}));
    EXPECT_FALSE(store.setValue("ZZZZ", {0x19}));
    EXPECT_TRUE(store.writes().empty());
}

// A driver with a connection open, as the client has it after opening.
struct OpenDriver {
    SmcKeyStore store = SmcKeyStore::macBook();
    SimSmcDriver driver{store};
    IoConnect conn = 0;

    KernReturn callOn(IoConnect c, const Record& req) {
        Record out{};
        std::size_t outSize = 80;
        return driver.callStructMethod(c, 2, req.data(), 80, out.data(), &outSize);
    }
};

IoConnect openThrough(SimSmcDriver& driver) {
    const auto matching = driver.serviceMatching("AppleSMC");
    IoObject iterator = 0;
    if (!matching || driver.getMatchingServices(*matching, &iterator) != kKernSuccess) return 0;
    const IoObject service = driver.iteratorNext(iterator);
    driver.objectRelease(iterator);
    IoConnect conn = 0;
    const KernReturn opened = driver.serviceOpen(service, 0, &conn);
    driver.objectRelease(service);
    return opened == kKernSuccess ? conn : 0;
}

TEST(SimSmcDriverTest, IteratorHandsOutThePresentServiceOnceAndAnAbsentOneNever) {
    for (const bool present : {true, false}) {
        SCOPED_TRACE(present);
        SmcKeyStore store;
        SimSmcDriver driver(store);
        driver.setServicePresent(present);
        IoObject iterator = 0;
        ASSERT_EQ(driver.getMatchingServices(*driver.serviceMatching("AppleSMC"), &iterator), kKernSuccess);
        EXPECT_EQ(driver.iteratorNext(iterator) != 0, present);
        EXPECT_EQ(driver.iteratorNext(iterator), 0U);
        EXPECT_EQ(driver.objectRelease(iterator), kKernSuccess);
        EXPECT_EQ(openThrough(driver) != 0, present);
    }
}

TEST(SimSmcDriverTest, InjectedLookupAndOpenFailuresStopTheOpen) {
    SmcKeyStore store;
    SimSmcDriver driver(store);
    driver.failServiceMatching(true);
    EXPECT_FALSE(driver.serviceMatching("AppleSMC"));
    driver.failServiceMatching(false);

    driver.failGetMatchingServices(kIOReturnError);
    IoObject iterator = 0;
    EXPECT_EQ(driver.getMatchingServices(*driver.serviceMatching("AppleSMC"), &iterator), kIOReturnError);
    driver.failGetMatchingServices(kKernSuccess);

    driver.failServiceOpen(static_cast<KernReturn>(0xe00002c1));
    EXPECT_EQ(openThrough(driver), 0U);
    EXPECT_EQ(driver.openConnectionCount(), 0U);
    driver.failServiceOpen(kKernSuccess);
    EXPECT_NE(openThrough(driver), 0U);
}

TEST(SimSmcDriverTest, EachOpenIsItsOwnConnection) {
    OpenDriver d;
    const IoConnect first = openThrough(d.driver);
    const IoConnect second = openThrough(d.driver);
    EXPECT_NE(first, 0U);
    EXPECT_NE(second, 0U);
    EXPECT_NE(first, second);
    EXPECT_EQ(d.driver.openConnectionCount(), 2U);
    EXPECT_EQ(d.driver.serviceClose(first), kKernSuccess);
    EXPECT_EQ(d.callOn(second, request("CH0B", kReadKeyInfo)), kKernSuccess);
}

TEST(SimSmcDriverTest, CallsOnConnectionsThatAreNotOpenNeverReachTheController) {
    OpenDriver d;
    const IoConnect closed = openThrough(d.driver);
    ASSERT_EQ(d.driver.serviceClose(closed), kKernSuccess);
    EXPECT_EQ(d.driver.serviceClose(closed), kMachSendInvalidDest);
    for (const IoConnect conn : {IoConnect{0}, closed, IoConnect{0x4242}}) {
        SCOPED_TRACE(conn);
        EXPECT_EQ(d.callOn(conn, request("CH0B", kWriteBytes, 1, {0x02})), kMachSendInvalidDest);
    }
    EXPECT_TRUE(d.store.requests().empty());
    EXPECT_EQ(valueOf(d.store, "CH0B"), Bytes{0x00});
}

}  // namespace
