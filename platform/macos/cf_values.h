#pragma once
// CoreFoundation objects held by ownership, and the conversions between property-list values and
// their CoreFoundation objects (CFString, CFNumber, CFBoolean, CFData, CFDate, CFArray,
// CFDictionary). Every backend file that meets a CF object goes through here.

#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/plist.h"

namespace wattkeeper::macos_backend {

// One owned reference (from a Create or Copy function), released when the holder goes.
template <class Ref>
class CFHolder {
public:
    CFHolder() = default;
    explicit CFHolder(Ref ref) : ref_(ref) {}
    CFHolder(CFHolder&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFHolder& operator=(CFHolder&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    ~CFHolder() { reset(); }

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    // Hands the reference over; the caller releases it.
    Ref release() { return std::exchange(ref_, nullptr); }
    void reset() {
        if (ref_) CFRelease(ref_);
        ref_ = nullptr;
    }

private:
    Ref ref_ = nullptr;
};

// Containers nested deeper than this are refused, in both directions: a file the daemon reads as
// root belongs to a user, and its nesting must not decide how deep the daemon recurses.
inline constexpr int kMaxCFNesting = 64;

// What a conversion from CoreFoundation does with an object that has no property-list value (a
// URL in an info dictionary, a non-string key, text that is not Unicode, nesting too deep).
enum class Unconvertible {
    Skip,  // leave the entry or element out; the rest arrives
    Fail,  // the whole conversion gives nothing
};

// A CFString of UTF-8 text; empty when the text is not well-formed UTF-8.
CFHolder<CFStringRef> makeCFString(std::string_view utf8);
// The text of a CFString as UTF-8; nothing when it holds an unpaired surrogate.
std::optional<std::string> utf8String(CFStringRef string);

// The CoreFoundation object of a value: integers as 32-bit CFNumbers when they fit, else 64-bit;
// reals as 64-bit floating CFNumbers. Empty when the value or a part of it cannot be made (text
// that is not UTF-8 drops that entry or element; only a root that fails gives nothing).
CFHolder<CFTypeRef> makeCFValue(const PlistValue& value);
CFHolder<CFDictionaryRef> makeCFDictionary(const PlistDictionary& dictionary);

// The value of a CoreFoundation object. Integers beyond 64 bits saturate.
std::optional<PlistValue> plistValue(CFTypeRef object, Unconvertible policy);
// The same for an object that must be a dictionary; nothing for any other kind.
std::optional<PlistDictionary> plistDictionary(CFTypeRef object, Unconvertible policy);

}  // namespace wattkeeper::macos_backend
