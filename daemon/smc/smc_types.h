#pragma once
// The records exchanged with the SMC user client, the command and type codes, and the
// conversions between four-character keys and their 32-bit codes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace wattkeeper::daemon {

struct vers_t {
    std::uint8_t major;
    std::uint8_t minor;
    std::uint8_t build;
    std::uint8_t reserved;
    std::uint16_t release;
};

struct LimitData_t {
    std::uint16_t version;
    std::uint16_t length;
    std::uint32_t cpuPLimit;
    std::uint32_t gpuPLimit;
    std::uint32_t memPLimit;
};

// Nine bytes of fields with alignment 4. The driver's record places the next field in its tail
// padding; the user-provided constructors make that reuse possible (see SMCKeyData_t).
struct keyInfo_t {
    std::uint32_t dataSize;
    std::uint32_t dataType;
    std::uint8_t dataAttributes;

    keyInfo_t() : dataSize(0), dataType(0), dataAttributes(0) {}
    keyInfo_t(std::uint32_t size, std::uint32_t type, std::uint8_t attributes)
        : dataSize(size), dataType(type), dataAttributes(attributes) {}
};

// The driver's 80-byte record; its layout is the driver's and must not change.
struct SMCKeyData_t {
    std::uint32_t key;
    vers_t vers;
    LimitData_t pLimitData;
    [[no_unique_address]] keyInfo_t keyInfo;  // `padding` sits in its tail, at offset 38
    std::uint16_t padding;
    std::uint8_t result;
    std::uint8_t status;
    std::uint8_t data8;
    std::uint32_t data32;
    std::array<std::uint8_t, 32> bytes;
};

static_assert(sizeof(vers_t) == 6 && alignof(vers_t) == 2);
static_assert(offsetof(vers_t, release) == 4);
static_assert(sizeof(LimitData_t) == 16 && alignof(LimitData_t) == 4);
static_assert(offsetof(LimitData_t, length) == 2 && offsetof(LimitData_t, cpuPLimit) == 4 &&
              offsetof(LimitData_t, gpuPLimit) == 8 && offsetof(LimitData_t, memPLimit) == 12);
static_assert(alignof(keyInfo_t) == 4 && offsetof(keyInfo_t, dataType) == 4 &&
              offsetof(keyInfo_t, dataAttributes) == 8);
static_assert(std::is_trivially_copyable_v<SMCKeyData_t> && std::is_standard_layout_v<SMCKeyData_t>);
static_assert(sizeof(SMCKeyData_t) == 80 && alignof(SMCKeyData_t) == 4);
static_assert(offsetof(SMCKeyData_t, key) == 0);
static_assert(offsetof(SMCKeyData_t, vers) == 4);
static_assert(offsetof(SMCKeyData_t, pLimitData) == 12);
static_assert(offsetof(SMCKeyData_t, keyInfo) == 28);
static_assert(offsetof(SMCKeyData_t, padding) == 38);
static_assert(offsetof(SMCKeyData_t, result) == 40);
static_assert(offsetof(SMCKeyData_t, status) == 41);
static_assert(offsetof(SMCKeyData_t, data8) == 42);
static_assert(offsetof(SMCKeyData_t, data32) == 44);
static_assert(offsetof(SMCKeyData_t, bytes) == 48);

// A record with every byte zero, the alignment gaps included.
SMCKeyData_t zeroedKeyData();
// A record with every field given; the gaps are zero.
SMCKeyData_t makeKeyData(std::uint32_t key, vers_t vers, LimitData_t pLimitData, keyInfo_t keyInfo,
                         std::uint16_t padding, std::uint8_t result, std::uint8_t status, std::uint8_t data8,
                         std::uint32_t data32, const std::array<std::uint8_t, 32>& bytes);

// One key and its value, as the program handles it.
struct SMCVal_t {
    std::string key;
    std::uint32_t dataSize = 0;
    std::string dataType;
    std::array<std::uint8_t, 32> bytes{};

    // A value ready to be read: the key, size 0, no type, 32 zero bytes.
    explicit SMCVal_t(std::string k = {}) : key(std::move(k)) {}
};

// Driver command codes.
enum class SMCKeys : std::uint8_t {
    kernelIndex = 2,
    readBytes = 5,
    writeBytes = 6,
    readIndex = 8,
    readKeyInfo = 9,
    readPLimit = 11,
    readVers = 12,
};

// The case for a raw command code; nothing for a code outside the table.
std::optional<SMCKeys> smcKeysFromRaw(std::uint8_t raw);

// The value type codes. Compared and hashed by their code.
struct SMCDataType {
    std::string_view code;

    static const SMCDataType UI8, UI16, UI32, SP1E, SP3C, SP4B, SP5A, SP69, SP78, SP87, SP96, SPB4, SPF0, FLT, FPE2,
        FP2E, FDS;

    friend bool operator==(SMCDataType a, SMCDataType b) { return a.code == b.code; }
};

inline constexpr SMCDataType SMCDataType::UI8{"ui8 "};
inline constexpr SMCDataType SMCDataType::UI16{"ui16"};
inline constexpr SMCDataType SMCDataType::UI32{"ui32"};
inline constexpr SMCDataType SMCDataType::SP1E{"sp1e"};
inline constexpr SMCDataType SMCDataType::SP3C{"sp3c"};
inline constexpr SMCDataType SMCDataType::SP4B{"sp5b"};
inline constexpr SMCDataType SMCDataType::SP5A{"sp5a"};
inline constexpr SMCDataType SMCDataType::SP69{"sp669"};
inline constexpr SMCDataType SMCDataType::SP78{"sp78"};
inline constexpr SMCDataType SMCDataType::SP87{"sp87"};
inline constexpr SMCDataType SMCDataType::SP96{"sp96"};
inline constexpr SMCDataType SMCDataType::SPB4{"spb4"};
inline constexpr SMCDataType SMCDataType::SPF0{"spf0"};
inline constexpr SMCDataType SMCDataType::FLT{"flt "};
inline constexpr SMCDataType SMCDataType::FPE2{"fpe2"};
inline constexpr SMCDataType SMCDataType::FP2E{"fp2e"};
inline constexpr SMCDataType SMCDataType::FDS{"{fds"};

struct SMCDataTypeHash {
    std::size_t operator()(SMCDataType t) const noexcept { return std::hash<std::string_view>{}(t.code); }
};

// Fan control mode; encodes as its raw value.
enum class FanMode : int {
    automatic = 0,
    forced = 1,
};

// Nothing for an integer other than 0 or 1.
std::optional<FanMode> fanModeFromRaw(long long raw);

// True for exactly four ASCII characters, the only keys the driver can address.
bool isFourCharacterKey(std::string_view key);
// "FS! " -> 0x46532120: the first character in the most significant byte.
std::uint32_t keyToCode(std::string_view key);
// Bytes read as ISO 8859-1 characters, as UTF-8 text.
std::string latin1ToUtf8(const std::uint8_t* bytes, std::size_t count);
// Always four characters, each byte read as ISO 8859-1 (so encoded as UTF-8); zero bytes stay NUL.
std::string codeToString(std::uint32_t code);

// Conversions on value bytes.
std::uint16_t uint16FromBigEndian(std::uint8_t b0, std::uint8_t b1);
std::uint32_t uint32FromBigEndian(const std::uint8_t* b);
std::uint32_t fpe2IntegerPart(std::uint8_t b0, std::uint8_t b1);
std::array<std::uint8_t, 4> floatBytes(float value);
float floatFromBytes(const std::uint8_t* b);
// n in 0...16383 as b0 = n >> 6, b1 = (n << 2) & 0xFF.
std::array<std::uint8_t, 2> fpe2Bytes(std::uint32_t n);

// The numeric reading of a value by its type string; nothing for a type without one. The sp
// codes read their 16 bits unsigned; fpe2 drops its two fraction bits.
std::optional<double> decodeNumeric(std::string_view dataType, const std::array<std::uint8_t, 32>& bytes);

}  // namespace wattkeeper::daemon
