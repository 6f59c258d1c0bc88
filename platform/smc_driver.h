#pragma once
// The seam to the SMC kernel driver: service lookup, the user-client connection and its
// struct-method call, and the kernel's texts for return codes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wattkeeper {

using KernReturn = std::int32_t;  // kern_return_t / IOReturn
using IoObject = std::uint32_t;   // io_object_t, io_service_t, io_iterator_t
using IoConnect = std::uint32_t;  // io_connect_t

inline constexpr KernReturn kKernSuccess = 0;
inline constexpr KernReturn kMachSendInvalidDest = 0x10000003;
inline constexpr KernReturn kDriverError = static_cast<KernReturn>(0xe00002bc);
inline constexpr KernReturn kDriverBadArgument = static_cast<KernReturn>(0xe00002c2);
inline constexpr KernReturn kDriverNotFound = static_cast<KernReturn>(0xe00002f0);
inline constexpr KernReturn kDriverNoDevice = static_cast<KernReturn>(0xe00002c0);
// kIOReturnNotPrivileged: newer firmware answers so for some keys, even to root.
inline constexpr KernReturn kDriverNotPrivileged = static_cast<KernReturn>(0xe00002c1);
inline constexpr KernReturn kDriverNotPermitted = static_cast<KernReturn>(0xe00002e2);

// The kernel's text for a return code, as mach_error_string gives it.
std::string machErrorText(KernReturn code);

// What IOServiceMatching hands back: the class the lookup is for.
struct MatchingDictionary {
    std::string className;
};

class SmcDriver {
public:
    virtual ~SmcDriver() = default;
    // IOServiceMatching: nothing when no dictionary can be made.
    virtual std::optional<MatchingDictionary> serviceMatching(std::string_view className) = 0;
    // IOServiceGetMatchingServices; consumes the dictionary.
    virtual KernReturn getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) = 0;
    // IOIteratorNext: the next service, 0 when there is none.
    virtual IoObject iteratorNext(IoObject iterator) = 0;
    virtual KernReturn objectRelease(IoObject object) = 0;
    // IOServiceOpen with the own task and the given connection type.
    virtual KernReturn serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) = 0;
    virtual KernReturn serviceClose(IoConnect connect) = 0;
    // IOConnectCallStructMethod.
    virtual KernReturn callStructMethod(IoConnect connect, std::uint32_t selector, const void* input,
                                        std::size_t inputSize, void* output, std::size_t* outputSize) = 0;
    // mach_error_string: the raw bytes of the kernel's text, not necessarily ASCII.
    virtual std::string machErrorString(KernReturn code) = 0;
};

}  // namespace wattkeeper
