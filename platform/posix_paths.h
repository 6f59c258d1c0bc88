#pragma once
// Files below a root folder, reached without ever following a symbolic link, in the last
// component or any other: the daemon runs as root among folders a user controls, and a link
// anywhere on the way would lead it into any folder of the machine. POSIX calls only, so that
// the Linux backend (below the virtual Mac's root) and the macOS backend (below "/") share it.
// Relative paths and paths with a ".." component are refused.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/fd.h"

namespace wattkeeper::posix_paths {

// A folder tree deeper than this is left partly in place rather than holding a descriptor per
// level without bound.
inline constexpr int kMaxRemovalDepth = 128;
inline constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// A folder on the way needs no read permission where the system can open it for lookups alone.
#ifdef O_PATH
inline constexpr int kFolderOnTheWay = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
inline constexpr int kFolderOnTheWay = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// Darwin's O_NOFOLLOW_ANY has the kernel refuse a link in every component at once; a kernel
// before macOS 11 does not know the flag, so only a build for 11 and later relies on it.
#if defined(O_NOFOLLOW_ANY) && defined(__ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__) && \
    __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__ >= 110000
inline constexpr bool kKernelRefusesLinks = true;
#else
inline constexpr bool kKernelRefusesLinks = false;
#endif

// The components of an absolute path, without empty and "." ones; nothing for a relative
// path, a ".." component or a zero byte.
inline std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        const std::string_view part = path.substr(at, end - at);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        at = end + 1;
    }
    return parts;
}

// The folder that holds an item, reached from the root without following a symbolic link, and
// the item's name in it.
struct Location {
    Fd folder;
    std::string name;
};

// root: without a trailing "/"; empty for the machine's own root.
inline Fd openRoot(const std::string& root) {
    return Fd(::open(root.empty() ? "/" : root.c_str(), kFolderOnTheWay & ~O_NOFOLLOW));
}

inline std::optional<Location> locate(const std::string& root, const std::vector<std::string>& parts) {
    if (parts.empty()) return std::nullopt;
    if constexpr (kKernelRefusesLinks) {
#if defined(O_NOFOLLOW_ANY)
        std::string parent = root;
        for (std::size_t k = 0; k + 1 < parts.size(); ++k) parent += "/" + parts[k];
        Fd folder(::open(parent.empty() ? "/" : parent.c_str(), kFolderOnTheWay | O_NOFOLLOW_ANY));
        if (!folder) return std::nullopt;
        return Location{std::move(folder), parts.back()};
#endif
    }
    Fd folder = openRoot(root);
    if (!folder) return std::nullopt;
    for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
        Fd next(::openat(folder.get(), parts[k].c_str(), kFolderOnTheWay));
        if (!next) return std::nullopt;
        folder = std::move(next);
    }
    return Location{std::move(folder), parts.back()};
}

inline bool statNoFollow(int folder, const std::string& name, struct stat& info) {
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes the folder `name` in `parent` with everything below it, links as links.
inline bool removeTree(int parent, const std::string& name, int depth) {
    if (depth > kMaxRemovalDepth) return false;
    Fd folder(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return false;
    std::vector<std::string> entries;
    {
        // fdopendir takes its descriptor over; give it a copy so `folder` stays usable.
        const int listing = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
        if (listing < 0) return false;
        DIR* dir = ::fdopendir(listing);
        if (!dir) {
            ::close(listing);
            return false;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view entryName = entry->d_name;
            if (entryName != "." && entryName != "..") entries.emplace_back(entryName);
        }
        ::closedir(dir);
    }
    for (const auto& entry : entries) {
        struct stat info {};
        if (!statNoFollow(folder.get(), entry, info)) continue;
        if (S_ISDIR(info.st_mode)) {
            removeTree(folder.get(), entry, depth + 1);
        } else {
            ::unlinkat(folder.get(), entry.c_str(), 0);
        }
    }
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

// Nothing when the item is not a regular file (a FIFO, device, socket, folder or symbolic
// link), cannot be opened or read, or is larger than maxBytes. Never blocks on a FIFO.
inline std::optional<std::vector<std::uint8_t>> readFile(const std::string& root, std::string_view path,
                                                         std::size_t maxBytes) {
    const auto parts = componentsOf(path);
    if (!parts) return std::nullopt;
    const auto location = locate(root, *parts);
    if (!location) return std::nullopt;

    // Looked at before opening, so a device or FIFO is never opened at all.
    struct stat before {};
    if (!statNoFollow(location->folder.get(), location->name, before) || !S_ISREG(before.st_mode)) {
        return std::nullopt;
    }
    if (static_cast<std::uint64_t>(before.st_size) > maxBytes) return std::nullopt;

    Fd file(::openat(location->folder.get(), location->name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file) return std::nullopt;
    // The item may have been swapped between the look and the open.
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != before.st_dev ||
        opened.st_ino != before.st_ino) {
        return std::nullopt;
    }

    // Read to the end rather than trusting the size: the file may grow or shrink meanwhile. The
    // buffer is the size seen and one byte more, so the usual file takes two reads and nothing
    // beyond its own bytes is allocated or cleared; it grows only for a file that grew.
    const std::size_t limit = maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(opened.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (filled >= limit) return std::nullopt;
            bytes.resize(std::min(std::max(filled * 2, kReadChunk), limit));
        }
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > maxBytes) return std::nullopt;
    bytes.resize(filled);
    return bytes;
}

// Whether an item of any kind is there; a symbolic link counts even when it dangles.
inline bool itemExists(const std::string& root, std::string_view path) {
    const auto parts = componentsOf(path);
    if (!parts) return false;
    if (parts->empty()) return static_cast<bool>(openRoot(root));
    const auto location = locate(root, *parts);
    struct stat info {};
    return location && statNoFollow(location->folder.get(), location->name, info);
}

// Removes a file, a symbolic link (never its target) or a folder with everything below it;
// true when the item is gone. The root itself is never removed.
inline bool removeItem(const std::string& root, std::string_view path) {
    const auto parts = componentsOf(path);
    if (!parts || parts->empty()) return false;
    const auto location = locate(root, *parts);
    if (!location) return false;
    const int folder = location->folder.get();
    struct stat info {};
    if (!statNoFollow(folder, location->name, info)) return false;
    if (S_ISDIR(info.st_mode)) return removeTree(folder, location->name, 0);
    return ::unlinkat(folder, location->name.c_str(), 0) == 0;
}

}  // namespace wattkeeper::posix_paths
