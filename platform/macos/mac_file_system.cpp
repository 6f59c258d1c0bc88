#include "platform/macos/mac_file_system.h"

#include <CoreFoundation/CoreFoundation.h>

#include "platform/macos/cf_values.h"
#include "platform/posix_paths.h"

namespace wattkeeper::macos_backend {

std::optional<std::vector<std::uint8_t>> MacFileSystem::readFile(std::string_view path, std::size_t maxBytes) {
    return posix_paths::readFile("", path, maxBytes);
}

bool MacFileSystem::fileExists(std::string_view path) { return posix_paths::itemExists("", path); }

bool MacFileSystem::removeItem(std::string_view path) { return posix_paths::removeItem("", path); }

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
