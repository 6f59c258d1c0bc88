#pragma once
// The main application's container in the console user's home folder, and the property-list
// files the daemon reads from it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist.h"
#include "platform/ports.h"

namespace wattkeeper::daemon {

// Finds the container of whoever owns the console at the moment of each call (the console user
// from ports.systemInfo), and reads from it through ports.fileSystem. Keeps no state, so any
// thread may call it at any time; without those ports nothing is found.
//
// A file name must be one plain path component: a name that is empty, ".", ".." or holds a "/"
// or a zero byte reads nothing and deletes nothing, so that no caller can be steered out of
// the Documents folder.
class DaemonFileManager {
public:
    DaemonFileManager() = delete;

    // The daemon reads files that a user controls; anything larger counts as unreadable.
    static constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

    // "/Users/<user>/Library/Containers/<MainAppBundleId>/Data/Documents"; nothing without a
    // console user.
    static std::optional<std::string> getMainAppContainersPath(const Ports& ports);
    // "/Users/<user>/Library/Containers/<MainAppBundleId>/Data/Library/Preferences"; nothing
    // without a console user.
    static std::optional<std::string> getMainAppContainersPreferencesPath(const Ports& ports);

    // The file in the Documents folder as text; nothing unless it is readable and valid UTF-8.
    static std::optional<std::string> readStringFileName(const Ports& ports, std::string_view name);
    // The file in the Documents folder as a property list with a dictionary (resp. array) at
    // its root; nothing when it is missing, unreadable, malformed or has another root.
    static std::optional<PlistDictionary> readDictionaryFileName(const Ports& ports, std::string_view name);
    static std::optional<PlistArray> readArrayFileName(const Ports& ports, std::string_view name);
    // Removes the item in the Documents folder (a folder with its contents) if one is there.
    static void deleteFileName(const Ports& ports, std::string_view name);
    // The main application's defaults file in its container, when it exists and is a
    // dictionary; a missing file is not read at all.
    static std::optional<PlistDictionary> readPreferencesDictionary(const Ports& ports);
};

}  // namespace wattkeeper::daemon
