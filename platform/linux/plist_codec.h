#pragma once
// Property-list bytes (XML and binary) to PlistValue and back, through libplist.
//
// Decoding runs as root on files a user controls, on every evaluation, so it refuses, before
// libplist sees them, inputs that would cost libplist more than linear time or more than a few
// milliseconds (the bounds below), binary lists whose references form a cycle, dictionary keys
// holding a zero character (libplist asserts on those), and any text that is not valid UTF-8.
// Anything refused or malformed decodes to nothing as a whole.
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

namespace wattkeeper::linux_backend {

enum class PlistFormat { Xml, Binary };

// The bounds. Each is far above what a real file holds: the limit file has a handful of keys,
// an application's preferences or bundle description a few hundred keys in all, nested a few
// levels, with texts rarely longer than a path (and no repeated keys, comments or shared
// values beyond what a writer shares). Together they keep the worst file within about 25 ms of
// CPU time (bench/RESULTS.md, "Hostile limit files").
inline constexpr std::size_t kMaxPlistBytes = 8u << 20;
// Nested dictionaries and arrays; a root container is depth 1, a scalar root depth 0.
inline constexpr int kMaxPlistDepth = 64;
// Values and dictionary keys, counted once for each reference to them in binary form; in XML
// also its comments, CDATA sections and other markup, which cost libplist as much.
inline constexpr std::size_t kMaxPlistNodes = 32768;
// The bytes of text and data a binary list holds once its shared references are copied out:
// twice the largest input, since UTF-16 text grows by half in UTF-8.
inline constexpr std::size_t kMaxPlistExpansion = 2 * kMaxPlistBytes;
// What libplist spends finding the keys of an XML list's dictionaries: a unit for each key it
// compares a key with (one more for each 64 bytes of the key) and for each list element it
// steps over to replace a repeated key's value. A dictionary of 500 keys costs about 30000,
// or 60000 with keys of 64 bytes and more.
inline constexpr std::size_t kMaxXmlKeyWork = std::size_t{1} << 20;
// The bytes libplist moves to replace character references ("&amp;", "&#233;"): each moves the
// rest of its run of text, so a 64 KiB text may hold 2048 of them.
inline constexpr std::size_t kMaxXmlReferenceMoves = std::size_t{128} << 20;

// A property list in XML or binary form; nothing when the bytes are not one, or are refused.
std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes);

// The value written in the given form; nothing when it cannot be written faithfully (nesting
// beyond kMaxPlistDepth, a string or key holding a zero byte or invalid UTF-8, a date out of
// range).
std::optional<std::vector<std::uint8_t>> plistToBytes(const PlistValue& value, PlistFormat format);

}  // namespace wattkeeper::linux_backend
