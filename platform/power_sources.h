#pragma once
// The power-source service: snapshots of every source's description, and the power-source
// driver's general-interest messages.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/plist.h"
#include "platform/smc_driver.h"

namespace wattkeeper {

// One snapshot (IOPSCopyPowerSourcesInfo with IOPSCopyPowerSourcesList): one entry per source,
// with its description, or nothing where IOPSGetPowerSourceDescription gives none.
using PowerSourceList = std::vector<std::optional<PlistDictionary>>;

class PowerSources {
public:
    using InterestCallback = std::function<void(std::uint32_t messageType)>;
    virtual ~PowerSources() = default;
    // Nothing when the service hands out no snapshot or no list.
    virtual std::optional<PowerSourceList> copyPowerSources() = 0;
    // Registers for "IOGeneralInterest" messages of the first "IOPMPowerSource" service, delivered
    // on the main run loop. The registration lives for the process.
    virtual KernReturn addGeneralInterestNotification(InterestCallback callback) = 0;
};

}  // namespace wattkeeper
