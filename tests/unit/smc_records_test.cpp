#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>

#include "daemon/smc/smc_types.h"
#include "tests/unit/smc_fixture.h"

namespace wattkeeper::testing {
namespace {

using Record = sim::SmcKeyStore::Record;

Record expectedRecord(std::uint32_t key, std::uint8_t command) {
    Record r{};
    std::memcpy(r.data(), &key, 4);
    r[42] = command;
    return r;
}

TEST(SmcRecords, ZeroedRecordHasEveryByteZeroAndFieldsLandAtTheirOffsets) {
    SMCKeyData_t data = makeKeyData(0x01020304, vers_t{1, 2, 3, 4, 0x0506}, LimitData_t{7, 8, 9, 10, 11},
                                    keyInfo_t{12, 13, 14}, 0x0F10, 17, 18, 19, 20, {});
    std::uint8_t raw[80];
    std::memcpy(raw, &data, 80);
    EXPECT_EQ(raw[0], 0x04);    // key, host order
    EXPECT_EQ(raw[4], 1);       // vers.major
    EXPECT_EQ(raw[8], 0x06);    // vers.release
    EXPECT_EQ(raw[10], 0);      // gap
    EXPECT_EQ(raw[12], 7);      // pLimitData.version
    EXPECT_EQ(raw[28], 12);     // keyInfo.dataSize
    EXPECT_EQ(raw[32], 13);     // keyInfo.dataType
    EXPECT_EQ(raw[36], 14);     // keyInfo.dataAttributes
    EXPECT_EQ(raw[37], 0);      // gap
    EXPECT_EQ(raw[38], 0x10);   // padding
    EXPECT_EQ(raw[40], 17);     // result
    EXPECT_EQ(raw[41], 18);     // status
    EXPECT_EQ(raw[42], 19);     // data8
    EXPECT_EQ(raw[43], 0);      // gap
    EXPECT_EQ(raw[44], 20);     // data32

    const SMCKeyData_t zero = zeroedKeyData();
    std::memcpy(raw, &zero, 80);
    EXPECT_TRUE(std::all_of(std::begin(raw), std::end(raw), [](std::uint8_t b) { return b == 0; }));
}

TEST(SmcRecords, KeysAndCodesConvertBothWays) {
    EXPECT_EQ(keyToCode("FS! "), 0x46532120u);
    EXPECT_EQ(keyToCode("#KEY"), 0x234B4559u);
    EXPECT_EQ(codeToString(0x75693820), "ui8 ");
    EXPECT_EQ(codeToString(0x41420043), std::string("AB\0C", 4));
    EXPECT_EQ(codeToString(0x41FF4243), "A\u00FFBC");  // bytes read as ISO 8859-1
    EXPECT_EQ(codeToString(keyToCode("CH0B")), "CH0B");
}

TEST(SmcRecords, CommandCodesAndFanModesConvertOnlyFromKnownValues) {
    EXPECT_EQ(smcKeysFromRaw(9), SMCKeys::readKeyInfo);
    EXPECT_EQ(smcKeysFromRaw(12), SMCKeys::readVers);
    EXPECT_FALSE(smcKeysFromRaw(7));
    EXPECT_EQ(fanModeFromRaw(0), FanMode::automatic);
    EXPECT_EQ(fanModeFromRaw(1), FanMode::forced);
    EXPECT_FALSE(fanModeFromRaw(2));
    EXPECT_FALSE(fanModeFromRaw(-1));
}

TEST(SmcRecords, EveryTypeCodeDecodesAsItsTableSays) {
    struct Case {
        std::string type;
        std::vector<std::uint8_t> bytes;
        std::optional<double> expected;
    };
    const auto fltBytes = floatBytes(1234.5f);
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
        {"sp78", {0x28, 0x00}, 40.0},
        {"sp87", {0x00, 0x80}, 1.0},
        {"sp96", {0x00, 0x40}, 1.0},
        {"spb4", {0x00, 0x10}, 1.0},
        {"spf0", {0x01, 0x02}, 258.0},
        {"flt ", {fltBytes[0], fltBytes[1], fltBytes[2], fltBytes[3]}, 1234.5},
        {"fpe2", {0x1F, 0x40}, 2000.0},
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
        EXPECT_EQ(decodeNumeric(c.type, bytes), c.expected) << "type \"" << c.type << "\"";
    }
}

TEST(SmcRecords, ValueByteHelpersRoundTrip) {
    EXPECT_EQ(fpe2Bytes(2000), (std::array<std::uint8_t, 2>{0x1F, 0x40}));
    EXPECT_EQ(fpe2Bytes(16383), (std::array<std::uint8_t, 2>{0xFF, 0xFC}));
    EXPECT_EQ(floatBytes(2000.0f), (std::array<std::uint8_t, 4>{0x00, 0x00, 0xFA, 0x44}));
    const std::uint8_t be[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(uint32FromBigEndian(be), 0xDEADBEEFu);
    EXPECT_EQ(uint16FromBigEndian(0xDE, 0xAD), 0xDEAD);
}

TEST_F(OpenSmcTest, ReadAndWriteRequestRecordsAreExactToTheByte) {
    SMCVal_t value{"FS! "};
    ASSERT_EQ(smc.read(value), 0);
    SMCVal_t toWrite{"CH0B"};
    toWrite.dataType = "ui8 ";  // never sent
    toWrite.dataSize = 1;
    toWrite.bytes[0] = 2;
    toWrite.bytes[31] = 0xAA;
    ASSERT_EQ(smc.write(toWrite), 0);

    Record keyInfo = expectedRecord(0x46532120, 9);
    Record bytes = expectedRecord(0x46532120, 5);
    bytes[28] = 2;  // the size learned in the first step
    Record write = expectedRecord(keyToCode("CH0B"), 6);
    write[28] = 1;
    write[48] = 2;
    write[79] = 0xAA;  // all 32 value bytes go out

    const auto sent = store.requests();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], keyInfo);
    EXPECT_EQ(sent[1], bytes);
    EXPECT_EQ(sent[2], write);
}

TEST_F(OpenSmcTest, IndexRequestsCarryOnlyCommandAndIndex) {
    const auto keys = smc.getAllKeys();
    std::vector<Record> indexRequests;
    for (const auto& r : store.requests())
        if (r[42] == 8) indexRequests.push_back(r);
    ASSERT_EQ(indexRequests.size(), keys.size());
    for (std::uint32_t i = 0; i < indexRequests.size(); ++i) {
        Record expected = expectedRecord(0, 8);
        std::memcpy(expected.data() + 44, &i, 4);
        EXPECT_EQ(indexRequests[i], expected) << "index " << i;
    }
}

}  // namespace
}  // namespace wattkeeper::testing
