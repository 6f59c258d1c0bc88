#include "daemon/files/daemon_file_manager.h"

#include "platform/utf8.h"
#include "protocol/config.h"

namespace wattkeeper::daemon {

namespace {

constexpr std::string_view kLoginWindow = "loginWindow";

// One path component that cannot lead anywhere but into the folder it is joined to.
bool isPlainComponent(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

std::string joined(std::string_view folder, std::string_view name) {
    std::string path(folder);
    path += '/';
    path += name;
    return path;
}

// The console user's short name; the login window owning the console means nobody. A name
// that could not be one folder under /Users counts as nobody as well.
std::optional<std::string> currentConsoleUser(const Ports& ports) {
    SystemInfo* systemInfo = ports.systemInfo;
    if (!systemInfo) return std::nullopt;
    std::optional<std::string> user = systemInfo->consoleUser();
    if (!user || *user == kLoginWindow || !isPlainComponent(*user)) return std::nullopt;
    return user;
}

// "%@/Library/Containers/%@/<below>" filled with the home folder and the main application's
// bundle identifier. The home folder is never looked up: it is always "/Users/%@".
std::optional<std::string> containerDataPath(const Ports& ports, std::string_view below) {
    auto path = currentConsoleUser(ports);
    if (!path) return std::nullopt;
    // Built in place: this runs on every evaluation.
    constexpr std::string_view kUsers = "/Users/";
    constexpr std::string_view kContainers = "/Library/Containers/";
    path->reserve(kUsers.size() + path->size() + kContainers.size() + protocol::MainAppBundleId.size() + 1 +
                  below.size());
    path->insert(0, kUsers);
    path->append(kContainers).append(protocol::MainAppBundleId).append(1, '/').append(below);
    return path;
}

std::optional<std::string> documentsFilePath(const Ports& ports, std::string_view name) {
    if (!isPlainComponent(name)) return std::nullopt;
    const auto folder = DaemonFileManager::getMainAppContainersPath(ports);
    if (!folder) return std::nullopt;
    return joined(*folder, name);
}

std::optional<PlistValue> readPropertyList(const Ports& ports, const std::string& path) {
    FileSystem* files = ports.fileSystem;
    if (!files) return std::nullopt;
    const auto bytes = files->readFile(path, DaemonFileManager::kMaxFileBytes);
    if (!bytes) return std::nullopt;
    return files->decodePropertyList(*bytes);
}

std::optional<PlistDictionary> dictionaryAt(const Ports& ports, const std::string& path) {
    auto value = readPropertyList(ports, path);
    PlistDictionary* dictionary = value ? value->asDictionary() : nullptr;
    if (!dictionary) return std::nullopt;
    return std::move(*dictionary);
}

}  // namespace

std::optional<std::string> DaemonFileManager::getMainAppContainersPath(const Ports& ports) {
    return containerDataPath(ports, "Data/Documents");
}

std::optional<std::string> DaemonFileManager::getMainAppContainersPreferencesPath(const Ports& ports) {
    return containerDataPath(ports, "Data/Library/Preferences");
}

std::optional<std::string> DaemonFileManager::readStringFileName(const Ports& ports, std::string_view name) {
    const auto path = documentsFilePath(ports, name);
    FileSystem* files = ports.fileSystem;
    if (!path || !files) return std::nullopt;
    const auto bytes = files->readFile(*path, kMaxFileBytes);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!isValidUtf8(text)) return std::nullopt;
    return text;
}

std::optional<PlistDictionary> DaemonFileManager::readDictionaryFileName(const Ports& ports, std::string_view name) {
    const auto path = documentsFilePath(ports, name);
    if (!path) return std::nullopt;
    return dictionaryAt(ports, *path);
}

std::optional<PlistArray> DaemonFileManager::readArrayFileName(const Ports& ports, std::string_view name) {
    const auto path = documentsFilePath(ports, name);
    if (!path) return std::nullopt;
    auto value = readPropertyList(ports, *path);
    PlistArray* array = value ? value->asArray() : nullptr;
    if (!array) return std::nullopt;
    return std::move(*array);
}

void DaemonFileManager::deleteFileName(const Ports& ports, std::string_view name) {
    const auto path = documentsFilePath(ports, name);
    FileSystem* files = ports.fileSystem;
    if (!path || !files) return;
    if (files->fileExists(*path)) files->removeItem(*path);
}

std::optional<PlistDictionary> DaemonFileManager::readPreferencesDictionary(const Ports& ports) {
    const auto folder = getMainAppContainersPreferencesPath(ports);
    FileSystem* files = ports.fileSystem;
    if (!folder || !files) return std::nullopt;
    const std::string path = joined(*folder, std::string(protocol::MainAppBundleId) + ".plist");
    if (!files->fileExists(path)) return std::nullopt;
    return dictionaryAt(ports, path);
}

}  // namespace wattkeeper::daemon
