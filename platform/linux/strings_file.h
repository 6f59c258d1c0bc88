#pragma once
// String tables in Foundation's ".strings" form: `"key" = "value";` pairs with comments.
//
// Accepted: UTF-8 (an optional byte-order mark is skipped) and UTF-16 with a byte-order mark
// in either byte order; /* */ and // comments; quoted strings with the escapes \" \\ \n \t \r
// and \UXXXX (four hex digits; two in a row may form a surrogate pair); unquoted keys and
// values made of [A-Za-z0-9_.]; and `"key";`, which stands for `"key" = "key";`. A later
// entry replaces an earlier one with the same key.
//
// Anything else makes the whole file unreadable: invalid text, an unknown escape, a lone
// surrogate, a zero character, an unterminated string or comment, a missing "=" or ";".

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace wattkeeper::linux_backend {

using StringsTable = std::map<std::string, std::string, std::less<>>;

// Tables are small texts people write; a larger file is not read at all.
inline constexpr std::size_t kMaxStringsFileBytes = std::size_t{1} << 20;

// The table the bytes hold; nothing when they are not a well-formed strings file.
std::optional<StringsTable> parseStringsFile(std::string_view bytes);

// The table in the regular file at `path`; nothing when it is missing, not a regular file,
// larger than kMaxStringsFileBytes, or malformed.
std::optional<StringsTable> readStringsFile(const std::string& path);

// The whole regular file at `path` (symbolic links followed, as bundles on the host may lie
// behind one); nothing for a FIFO, device or folder, or a file larger than maxBytes. Never
// blocks on a FIFO.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace wattkeeper::linux_backend
