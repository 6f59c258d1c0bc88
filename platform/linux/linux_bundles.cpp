#include "platform/linux/linux_bundles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "platform/linux/plist_codec.h"

namespace wattkeeper::linux_backend {

namespace {

constexpr std::string_view kDefaultTable = "Localizable";
constexpr std::string_view kLanguageFolderSuffix = ".lproj";

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

// A name that stays one path component, so no lookup leaves the bundle.
bool isPlainComponent(std::string_view name) {
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos && name != "." &&
           name != "..";
}

LinuxBundle::Shape shapeOf(const std::string& path) {
    if (path.ends_with(kLanguageFolderSuffix)) return LinuxBundle::Shape::LanguageFolder;
    if (isFolder(path + "/Contents")) return LinuxBundle::Shape::Application;
    return LinuxBundle::Shape::Flat;
}

std::optional<std::string> ownExecutablePath() {
    std::string buffer(4096, '\0');
    const ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (got <= 0 || static_cast<std::size_t>(got) >= buffer.size()) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
}

}  // namespace

std::vector<std::string> languagesForLocale(std::string_view locale) {
    // "language[_territory][.codeset][@modifier]"
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return {};
    const auto underscore = name.find('_');
    const std::string language(name.substr(0, underscore));
    const std::string territory(underscore == std::string_view::npos ? std::string_view()
                                                                     : name.substr(underscore + 1));
    if (language.empty()) return {};
    // Chinese folders are named by script, not by country.
    if (language == "zh") {
        if (territory == "TW" || territory == "HK" || territory == "MO") return {"zh-Hant"};
        return {"zh-Hans"};
    }
    if (territory.empty()) return {language};
    return {language + "-" + territory, language};
}

std::vector<std::string> preferredLanguagesFromEnvironment() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return languagesForLocale(value);
    }
    return {};
}

std::string bundlePathForExecutable(std::string_view executablePath) {
    const auto slash = executablePath.rfind('/');
    if (slash == std::string_view::npos) return ".";
    const std::string_view folder = slash == 0 ? std::string_view("/") : executablePath.substr(0, slash);
    constexpr std::string_view kInside = "/Contents/MacOS";
    if (folder.ends_with(kInside)) {
        const std::string_view bundle = folder.substr(0, folder.size() - kInside.size());
        if (bundle.ends_with(".app")) return std::string(bundle);
    }
    return std::string(folder);
}

LinuxBundle::LinuxBundle(std::string_view path, std::vector<std::string> preferredLanguages)
    : path_(withoutTrailingSlashes(path)), preferredLanguages_(std::move(preferredLanguages)), shape_(shapeOf(path_)) {
    resources_ = shape_ == Shape::Application ? path_ + "/Contents/Resources" : path_;
}

std::optional<PlistDictionary> LinuxBundle::infoDictionary() const {
    const std::string file = shape_ == Shape::Application ? path_ + "/Contents/Info.plist" : path_ + "/Info.plist";
    const auto bytes = readRegularFile(file, kMaxPlistBytes);
    if (!bytes) return std::nullopt;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes->data());
    auto value = plistFromBytes(std::span<const std::uint8_t>(data, bytes->size()));
    if (!value || !value->asDictionary()) return std::nullopt;
    return *value->asDictionary();
}

std::optional<std::string> LinuxBundle::pathForResource(std::string_view name, std::string_view type) const {
    if (name.empty() || !isPlainComponent(name) || (!type.empty() && !isPlainComponent(type))) return std::nullopt;
    std::string path = resources_ + "/" + std::string(name);
    if (!type.empty()) path += "." + std::string(type);
    if (!exists(path)) return std::nullopt;
    return path;
}

std::optional<std::string> LinuxBundle::languageFolder() const {
    if (shape_ == Shape::LanguageFolder) return path_;
    std::vector<std::string_view> candidates(preferredLanguages_.begin(), preferredLanguages_.end());
    candidates.push_back(kDevelopmentLanguage);
    candidates.push_back(kBaseLanguage);
    for (std::string_view language : candidates) {
        if (!isPlainComponent(language) || language.empty()) continue;
        std::string folder = resources_ + "/" + std::string(language) + std::string(kLanguageFolderSuffix);
        if (isFolder(folder)) return folder;
    }
    return std::nullopt;
}

const StringsTable* LinuxBundle::loadTable(const std::string& file) const {
    std::lock_guard lock(cacheMutex_);
    auto found = tables_.find(file);
    if (found == tables_.end()) found = tables_.emplace(file, readStringsFile(file)).first;
    return found->second ? &*found->second : nullptr;
}

std::string LinuxBundle::localizedString(std::string_view key, const std::optional<std::string>& value,
                                         const std::optional<std::string>& table) const {
    const std::string tableName = table && !table->empty() ? *table : std::string(kDefaultTable);
    if (isPlainComponent(tableName)) {
        // Without any language folder the bundle's unlocalized table answers.
        const std::string folder = languageFolder().value_or(resources_);
        if (const StringsTable* strings = loadTable(folder + "/" + tableName + ".strings")) {
            // Safe without the lock: tables_ only grows, and its nodes never move.
            const auto found = strings->find(key);
            if (found != strings->end()) return found->second;
        }
    }
    return value && !value->empty() ? *value : std::string(key);
}

LinuxBundles::LinuxBundles(std::optional<std::string> mainBundlePath,
                           std::optional<std::vector<std::string>> preferredLanguages)
    : preferredLanguages_(preferredLanguages ? std::move(*preferredLanguages) : preferredLanguagesFromEnvironment()),
      mainBundlePath_(std::move(mainBundlePath)) {}

std::shared_ptr<Bundle> LinuxBundles::mainBundle() {
    std::lock_guard lock(mutex_);
    if (main_) return main_;
    std::optional<std::string> path = mainBundlePath_;
    if (!path) {
        const auto executable = ownExecutablePath();
        if (!executable) return nullptr;
        path = bundlePathForExecutable(*executable);
    }
    main_ = std::make_shared<LinuxBundle>(*path, preferredLanguages_);
    return main_;
}

std::shared_ptr<Bundle> LinuxBundles::bundleWithPath(std::string_view path) {
    const std::string folder(path);
    if (folder.empty() || !isFolder(folder)) return nullptr;
    return std::make_shared<LinuxBundle>(folder, preferredLanguages_);
}

}  // namespace wattkeeper::linux_backend
