#include "platform/macos/mac_file_system.h"

#include <CoreFoundation/CoreFoundation.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/macos/cf_values.h"

namespace wattkeeper::macos_backend {

namespace {

// A path as the C library takes it; nothing when it holds a zero byte and so names another file.
std::optional<std::string> cPath(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
    return std::string(path);
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> MacFileSystem::readFile(std::string_view path, std::size_t maxBytes) {
    const auto name = cPath(path);
    if (!name) return std::nullopt;
    const Descriptor file(::open(name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    if (status.st_size < 0 || static_cast<std::uintmax_t>(status.st_size) > maxBytes) return std::nullopt;

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t filled = 0;
    std::uint8_t probe = 0;
    for (;;) {
        // Once the expected size is read, one more byte tells whether the file grew past the bound.
        const bool full = filled == bytes.size();
        if (full && filled >= maxBytes) {
            const ssize_t extra = ::read(file.get(), &probe, 1);
            if (extra < 0 && errno == EINTR) continue;
            if (extra != 0) return std::nullopt;
            break;
        }
        if (full) bytes.resize(std::min(maxBytes, bytes.size() + 4096));
        const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

bool MacFileSystem::fileExists(std::string_view path) {
    const auto name = cPath(path);
    struct stat status {};
    return name && ::lstat(name->c_str(), &status) == 0;
}

bool MacFileSystem::removeItem(std::string_view path) {
    const auto name = cPath(path);
    if (!name || name->front() != '/' || name->find_first_not_of('/') == std::string::npos) return false;
    std::error_code error;
    // remove_all removes a symbolic link itself and never descends through one.
    const std::uintmax_t removed = std::filesystem::remove_all(*name, error);
    return !error && removed > 0;
}

std::optional<PlistValue> MacFileSystem::decodePropertyList(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) return std::nullopt;
    CFHolder<CFDataRef> data(CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size())));
    if (!data) return std::nullopt;
    CFPropertyListFormat format{};
    CFHolder<CFPropertyListRef> list(
        CFPropertyListCreateWithData(kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, &format, nullptr));
    if (!list) return std::nullopt;
    // The old text format is read by CoreFoundation too, but the port promises XML and binary.
    if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) return std::nullopt;
    return plistValue(list.get(), Unconvertible::Fail);
}

}  // namespace wattkeeper::macos_backend
