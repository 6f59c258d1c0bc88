#include "platform/linux/linux_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <utility>

#include "platform/fd.h"
#include "platform/linux/plist_codec.h"
#include "platform/linux/posix_file_system.h"

namespace wattkeeper::linux_backend {

namespace {

constexpr int kTemporaryNameAttempts = 16;

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

// The components of an absolute path; nothing for a relative one, a ".." or a zero byte.
std::optional<std::vector<std::string>> componentsOf(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return std::nullopt;
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        const std::string_view part = path.substr(at, slash - at);
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.emplace_back(part);
        at = slash + 1;
    }
    return parts;
}

// The folder at the components, made where missing, reached without following a link.
Fd openFolders(const std::string& root, const std::vector<std::string>& folders) {
    Fd folder(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const auto& name : folders) {
        if (!folder) return folder;
        Fd next(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT) {
            // Another writer may make it at the same moment; the open below settles that.
            if (::mkdirat(folder.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return Fd();
            next = Fd(::openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        folder = std::move(next);
    }
    return folder;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// A new file with a name no one else uses, beside the one it will replace.
std::optional<std::pair<Fd, std::string>> createTemporary(int folder, const std::string& name) {
    std::random_device random;
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        const std::string candidate = "." + name + "." + std::to_string(random()) + ".tmp";
        Fd file(::openat(folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file) return std::make_pair(std::move(file), candidate);
        if (errno != EEXIST) return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool replaceFileBelowRoot(const std::string& root, std::string_view path, const std::vector<std::uint8_t>& bytes) {
    auto parts = componentsOf(path);
    if (!parts || parts->empty()) return false;
    const std::string name = parts->back();
    parts->pop_back();
    std::string base = root;
    while (!base.empty() && base.back() == '/') base.pop_back();
    if (base.empty()) return false;

    const Fd folder = openFolders(base, *parts);
    if (!folder) return false;
    // Only a regular file is replaced: a link in its place is someone else's, never ours.
    struct stat existing {};
    if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(existing.st_mode)) {
        return false;
    }

    auto temporary = createTemporary(folder.get(), name);
    if (!temporary) return false;
    auto& [file, temporaryName] = *temporary;
    // The mode of a file a person reads, whatever the writer's umask.
    const bool written = ::fchmod(file.get(), 0644) == 0 && writeAll(file.get(), bytes) && ::fsync(file.get()) == 0;
    file.reset();
    if (!written || ::renameat(folder.get(), temporaryName.c_str(), folder.get(), name.c_str()) != 0) {
        ::unlinkat(folder.get(), temporaryName.c_str(), 0);
        return false;
    }
    return true;
}

std::string groupSuitePath(std::string_view user, std::string_view suite) {
    std::string path = "/Users/";
    path += user;
    path += "/Library/Group Containers/";
    path += suite;
    path += "/Library/Preferences/";
    path += suite;
    path += ".plist";
    return path;
}

LinuxDefaults::LinuxDefaults(std::string root, ConsoleUser consoleUser)
    : root_(std::move(root)), consoleUser_(std::move(consoleUser)) {}

LinuxDefaults::LinuxDefaults(std::string root, std::string consoleUser)
    : LinuxDefaults(std::move(root), [user = std::move(consoleUser)]() -> std::optional<std::string> { return user; }) {
}

std::unique_ptr<DefaultsSuite> LinuxDefaults::openSuite(std::string_view suiteName) {
    return std::make_unique<LinuxDefaultsSuite>(root_, consoleUser_, std::string(suiteName));
}

LinuxDefaultsSuite::LinuxDefaultsSuite(std::string root, LinuxDefaults::ConsoleUser consoleUser, std::string suiteName)
    : root_(std::move(root)), consoleUser_(std::move(consoleUser)), suiteName_(std::move(suiteName)) {}

void LinuxDefaultsSuite::setBool(std::string_view key, bool value) { values_.set(std::string(key), value); }

bool LinuxDefaultsSuite::synchronize() {
    const auto user = consoleUser_ ? consoleUser_() : std::nullopt;
    if (!user || !isPlainName(*user) || !isPlainName(suiteName_)) return false;
    const std::string path = groupSuitePath(*user, suiteName_);

    PlistDictionary merged;
    PosixFileSystem files(root_);
    if (const auto bytes = files.readFile(path, kMaxPlistBytes)) {
        if (auto value = plistFromBytes(*bytes); value && value->asDictionary()) merged = *value->asDictionary();
    }
    for (const auto& [key, value] : values_) merged.set(key, value);

    const auto bytes = plistToBytes(PlistValue(std::move(merged)), PlistFormat::Xml);
    return bytes && replaceFileBelowRoot(root_, path, *bytes);
}

}  // namespace wattkeeper::linux_backend
