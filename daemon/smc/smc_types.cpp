#include "daemon/smc/smc_types.h"

#include <algorithm>
#include <cstring>

namespace wattkeeper::daemon {

SMCKeyData_t zeroedKeyData() {
    SMCKeyData_t data;
    // Byte-wise, so the alignment gaps are zero as well.
    std::memset(static_cast<void*>(&data), 0, sizeof data);
    return data;
}

SMCKeyData_t makeKeyData(std::uint32_t key, vers_t vers, LimitData_t pLimitData, keyInfo_t keyInfo,
                         std::uint16_t padding, std::uint8_t result, std::uint8_t status, std::uint8_t data8,
                         std::uint32_t data32, const std::array<std::uint8_t, 32>& bytes) {
    SMCKeyData_t data = zeroedKeyData();
    data.key = key;
    data.vers = vers;
    data.pLimitData = pLimitData;
    data.keyInfo.dataSize = keyInfo.dataSize;
    data.keyInfo.dataType = keyInfo.dataType;
    data.keyInfo.dataAttributes = keyInfo.dataAttributes;
    data.padding = padding;
    data.result = result;
    data.status = status;
    data.data8 = data8;
    data.data32 = data32;
    data.bytes = bytes;
    return data;
}

std::optional<SMCKeys> smcKeysFromRaw(std::uint8_t raw) {
    switch (raw) {
        case 2:
        case 5:
        case 6:
        case 8:
        case 9:
        case 11:
        case 12:
            return static_cast<SMCKeys>(raw);
        default:
            return std::nullopt;
    }
}

std::optional<FanMode> fanModeFromRaw(long long raw) {
    if (raw == 0) return FanMode::automatic;
    if (raw == 1) return FanMode::forced;
    return std::nullopt;
}

bool isFourCharacterKey(std::string_view key) {
    // Four ASCII characters: anything else has no well-defined 32-bit code.
    return key.size() == 4 &&
           std::all_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::uint32_t keyToCode(std::string_view key) {
    std::uint32_t code = 0;
    for (unsigned char c : key) code = (code << 8) | c;
    return code;
}

std::string latin1ToUtf8(const std::uint8_t* bytes, std::size_t count) {
    // Key and type names are ASCII: one copy, no growing.
    if (std::all_of(bytes, bytes + count, [](std::uint8_t byte) { return byte < 0x80; })) {
        return std::string(reinterpret_cast<const char*>(bytes), count);
    }
    std::string out;
    out.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string codeToString(std::uint32_t code) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
                                   static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
    return latin1ToUtf8(bytes, 4);
}

std::uint16_t uint16FromBigEndian(std::uint8_t b0, std::uint8_t b1) {
    return static_cast<std::uint16_t>((b0 << 8) | b1);
}

std::uint32_t uint32FromBigEndian(const std::uint8_t* b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

std::uint32_t fpe2IntegerPart(std::uint8_t b0, std::uint8_t b1) {
    return (std::uint32_t{b0} << 6) | (std::uint32_t{b1} >> 2);
}

std::array<std::uint8_t, 4> floatBytes(float value) {
    std::array<std::uint8_t, 4> out;
    std::memcpy(out.data(), &value, 4);
    return out;
}

float floatFromBytes(const std::uint8_t* b) {
    float value;
    std::memcpy(&value, b, 4);
    return value;
}

std::array<std::uint8_t, 2> fpe2Bytes(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n >> 6), static_cast<std::uint8_t>((n << 2) & 0xFF)};
}

std::optional<double> decodeNumeric(std::string_view type, const std::array<std::uint8_t, 32>& b) {
    const double u16 = uint16FromBigEndian(b[0], b[1]);
    struct FixedPoint {
        SMCDataType type;
        double scale;
    };
    // Tried in this order, as whole strings.
    if (type == SMCDataType::UI8.code) return b[0];
    if (type == SMCDataType::UI16.code) return u16;
    if (type == SMCDataType::UI32.code) return uint32FromBigEndian(b.data());
    static constexpr FixedPoint kFixedPoint[] = {
        {SMCDataType::SP1E, 1.0 / (1 << 14)}, {SMCDataType::SP3C, 1.0 / (1 << 12)},
        {SMCDataType::SP4B, 1.0 / (1 << 11)}, {SMCDataType::SP5A, 1.0 / (1 << 10)},
        {SMCDataType::SP69, 1.0 / (1 << 9)},  {SMCDataType::SP78, 1.0 / (1 << 8)},
        {SMCDataType::SP87, 1.0 / (1 << 7)},  {SMCDataType::SP96, 1.0 / (1 << 6)},
        {SMCDataType::SPB4, 1.0 / (1 << 4)},  {SMCDataType::SPF0, 1.0},
    };
    for (const auto& fp : kFixedPoint) {
        if (type == fp.type.code) return u16 * fp.scale;
    }
    if (type == SMCDataType::FLT.code) return static_cast<double>(floatFromBytes(b.data()));
    if (type == SMCDataType::FPE2.code) return fpe2IntegerPart(b[0], b[1]);
    return std::nullopt;
}

}  // namespace wattkeeper::daemon
