#pragma once
// The SMC keys that switch charging and adapter discharging, one byte each.

namespace wattkeeper {

// Charging: 0 allowed, 2 inhibited. Both keys are written; the first is the one read back.
inline constexpr const char* kChargingKey = "CH0B";
inline constexpr const char* kChargingSecondKey = "CH0C";
// Forced discharge (the adapter cut off, the battery carrying the load): 1 on, 0 off.
inline constexpr const char* kDischargingKey = "CH0I";

}  // namespace wattkeeper
