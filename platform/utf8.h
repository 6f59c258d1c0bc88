#pragma once
// UTF-8 validity, for text the system takes from files and child processes it does not control.

#include <string_view>

namespace wattkeeper {

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogate halves, nothing
// above U+10FFFF. Empty text is valid.
bool isValidUtf8(std::string_view bytes);

}  // namespace wattkeeper
