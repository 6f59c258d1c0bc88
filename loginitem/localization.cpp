#include "loginitem/localization.h"

#include "platform/ports.h"

namespace wattkeeper::loginitem {

namespace {

SharedInstance<ZQLocalizationSystem>& sharedLocalization() {
    static SharedInstance<ZQLocalizationSystem> instance;
    return instance;
}

}  // namespace

ZQLocalizationSystem::ZQLocalizationSystem(Bundles& bundles) : bundles_(bundles), bundle_(bundles.mainBundle()) {}

ZQLocalizationSystem& ZQLocalizationSystem::sharedLocalSystem() {
    return sharedLocalization().get([] { return std::make_unique<ZQLocalizationSystem>(*processPorts().bundles); });
}

void ZQLocalizationSystem::replaceShared(std::unique_ptr<ZQLocalizationSystem> next) {
    sharedLocalization().replace(std::move(next));
}

std::string ZQLocalizationSystem::localizedStringForKey(std::string_view key, const std::optional<std::string>& value) {
    const auto& bundle = sharedLocalSystem().bundle();
    if (bundle) return bundle->localizedString(key, value, std::nullopt);
    // Without any bundle the lookup still follows NSBundle's fallbacks.
    return value && !value->empty() ? *value : std::string(key);
}

void ZQLocalizationSystem::setLanguage(std::string_view language) {
    ZQLocalizationSystem& shared = sharedLocalSystem();
    auto main = shared.bundles_.mainBundle();
    std::shared_ptr<Bundle> chosen;
    if (main) {
        if (const auto folder = main->pathForResource(language, kLanguageFolderType)) {
            chosen = shared.bundles_.bundleWithPath(*folder);
        }
    }
    // A folder that cannot be made a bundle counts as missing: lookups stay answerable.
    shared.setBundle(chosen ? std::move(chosen) : std::move(main));
}

}  // namespace wattkeeper::loginitem
