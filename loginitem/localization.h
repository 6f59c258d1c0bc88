#pragma once
// Texts in a language chosen at run time.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"

namespace wattkeeper::loginitem {

// The folder type of a language's resources ("en.lproj").
inline constexpr std::string_view kLanguageFolderType = "lproj";

// Looks texts up in one resource bundle: the main bundle, or the language folder chosen last.
// One process-wide instance, used on the main thread.
class ZQLocalizationSystem {
public:
    // Starts on the main bundle.
    explicit ZQLocalizationSystem(Bundles& bundles);
    ZQLocalizationSystem(const ZQLocalizationSystem&) = delete;
    ZQLocalizationSystem& operator=(const ZQLocalizationSystem&) = delete;

    // The process-wide instance, created from the process's ports on first call.
    static ZQLocalizationSystem& sharedLocalSystem();
    // Puts another instance in place of the shared one (nothing: a fresh one on next use).
    static void replaceShared(std::unique_ptr<ZQLocalizationSystem> next);

    // The key's text in the default table of the shared instance's bundle. A missing key gives
    // `value`, or the key itself when `value` is absent or empty.
    static std::string localizedStringForKey(std::string_view key, const std::optional<std::string>& value);
    // Selects the language folder of that identifier in the main bundle, or the main bundle
    // again when there is none.
    static void setLanguage(std::string_view language);

    const std::shared_ptr<Bundle>& bundle() const { return bundle_; }
    void setBundle(std::shared_ptr<Bundle> bundle) { bundle_ = std::move(bundle); }

private:
    Bundles& bundles_;
    std::shared_ptr<Bundle> bundle_;
};

}  // namespace wattkeeper::loginitem
