#pragma once
// Switches battery charging and adapter discharging through the SMC keys the firmware offers, and
// reads them back.

#include <atomic>
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

// Which of the firmware's key sets the switches go through: chosen each time the manager opens a
// connection; before any choice, and when a choice could not be made, the first set, which the
// daemon has always used. Switch roles are named by the first set's keys and carry its values
// ("CH0B" and "CH0C" 0 or 2, "CH0I" 0 or 1) whatever keys stand behind them. Shared with the
// delayed writes, which may outlive the manager.
class FirmwareKeys {
public:
    // The set in use; null when the firmware offers none the daemon can use.
    const ChargeKeySet* set() const;
    bool none() const { return choice_.load(std::memory_order_relaxed) == kNone; }
    void choose(std::size_t set, std::size_t adapter);
    // No set serves; `fingerprint` is how the firmware answered when that was found. False when
    // that was known already (another thread found it first).
    bool chooseNone(std::uint64_t fingerprint);
    void forget() { choice_.store(kUnknown, std::memory_order_relaxed); }
    std::uint64_t fingerprint() const { return fingerprint_.load(std::memory_order_relaxed); }

    // A role's value read through the set in use; nothing when it cannot be read (or there is no
    // set, or no key in that role).
    std::optional<int> read(SMC& smc, std::string_view role) const;
    // Writes a role's value through the set in use; nothing without a set or a key in that role.
    void write(SMC& smc, std::string_view role, std::uint8_t value) const;

private:
    static constexpr int kUnknown = -1;
    static constexpr int kNone = -2;
    // The key standing for `role` in a choice of a newer set; null when that set has none.
    static const ChargeSwitchKey* keyFor(int choice, std::string_view role);
    // Unknown, none, or set index * 2 + adapter index.
    std::atomic<int> choice_{kUnknown};
    std::atomic<std::uint64_t> fingerprint_{0};
};

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
    void write(SMC& smc, const FirmwareKeys& keys, std::string_view key, std::uint8_t value, bool delayed);

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

    // Opens the connection; a new one is asked which key set the firmware offers.
    void openCMC();
    void closeCMC();
    // Drops the connection handle, usable or not, and opens a new one (a failure logged as by
    // openCMC).
    void reopenCMC();
    // True when the charging key can be read: the connection is usable. Never while the firmware
    // is known to offer no usable keys: that is looked at again, quietly, and the verdict dropped
    // when the controller answers otherwise than when it was made.
    bool getcmcStatus();
    // The firmware offers no charge keys the daemon can use; nothing is written while so.
    bool noUsableKeys() const { return keys_->none(); }
    // True while a connection handle is held, usable or not; asks nothing of the driver.
    bool isOpen() const { return smc_.conn() != 0; }
    // Below, key names stand for their roles in the set in use.
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
    // Picks the first key set the controller offers in working order; one log line when none.
    void chooseKeys();
    // How the controller answers a read of the first set's charging key, quietly.
    std::uint64_t fingerprint();
    std::int64_t readStatus(std::string_view key, std::string_view label);
    void writeNow(const char* key, std::uint8_t value);
    // A one-byte write on the main queue after `delay` (or now, when not staggered); it lands
    // only if the decision it belongs to still stands then.
    void writeLater(Duration delay, const char* key, std::uint8_t value, Stagger stagger);

    SMC& smc_;
    RunLoop& runLoop_;
    Log& log_;
    std::shared_ptr<SwitchDecisions> decisions_ = std::make_shared<SwitchDecisions>();
    std::shared_ptr<FirmwareKeys> keys_ = std::make_shared<FirmwareKeys>();
};

}  // namespace wattkeeper::daemon
