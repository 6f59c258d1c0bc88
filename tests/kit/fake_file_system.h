#pragma once
// A FileSystem double: files and folders held in memory under their exact paths, with the
// real property-list codec, so tests can hand the daemon XML and binary lists.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/linux/plist_codec.h"

namespace wattkeeper::testkit {

// Paths are compared as given, without normalizing. A folder exists when put with putFolder or
// when anything lies below it. Thread-safe: the daemon reads from two threads.
class FakeFileSystem : public FileSystem {
public:
    void putFile(std::string path, std::vector<std::uint8_t> bytes);
    // The value encoded with the codec; throws std::invalid_argument when it cannot be encoded.
    void putPlist(std::string path, const PlistValue& value, PlistFormat format = PlistFormat::Xml);
    void putFolder(std::string path);
    // An item that exists but never reads: what a FIFO, a device or a symbolic link is to the
    // daemon.
    void putUnreadable(std::string path);
    // Takes a file or an unreadable item away without recording a removal.
    void removeFile(const std::string& path);

    // The paths removeItem removed something at, in order.
    std::vector<std::string> removed() const;
    // How many times readFile was called, whatever it answered.
    std::size_t readCount() const;

    std::optional<std::vector<std::uint8_t>> readFile(std::string_view path, std::size_t maxBytes) override;
    bool fileExists(std::string_view path) override;
    bool removeItem(std::string_view path) override;
    std::optional<PlistValue> decodePropertyList(const std::vector<std::uint8_t>& bytes) override;

private:
    bool existsLocked(std::string_view path) const;

    mutable std::mutex mutex_;
    std::map<std::string, std::vector<std::uint8_t>, std::less<>> files_;
    std::set<std::string, std::less<>> folders_;
    std::set<std::string, std::less<>> unreadable_;
    std::vector<std::string> removed_;
    std::size_t reads_ = 0;
};

}  // namespace wattkeeper::testkit
