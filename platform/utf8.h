#pragma once
// UTF-8 validity, for text the system takes from files and child processes it does not control.

#include <cstdint>
#include <string>
#include <string_view>

namespace wattkeeper {

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogate halves, nothing
// above U+10FFFF. Empty text is valid.
bool isValidUtf8(std::string_view bytes);

// Appends a code point up to U+10FFFF in UTF-8; surrogates are encoded as they come.
void appendUtf8(std::string& out, std::uint32_t code);

}  // namespace wattkeeper
