#include "sim/smc_key_store.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "platform/smc_keys.h"

namespace wattkeeper::sim {

namespace {

// Where the driver's record keeps the fields the controller looks at. Integers are in the host's
// byte order, as the client's own struct puts them there.
constexpr std::size_t kRecordSize = 80;
constexpr std::size_t kKeyOffset = 0;
constexpr std::size_t kDataSizeOffset = 28;
constexpr std::size_t kDataTypeOffset = 32;
constexpr std::size_t kResultOffset = 40;
constexpr std::size_t kCommandOffset = 42;
constexpr std::size_t kIndexOffset = 44;
constexpr std::size_t kBytesOffset = 48;
constexpr std::size_t kMaxValueSize = 32;

constexpr std::uint32_t kStructMethodSelector = 2;
constexpr std::uint8_t kReadBytes = 5;
constexpr std::uint8_t kWriteBytes = 6;
constexpr std::uint8_t kReadIndex = 8;
constexpr std::uint8_t kReadKeyInfo = 9;

const std::string kCountKey = "#KEY";

std::uint32_t fourCharCode(const std::string& text, const char* what) {
    if (text.size() != 4) {
        throw std::invalid_argument(std::string("an SMC ") + what + " has four bytes: \"" + text + "\"");
    }
    std::uint32_t code = 0;
    for (unsigned char c : text) code = (code << 8) | c;
    return code;
}

std::string codeText(std::uint32_t code) {
    std::string text(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    return text;
}

std::uint32_t load32(const SmcKeyStore::Record& record, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

void store32(SmcKeyStore::Record& record, std::size_t offset, std::uint32_t value) {
    std::memcpy(record.data() + offset, &value, sizeof value);
}

std::vector<std::uint8_t> bigEndian32(std::size_t n) {
    return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

// "flt " values travel in the host's byte order.
std::vector<std::uint8_t> hostFloat(float value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// A fan's "{fds" record: type, zone, location, a spare byte, then a 12-character name.
std::vector<std::uint8_t> fanDescription(std::uint8_t location, const std::string& name) {
    std::vector<std::uint8_t> bytes{0x00, 0x00, location, 0x00};
    std::string padded = name;
    padded.resize(12, ' ');
    bytes.insert(bytes.end(), padded.begin(), padded.end());
    return bytes;
}

SmcKeyInfo countKeyInfo(std::size_t count) { return SmcKeyInfo{"ui32", bigEndian32(count), false}; }

}  // namespace

std::map<std::uint32_t, SmcKeyInfo> SmcKeyStore::initialKeys() {
    return {{fourCharCode(kCountKey, "key"), countKeyInfo(1)}};
}

SmcKeyStore::SmcKeyStore(SmcKeyStore&& other) noexcept {
    std::lock_guard lock(other.mutex_);
    keys_ = std::move(other.keys_);
    readFailures_ = std::move(other.readFailures_);
    writeFailures_ = std::move(other.writeFailures_);
    requests_ = std::move(other.requests_);
    writes_ = std::move(other.writes_);
}

SmcKeyStore& SmcKeyStore::operator=(SmcKeyStore&& other) noexcept {
    if (this != &other) {
        std::scoped_lock lock(mutex_, other.mutex_);
        keys_ = std::move(other.keys_);
        readFailures_ = std::move(other.readFailures_);
        writeFailures_ = std::move(other.writeFailures_);
        requests_ = std::move(other.requests_);
        writes_ = std::move(other.writes_);
    }
    return *this;
}

std::string_view firmwareName(Firmware firmware) {
    switch (firmware) {
        case Firmware::Ch0b:
            return "ch0b";
        case Firmware::Chte:
            return "chte";
        case Firmware::Placeholders:
            return "placeholders";
    }
    return "ch0b";
}

std::optional<Firmware> firmwareNamed(std::string_view name) {
    for (Firmware firmware : kFirmwares) {
        if (firmwareName(firmware) == name) return firmware;
    }
    return std::nullopt;
}

void SmcKeyStore::installChargeKeys(Firmware firmware) {
    // Every charge key any generation has, and the newer limit keys that answer no one.
    for (const char* key : {"CH0B", "CH0C", "CH0I", "CHTE", "CHIE", "CH0J", "bfD0", "bfE0", "bfF0"}) removeKey(key);
    const auto addSet = [this](const ChargeKeySet& set) {
        for (const auto& keys : {set.charging, set.adapter}) {
            for (const ChargeSwitchKey& k : keys) {
                // The second generation lacks "CH0J" where it has "CHIE".
                if (k.key.empty() || k.key == "CH0J") continue;
                const auto off = k.offBytes();
                addKey(std::string(k.key), std::string(k.type), {off.begin(), off.end()});
            }
        }
    };
    switch (firmware) {
        case Firmware::Ch0b:
            addSet(kChargeKeySets[0]);
            break;
        case Firmware::Chte:
            addSet(kChargeKeySets[1]);
            break;
        case Firmware::Placeholders:
            for (const char* key : {"CH0B", "CH0C", "CH0I", "CHTE"}) addKey(key, "    ", {}, false);
            addKey("CHIE", "hex_", {0x00});
            for (const char* key : {"CH0J", "bfD0", "bfE0", "bfF0"}) addKey(key, "ui8 ", {0x00}, false, true);
            break;
    }
}

SmcKeyStore SmcKeyStore::macBook(Firmware firmware) {
    SmcKeyStore store;
    // Charging: switches whose off value lets the battery charge and the adapter carry the load.
    store.installChargeKeys(firmware);
    store.addKey("BCLM", "ui8 ", {100});
    // Fans: a count, the forced-control mask, and per fan its mode and speeds.
    store.addKey("FNum", "ui8 ", {2}, false);
    store.addKey("FS! ", "ui16", {0x00, 0x00});
    struct Fan {
        char digit;
        float minimum, maximum;
        std::uint8_t location;
        const char* name;
    };
    for (const Fan& fan : {Fan{'0', 2160.0F, 5927.0F, 1, "Left side"}, Fan{'1', 2000.0F, 6241.0F, 2, "Right side"}}) {
        const std::string prefix = std::string("F") + fan.digit;
        store.addKey(prefix + "Md", "ui8 ", {0x00});
        store.addKey(prefix + "Ac", "flt ", hostFloat(fan.minimum), false);
        store.addKey(prefix + "Mn", "flt ", hostFloat(fan.minimum));
        store.addKey(prefix + "Mx", "flt ", hostFloat(fan.maximum));
        store.addKey(prefix + "Tg", "flt ", hostFloat(fan.minimum));
        store.addKey(prefix + "ID", "{fds", fanDescription(fan.location, fan.name), false);
    }
    // Sensors the hardware updates by itself.
    store.addKey("TC0P", "sp78", {0x28, 0x00}, false);  // CPU proximity, 40.0 degrees
    store.addKey("TB0T", "sp78", {0x1E, 0x80}, false);  // battery, 30.5 degrees
    store.addKey("B0AV", "ui16", {0x31, 0x21}, false);  // battery voltage, 12577 mV
    store.addKey("B0AC", "si16", {0x00, 0x00}, false);  // battery current, mA
    store.addKey("BSIn", "hex_", {0x07}, false);        // battery status flags
    return store;
}

void SmcKeyStore::updateKeyCount() {
    const auto count = keys_.find(fourCharCode(kCountKey, "key"));
    if (count != keys_.end()) count->second = countKeyInfo(keys_.size());
}

void SmcKeyStore::addKey(const std::string& key, const std::string& type, std::vector<std::uint8_t> value,
                         bool writable, bool privileged) {
    const std::uint32_t code = fourCharCode(key, "key");
    fourCharCode(type, "type");
    if (value.size() > kMaxValueSize) throw std::invalid_argument("an SMC value has at most 32 bytes: " + key);
    std::lock_guard lock(mutex_);
    keys_[code] = SmcKeyInfo{type, std::move(value), writable, privileged};
    updateKeyCount();
}

bool SmcKeyStore::removeKey(const std::string& key) {
    const std::uint32_t code = fourCharCode(key, "key");
    std::lock_guard lock(mutex_);
    if (keys_.erase(code) == 0) return false;
    updateKeyCount();
    return true;
}

std::optional<SmcKeyInfo> SmcKeyStore::key(const std::string& key) const {
    const std::uint32_t code = fourCharCode(key, "key");
    std::lock_guard lock(mutex_);
    const auto found = keys_.find(code);
    if (found == keys_.end()) return std::nullopt;
    return found->second;
}

bool SmcKeyStore::setValue(const std::string& key, std::vector<std::uint8_t> value) {
    if (key == kCountKey) return false;
    const std::uint32_t code = fourCharCode(key, "key");
    std::lock_guard lock(mutex_);
    const auto found = keys_.find(code);
    if (found == keys_.end() || found->second.value.size() != value.size()) return false;
    found->second.value = std::move(value);
    return true;
}

std::vector<std::string> SmcKeyStore::keys() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(keys_.size());
    for (const auto& entry : keys_) result.push_back(codeText(entry.first));
    return result;
}

void SmcKeyStore::failNextRead(const std::string& key, KernReturn code) {
    const std::uint32_t keyCode = fourCharCode(key, "key");
    std::lock_guard lock(mutex_);
    if (code == kKernSuccess) {
        readFailures_.erase(keyCode);
    } else {
        readFailures_[keyCode] = code;
    }
}

void SmcKeyStore::failNextWrite(const std::string& key, KernReturn code) {
    const std::uint32_t keyCode = fourCharCode(key, "key");
    std::lock_guard lock(mutex_);
    if (code == kKernSuccess) {
        writeFailures_.erase(keyCode);
    } else {
        writeFailures_[keyCode] = code;
    }
}

KernReturn SmcKeyStore::callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                         std::size_t* outputSize) {
    if (selector != kStructMethodSelector || input == nullptr || inputSize != kRecordSize || output == nullptr ||
        outputSize == nullptr || *outputSize != kRecordSize) {
        return kDriverBadArgument;
    }
    Record request;
    std::memcpy(request.data(), input, kRecordSize);

    std::lock_guard lock(mutex_);
    requests_.push_back(request);

    const std::uint32_t code = load32(request, kKeyOffset);
    const std::uint8_t command = request[kCommandOffset];

    // A kernel failure takes the whole call: the controller never sees the request.
    auto& failures = command == kWriteBytes ? writeFailures_ : readFailures_;
    if (command == kWriteBytes || command == kReadBytes || command == kReadKeyInfo) {
        if (const auto failure = failures.find(code); failure != failures.end()) {
            const KernReturn result = failure->second;
            failures.erase(failure);
            std::memset(output, 0, kRecordSize);
            return result;
        }
    }

    // The controller answers in a fresh record, so nothing of an earlier reply in the caller's
    // buffer survives.
    const auto found = keys_.find(code);
    if (found != keys_.end() && found->second.privileged && command != kReadIndex) {
        std::memset(output, 0, kRecordSize);
        return kDriverNotPrivileged;
    }
    Record reply{};
    store32(reply, kKeyOffset, code);
    switch (command) {
        case kReadKeyInfo:
            if (found == keys_.end()) {
                reply[kResultOffset] = kSmcKeyNotFound;
                break;
            }
            store32(reply, kDataSizeOffset, static_cast<std::uint32_t>(found->second.value.size()));
            store32(reply, kDataTypeOffset, fourCharCode(found->second.type, "type"));
            reply[kResultOffset] = kSmcSuccess;
            break;
        case kReadBytes:
            if (found == keys_.end()) {
                reply[kResultOffset] = kSmcKeyNotFound;
                break;
            }
            store32(reply, kDataSizeOffset, static_cast<std::uint32_t>(found->second.value.size()));
            std::copy(found->second.value.begin(), found->second.value.end(), reply.begin() + kBytesOffset);
            reply[kResultOffset] = kSmcSuccess;
            break;
        case kWriteBytes: {
            if (found == keys_.end()) {
                reply[kResultOffset] = kSmcKeyNotFound;
                break;
            }
            std::vector<std::uint8_t>& value = found->second.value;
            if (load32(request, kDataSizeOffset) != value.size()) {
                reply[kResultOffset] = kSmcKeySizeMismatch;
                break;
            }
            if (!found->second.writable) {
                reply[kResultOffset] = kSmcKeyNotWritable;
                break;
            }
            const auto first = request.begin() + kBytesOffset;
            std::copy(first, first + static_cast<std::ptrdiff_t>(value.size()), value.begin());
            writes_.push_back(Write{codeText(code), value});
            reply[kResultOffset] = kSmcSuccess;
            break;
        }
        case kReadIndex: {
            const std::uint32_t index = load32(request, kIndexOffset);
            if (index >= keys_.size()) {
                reply[kResultOffset] = kSmcKeyNotFound;
                break;
            }
            store32(reply, kKeyOffset, std::next(keys_.begin(), index)->first);
            reply[kResultOffset] = kSmcSuccess;
            break;
        }
        default:
            reply[kResultOffset] = kSmcBadCommand;
            break;
    }
    std::memcpy(output, reply.data(), kRecordSize);
    *outputSize = kRecordSize;
    return kKernSuccess;
}

std::vector<SmcKeyStore::Record> SmcKeyStore::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<SmcKeyStore::Write> SmcKeyStore::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void SmcKeyStore::clearHistory() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    writes_.clear();
}

}  // namespace wattkeeper::sim
