#pragma once
// The SMC keys that switch charging and adapter discharging, as each firmware generation offers
// them. This table is the one place their names, sizes, types and values are written down: the
// daemon picks a set from it and the virtual Mac's battery obeys it.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace wattkeeper {

// Charging: 0 allowed, 2 inhibited. Both keys are written; the first is the one read back.
inline constexpr const char* kChargingKey = "CH0B";
inline constexpr const char* kChargingSecondKey = "CH0C";
// Forced discharge (the adapter cut off, the battery carrying the load): 1 on, 0 off.
inline constexpr const char* kDischargingKey = "CH0I";

// One switch key: its name, the size and type the controller reports for it, and the bytes that
// leave it off (charging allowed, adapter used) and switch it on (charging inhibited, adapter
// cut off). A key without a name is not part of the set.
struct ChargeSwitchKey {
    std::string_view key;
    std::string_view type;
    std::uint32_t size = 0;
    std::array<std::uint8_t, 4> off{};
    std::array<std::uint8_t, 4> on{};

    std::span<const std::uint8_t> offBytes() const { return {off.data(), size}; }
    std::span<const std::uint8_t> onBytes() const { return {on.data(), size}; }
};

// The keys one firmware generation switches charging and the adapter with: every charging key
// is written, the first one is read back; of the adapter keys the first the controller offers
// in working order is used.
struct ChargeKeySet {
    std::string_view name;
    std::array<ChargeSwitchKey, 2> charging;
    std::array<ChargeSwitchKey, 2> adapter;
};

// The sets in the order they are tried. The first is the one the daemon has always used: three
// one-byte keys ("CH0B"/"CH0C" 0 or 2, "CH0I" 0 or 1). The second came with the firmware of macOS
// 15.7 to 26.6: "CHTE", a 32-bit value stored low byte first (0 allowed, 1 inhibited), and the
// adapter through "CHIE" (0x00 used, 0x08 cut off) or, where that is missing, "CH0J" (0 or 1).
inline constexpr ChargeKeySet kChargeKeySets[] = {
    {"CH0B/CH0C/CH0I",
     {{{"CH0B", "ui8 ", 1, {0}, {2}}, {"CH0C", "ui8 ", 1, {0}, {2}}}},
     {{{"CH0I", "ui8 ", 1, {0}, {1}}, {}}}},
    {"CHTE/CHIE",
     {{{"CHTE", "ui32", 4, {0, 0, 0, 0}, {1, 0, 0, 0}}, {}}},
     {{{"CHIE", "hex_", 1, {0x00}, {0x08}}, {"CH0J", "ui8 ", 1, {0}, {1}}}}},
};

}  // namespace wattkeeper
