#include "daemon/system/power_source_record.h"

namespace wattkeeper::daemon {

namespace {

std::optional<PlistValue> object(const PlistDictionary& d, std::string_view key) {
    const PlistValue* v = d.find(key);
    return v ? std::optional<PlistValue>(*v) : std::nullopt;
}

std::int64_t integer(const PlistDictionary& d, std::string_view key) {
    const PlistValue* v = d.find(key);
    return v ? integerValue(*v).value_or(0) : 0;
}

bool truth(const PlistDictionary& d, std::string_view key) {
    const PlistValue* v = d.find(key);
    return v && boolValue(*v);
}

}  // namespace

void storePowerSourceDescription(PowerSourceRecord& r, const PlistDictionary& d) {
    r.BatteryProvidesTimeRemaining = truth(d, "Battery Provides Time Remaining");
    r.BatteryHealth = object(d, "BatteryHealth");
    r.BatteryHealthCondition = object(d, "BatteryHealthCondition");
    r.Current = object(d, "Current");
    r.DesignCycleCount = integer(d, "DesignCycleCount");
    r.HardwareSerialNumber = object(d, "Hardware Serial Number");
    r.IsCharged = truth(d, "Is Charging");
    r.IsCharging = truth(d, "Is Finishing Charge");
    r.IsPresent = truth(d, "Is Present");
    r.LPMActive = object(d, "LPM Active");
    r.MaxCapacity = integer(d, "Max Capacity");
    r.Name = object(d, "Name");
    r.OptimizedBatteryChargingEngaged = object(d, "Optimized Battery Charging Engaged");
    r.PowerSourceID = object(d, "Power Source ID");
    r.PowerSourceState = object(d, "Power Source State");
    r.TimeToEmpty = integer(d, "Time to Empty");
    r.TimeToFullCharge = integer(d, "Time to Full Charge");
    r.TransportType = object(d, "Transport Type");
    r.Type = object(d, "Type");
    r.CurrentCapacity.store(integer(d, "Current Capacity"), std::memory_order_relaxed);
}

}  // namespace wattkeeper::daemon
