#pragma once
// Files: bounded whole-file reads, existence, removal, and property-list decoding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist.h"

namespace wattkeeper {

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // The whole file, or nothing when it is missing, unreadable, not a regular file or larger
    // than maxBytes.
    virtual std::optional<std::vector<std::uint8_t>> readFile(std::string_view path, std::size_t maxBytes) = 0;
    virtual bool fileExists(std::string_view path) = 0;
    // Removes a file, or a folder with its contents; false when nothing was removed.
    virtual bool removeItem(std::string_view path) = 0;
    // A property list in XML or binary form; nothing when the bytes are not one.
    virtual std::optional<PlistValue> decodePropertyList(const std::vector<std::uint8_t>& bytes) = 0;
};

}  // namespace wattkeeper
