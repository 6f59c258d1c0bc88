#pragma once
// The model of a notebook's System Management Controller as its kernel driver presents it:
// typed keys, key enumeration, and the 80-byte struct-method call, answered as the real driver
// and controller answer it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/smc_driver.h"

namespace wattkeeper::sim {

// Result bytes the controller puts at offset 40 of its reply.
inline constexpr std::uint8_t kSmcSuccess = 0x00;
inline constexpr std::uint8_t kSmcBadCommand = 0x82;
inline constexpr std::uint8_t kSmcKeyNotFound = 0x84;
inline constexpr std::uint8_t kSmcKeyNotWritable = 0x86;
inline constexpr std::uint8_t kSmcKeySizeMismatch = 0x87;

struct SmcKeyInfo {
    std::string type;                 // four characters, e.g. "ui8 "
    std::vector<std::uint8_t> value;  // its size is the key's size (at most 32)
    bool writable = true;
    // Reads and writes answer kIOReturnNotPrivileged, even to root.
    bool privileged = false;
};

// The firmware generations, by the charge keys they offer (the sets of platform/smc_keys.h):
// - Ch0b: "CH0B", "CH0C", "CH0I", one byte each;
// - Chte: "CHTE" and "CHIE" (macOS 15.7 to 26.6); the old keys are gone;
// - Placeholders: "CH0B", "CH0C", "CH0I" and "CHTE" listed with size 0 and no data, "CHIE"
//   alone in working order, "CH0J" and the newer limit keys privileged (macOS 15.8, 26.7, 27).
enum class Firmware { Ch0b, Chte, Placeholders };
inline constexpr Firmware kFirmwares[] = {Firmware::Ch0b, Firmware::Chte, Firmware::Placeholders};
// "ch0b", "chte", "placeholders".
std::string_view firmwareName(Firmware firmware);
std::optional<Firmware> firmwareNamed(std::string_view name);

class SmcKeyStore {
public:
    using Record = std::array<std::uint8_t, 80>;

    // Holds only "#KEY", as a controller always does.
    SmcKeyStore() = default;
    // Moves the keys, the pending failures and the history; lets macBook() and owners hand a
    // store around. A driver built on the moved-from store keeps pointing at that one.
    SmcKeyStore(SmcKeyStore&& other) noexcept;
    SmcKeyStore& operator=(SmcKeyStore&& other) noexcept;

    // A MacBook: the charge keys of the firmware, two fans, a few sensors, "#KEY".
    static SmcKeyStore macBook(Firmware firmware = Firmware::Ch0b);
    // Puts the charge keys of `firmware` in place of whichever charge keys the store holds.
    void installChargeKeys(Firmware firmware);

    // Adds or replaces a key; "#KEY" follows the count of keys by itself. The key and the type
    // must be four bytes and the value at most 32 bytes (std::invalid_argument otherwise). Adding
    // "#KEY" puts back the count key ("ui32", read-only, the count), whatever is passed.
    void addKey(const std::string& key, const std::string& type, std::vector<std::uint8_t> value, bool writable = true,
                bool privileged = false);
    bool removeKey(const std::string& key);
    std::optional<SmcKeyInfo> key(const std::string& key) const;
    // Sets a key's bytes from the hardware side (no writability check); false for an unknown key,
    // a size other than the key's, or "#KEY", which only ever holds the count.
    bool setValue(const std::string& key, std::vector<std::uint8_t> value);
    // Keys in enumeration order (sorted by their 32-bit code).
    std::vector<std::string> keys() const;

    // The next read step (key info or bytes) or the next write of the key fails with this kernel
    // code, once: nothing changes and the reply is all zero. kKernSuccess cancels a pending one.
    void failNextRead(const std::string& key, KernReturn code);
    void failNextWrite(const std::string& key, KernReturn code);

    // The driver's struct method. Selector 2 and 80-byte records only; commands 5, 6, 8, 9.
    KernReturn callStructMethod(std::uint32_t selector, const void* input, std::size_t inputSize, void* output,
                                std::size_t* outputSize);

    // Every well-formed request record received (failed ones included) and every value the
    // controller accepted, oldest first.
    std::vector<Record> requests() const;
    struct Write {
        std::string key;
        std::vector<std::uint8_t> value;
    };
    std::vector<Write> writes() const;
    void clearHistory();

private:
    void updateKeyCount();  // with mutex_ held

    mutable std::mutex mutex_;
    std::map<std::uint32_t, SmcKeyInfo> keys_ = initialKeys();
    std::map<std::uint32_t, KernReturn> readFailures_;
    std::map<std::uint32_t, KernReturn> writeFailures_;
    std::vector<Record> requests_;
    std::vector<Write> writes_;

    static std::map<std::uint32_t, SmcKeyInfo> initialKeys();
};

// The driver seam over a key store: one "AppleSMC" service, connections that open and close.
class SimSmcDriver : public SmcDriver {
public:
    explicit SimSmcDriver(SmcKeyStore& store) : store_(store) {}

    // No service: iterators made from now on are empty.
    void setServicePresent(bool present);
    // These failures last until they are set back to kKernSuccess (or false).
    void failGetMatchingServices(KernReturn code);
    void failServiceOpen(KernReturn code);
    void failServiceMatching(bool fail);
    std::size_t openConnectionCount() const;

    std::optional<MatchingDictionary> serviceMatching(std::string_view className) override;
    KernReturn getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) override;
    IoObject iteratorNext(IoObject iterator) override;
    KernReturn objectRelease(IoObject object) override;
    KernReturn serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) override;
    KernReturn serviceClose(IoConnect connect) override;
    KernReturn callStructMethod(IoConnect connect, std::uint32_t selector, const void* input, std::size_t inputSize,
                                void* output, std::size_t* outputSize) override;
    std::string machErrorString(KernReturn code) override;

private:
    SmcKeyStore& store_;
    // The implementation keeps its own state below (services, iterators, open connections).
    mutable std::mutex mutex_;
    bool servicePresent_ = true;
    bool failMatching_ = false;
    KernReturn matchingFailure_ = kKernSuccess;
    KernReturn openFailure_ = kKernSuccess;
    IoObject nextObject_ = 0x1003;
    std::map<IoObject, bool> iterators_;  // iterator -> service still to hand out
    std::set<IoConnect> openConnections_;
};

}  // namespace wattkeeper::sim
