#include "tools/virtual-mac/commands.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>

#include "platform/linux/bus.h"
#include "platform/smc_keys.h"

namespace wattkeeper::virtual_mac {

namespace {

// Errors that say the virtual Mac is not on the bus (or the bus is not there), as opposed to a
// request it refused.
bool meansAbsent(const sdbus::Error& error) {
    static const std::set<std::string> kAbsent = {
        "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
        "org.freedesktop.DBus.Error.NoReply",        "org.freedesktop.DBus.Error.Timeout",
        "org.freedesktop.DBus.Error.TimedOut",       "org.freedesktop.DBus.Error.Disconnected",
        "org.freedesktop.DBus.Error.NoServer",       "org.freedesktop.DBus.Error.FileNotFound",
    };
    // A bus that cannot be reached gives the errno's name, such as System.Error.ECONNREFUSED.
    return kAbsent.contains(error.getName()) || error.getName().rfind("System.Error.", 0) == 0;
}

template <class T>
std::string text(const linux_backend::BusDictionary& status, const char* key, const char* fallback = "?") {
    const auto found = status.find(key);
    if (found == status.end()) return fallback;
    try {
        return std::to_string(found->second.get<T>());
    } catch (const sdbus::Error&) {
        return fallback;
    }
}

template <class T>
std::optional<T> value(const linux_backend::BusDictionary& status, const char* key) {
    const auto found = status.find(key);
    if (found == status.end() || !found->second.containsValueOfType<T>()) return std::nullopt;
    return found->second.get<T>();
}

std::string keyText(const linux_backend::BusDictionary& status, const char* key) {
    const auto byte = value<std::uint8_t>(status, key);
    if (!byte) return "?";
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u", unsigned{*byte});
    std::string meaning;
    if (std::string(key) == kDischargingKey) {
        meaning = *byte == 0 ? "  (adapter carries the load)" : "  (battery carries the load)";
    } else {
        meaning = *byte == 0 ? "  (charging allowed)" : "  (charging inhibited)";
    }
    return buffer + meaning;
}

std::string clock(double seconds) {
    const auto whole = static_cast<long long>(seconds);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return buffer;
}

}  // namespace

int withControl(const std::function<void(sdbus::IProxy& proxy)>& exchange) {
    try {
        linux_backend::Bus bus;
        auto proxy =
            sdbus::createProxy(bus.connection(), linux_backend::kVirtualMacService, linux_backend::kVirtualMacPath);
        exchange(*proxy);
        return 0;
    } catch (const sdbus::Error& error) {
        if (meansAbsent(error)) {
            std::cerr << "virtual-mac: the virtual Mac does not answer: is it running? (" << error.getMessage()
                      << ")\n";
        } else {
            std::cerr << "virtual-mac: " << error.getMessage() << '\n';
        }
        return 1;
    }
}

std::string formatStatus(const linux_backend::BusDictionary& status) {
    std::string out;
    auto line = [&out](const char* label, const std::string& text) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%-10s ", label);
        out += buffer + text + '\n';
    };
    const auto charge = value<double>(status, "charge");
    char chargeText[64] = "?";
    if (charge) {
        // Truncated, not rounded: 79.996% must not read as 80.00% while 79% is reported.
        std::snprintf(chargeText, sizeof chargeText, "%.2f %% (reported %s %%)", std::floor(*charge * 100.0) / 100.0,
                      text<std::int32_t>(status, "capacity").c_str());
    }
    line("charge", chargeText);
    const auto adapter = value<bool>(status, "adapter");
    line("adapter", !adapter ? "?" : *adapter ? "connected" : "not connected");
    line(kChargingKey, keyText(status, kChargingKey));
    line(kChargingSecondKey, keyText(status, kChargingSecondKey));
    line(kDischargingKey, keyText(status, kDischargingKey));
    for (const char* key : {"CHTE", "CHIE"}) {
        if (status.contains(key)) line(key, text<std::uint8_t>(status, key));
    }
    line("firmware", value<std::string>(status, "firmware").value_or("?"));
    line("lid", value<std::string>(status, "lid").value_or("?"));
    const auto asleep = value<bool>(status, "asleep");
    line("sleep", !asleep ? "?" : *asleep ? "asleep" : "awake");
    line("state", value<std::string>(status, "state").value_or("?"));
    const auto time = value<double>(status, "time");
    const auto scale = value<double>(status, "timeScale");
    char timeText[96] = "?";
    if (time && scale) std::snprintf(timeText, sizeof timeText, "%s simulated (x%g)", clock(*time).c_str(), *scale);
    line("time", timeText);
    line("displays", text<std::uint32_t>(status, "displays"));
    line("model", value<std::string>(status, "model").value_or("?"));
    line("user", value<std::string>(status, "user").value_or("?"));
    return out;
}

std::string formatStatusLine(const linux_backend::BusDictionary& status) {
    const auto charge = value<double>(status, "charge");
    const auto adapter = value<bool>(status, "adapter");
    const auto asleep = value<bool>(status, "asleep");
    auto byte = [&status](const char* key) {
        const auto b = value<std::uint8_t>(status, key);
        return b ? std::to_string(unsigned{*b}) : std::string("?");
    };
    char chargeText[32] = "?";
    if (charge) std::snprintf(chargeText, sizeof chargeText, "%6.2f%%", std::floor(*charge * 100.0) / 100.0);
    return std::string("charge ") + chargeText + " (" + text<std::int32_t>(status, "capacity") + "%)  adapter " +
           (!adapter   ? "?"
            : *adapter ? "on "
                       : "off") +
           "  CH0B " + byte(kChargingKey) + " CH0C " + byte(kChargingSecondKey) + " CH0I " + byte(kDischargingKey) +
           "  lid " + value<std::string>(status, "lid").value_or("?") + "  " +
           (!asleep   ? "?"
            : *asleep ? "asleep"
                      : "awake ") +
           "  state " + value<std::string>(status, "state").value_or("?");
}

}  // namespace wattkeeper::virtual_mac
