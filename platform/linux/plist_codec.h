#pragma once
// Property-list bytes (XML and binary) to PlistValue and back, through libplist.
//
// Decoding runs as root on files a user controls, so it refuses, before libplist sees them,
// inputs above kMaxPlistBytes, containers nested deeper than kMaxPlistDepth, binary lists whose
// references form a cycle or would expand beyond kMaxPlistExpansion (libplist copies a shared
// object out once per reference), dictionary keys holding a zero character (libplist asserts
// on those), and any text that is not valid UTF-8. Anything refused or malformed decodes to
// nothing as a whole.
//
// Value mapping:
// - integers: libplist keeps every integer in 64 bits; a value above INT64_MAX (an unsigned
//   one that only the file's text or 16-byte binary form can hold) decodes to INT64_MAX.
// - dates: seconds since 2001, carried to the microsecond (XML keeps whole seconds only). A
//   date less than one second before 2001 decodes without its sign: libplist's accessor
//   cannot tell it apart. Encoding a date that is not finite or outside the 32-bit second
//   range of libplist fails.
// - a key given twice in one dictionary: the last value counts (libplist keeps only the last of
//   an XML list's; a binary list's all reach the decoder, which does the same).
// - uid, key-only and typeless nodes have no PlistValue: a list holding one decodes to nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/plist.h"

namespace wattkeeper {

enum class PlistFormat { Xml, Binary };

inline constexpr std::size_t kMaxPlistBytes = 8u << 20;
// Nested dictionaries and arrays; a root container is depth 1, a scalar root depth 0.
inline constexpr int kMaxPlistDepth = 64;
// What a binary list may expand to when its shared references are copied out, counted as 64
// bytes a node plus its text and data.
inline constexpr std::size_t kMaxPlistExpansion = std::size_t{64} << 20;

// A property list in XML or binary form; nothing when the bytes are not one, or are refused.
std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes);

// The value written in the given form; nothing when it cannot be written faithfully (nesting
// beyond kMaxPlistDepth, a string or key holding a zero byte or invalid UTF-8, a date out of
// range).
std::optional<std::vector<std::uint8_t>> plistToBytes(const PlistValue& value, PlistFormat format);

}  // namespace wattkeeper
