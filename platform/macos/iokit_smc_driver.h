#pragma once
// The SMC driver seam over IOKit: the AppleSMC service lookup, its user-client connection and the
// struct-method call, and the kernel's texts for return codes.

#include <map>
#include <mutex>
#include <string>

#include "platform/smc_driver.h"

namespace wattkeeper::macos_backend {

// Every operation is the one IOKit or Mach call it is named after, made on the caller's thread.
// Safe from any thread.
class IOKitSmcDriver : public SmcDriver {
public:
    IOKitSmcDriver();
    // Releases the matching dictionaries that were made but never handed to a lookup.
    ~IOKitSmcDriver() override;
    IOKitSmcDriver(const IOKitSmcDriver&) = delete;
    IOKitSmcDriver& operator=(const IOKitSmcDriver&) = delete;

    // IOServiceMatching. The dictionary waits here until getMatchingServices consumes it.
    std::optional<MatchingDictionary> serviceMatching(std::string_view className) override;
    // IOServiceGetMatchingServices on the default main port with a dictionary of serviceMatching
    // for the same class (one made afresh when none waits), which the call consumes.
    KernReturn getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) override;
    KernReturn objectRelease(IoObject object) override;
    IoObject iteratorNext(IoObject iterator) override;
    // IOServiceOpen with mach_task_self().
    KernReturn serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) override;
    KernReturn serviceClose(IoConnect connect) override;
    KernReturn callStructMethod(IoConnect connect, std::uint32_t selector, const void* input, std::size_t inputSize,
                                void* output, std::size_t* outputSize) override;
    // mach_error_string; empty when the kernel has no text.
    std::string machErrorString(KernReturn code) override;

private:
    std::mutex mutex_;
    // Dictionaries from IOServiceMatching not yet consumed, by class name; opaque here so that
    // this header stays free of CoreFoundation.
    std::multimap<std::string, const void*, std::less<>> pending_;
};

}  // namespace wattkeeper::macos_backend
