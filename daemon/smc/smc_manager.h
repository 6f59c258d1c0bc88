#pragma once
// Switches battery charging and adapter discharging through three SMC keys, and reads them back.

#include <cstdint>
#include <string_view>

#include "daemon/smc/smc.h"
#include "platform/log.h"
#include "platform/run_loop.h"

namespace wattkeeper {

class ZQSMCManager {
public:
    // `smc` is the process's shared client in the daemon; it outlives the manager.
    ZQSMCManager(SMC& smc, RunLoop& runLoop, Log& log);
    virtual ~ZQSMCManager();
    ZQSMCManager(const ZQSMCManager&) = delete;
    ZQSMCManager& operator=(const ZQSMCManager&) = delete;

    virtual void openCMC();
    virtual void closeCMC();
    // Drops the connection handle, usable or not, and opens a new one (a failure logged as by
    // openCMC).
    virtual void reopenCMC();
    // True when the charging key can be read: the connection is usable.
    virtual bool getcmcStatus();
    virtual void enable_discharging();
    virtual void disable_discharging();
    // Discharging off now, "CH0B" = 0 after 0.5 s, "CH0C" = 0 after 1.0 s.
    virtual void enable_charging();
    // "CH0B" = 2 now, "CH0C" = 2 after 0.5 s.
    virtual void disable_charging();
    // Data byte 0 of "CH0B" (0: charging allowed), or 9 when it cannot be read.
    virtual std::int64_t get_charging_status();
    // Data byte 0 of "CH0I" (1: forced discharge on), or 9 when it cannot be read.
    virtual std::int64_t get_discharging_status();
    virtual void getBatteryChargeInfo();
    virtual void setbatteryWithKey(std::string_view key, std::int64_t value);

private:
    std::int64_t readStatus(std::string_view key, std::string_view label);
    // A one-byte write on the main queue after `delay`, never withdrawn.
    void writeLater(Duration delay, const char* key, std::int64_t value);

    SMC& smc_;
    RunLoop& runLoop_;
    Log& log_;
};

}  // namespace wattkeeper
