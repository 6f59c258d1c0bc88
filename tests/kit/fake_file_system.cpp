#include "tests/kit/fake_file_system.h"

#include <stdexcept>
#include <utility>

namespace wattkeeper::testkit {

namespace {

bool isBelow(std::string_view candidate, std::string_view folder) {
    return candidate.size() > folder.size() && candidate.starts_with(folder) && candidate[folder.size()] == '/';
}

std::string_view keyOf(const std::string& entry) { return entry; }
template <class Value>
std::string_view keyOf(const std::pair<const std::string, Value>& entry) {
    return entry.first;
}

// Removes the key `path` and every key below it; whether anything went.
template <class Container>
bool eraseTree(Container& container, std::string_view path) {
    bool any = false;
    for (auto it = container.begin(); it != container.end();) {
        const std::string_view key = keyOf(*it);
        if (key == path || isBelow(key, path)) {
            it = container.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

}  // namespace

void FakeFileSystem::putFile(std::string path, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    unreadable_.erase(path);
    files_.insert_or_assign(std::move(path), std::move(bytes));
}

void FakeFileSystem::putPlist(std::string path, const PlistValue& value, PlistFormat format) {
    auto bytes = plistToBytes(value, format);
    if (!bytes) throw std::invalid_argument("FakeFileSystem::putPlist: the value cannot be encoded");
    putFile(std::move(path), std::move(*bytes));
}

void FakeFileSystem::putFolder(std::string path) {
    std::lock_guard lock(mutex_);
    folders_.insert(std::move(path));
}

void FakeFileSystem::putUnreadable(std::string path) {
    std::lock_guard lock(mutex_);
    files_.erase(path);
    unreadable_.insert(std::move(path));
}

void FakeFileSystem::removeFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    files_.erase(path);
    unreadable_.erase(path);
}

std::vector<std::string> FakeFileSystem::removed() const {
    std::lock_guard lock(mutex_);
    return removed_;
}

std::size_t FakeFileSystem::readCount() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

std::optional<std::vector<std::uint8_t>> FakeFileSystem::readFile(std::string_view path, std::size_t maxBytes) {
    std::lock_guard lock(mutex_);
    ++reads_;
    const auto file = files_.find(path);
    if (file == files_.end() || file->second.size() > maxBytes) return std::nullopt;
    return file->second;
}

bool FakeFileSystem::fileExists(std::string_view path) {
    std::lock_guard lock(mutex_);
    return existsLocked(path);
}

bool FakeFileSystem::removeItem(std::string_view path) {
    std::lock_guard lock(mutex_);
    const bool files = eraseTree(files_, path);
    const bool folders = eraseTree(folders_, path);
    const bool unreadable = eraseTree(unreadable_, path);
    if (!files && !folders && !unreadable) return false;
    removed_.emplace_back(path);
    return true;
}

std::optional<PlistValue> FakeFileSystem::decodePropertyList(const std::vector<std::uint8_t>& bytes) {
    return plistFromBytes(bytes);
}

bool FakeFileSystem::existsLocked(std::string_view path) const {
    if (files_.contains(path) || folders_.contains(path) || unreadable_.contains(path)) return true;
    auto anyBelow = [&](const auto& container) {
        for (const auto& entry : container) {
            if (isBelow(keyOf(entry), path)) return true;
        }
        return false;
    };
    return anyBelow(files_) || anyBelow(folders_) || anyBelow(unreadable_);
}

}  // namespace wattkeeper::testkit
