#include "platform/macos/iokit_smc_driver.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <mach/mach.h>
#include <mach/mach_error.h>

#include <type_traits>

#include "platform/macos/iokit_ports.h"

namespace wattkeeper::macos_backend {

// The port's handle and code types are IOKit's own, so values pass through unconverted.
static_assert(std::is_same_v<KernReturn, kern_return_t>);
static_assert(std::is_same_v<IoObject, io_object_t>);
static_assert(std::is_same_v<IoConnect, io_connect_t>);
static_assert(kKernSuccess == KERN_SUCCESS);

IOKitSmcDriver::IOKitSmcDriver() = default;

IOKitSmcDriver::~IOKitSmcDriver() {
    for (const auto& [name, dictionary] : pending_) CFRelease(dictionary);
}

std::optional<MatchingDictionary> IOKitSmcDriver::serviceMatching(std::string_view className) {
    std::string name(className);
    CFMutableDictionaryRef dictionary = IOServiceMatching(name.c_str());
    if (!dictionary) return std::nullopt;
    std::lock_guard lock(mutex_);
    pending_.emplace(name, dictionary);
    return MatchingDictionary{std::move(name)};
}

KernReturn IOKitSmcDriver::getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) {
    CFMutableDictionaryRef dictionary = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (auto waiting = pending_.find(matching.className); waiting != pending_.end()) {
            dictionary = static_cast<CFMutableDictionaryRef>(const_cast<void*>(waiting->second));
            pending_.erase(waiting);
        }
    }
    if (!dictionary) dictionary = IOServiceMatching(matching.className.c_str());
    if (!dictionary) return kIOReturnNoMemory;
    io_iterator_t found = IO_OBJECT_NULL;
    // The call consumes one reference to the dictionary, whatever its result.
    const kern_return_t result = IOServiceGetMatchingServices(ioKitDefaultPort(), dictionary, &found);
    if (iterator) *iterator = found;
    return result;
}

IoObject IOKitSmcDriver::iteratorNext(IoObject iterator) { return IOIteratorNext(iterator); }

KernReturn IOKitSmcDriver::objectRelease(IoObject object) { return IOObjectRelease(object); }

KernReturn IOKitSmcDriver::serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) {
    io_connect_t opened = IO_OBJECT_NULL;
    const kern_return_t result = IOServiceOpen(service, mach_task_self(), type, &opened);
    if (result == KERN_SUCCESS && connect) *connect = opened;
    return result;
}

KernReturn IOKitSmcDriver::serviceClose(IoConnect connect) { return IOServiceClose(connect); }

KernReturn IOKitSmcDriver::callStructMethod(IoConnect connect, std::uint32_t selector, const void* input,
                                            std::size_t inputSize, void* output, std::size_t* outputSize) {
    return IOConnectCallStructMethod(connect, selector, input, inputSize, output, outputSize);
}

std::string IOKitSmcDriver::machErrorString(KernReturn code) {
    const char* text = mach_error_string(code);
    return text ? std::string(text) : std::string();
}

}  // namespace wattkeeper::macos_backend
