#pragma once
// Shared defaults suites of the virtual Mac: property-list files in the console user's group
// container below the virtual Mac's root folder, in XML so that a person can read them.
//
// Files below the root belong to whoever controls that folder, and the tools that write them
// may run as root: below the root no symbolic link is ever followed, and a file is replaced by
// renaming a complete new one over it, so a reader never sees half a file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"

namespace wattkeeper::linux_backend {

// Puts `bytes` at the path of the virtual Mac (an absolute path, no ".." component) below
// `root` by writing a new file beside it and renaming it into place, mode 0644. Missing
// folders are made (0755); the root itself must exist, and the host's own root ("" or "/") is
// refused. False, leaving any old file as it was, when the path is refused, a
// component is a symbolic link or not a folder, the item there is not a regular file, or a
// write fails.
bool replaceFileBelowRoot(const std::string& root, std::string_view path, const std::vector<std::uint8_t>& bytes);

// "/Users/<user>/Library/Group Containers/<suite>/Library/Preferences/<suite>.plist".
std::string groupSuitePath(std::string_view user, std::string_view suite);

// The suites of the virtual Mac's console user.
class LinuxDefaults : public Defaults {
public:
    // Asked at each synchronize; nothing means nobody is logged in.
    using ConsoleUser = std::function<std::optional<std::string>()>;

    // root: the host folder that stands for the Mac's "/".
    LinuxDefaults(std::string root, ConsoleUser consoleUser);
    LinuxDefaults(std::string root, std::string consoleUser);

    std::unique_ptr<DefaultsSuite> openSuite(std::string_view suiteName) override;

private:
    std::string root_;
    ConsoleUser consoleUser_;
};

// One suite: values set are kept in memory until synchronize merges them into the file.
class LinuxDefaultsSuite : public DefaultsSuite {
public:
    LinuxDefaultsSuite(std::string root, LinuxDefaults::ConsoleUser consoleUser, std::string suiteName);

    void setBool(std::string_view key, bool value) override;
    // Reads the file (keeping the keys this suite did not set), merges the values set here and
    // writes it back. A file that is not a property list with a dictionary at its root is
    // replaced. False when nobody is logged in, the user or suite name is not a plain file
    // name, or the file cannot be written.
    bool synchronize() override;

private:
    std::string root_;
    LinuxDefaults::ConsoleUser consoleUser_;
    std::string suiteName_;
    PlistDictionary values_;
};

}  // namespace wattkeeper::linux_backend
