#include "platform/macos/cf_values.h"

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/utf8.h"

namespace wattkeeper::macos_backend {

namespace {

std::optional<PlistValue> fromCF(CFTypeRef object, Unconvertible policy, int depth);

std::optional<PlistValue> numberValue(CFNumberRef number) {
    if (CFNumberIsFloatType(number)) {
        double real = 0.0;
        CFNumberGetValue(number, kCFNumberFloat64Type, &real);
        return PlistValue(real);
    }
    std::int64_t integer = 0;
    if (CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) return PlistValue(integer);
    // Only an unsigned 64-bit value above INT64_MAX gets here; the real number gives its sign.
    double approximate = 0.0;
    CFNumberGetValue(number, kCFNumberFloat64Type, &approximate);
    return PlistValue(approximate < 0 ? std::numeric_limits<std::int64_t>::min()
                                      : std::numeric_limits<std::int64_t>::max());
}

std::optional<PlistValue> dataValue(CFDataRef data) {
    const CFIndex length = CFDataGetLength(data);
    const UInt8* bytes = CFDataGetBytePtr(data);
    if (length <= 0 || !bytes) return PlistValue(PlistData{});
    return PlistValue(PlistData(bytes, bytes + length));
}

std::optional<PlistValue> arrayValue(CFArrayRef array, Unconvertible policy, int depth) {
    PlistArray elements;
    const CFIndex count = CFArrayGetCount(array);
    elements.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
    for (CFIndex i = 0; i < count; ++i) {
        auto element = fromCF(CFArrayGetValueAtIndex(array, i), policy, depth + 1);
        if (element) {
            elements.push_back(std::move(*element));
        } else if (policy == Unconvertible::Fail) {
            return std::nullopt;
        }
    }
    return PlistValue(std::move(elements));
}

std::optional<PlistValue> dictionaryValue(CFDictionaryRef dictionary, Unconvertible policy, int depth) {
    const CFIndex count = CFDictionaryGetCount(dictionary);
    if (count <= 0) return PlistValue(PlistDictionary());
    // Collected first and sorted once: a key set at a time would cost up to n^2.
    std::vector<PlistDictionary::Entry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    std::vector<const void*> keys(static_cast<std::size_t>(count));
    std::vector<const void*> values(static_cast<std::size_t>(count));
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::optional<std::string> key;
        if (keys[i] && CFGetTypeID(keys[i]) == CFStringGetTypeID()) {
            key = utf8String(static_cast<CFStringRef>(keys[i]));
        }
        auto value = key ? fromCF(values[i], policy, depth + 1) : std::nullopt;
        if (key && value) {
            entries.emplace_back(std::move(*key), std::move(*value));
        } else if (policy == Unconvertible::Fail) {
            return std::nullopt;
        }
    }
    return PlistValue(PlistDictionary(std::move(entries)));
}

std::optional<PlistValue> fromCF(CFTypeRef object, Unconvertible policy, int depth) {
    if (!object) return std::nullopt;
    const CFTypeID type = CFGetTypeID(object);
    if (type == CFStringGetTypeID()) {
        auto text = utf8String(static_cast<CFStringRef>(object));
        if (!text) return std::nullopt;
        return PlistValue(std::move(*text));
    }
    // CFBoolean before CFNumber: they are distinct types, and a boolean must stay one.
    if (type == CFBooleanGetTypeID()) return PlistValue(CFBooleanGetValue(static_cast<CFBooleanRef>(object)) != 0);
    if (type == CFNumberGetTypeID()) return numberValue(static_cast<CFNumberRef>(object));
    if (type == CFDataGetTypeID()) return dataValue(static_cast<CFDataRef>(object));
    if (type == CFDateGetTypeID()) return PlistValue(PlistDate{CFDateGetAbsoluteTime(static_cast<CFDateRef>(object))});
    if (type == CFArrayGetTypeID()) {
        if (depth >= kMaxCFNesting) return std::nullopt;
        return arrayValue(static_cast<CFArrayRef>(object), policy, depth);
    }
    if (type == CFDictionaryGetTypeID()) {
        if (depth >= kMaxCFNesting) return std::nullopt;
        return dictionaryValue(static_cast<CFDictionaryRef>(object), policy, depth);
    }
    return std::nullopt;
}

CFHolder<CFTypeRef> toCF(const PlistValue& value, int depth);

CFHolder<CFTypeRef> numberObject(CFNumberType type, const void* value) {
    return CFHolder<CFTypeRef>(CFNumberCreate(kCFAllocatorDefault, type, value));
}

CFHolder<CFTypeRef> arrayObject(const PlistArray& elements, int depth) {
    CFMutableArrayRef array = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    CFHolder<CFTypeRef> owner(array);
    if (!array) return owner;
    for (const auto& element : elements) {
        // The array retains what it is given; the holder releases the creation reference.
        if (auto object = toCF(element, depth + 1)) CFArrayAppendValue(array, object.get());
    }
    return owner;
}

CFHolder<CFTypeRef> dictionaryObject(const PlistDictionary& entries, int depth) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFHolder<CFTypeRef> owner(dictionary);
    if (!dictionary) return owner;
    for (const auto& [key, value] : entries) {
        auto keyObject = makeCFString(key);
        auto valueObject = toCF(value, depth + 1);
        if (keyObject && valueObject) CFDictionarySetValue(dictionary, keyObject.get(), valueObject.get());
    }
    return owner;
}

CFHolder<CFTypeRef> toCF(const PlistValue& value, int depth) {
    switch (value.kind()) {
        case PlistValue::Kind::String: {
            auto text = makeCFString(*value.asString());
            return CFHolder<CFTypeRef>(text.release());
        }
        case PlistValue::Kind::Integer: {
            const std::int64_t integer = *value.asInteger();
            if (integer >= std::numeric_limits<std::int32_t>::min() &&
                integer <= std::numeric_limits<std::int32_t>::max()) {
                const auto narrow = static_cast<std::int32_t>(integer);
                return numberObject(kCFNumberSInt32Type, &narrow);
            }
            return numberObject(kCFNumberSInt64Type, &integer);
        }
        case PlistValue::Kind::Real:
            return numberObject(kCFNumberFloat64Type, value.asReal());
        case PlistValue::Kind::Boolean:
            // The two boolean constants are shared; the holder owns one reference of its own.
            return CFHolder<CFTypeRef>(CFRetain(*value.asBoolean() ? kCFBooleanTrue : kCFBooleanFalse));
        case PlistValue::Kind::Data: {
            const PlistData& bytes = *value.asData();
            return CFHolder<CFTypeRef>(
                CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size())));
        }
        case PlistValue::Kind::Date:
            return CFHolder<CFTypeRef>(CFDateCreate(kCFAllocatorDefault, value.asDate()->secondsSince2001));
        case PlistValue::Kind::Array:
            if (depth >= kMaxCFNesting) return {};
            return arrayObject(*value.asArray(), depth);
        case PlistValue::Kind::Dictionary:
            if (depth >= kMaxCFNesting) return {};
            return dictionaryObject(*value.asDictionary(), depth);
    }
    return {};
}

}  // namespace

CFHolder<CFStringRef> makeCFString(std::string_view utf8) {
    // CFString would take some malformed sequences; the rest of the system refuses them all.
    if (!isValidUtf8(utf8)) return {};
    return CFHolder<CFStringRef>(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
                                static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

std::optional<std::string> utf8String(CFStringRef string) {
    if (!string) return std::nullopt;
    const CFRange whole = CFRangeMake(0, CFStringGetLength(string));
    CFIndex needed = 0;
    // No loss byte: a character without a UTF-8 form stops the conversion short.
    if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed) != whole.length) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(needed), '\0');
    CFIndex used = 0;
    CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(text.data()), needed,
                     &used);
    text.resize(static_cast<std::size_t>(used));
    return text;
}

CFHolder<CFTypeRef> makeCFValue(const PlistValue& value) { return toCF(value, 0); }

CFHolder<CFDictionaryRef> makeCFDictionary(const PlistDictionary& dictionary) {
    return CFHolder<CFDictionaryRef>(static_cast<CFDictionaryRef>(dictionaryObject(dictionary, 0).release()));
}

std::optional<PlistValue> plistValue(CFTypeRef object, Unconvertible policy) { return fromCF(object, policy, 0); }

std::optional<PlistDictionary> plistDictionary(CFTypeRef object, Unconvertible policy) {
    if (!object || CFGetTypeID(object) != CFDictionaryGetTypeID()) return std::nullopt;
    auto value = fromCF(object, policy, 0);
    if (!value || !value->asDictionary()) return std::nullopt;
    return *value->asDictionary();
}

}  // namespace wattkeeper::macos_backend
