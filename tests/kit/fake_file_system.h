#pragma once
// A FileSystem double: files held in memory under their exact paths, with the real
// property-list codec, so tests can hand the daemon XML and binary lists.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/linux/plist_codec.h"

namespace wattkeeper::testkit {

// Paths are compared as given, without normalizing; a folder exists when anything lies below it.
// Thread-safe: the daemon reads from two threads.
class FakeFileSystem : public FileSystem {
public:
    void putFile(std::string path, std::vector<std::uint8_t> bytes) {
        std::lock_guard lock(mutex_);
        files_.insert_or_assign(std::move(path), std::move(bytes));
    }
    // The value encoded with the codec; throws std::invalid_argument when it cannot be encoded.
    void putPlist(std::string path, const PlistValue& value,
                  linux_backend::PlistFormat format = linux_backend::PlistFormat::Xml) {
        auto bytes = linux_backend::plistToBytes(value, format);
        if (!bytes) throw std::invalid_argument("FakeFileSystem::putPlist: the value cannot be encoded");
        putFile(std::move(path), std::move(*bytes));
    }
    // An item that exists but never reads: what a FIFO, a device or a symbolic link is to the
    // daemon.
    void putUnreadable(std::string path) {
        std::lock_guard lock(mutex_);
        files_.insert_or_assign(std::move(path), std::nullopt);
    }
    // Takes an item away without recording a removal.
    void removeFile(const std::string& path) {
        std::lock_guard lock(mutex_);
        files_.erase(path);
    }

    // The paths removeItem removed something at, in order.
    std::vector<std::string> removed() const {
        std::lock_guard lock(mutex_);
        return removed_;
    }
    // How many times readFile was called, whatever it answered.
    std::size_t readCount() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }

    std::optional<std::vector<std::uint8_t>> readFile(std::string_view path, std::size_t maxBytes) override {
        std::lock_guard lock(mutex_);
        ++reads_;
        const auto file = files_.find(path);
        if (file == files_.end() || !file->second || file->second->size() > maxBytes) return std::nullopt;
        return file->second;
    }
    bool fileExists(std::string_view path) override {
        std::lock_guard lock(mutex_);
        return std::any_of(files_.begin(), files_.end(), [&](const auto& f) { return inTree(f.first, path); });
    }
    bool removeItem(std::string_view path) override {
        std::lock_guard lock(mutex_);
        if (std::erase_if(files_, [&](const auto& f) { return inTree(f.first, path); }) == 0) return false;
        removed_.emplace_back(path);
        return true;
    }
    std::optional<PlistValue> decodePropertyList(const std::vector<std::uint8_t>& bytes) override {
        return linux_backend::plistFromBytes(bytes);
    }

private:
    // `candidate` is `path` or lies below it.
    static bool inTree(std::string_view candidate, std::string_view path) {
        return candidate.starts_with(path) && (candidate.size() == path.size() || candidate[path.size()] == '/');
    }

    mutable std::mutex mutex_;
    // Nothing for an unreadable item.
    std::map<std::string, std::optional<std::vector<std::uint8_t>>, std::less<>> files_;
    std::vector<std::string> removed_;
    std::size_t reads_ = 0;
};

}  // namespace wattkeeper::testkit
