#include "platform/linux/virtual_mac_bus.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace wattkeeper::virtual_mac {

namespace {

sdbus::Variant toVariant(const PlistValue& value);

std::vector<sdbus::Variant> toBusArray(const PlistArray& array) {
    std::vector<sdbus::Variant> items;
    items.reserve(array.size());
    for (const PlistValue& item : array) items.push_back(toVariant(item));
    return items;
}

sdbus::Variant toVariant(const PlistValue& value) {
    switch (value.kind()) {
        case PlistValue::Kind::Dictionary:
            return sdbus::Variant(toBus(*value.asDictionary()));
        case PlistValue::Kind::Array:
            return sdbus::Variant(toBusArray(*value.asArray()));
        case PlistValue::Kind::String:
            return sdbus::Variant(*value.asString());
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
        case PlistValue::Kind::Data:
            return sdbus::Variant(*value.asData());
        case PlistValue::Kind::Date:
            return sdbus::Variant(value.asDate()->secondsSince2001);
    }
    return sdbus::Variant(std::string());
}

std::optional<PlistValue> fromVariant(const sdbus::Variant& variant) {
    const std::string type = variant.peekValueType();
    if (type == "s" || type == "o" || type == "g") return PlistValue(variant.get<std::string>());
    if (type == "b") return PlistValue(variant.get<bool>());
    if (type == "d") return PlistValue(variant.get<double>());
    if (type == "y") return PlistValue(std::int64_t{variant.get<std::uint8_t>()});
    if (type == "n") return PlistValue(std::int64_t{variant.get<std::int16_t>()});
    if (type == "q") return PlistValue(std::int64_t{variant.get<std::uint16_t>()});
    if (type == "i") return PlistValue(std::int64_t{variant.get<std::int32_t>()});
    if (type == "u") return PlistValue(std::int64_t{variant.get<std::uint32_t>()});
    if (type == "x") return PlistValue(variant.get<std::int64_t>());
    if (type == "t") {
        // A property list has no unsigned 64-bit numbers; the largest ones saturate.
        const std::uint64_t n = variant.get<std::uint64_t>();
        return PlistValue(static_cast<std::int64_t>(
            std::min<std::uint64_t>(n, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))));
    }
    if (type == "ay") return PlistValue(variant.get<std::vector<std::uint8_t>>());
    if (type == "a{sv}") return PlistValue(fromBus(variant.get<BusDictionary>()));
    if (type == "av") {
        PlistArray array;
        for (const sdbus::Variant& item : variant.get<std::vector<sdbus::Variant>>()) {
            if (auto value = fromVariant(item)) array.push_back(std::move(*value));
        }
        return PlistValue(std::move(array));
    }
    return std::nullopt;
}

}  // namespace

BusDictionary toBus(const PlistDictionary& dictionary) {
    BusDictionary result;
    for (const auto& [key, value] : dictionary) result.emplace(key, toVariant(value));
    return result;
}

PlistDictionary fromBus(const BusDictionary& dictionary) {
    std::vector<PlistDictionary::Entry> entries;
    entries.reserve(dictionary.size());
    for (const auto& [key, variant] : dictionary) {
        if (auto value = fromVariant(variant)) entries.emplace_back(key, std::move(*value));
    }
    return PlistDictionary(std::move(entries));
}

}  // namespace wattkeeper::virtual_mac
