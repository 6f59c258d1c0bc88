#include "daemon/smc/smc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "platform/ports.h"
#include "platform/smc_keys.h"

namespace wattkeeper::daemon {

namespace {

constexpr std::uint32_t kKernelIndex = static_cast<std::uint32_t>(SMCKeys::kernelIndex);
constexpr std::size_t kMaxValueBytes = 32;

SharedInstance<SMC>& sharedSMC() {
    static SharedInstance<SMC> instance;
    return instance;
}

bool allZero(const std::array<std::uint8_t, 32>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Horizontal white space among the decoded characters: space, tab and no-break space.
std::string trimHorizontalSpace(std::string s) {
    static constexpr std::string_view kSpaces[] = {" ", "\t", "\xC2\xA0"};
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        for (std::string_view space : kSpaces) {
            if (s.starts_with(space)) {
                s.erase(0, space.size());
                trimmed = true;
            }
            if (s.ends_with(space)) {
                s.erase(s.size() - space.size());
                trimmed = true;
            }
        }
    }
    return s;
}

// A whole number held by a double, when it is finite and within [lo, hi].
std::optional<std::int64_t> truncatedInRange(double value, double lo, double hi) {
    if (!std::isfinite(value) || value < lo || value > hi) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::string fanKey(int fan, const char* suffix) { return "F" + std::to_string(fan) + suffix; }

}  // namespace

SMC::SMC(SmcDriver& driver, Log& log) : driver_(driver), log_(log) {}

SMC::~SMC() {
    const KernReturn result = close();
    if (result != kKernSuccess) logLine("error close smc connection: " + errorText(result));
}

SMC& SMC::shared() {
    return sharedSMC().get([] {
        Ports& ports = processPorts();
        return std::make_unique<SMC>(*ports.smcDriver, *ports.log);
    });
}

void SMC::replaceShared(std::unique_ptr<SMC> smc) { sharedSMC().replace(std::move(smc)); }

std::string SMC::errorText(KernReturn code) {
    std::string text = driver_.machErrorString(code);
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? text : "unknown error";
}

IoObject SMC::findService(bool quiet) {
    const auto fail = [&](const std::string& line) {
        if (!quiet) logLine(line);
        return IoObject{0};
    };
    const auto matching = driver_.serviceMatching("AppleSMC");
    if (!matching) return fail("Error IOServiceMatching(): no matching dictionary");
    IoObject iterator = 0;
    const KernReturn result = driver_.getMatchingServices(*matching, &iterator);
    if (result != kKernSuccess) return fail("Error IOServiceGetMatchingServices(): " + errorText(result));
    const IoObject service = driver_.iteratorNext(iterator);
    driver_.objectRelease(iterator);
    if (service == 0) return fail("Error IOIteratorNext(): " + errorText(kKernSuccess));
    return service;
}

bool SMC::hasService() {
    const IoObject service = findService(true);
    if (service != 0) driver_.objectRelease(service);
    return service != 0;
}

std::int32_t SMC::open() {
    if (conn() != 0) return 0;
    const IoObject service = findService(false);
    if (service == 0) return 1;
    IoConnect connect = 0;
    const KernReturn result = driver_.serviceOpen(service, 0, &connect);
    driver_.objectRelease(service);
    if (result != kKernSuccess) {
        logLine("Error IOServiceOpen(): " + errorText(result));
        return 1;
    }
    IoConnect none = 0;
    // Two threads opening at once keep one connection between them.
    if (!conn_.compare_exchange_strong(none, connect, std::memory_order_relaxed)) driver_.serviceClose(connect);
    return 0;
}

KernReturn SMC::close() {
    // A handle is given back once: on a Mac its port name may name an unrelated port afterwards.
    const IoConnect handle = conn_.exchange(0, std::memory_order_relaxed);
    if (handle == 0) return kMachSendInvalidDest;
    return driver_.serviceClose(handle);
}

KernReturn SMC::call(const SMCKeyData_t& input, SMCKeyData_t& output) {
    std::size_t outputSize = sizeof(SMCKeyData_t);
    return driver_.callStructMethod(conn(), kKernelIndex, &input, sizeof(SMCKeyData_t), &output, &outputSize);
}

bool SMC::acceptKey(std::string_view key) {
    if (isFourCharacterKey(key)) return true;
    logLine("Error key is not four characters: \"" + std::string(key) + "\"");
    return false;
}

KernReturn SMC::read(SMCVal_t& value) {
    if (!acceptKey(value.key)) return kDriverBadArgument;
    SMCKeyData_t input = zeroedKeyData();
    SMCKeyData_t output = zeroedKeyData();
    input.key = keyToCode(value.key);
    input.data8 = static_cast<std::uint8_t>(SMCKeys::readKeyInfo);
    KernReturn result = call(input, output);
    if (result != kKernSuccess) return result;

    // The value field holds 32 bytes; a larger size from the driver cannot be honoured.
    value.dataSize = std::min<std::uint32_t>(output.keyInfo.dataSize, kMaxValueBytes);
    value.dataType = codeToString(output.keyInfo.dataType);

    input.keyInfo.dataSize = value.dataSize;
    input.data8 = static_cast<std::uint8_t>(SMCKeys::readBytes);
    result = call(input, output);
    if (result != kKernSuccess) return result;

    std::copy_n(output.bytes.begin(), value.dataSize, value.bytes.begin());
    return kKernSuccess;
}

KernReturn SMC::write(const SMCVal_t& value) {
    if (!acceptKey(value.key)) return kDriverBadArgument;
    SMCKeyData_t input = zeroedKeyData();
    SMCKeyData_t output = zeroedKeyData();
    input.key = keyToCode(value.key);
    input.data8 = static_cast<std::uint8_t>(SMCKeys::writeBytes);
    input.keyInfo.dataSize = value.dataSize;
    input.bytes = value.bytes;
    return call(input, output);
}

std::optional<double> SMC::getValue(std::string_view key) {
    SMCVal_t value{std::string(key)};
    const KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read(" + std::string(key) + "): " + errorText(result));
        return std::nullopt;
    }
    if (value.dataSize == 0) return std::nullopt;
    // For the fan mask and the fan modes zero is a real answer.
    const bool zeroIsValue = key == "FS! " || key == "F0Md" || key == "F1Md";
    if (allZero(value.bytes) && !zeroIsValue) return std::nullopt;
    return decodeNumeric(value.dataType, value.bytes);
}

std::optional<std::string> SMC::getStringValue(std::string_view key) {
    SMCVal_t value{std::string(key)};
    const KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read(): " + errorText(result));
        return std::nullopt;
    }
    if (value.dataSize == 0 || allZero(value.bytes)) return std::nullopt;
    if (value.dataType != SMCDataType::FDS.code) {
        logLine("unsupported data type " + value.dataType + " for key: " + std::string(key));
        return std::nullopt;
    }
    // The name sits in bytes 4 to 15.
    std::string text = latin1ToUtf8(value.bytes.data() + 4, 12);
    return trimHorizontalSpace(std::move(text));
}

std::vector<std::string> SMC::getAllKeys() {
    std::vector<std::string> keys;
    const auto count = getValue("#KEY");
    if (!count) {
        logLine("ERROR no keys count found");
        return keys;
    }
    // Indices are 32-bit on the wire; a count beyond that cannot be enumerated.
    const auto total = truncatedInRange(*count, 0.0, 4294967296.0);
    if (!total) {
        logLine("ERROR invalid keys count");
        return keys;
    }
    SMCKeyData_t input = zeroedKeyData();
    SMCKeyData_t output = zeroedKeyData();
    input.data8 = static_cast<std::uint8_t>(SMCKeys::readIndex);
    for (std::int64_t i = 0; i < *total; ++i) {
        input.data32 = static_cast<std::uint32_t>(i);
        if (call(input, output) == kKernSuccess) keys.push_back(codeToString(output.key));
    }
    return keys;
}

KernReturn SMC::writeFPE2(std::string_view key, std::int64_t value) {
    if (value < 0 || value > 16383) {
        logLine("Error fpe2 value out of range (0...16383): " + std::to_string(value));
        return kDriverBadArgument;
    }
    SMCVal_t smcValue{std::string(key)};
    smcValue.dataSize = 2;
    const auto bytes = fpe2Bytes(static_cast<std::uint32_t>(value));
    smcValue.bytes[0] = bytes[0];
    smcValue.bytes[1] = bytes[1];
    return write(smcValue);
}

bool hasSwitchForm(const SMCVal_t& value, const ChargeSwitchKey& key) {
    if (value.dataSize != key.size) return false;
    return value.dataType == key.type || value.dataType == "hex_" || (key.size == 1 && value.dataType == "ui8 ");
}

bool SMC::isChargeKeyReadable(std::string_view key) {
    SMCVal_t value{std::string(key)};
    const KernReturn result = read(value);
    if (result == kKernSuccess) return true;
    logLine("Error read fan value: " + errorText(result));
    return false;
}

std::optional<int> SMC::getUInt8Value(std::string_view key) {
    SMCVal_t value{std::string(key)};
    const KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan value: " + errorText(result));
        return std::nullopt;
    }
    if (value.dataType != SMCDataType::UI8.code && value.dataType != "hex_") return std::nullopt;
    logLine("intValue " + std::to_string(value.bytes[0]));
    return value.bytes[0];
}

void SMC::setUInt8Value(std::string_view key, std::int64_t newValue) {
    SMCVal_t value{std::string(key)};
    KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan value: " + errorText(result));
        return;
    }
    logLine("设置电池状态数值 " + std::to_string(newValue));
    if (value.dataType == SMCDataType::UI8.code || value.dataType == "hex_") {
        if (newValue < 0 || newValue > 255) {
            logLine("Error value out of range (0...255): " + std::to_string(newValue));
            return;
        }
        logLine("bytes " + std::to_string(newValue));
        value.bytes[0] = static_cast<std::uint8_t>(newValue);
    }
    result = write(value);
    if (result != kKernSuccess) logLine("Error write: " + errorText(result));
}

std::optional<bool> SMC::getSwitchValue(const ChargeSwitchKey& key) {
    SMCVal_t value{std::string(key.key)};
    const KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan value: " + errorText(result));
        return std::nullopt;
    }
    if (!hasSwitchForm(value, key)) return std::nullopt;
    const auto held = std::span<const std::uint8_t>(value.bytes.data(), value.dataSize);
    if (std::ranges::equal(held, key.onBytes())) return true;
    if (std::ranges::equal(held, key.offBytes())) return false;
    return std::nullopt;
}

void SMC::setSwitchValue(const ChargeSwitchKey& key, bool on) {
    SMCVal_t value{std::string(key.key)};
    KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan value: " + errorText(result));
        return;
    }
    if (!hasSwitchForm(value, key)) {
        logLine("Error write: " + value.key + " is not " + std::to_string(key.size) + " bytes of type " +
                std::string(key.type));
        return;
    }
    const auto bytes = on ? key.onBytes() : key.offBytes();
    logLine("设置电池状态数值 " + value.key + (on ? " on" : " off"));
    value.bytes = {};
    std::ranges::copy(bytes, value.bytes.begin());
    result = write(value);
    if (result != kKernSuccess) logLine("Error write: " + errorText(result));
}

void SMC::setFanMode(int fan, FanMode mode) {
    const std::string modeKey = fanKey(fan, "Md");
    if (getValue(modeKey)) {
        SMCVal_t value{modeKey};
        KernReturn result = read(value);
        if (result != kKernSuccess) {
            logLine("Error read fan mode: " + errorText(result));
            return;
        }
        value.bytes = {};
        value.bytes[0] = static_cast<std::uint8_t>(static_cast<int>(mode));
        result = write(value);
        if (result != kKernSuccess) {
            logLine("Error write: " + errorText(result));
            return;
        }
    }

    const auto current = truncatedInRange(getValue("FS! ").value_or(0.0), 0.0, 65535.0);
    if (!current) {
        logLine("Error invalid fan mask");
        return;
    }
    std::int64_t mask;
    if ((fan == 0 || fan == 1) && *current <= 3) {
        const std::int64_t bit = std::int64_t{1} << fan;
        mask = mode == FanMode::forced ? (*current | bit) : (*current & ~bit);
    } else {
        // A mask this code cannot reason about: hand every fan back to the system.
        mask = 0;
    }
    if (mask == *current) return;

    SMCVal_t value{"FS! "};
    KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan mode: " + errorText(result));
        return;
    }
    value.bytes = {};
    value.bytes[1] = static_cast<std::uint8_t>(mask);
    result = write(value);
    if (result != kKernSuccess) logLine("Error write: " + errorText(result));
}

void SMC::setFanSpeed(int fan, int speed) {
    const auto maximum = truncatedInRange(getValue(fanKey(fan, "Mx")).value_or(4000.0), -2147483648.0, 2147483647.0);
    if (!maximum) {
        logLine("Error invalid maximum fan speed");
        return;
    }
    if (*maximum < speed) {
        logLine("new fan speed (" + std::to_string(speed) + ") is more than maximum speed (" +
                std::to_string(*maximum) + ")");
        return;
    }
    SMCVal_t value{fanKey(fan, "Tg")};
    KernReturn result = read(value);
    if (result != kKernSuccess) {
        logLine("Error read fan value: " + errorText(result));
        return;
    }
    if (value.dataType == SMCDataType::FLT.code) {
        const auto bytes = floatBytes(static_cast<float>(speed));
        std::copy(bytes.begin(), bytes.end(), value.bytes.begin());
    } else if (value.dataType == SMCDataType::FPE2.code) {
        if (speed < 0 || speed > 16383) {
            logLine("Error fpe2 value out of range (0...16383): " + std::to_string(speed));
            return;
        }
        const auto bytes = fpe2Bytes(static_cast<std::uint32_t>(speed));
        value.bytes[0] = bytes[0];
        value.bytes[1] = bytes[1];
        value.bytes[2] = 0;
        value.bytes[3] = 0;
    }
    result = write(value);
    if (result != kKernSuccess) logLine("Error write: " + errorText(result));
}

void SMC::resetFans() {
    SMCVal_t value{"FS! "};
    value.dataSize = 2;
    const KernReturn result = write(value);
    if (result != kKernSuccess) logLine("Error write: " + errorText(result));
}

}  // namespace wattkeeper::daemon
