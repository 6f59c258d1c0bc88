#pragma once
// The power-source service of IOKit: snapshots of every source's description, and the general-
// interest messages of the power-management driver's IOPMPowerSource service.

#include <mutex>
#include <optional>
#include <vector>

#include "platform/power_sources.h"

namespace wattkeeper::macos_backend {

// One per process: the interest registration lives for the process, and its IOKit callback,
// which carries no reference value, reaches this object through a file-local pointer.
class MacPowerSources : public PowerSources {
public:
    MacPowerSources();
    ~MacPowerSources() override;
    MacPowerSources(const MacPowerSources&) = delete;
    MacPowerSources& operator=(const MacPowerSources&) = delete;

    // IOPSCopyPowerSourcesInfo, IOPSCopyPowerSourcesList and IOPSGetPowerSourceDescription for
    // each source; the snapshot and the list are released before this returns. Values with no
    // property-list form are left out of a description. Safe from any thread.
    std::optional<PowerSourceList> copyPowerSources() override;
    // The first call creates a notification port on the default main port, adds its run-loop
    // source to the calling thread's run loop in the common modes, looks up the first
    // IOPMPowerSource service and adds an IOGeneralInterest notification on it. Port, service and
    // notification object are never released. Later calls only add their callback and return the
    // first call's result. Call it on the main thread, whose run loop then delivers the messages.
    KernReturn addGeneralInterestNotification(InterestCallback callback) override;

    // Runs the callbacks; the IOKit callback's entry.
    void deliver(std::uint32_t messageType);

private:
    std::mutex mutex_;
    std::vector<InterestCallback> callbacks_;
    std::optional<KernReturn> registration_;
};

}  // namespace wattkeeper::macos_backend
