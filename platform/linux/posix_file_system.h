#pragma once
// Files of the virtual Mac: every absolute path the system names is looked for below a root
// folder on the host, so the daemon's "/Users/..." paths never touch the host's own folders.
//
// The daemon runs as root among folders a user controls, so below the root no symbolic link
// is ever followed, in the last component or any other: a link counts as an existing item that
// is not a regular file or folder. Relative paths and paths with a ".." component are refused.

#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace wattkeeper::linux_backend {

class PosixFileSystem : public FileSystem {
public:
    // root: the host folder that stands for "/"; "" or "/" is the host's own root.
    explicit PosixFileSystem(std::string root);

    // Nothing when the file is not a regular file (a FIFO, device, socket, folder or symbolic
    // link), cannot be opened or read, or is larger than maxBytes. Never blocks on a FIFO.
    std::optional<std::vector<std::uint8_t>> readFile(std::string_view path, std::size_t maxBytes) override;
    // Whether an item of any kind is there; a symbolic link counts even when it dangles.
    bool fileExists(std::string_view path) override;
    // Removes a file, a symbolic link (never its target) or a folder with everything below it;
    // true when the item is gone. The root itself is never removed.
    bool removeItem(std::string_view path) override;
    std::optional<PlistValue> decodePropertyList(const std::vector<std::uint8_t>& bytes) override;

    // The host path for a path of the virtual Mac; nothing when the path is refused.
    std::optional<std::string> hostPath(std::string_view path) const;

private:
    std::string root_;  // without a trailing "/"; empty for the host's root
};

}  // namespace wattkeeper::linux_backend
