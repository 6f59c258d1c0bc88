#include "platform/linux/bus_values.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "platform/utf8.h"

namespace wattkeeper::linux_backend {

bool isBusText(const std::string& text) { return text.find('\0') == std::string::npos && isValidUtf8(text); }

std::optional<sdbus::Variant> toBus(const PlistValue& value, BusValueRules rules) {
    const bool posts = rules == BusValueRules::Posts;
    switch (value.kind()) {
        case PlistValue::Kind::Integer: {
            const std::int64_t n = *value.asInteger();
            if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
                return sdbus::Variant(static_cast<std::int32_t>(n));
            }
            return sdbus::Variant(n);
        }
        case PlistValue::Kind::Real:
            return sdbus::Variant(*value.asReal());
        case PlistValue::Kind::Boolean:
            return sdbus::Variant(*value.asBoolean());
        case PlistValue::Kind::String:
            if (posts && !isBusText(*value.asString())) return std::nullopt;
            return sdbus::Variant(*value.asString());
        case PlistValue::Kind::Data:
            return sdbus::Variant(*value.asData());
        case PlistValue::Kind::Dictionary:
            return sdbus::Variant(toBus(*value.asDictionary(), rules));
        case PlistValue::Kind::Array: {
            std::vector<sdbus::Variant> items;
            items.reserve(value.asArray()->size());
            for (const PlistValue& item : *value.asArray()) {
                if (auto variant = toBus(item, rules)) items.push_back(std::move(*variant));
            }
            return sdbus::Variant(items);
        }
        case PlistValue::Kind::Date:
            if (posts) return std::nullopt;
            return sdbus::Variant(value.asDate()->secondsSince2001);
    }
    return std::nullopt;
}

BusDictionary toBus(const PlistDictionary& dictionary, BusValueRules rules) {
    BusDictionary result;
    for (const auto& [key, value] : dictionary) {
        if (rules == BusValueRules::Posts && !isBusText(key)) continue;
        if (auto variant = toBus(value, rules)) result.emplace(key, std::move(*variant));
    }
    return result;
}

PlistValue fromBusBasic(std::int16_t n) { return PlistValue(std::int64_t{n}); }
PlistValue fromBusBasic(std::int32_t n) { return PlistValue(std::int64_t{n}); }
PlistValue fromBusBasic(std::int64_t n) { return PlistValue(n); }
PlistValue fromBusBasic(std::uint8_t n) { return PlistValue(std::int64_t{n}); }
PlistValue fromBusBasic(std::uint16_t n) { return PlistValue(std::int64_t{n}); }
PlistValue fromBusBasic(std::uint32_t n) { return PlistValue(std::int64_t{n}); }
PlistValue fromBusBasic(std::uint64_t n) {
    // A property list has no unsigned 64-bit numbers; the largest ones saturate.
    constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return PlistValue(static_cast<std::int64_t>(std::min(n, top)));
}
PlistValue fromBusBasic(double n) { return PlistValue(n); }
PlistValue fromBusBasic(bool b) { return PlistValue(b); }
PlistValue fromBusBasic(std::string text) { return PlistValue(std::move(text)); }

std::optional<PlistValue> fromBus(const sdbus::Variant& variant) {
    const std::string type = variant.peekValueType();
    if (type == "s") return fromBusBasic(variant.get<std::string>());
    if (type == "b") return fromBusBasic(variant.get<bool>());
    if (type == "d") return fromBusBasic(variant.get<double>());
    if (type == "y") return fromBusBasic(variant.get<std::uint8_t>());
    if (type == "n") return fromBusBasic(variant.get<std::int16_t>());
    if (type == "q") return fromBusBasic(variant.get<std::uint16_t>());
    if (type == "i") return fromBusBasic(variant.get<std::int32_t>());
    if (type == "u") return fromBusBasic(variant.get<std::uint32_t>());
    if (type == "x") return fromBusBasic(variant.get<std::int64_t>());
    if (type == "t") return fromBusBasic(variant.get<std::uint64_t>());
    if (type == "ay") return PlistValue(variant.get<std::vector<std::uint8_t>>());
    if (type == "a{sv}") return PlistValue(fromBus(variant.get<BusDictionary>()));
    if (type == "av") {
        PlistArray array;
        for (const sdbus::Variant& item : variant.get<std::vector<sdbus::Variant>>()) {
            if (auto value = fromBus(item)) array.push_back(std::move(*value));
        }
        return PlistValue(std::move(array));
    }
    return std::nullopt;
}

PlistDictionary fromBus(const BusDictionary& dictionary) {
    std::vector<PlistDictionary::Entry> entries;
    entries.reserve(dictionary.size());
    for (const auto& [key, variant] : dictionary) {
        if (auto value = fromBus(variant)) entries.emplace_back(key, std::move(*value));
    }
    return PlistDictionary(std::move(entries));
}

}  // namespace wattkeeper::linux_backend
