#include "sim/battery_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "platform/smc_keys.h"

namespace wattkeeper::sim {

namespace {

// A 16-inch MacBook Pro's pack: at 1% a minute about 5.3 A flow in, which a 96 W adapter gives.
constexpr double kPackMilliampHours = 8790.0;
// The platform answers -1 for a while after the power source or the charging state changes.
constexpr double kEstimateSeconds = 60.0;
// Percent boundaries where the charge rate steps.
constexpr double kChargeSteps[] = {20.0, 80.0, 90.0, 100.0};
constexpr double kFinishingFrom = 90.0;
// Whole percents are read with this much slack, so that 80 reached by summing steps reads 80.
constexpr double kPercentSlack = 1e-9;

double chargeRateAt(double charge) {
    if (charge < 20.0) return rates::kChargeBelow20;
    if (charge < 80.0) return rates::kChargeTo80;
    if (charge < 90.0) return rates::kChargeTo90;
    if (charge < 100.0) return rates::kChargeAbove90;
    return 0.0;
}

}  // namespace

std::string_view chargeStateName(ChargeState state) {
    switch (state) {
        case ChargeState::Charging:
            return "charging";
        case ChargeState::Holding:
            return "holding";
        case ChargeState::Discharging:
            return "discharging";
    }
    return "holding";
}

BatteryModel::BatteryModel(SmcKeyStore& store, BatterySettings settings)
    : store_(store),
      charge_(std::isfinite(settings.charge) ? std::clamp(settings.charge, 0.0, 100.0) : 50.0),
      adapter_(settings.adapter),
      displays_(settings.displays),
      model_(std::move(settings.model)),
      consoleUser_(std::move(settings.consoleUser)),
      healthCondition_(std::move(settings.healthCondition)),
      settledState_(state()),
      settledAdapter_(adapter_),
      lastReported_(reported()) {
    updateCurrentSensor();
}

std::uint8_t BatteryModel::keyByte(const char* key) const {
    const auto info = store_.key(key);
    if (!info || info->value.empty()) return 0;
    return info->value.front();
}

bool BatteryModel::switchedOn(std::span<const ChargeSwitchKey> keys) const {
    for (const ChargeSwitchKey& k : keys) {
        if (k.key.empty()) continue;
        const auto info = store_.key(std::string(k.key));
        // A placeholder, a key nobody may touch or one of another form switches nothing.
        if (!info || info->privileged || info->value.size() != k.size) continue;
        if (!std::ranges::equal(info->value, k.offBytes())) return true;
    }
    return false;
}

ChargeState BatteryModel::state() const {
    // Whatever generation of keys the firmware has, the one it has decides.
    bool cutOff = false;
    bool inhibited = false;
    for (const ChargeKeySet& set : kChargeKeySets) {
        cutOff = cutOff || switchedOn(set.adapter);
        inhibited = inhibited || switchedOn(set.charging);
    }
    if (!adapter_ || cutOff) return ChargeState::Discharging;
    if (inhibited) return ChargeState::Holding;
    return ChargeState::Charging;
}

double BatteryModel::ratePerMinute() const {
    switch (state()) {
        case ChargeState::Charging:
            return chargeRateAt(charge_);
        case ChargeState::Holding:
            return 0.0;
        case ChargeState::Discharging:
            if (charge_ <= 0.0) return 0.0;
            if (asleep_) return -rates::kDrainAsleep;
            return lidClosed_ ? -rates::kDrainLidClosed : -rates::kDrainLidOpen;
    }
    return 0.0;
}

bool BatteryModel::advance(double seconds) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) seconds = 0.0;
    double left = seconds;
    // Within a segment the rate is constant, so each segment is integrated exactly and a large
    // step lands where many small ones would.
    while (left > 0.0) {
        const double perSecond = ratePerMinute() / 60.0;
        if (perSecond == 0.0) break;
        double boundary = 0.0;
        if (perSecond > 0.0) {
            boundary = 100.0;
            for (double step : kChargeSteps) {
                if (step > charge_) {
                    boundary = step;
                    break;
                }
            }
        }
        const double toBoundary = (boundary - charge_) / perSecond;
        if (toBoundary > left) {
            charge_ += perSecond * left;
            charge_ = perSecond > 0.0 ? std::min(charge_, boundary) : std::max(charge_, boundary);
            left = 0.0;
        } else {
            charge_ = boundary;
            left -= toBoundary;
        }
    }
    seconds_ += seconds;
    updateCurrentSensor();
    return settle();
}

bool BatteryModel::setAdapter(bool present) {
    adapter_ = present;
    updateCurrentSensor();
    return settle();
}

bool BatteryModel::setCharge(double percent) {
    if (std::isnan(percent)) return false;
    charge_ = std::clamp(percent, 0.0, 100.0);
    updateCurrentSensor();
    return settle();
}

bool BatteryModel::setAsleep(bool asleep) {
    asleep_ = asleep;
    updateCurrentSensor();
    return settle();
}

std::string BatteryModel::consoleUser() const { return consoleUser_.empty() ? "loginwindow" : consoleUser_; }

std::int64_t BatteryModel::capacity() const {
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(charge_ + kPercentSlack)), 0, 100);
}

bool BatteryModel::onAdapterPower() const { return adapter_ && state() != ChargeState::Discharging; }

bool BatteryModel::currentFlowsIn() const { return ratePerMinute() > 0.0; }

bool BatteryModel::finishingCharge() const { return currentFlowsIn() && charge_ >= kFinishingFrom; }

bool BatteryModel::estimating() const {
    return state() != settledState_ || adapter_ != settledAdapter_ || seconds_ - settledSince_ < kEstimateSeconds;
}

std::int64_t BatteryModel::currentMilliamps() const {
    // Percent per minute to milliamperes: 60 minutes an hour, 1% of the pack per percent.
    return std::llround(ratePerMinute() * 60.0 * kPackMilliampHours / 100.0);
}

std::int64_t BatteryModel::minutesToEmpty() const {
    const double rate = ratePerMinute();
    if (rate >= 0.0) return 0;
    if (estimating()) return -1;
    return static_cast<std::int64_t>(charge_ / -rate);
}

std::int64_t BatteryModel::minutesToFull() const {
    if (!currentFlowsIn()) return 0;
    if (estimating()) return -1;
    double minutes = 0.0;
    double at = charge_;
    for (double step : kChargeSteps) {
        if (step <= at) continue;
        minutes += (step - at) / chargeRateAt(at);
        at = step;
    }
    return std::llround(minutes);
}

BatteryModel::Reported BatteryModel::reported() const {
    return Reported{capacity(), onAdapterPower(), currentFlowsIn(), finishingCharge()};
}

bool BatteryModel::settle() {
    const ChargeState now = state();
    if (now != settledState_ || adapter_ != settledAdapter_) {
        settledState_ = now;
        settledAdapter_ = adapter_;
        settledSince_ = seconds_;
    }
    const Reported current = reported();
    if (current == lastReported_) return false;
    lastReported_ = current;
    return true;
}

void BatteryModel::updateCurrentSensor() {
    // "B0AC" is a big-endian signed 16-bit reading in mA.
    const auto milliamps = static_cast<std::int16_t>(std::clamp<std::int64_t>(
        currentMilliamps(), std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
    const auto bits = static_cast<std::uint16_t>(milliamps);
    store_.setValue("B0AC", {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits & 0xFF)});
}

PlistDictionary BatteryModel::description() const {
    PlistDictionary d{
        {"Battery Provides Time Remaining", true},
        {"BatteryHealth", "Good"},
        {"Current", currentMilliamps()},
        {"Current Capacity", capacity()},
        {"DesignCycleCount", 1000},
        {"Hardware Serial Number", "D8651230ABCDEFG"},
        {"Is Charging", currentFlowsIn()},
        {"Is Finishing Charge", finishingCharge()},
        {"Is Present", true},
        {"LPM Active", false},
        {"Max Capacity", 100},
        {"Name", "InternalBattery-0"},
        {"Optimized Battery Charging Engaged", 0},
        {"Power Source ID", 4653155},
        {"Power Source State", onAdapterPower() ? "AC Power" : "Battery Power"},
        {"Time to Empty", minutesToEmpty()},
        {"Time to Full Charge", minutesToFull()},
        {"Transport Type", "Internal"},
        {"Type", "InternalBattery"},
    };
    if (healthCondition_) d.set("BatteryHealthCondition", *healthCondition_);
    return d;
}

MachineStatus BatteryModel::status() const {
    MachineStatus s;
    s.seconds = seconds_;
    s.charge = charge_;
    s.capacity = capacity();
    s.adapter = adapter_;
    s.ch0b = keyByte(kChargingKey);
    s.ch0c = keyByte(kChargingSecondKey);
    s.ch0i = keyByte(kDischargingKey);
    s.lidClosed = lidClosed_;
    s.asleep = asleep_;
    s.state = state();
    s.displays = displays_;
    s.model = model_;
    s.consoleUser = consoleUser();
    return s;
}

namespace {

constexpr double kMinuteSeconds = 60.0;
// Tolerance for grid points reached by sums of floating-point steps.
constexpr double kGridEpsilon = 1e-9;

double minuteOf(double seconds) { return std::floor(seconds / kMinuteSeconds + kGridEpsilon); }

// The first grid point of `spacing` after `seconds`.
double nextGridPoint(double seconds, double spacing) {
    return (std::floor(seconds / spacing + kGridEpsilon) + 1.0) * spacing;
}

}  // namespace

bool advanceOnGrid(BatteryModel& model, double seconds, double nominalStep, const std::function<void()>& afterStep) {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) seconds = 0.0;
    if (!(nominalStep > 0.0) || !std::isfinite(nominalStep)) nominalStep = kMinuteSeconds;
    const double end = model.seconds() + seconds;
    bool due = false;
    while (model.seconds() < end - kGridEpsilon) {
        const double now = model.seconds();
        const double boundary = std::min({end, nextGridPoint(now, nominalStep), nextGridPoint(now, kMinuteSeconds)});
        due = model.advance(boundary - now) || due;
        if (afterStep) afterStep();
    }
    return due;
}

std::string BatteryTrace::header() { return "seconds,charge,adapter,CH0B,CH0C,CH0I,lid_closed,asleep,state"; }

std::optional<std::string> BatteryTrace::row(const MachineStatus& s) {
    char body[128];
    std::snprintf(body, sizeof body, "%.2f,%d,%u,%u,%u,%d,%d,%s", s.charge, s.adapter ? 1 : 0, unsigned{s.ch0b},
                  unsigned{s.ch0c}, unsigned{s.ch0i}, s.lidClosed ? 1 : 0, s.asleep ? 1 : 0,
                  std::string(chargeStateName(s.state)).c_str());
    const bool minutePassed = minuteOf(s.seconds) > minuteOf(lastSeconds_);
    if (lastBody_ && *lastBody_ == body && !minutePassed) return std::nullopt;
    lastBody_ = body;
    lastSeconds_ = s.seconds;
    char seconds[48];
    std::snprintf(seconds, sizeof seconds, "%.1f,", s.seconds);
    return seconds + *lastBody_;
}

}  // namespace wattkeeper::sim
