#pragma once
// Files of the Mac, read by a daemon that runs as root among folders a user controls.

#include "platform/file_system.h"

namespace wattkeeper::macos_backend {

// Safe from any thread; nothing is cached.
class MacFileSystem : public FileSystem {
public:
    // Below "/" as posix_paths.h reaches files: no symbolic link is followed in any component,
    // only regular files no larger than maxBytes are read, a FIFO never blocks. Relative paths,
    // ".." components and "/" itself (for removeItem) are refused.
    std::optional<std::vector<std::uint8_t>> readFile(std::string_view path, std::size_t maxBytes) override;
    // An item of any kind, a dangling symbolic link included.
    bool fileExists(std::string_view path) override;
    // Removes a file, a symbolic link (never its target) or a folder with everything below it.
    bool removeItem(std::string_view path) override;
    // CFPropertyListCreateWithData, accepting the XML and the binary format only, up to
    // kMaxPropertyListBytes. Anything in the list without a property-list value (nesting deeper
    // than cf_values.h allows) makes the whole list nothing.
    std::optional<PlistValue> decodePropertyList(const std::vector<std::uint8_t>& bytes) override;

    static constexpr std::size_t kMaxPropertyListBytes = std::size_t{8} << 20;
};

}  // namespace wattkeeper::macos_backend
