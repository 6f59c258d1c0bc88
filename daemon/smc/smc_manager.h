#pragma once
// Switches battery charging and adapter discharging through three SMC keys, and reads them back.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "daemon/smc/smc.h"
#include "platform/log.h"
#include "platform/run_loop.h"

namespace wattkeeper::daemon {

// The values one decision wants of the charge keys; a key left empty is not part of it.
struct ChargeKeys {
    std::optional<std::uint8_t> ch0b;
    std::optional<std::uint8_t> ch0c;
    std::optional<std::uint8_t> ch0i;
};

// Charging allowed and forced discharge off: what the daemon leaves behind whenever it lets go.
inline constexpr ChargeKeys kChargingHandedBack{0, 0, 0};

// How a switch spreads its writes: staggered as the controller is used to, or all at once when
// nothing may be left to a timer (the Mac is about to sleep, the process is about to end).
enum class Stagger { Delayed, AtOnce };

// Every decision about the switches is recorded here before its writes. A write, at once or
// delayed, lands only while the latest decision wants that value of its key (or says nothing of
// the key), and a delayed one only while the connection is still open: a write decided earlier
// never undoes a later decision. Shared with the delayed writes, which may outlive the manager.
class SwitchDecisions {
public:
    std::uint64_t generation() const;
    void decide(const ChargeKeys& wanted);
    // Records the decision only when none was made since `seen`; false when it was superseded.
    bool decideUnlessSuperseded(std::uint64_t seen, const ChargeKeys& wanted);
    // Writes the byte when the latest decision still wants it; checked and written under one
    // lock, so a decision made on another thread cannot slip in between.
    void write(SMC& smc, std::string_view key, std::uint8_t value, bool delayed);

private:
    void recordLocked(const ChargeKeys& wanted);
    std::optional<std::uint8_t>* wantedLocked(std::string_view key);

    mutable std::mutex mutex_;
    std::uint64_t generation_ = 0;
    ChargeKeys wanted_;
};

class ZQSMCManager {
public:
    // `smc` is the process's shared client in the daemon; it outlives the manager.
    ZQSMCManager(SMC& smc, RunLoop& runLoop, Log& log);
    ~ZQSMCManager();
    ZQSMCManager(const ZQSMCManager&) = delete;
    ZQSMCManager& operator=(const ZQSMCManager&) = delete;

    void openCMC();
    void closeCMC();
    // Drops the connection handle, usable or not, and opens a new one (a failure logged as by
    // openCMC).
    void reopenCMC();
    // True when the charging key can be read: the connection is usable.
    bool getcmcStatus();
    // True while a connection handle is held, usable or not; asks nothing of the driver.
    bool isOpen() const { return smc_.conn() != 0; }
    // "CH0I" = 1 or 0, one key written now either way; the stagger is taken so that every
    // switch can be scheduled alike.
    void enable_discharging(Stagger stagger = Stagger::Delayed);
    void disable_discharging(Stagger stagger = Stagger::Delayed);
    // Discharging off now, "CH0B" = 0 after 0.5 s, "CH0C" = 0 after 1.0 s.
    void enable_charging(Stagger stagger = Stagger::Delayed);
    // "CH0B" = 2 now, "CH0C" = 2 after 0.5 s.
    void disable_charging(Stagger stagger = Stagger::Delayed);
    // Data byte 0 of "CH0B" (0: charging allowed), or 9 when it cannot be read.
    std::int64_t get_charging_status();
    // Data byte 0 of "CH0I" (1: forced discharge on), or 9 when it cannot be read.
    std::int64_t get_discharging_status();
    void getBatteryChargeInfo();
    void setbatteryWithKey(std::string_view key, std::int64_t value);
    // True when a charge key reads as holding charging or forcing discharge (a key that cannot
    // be read counts for neither).
    bool keysHoldCharging();

    // The record of decisions every switch write is checked against.
    std::uint64_t generation() const { return decisions_->generation(); }
    void decide(const ChargeKeys& wanted) { decisions_->decide(wanted); }
    bool decideUnlessSuperseded(std::uint64_t seen, const ChargeKeys& wanted) {
        return decisions_->decideUnlessSuperseded(seen, wanted);
    }

private:
    std::int64_t readStatus(std::string_view key, std::string_view label);
    void writeNow(const char* key, std::uint8_t value);
    // A one-byte write on the main queue after `delay` (or now, when not staggered); it lands
    // only if the decision it belongs to still stands then.
    void writeLater(Duration delay, const char* key, std::uint8_t value, Stagger stagger);

    SMC& smc_;
    RunLoop& runLoop_;
    Log& log_;
    std::shared_ptr<SwitchDecisions> decisions_ = std::make_shared<SwitchDecisions>();
};

}  // namespace wattkeeper::daemon
