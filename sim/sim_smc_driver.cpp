#include "sim/smc_key_store.h"

namespace wattkeeper::sim {

namespace {

// The one service's handle lies below the range handed out for iterators and connections, so a
// stale iterator or connection can never pass for it.
constexpr IoObject kServiceHandle = 0x0b03;
constexpr std::string_view kServiceClass = "AppleSMC";
// The controller's user client knows only this connection type.
constexpr std::uint32_t kConnectionType = 0;
constexpr KernReturn kKernInvalidName = 15;

}  // namespace

void SimSmcDriver::setServicePresent(bool present) {
    std::lock_guard lock(mutex_);
    servicePresent_ = present;
}

void SimSmcDriver::failGetMatchingServices(KernReturn code) {
    std::lock_guard lock(mutex_);
    matchingFailure_ = code;
}

void SimSmcDriver::failServiceOpen(KernReturn code) {
    std::lock_guard lock(mutex_);
    openFailure_ = code;
}

void SimSmcDriver::failServiceMatching(bool fail) {
    std::lock_guard lock(mutex_);
    failMatching_ = fail;
}

std::size_t SimSmcDriver::openConnectionCount() const {
    std::lock_guard lock(mutex_);
    return openConnections_.size();
}

std::optional<MatchingDictionary> SimSmcDriver::serviceMatching(std::string_view className) {
    std::lock_guard lock(mutex_);
    if (failMatching_) return std::nullopt;
    return MatchingDictionary{std::string(className)};
}

KernReturn SimSmcDriver::getMatchingServices(const MatchingDictionary& matching, IoObject* iterator) {
    std::lock_guard lock(mutex_);
    if (iterator == nullptr) return kDriverBadArgument;
    if (matchingFailure_ != kKernSuccess) return matchingFailure_;
    const IoObject handle = nextObject_++;
    iterators_[handle] = servicePresent_ && matching.className == kServiceClass;
    *iterator = handle;
    return kKernSuccess;
}

IoObject SimSmcDriver::iteratorNext(IoObject iterator) {
    std::lock_guard lock(mutex_);
    const auto found = iterators_.find(iterator);
    if (found == iterators_.end() || !found->second) return 0;
    found->second = false;
    return kServiceHandle;
}

KernReturn SimSmcDriver::objectRelease(IoObject object) {
    std::lock_guard lock(mutex_);
    // Releasing the null handle is harmless, as deallocating the null port name is.
    if (object == 0 || object == kServiceHandle) return kKernSuccess;
    if (iterators_.erase(object) == 1) return kKernSuccess;
    return kKernInvalidName;
}

KernReturn SimSmcDriver::serviceOpen(IoObject service, std::uint32_t type, IoConnect* connect) {
    std::lock_guard lock(mutex_);
    if (connect == nullptr || type != kConnectionType) return kDriverBadArgument;
    if (service != kServiceHandle) return kMachSendInvalidDest;
    if (!servicePresent_) return kDriverNoDevice;
    if (openFailure_ != kKernSuccess) return openFailure_;
    const IoConnect handle = nextObject_++;
    openConnections_.insert(handle);
    *connect = handle;
    return kKernSuccess;
}

KernReturn SimSmcDriver::serviceClose(IoConnect connect) {
    std::lock_guard lock(mutex_);
    // A closed connection's port is dead, and the kernel says so for every later call on it.
    return openConnections_.erase(connect) == 1 ? kKernSuccess : kMachSendInvalidDest;
}

KernReturn SimSmcDriver::callStructMethod(IoConnect connect, std::uint32_t selector, const void* input,
                                          std::size_t inputSize, void* output, std::size_t* outputSize) {
    {
        std::lock_guard lock(mutex_);
        if (!openConnections_.contains(connect)) return kMachSendInvalidDest;
    }
    // The store locks by itself; holding our lock across it would only serialise unrelated work.
    return store_.callStructMethod(selector, input, inputSize, output, outputSize);
}

std::string SimSmcDriver::machErrorString(KernReturn code) { return machErrorText(code); }

}  // namespace wattkeeper::sim
