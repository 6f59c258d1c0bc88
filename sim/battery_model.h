#pragma once
// A notebook's battery and charger as the SMC's charge keys drive them, with the machine state
// around it (adapter, lid, sleep, displays, model, console user), in explicitly stepped time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/plist.h"
#include "platform/smc_keys.h"
#include "sim/smc_key_store.h"

namespace wattkeeper::sim {

enum class ChargeState { Charging, Holding, Discharging };

// "charging", "holding" or "discharging".
std::string_view chargeStateName(ChargeState state);

// One moment of the machine, for a person's status block and for traces.
struct MachineStatus {
    double seconds = 0.0;       // simulated time since the model was made
    double charge = 0.0;        // percent, fractional
    std::int64_t capacity = 0;  // "Current Capacity" as described
    bool adapter = false;
    std::uint8_t ch0b = 0;
    std::uint8_t ch0c = 0;
    std::uint8_t ch0i = 0;
    bool lidClosed = false;
    bool asleep = false;
    ChargeState state = ChargeState::Holding;
    std::size_t displays = 0;
    std::string model;
    std::string consoleUser;  // "loginwindow" when nobody is logged in
};

// How the machine starts.
struct BatterySettings {
    double charge = 50.0;
    bool adapter = true;
    std::string model = "MacBookPro16,1";
    std::string consoleUser = "anna";  // empty: the login window
    std::size_t displays = 1;
    // Present in every description so that all of the record's twenty keys are described; an
    // empty text says there is no condition to report. Nothing leaves the key out.
    std::optional<std::string> healthCondition = std::string();
};

// Rates in percent of full charge per simulated minute.
namespace rates {
inline constexpr double kChargeBelow20 = 1.5;
inline constexpr double kChargeTo80 = 1.0;
inline constexpr double kChargeTo90 = 0.6;
inline constexpr double kChargeAbove90 = 0.3;
inline constexpr double kDrainLidOpen = 0.2;
inline constexpr double kDrainLidClosed = 0.12;
inline constexpr double kDrainAsleep = 0.01;
}  // namespace rates

// The power-source driver's "battery status has changed" message.
inline constexpr std::uint32_t kBatteryStatusChangedMessage = 0xe0024100;

// The battery, the charger and the machine state they depend on.
class BatteryModel {
public:
    // The store outlives the model; the model reads the charge keys from it and keeps
    // the battery-current sensor "B0AC" up to date when the store has one.
    explicit BatteryModel(SmcKeyStore& store, BatterySettings settings = {});

    // Moves simulated time on. Exact for any step: the charge follows its piecewise-constant
    // rates segment by segment. True when the description changed in a way that makes the
    // power-source service post its general-interest message (a whole percent, the power
    // source, charging starting or stopping) since the last time one was reported; key writes
    // made since the last step count too, so advance(0) reports them at once.
    bool advance(double seconds);

    // Each returns whether the general-interest message is due, as advance() does.
    bool setAdapter(bool present);
    bool setCharge(double percent);  // clamped to 0..100
    bool setAsleep(bool asleep);
    void setLidClosed(bool closed) { lidClosed_ = closed; }
    void setDisplays(std::size_t displays) { displays_ = displays; }
    void setConsoleUser(std::string user) { consoleUser_ = std::move(user); }

    ChargeState state() const;
    double charge() const { return charge_; }
    bool adapter() const { return adapter_; }
    bool lidClosed() const { return lidClosed_; }
    bool asleep() const { return asleep_; }
    std::size_t displays() const { return displays_; }
    const std::string& model() const { return model_; }
    // The short name; "loginwindow" when nobody is logged in, as SCDynamicStoreCopyConsoleUser reports it.
    std::string consoleUser() const;
    double seconds() const { return seconds_; }
    // The whole percent the description reports.
    std::int64_t capacity() const;
    // Percent per simulated minute: positive while charging, negative while discharging.
    double ratePerMinute() const;

    // The internal battery's description, every key a MacBook reports.
    PlistDictionary description() const;
    MachineStatus status() const;

private:
    // The description's fields whose change makes the service post its message.
    struct Reported {
        std::int64_t capacity = 0;
        bool onAdapter = false;
        bool charging = false;
        bool finishing = false;
        friend bool operator==(const Reported&, const Reported&) = default;
    };

    std::uint8_t keyByte(const char* key) const;
    // Whether one of these keys, held by the store in its working form, holds more than its off value.
    bool switchedOn(std::span<const ChargeSwitchKey> keys) const;
    bool onAdapterPower() const;
    bool currentFlowsIn() const;
    bool finishingCharge() const;
    bool estimating() const;
    std::int64_t currentMilliamps() const;
    std::int64_t minutesToEmpty() const;
    std::int64_t minutesToFull() const;
    Reported reported() const;
    // Notes a state change (for the time estimates) and whether a message is due.
    bool settle();
    void updateCurrentSensor();

    SmcKeyStore& store_;
    double charge_;
    bool adapter_;
    bool lidClosed_ = false;
    bool asleep_ = false;
    std::size_t displays_;
    std::string model_;
    std::string consoleUser_;
    std::optional<std::string> healthCondition_;
    double seconds_ = 0.0;
    ChargeState settledState_;
    bool settledAdapter_;
    double settledSince_ = 0.0;
    Reported lastReported_;
};

// Moves the model on by `seconds` in steps that end on a fixed grid of simulated time: every
// multiple of `nominalStep` and every whole minute. However late the caller comes, the model and
// whatever `afterStep` records after each step (the trace) see the same steps as on time, so they
// never depend on how busy the machine is. True when a general-interest message is due.
bool advanceOnGrid(BatteryModel& model, double seconds, double nominalStep, const std::function<void()>& afterStep);

// The battery trace: a CSV row for each step where something changed, and one at the first step
// of every simulated minute, so that rows are never further apart than a minute when steps end on
// whole minutes.
class BatteryTrace {
public:
    static std::string header();
    // The row for this moment when one is due; nothing otherwise. The first call always gives one.
    std::optional<std::string> row(const MachineStatus& status);

private:
    std::optional<std::string> lastBody_;
    double lastSeconds_ = 0.0;
};

}  // namespace wattkeeper::sim
