#include "platform/linux/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "platform/linux/plist_codec.h"
#include "platform/linux/fd.h"

namespace wattkeeper {

namespace {

// A folder tree deeper than this is left partly in place rather than holding a descriptor per
// level without bound.
constexpr int kMaxRemovalDepth = 128;
constexpr std::size_t kReadChunk = 64 * 1024;


// The components of an absolute path, without empty and "." ones; nothing for a relative
// path, a ".." component or a zero byte.
std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
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

// The folder that holds an item, reached from the root one component at a time without
// following a symbolic link, and the item's name in it.
struct Location {
    Fd folder;
    std::string name;
};

Fd openRoot(const std::string& root) {
    return Fd(::open(root.empty() ? "/" : root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::optional<Location> locate(const std::string& root, const std::vector<std::string>& parts) {
    if (parts.empty()) return std::nullopt;
    Fd folder = openRoot(root);
    if (!folder) return std::nullopt;
    for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
        Fd next(::openat(folder.get(), parts[k].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return std::nullopt;
        folder = std::move(next);
    }
    return Location{std::move(folder), parts.back()};
}

bool statNoFollow(int folder, const std::string& name, struct stat& info) {
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes the folder `name` in `parent` with everything below it, links as links.
bool removeTree(int parent, const std::string& name, int depth) {
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

}  // namespace

PosixFileSystem::PosixFileSystem(std::string root) : root_(std::move(root)) {
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
}

std::optional<std::string> PosixFileSystem::hostPath(std::string_view path) const {
    const auto parts = componentsOf(path);
    if (!parts) return std::nullopt;
    if (parts->empty()) return root_.empty() ? std::string("/") : root_;
    std::string host = root_;
    for (const auto& part : *parts) host += "/" + part;
    return host;
}

std::optional<std::vector<std::uint8_t>> PosixFileSystem::readFile(std::string_view path, std::size_t maxBytes) {
    const auto parts = componentsOf(path);
    if (!parts) return std::nullopt;
    const auto location = locate(root_, *parts);
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

    // Read to the end rather than trusting the size: the file may grow or shrink meanwhile.
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(opened.st_size));
    std::vector<std::uint8_t> chunk(kReadChunk);
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;
        if (static_cast<std::size_t>(got) > maxBytes - bytes.size()) return std::nullopt;
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    return bytes;
}

bool PosixFileSystem::fileExists(std::string_view path) {
    const auto parts = componentsOf(path);
    if (!parts) return false;
    if (parts->empty()) return static_cast<bool>(openRoot(root_));
    const auto location = locate(root_, *parts);
    struct stat info {};
    return location && statNoFollow(location->folder.get(), location->name, info);
}

bool PosixFileSystem::removeItem(std::string_view path) {
    const auto parts = componentsOf(path);
    if (!parts || parts->empty()) return false;
    const auto location = locate(root_, *parts);
    if (!location) return false;
    const int folder = location->folder.get();
    struct stat info {};
    if (!statNoFollow(folder, location->name, info)) return false;
    if (S_ISDIR(info.st_mode)) return removeTree(folder, location->name, 0);
    return ::unlinkat(folder, location->name.c_str(), 0) == 0;
}

std::optional<PlistValue> PosixFileSystem::decodePropertyList(const std::vector<std::uint8_t>& bytes) {
    return plistFromBytes(bytes);
}

}  // namespace wattkeeper
