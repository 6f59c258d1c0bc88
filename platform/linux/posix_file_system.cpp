#include "platform/linux/posix_file_system.h"

#include <utility>

#include "platform/linux/plist_codec.h"
#include "platform/posix_paths.h"

namespace wattkeeper::linux_backend {

using posix_paths::componentsOf;

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
    return posix_paths::readFile(root_, path, maxBytes);
}

bool PosixFileSystem::fileExists(std::string_view path) { return posix_paths::itemExists(root_, path); }

bool PosixFileSystem::removeItem(std::string_view path) { return posix_paths::removeItem(root_, path); }

std::optional<PlistValue> PosixFileSystem::decodePropertyList(const std::vector<std::uint8_t>& bytes) {
    return plistFromBytes(bytes);
}

}  // namespace wattkeeper::linux_backend
