#pragma once
// Bundles as folders on the host, laid out as on the Mac.
//
// Three shapes are told apart by what the folder holds:
// - an application bundle "<X>.app" with a "Contents" folder: Contents/Info.plist and
//   Contents/Resources/<lang>.lproj/<table>.strings;
// - a language folder "<lang>.lproj" (what ZQLocalizationSystem makes a bundle of): its
//   resources and tables lie directly inside it;
// - any other folder, a flat bundle: Info.plist, resources and <lang>.lproj folders lie
//   directly inside it (a program that is not inside an application bundle gets its own folder
//   as main bundle).

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/linux/strings_file.h"

namespace wattkeeper::linux_backend {

// Every language a bundle without the preferred ones falls back to, in order.
inline constexpr std::string_view kDevelopmentLanguage = "en";
inline constexpr std::string_view kBaseLanguage = "Base";

// The language identifier a POSIX locale name stands for ("zh_CN.UTF-8" → "zh-Hans",
// "en_US" → "en", "pt_BR" → "pt-BR", then "pt"), most specific first; nothing for "C",
// "POSIX" or an empty name.
std::vector<std::string> languagesForLocale(std::string_view locale);

// The user's languages from the first of LC_ALL, LC_MESSAGES and LANG that is set and not empty.
std::vector<std::string> preferredLanguagesFromEnvironment();

// One bundle folder on the host.
class LinuxBundle : public Bundle {
public:
    enum class Shape { Application, LanguageFolder, Flat };

    // path: the bundle's folder; preferredLanguages: the user's languages, most wanted first.
    LinuxBundle(std::string_view path, std::vector<std::string> preferredLanguages);

    std::string bundlePath() const override { return path_; }
    // Nothing when the file is missing, malformed or holds no dictionary at its root.
    std::optional<PlistDictionary> infoDictionary() const override;
    // The existing resource "<name>.<type>" (just "<name>" for an empty type).
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const override;
    // Looks in "<table or Localizable>.strings" of the bundle's language folder: the first of
    // the preferred languages, "en" and "Base" that the bundle has; a language folder bundle
    // looks in itself. A missing table counts as an empty one.
    std::string localizedString(std::string_view key, const std::optional<std::string>& value,
                                const std::optional<std::string>& table) const override;

    Shape shape() const { return shape_; }
    // The folder holding resources and language folders.
    const std::string& resourcesFolder() const { return resources_; }
    // The language folder lookups use; nothing when the bundle has none of the languages.
    std::optional<std::string> languageFolder() const;

private:
    const StringsTable* loadTable(const std::string& name) const;

    std::string path_;
    std::vector<std::string> preferredLanguages_;
    Shape shape_;
    std::string resources_;

    // Tables are read once: texts of a bundle do not change while the program runs.
    mutable std::mutex cacheMutex_;
    mutable std::map<std::string, std::optional<StringsTable>, std::less<>> tables_;
};

// Finds the main bundle from the program's own path, and makes bundles of folders.
class LinuxBundles : public Bundles {
public:
    // mainBundlePath: the main bundle's folder, instead of the one found from /proc/self/exe;
    // preferredLanguages: instead of the environment's.
    explicit LinuxBundles(std::optional<std::string> mainBundlePath = std::nullopt,
                          std::optional<std::vector<std::string>> preferredLanguages = std::nullopt);

    // The same object on every call; nothing only when the program's path cannot be read.
    std::shared_ptr<Bundle> mainBundle() override;
    // Nothing when no folder is at the path.
    std::shared_ptr<Bundle> bundleWithPath(std::string_view path) override;

private:
    std::vector<std::string> preferredLanguages_;
    std::optional<std::string> mainBundlePath_;
    std::mutex mutex_;
    std::shared_ptr<Bundle> main_;
};

// The bundle a program at `executablePath` belongs to: "<X>.app" for
// ".../<X>.app/Contents/MacOS/<program>", else the program's folder.
std::string bundlePathForExecutable(std::string_view executablePath);

}  // namespace wattkeeper::linux_backend
