#pragma once
// The battery as the power-source service describes it, field by field.

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/plist.h"

namespace wattkeeper::daemon {

// The fields keep IOKit's power-source key names. Those declared as text hold whatever object the
// description holds under their key, unconverted; nothing when the key is absent.
struct PowerSourceRecord {
    bool BatteryProvidesTimeRemaining = false;
    std::optional<PlistValue> BatteryHealth;
    std::optional<PlistValue> BatteryHealthCondition;
    std::optional<PlistValue> Current;
    // Read by the charge-limit timer on its own queue, so it is written whole and atomically.
    std::atomic<std::int64_t> CurrentCapacity{0};
    std::int64_t CycleCount = 0;  // never filled
    std::int64_t DesignCycleCount = 0;
    std::optional<PlistValue> HardwareSerialNumber;
    bool IsCharged = false;   // holds "Is Charging"
    bool IsCharging = false;  // holds "Is Finishing Charge"
    bool IsPresent = false;
    std::optional<PlistValue> LPMActive;
    std::int64_t MaxCapacity = 0;
    std::optional<PlistValue> Name;
    std::optional<PlistValue> OptimizedBatteryChargingEngaged;
    std::optional<PlistValue> PowerSourceID;
    std::optional<PlistValue> PowerSourceState;
    std::int64_t TimeToEmpty = 0;
    std::int64_t TimeToFullCharge = 0;
    std::optional<PlistValue> TransportType;
    std::optional<PlistValue> Type;
};

// Fills the twenty described fields from one source's description, "Current Capacity" last.
// An absent key leaves its field at NO, 0 or nothing.
void storePowerSourceDescription(PowerSourceRecord& record, const PlistDictionary& description);

}  // namespace wattkeeper::daemon
