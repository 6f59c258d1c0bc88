#include "tests/kit/fake_bundles.h"

#include <utility>

namespace wattkeeper::testkit {

FakeBundle::FakeBundle(std::string path, std::optional<PlistDictionary> info)
    : path_(std::move(path)), info_(std::move(info)) {}

std::optional<std::string> FakeBundle::pathForResource(std::string_view name, std::string_view type) const {
    const auto found = resources_.find({std::string(name), std::string(type)});
    if (found == resources_.end()) return std::nullopt;
    return found->second;
}

std::string FakeBundle::localizedString(std::string_view key, const std::optional<std::string>& value,
                                        const std::optional<std::string>& table) const {
    lookups_.push_back(Lookup{std::string(key), value, table});
    const auto strings = tables_.find(table.value_or(std::string(kDefaultTable)));
    if (strings != tables_.end()) {
        const auto text = strings->second.find(key);
        if (text != strings->second.end()) return text->second;
    }
    return value && !value->empty() ? *value : std::string(key);
}

void FakeBundle::addResource(std::string name, std::string type, std::string path) {
    resources_[{std::move(name), std::move(type)}] = std::move(path);
}

void FakeBundle::setStrings(std::map<std::string, std::string> table) {
    setStrings(std::string(kDefaultTable), std::move(table));
}

void FakeBundle::setStrings(std::string tableName, std::map<std::string, std::string> table) {
    tables_[std::move(tableName)] = {table.begin(), table.end()};
}

std::shared_ptr<Bundle> FakeBundles::bundleWithPath(std::string_view path) {
    for (const auto& bundle : bundles_) {
        if (bundle->bundlePath() == path) return bundle;
    }
    return nullptr;
}

void FakeBundles::addBundle(std::shared_ptr<Bundle> bundle) {
    if (bundle) bundles_.push_back(std::move(bundle));
}

}  // namespace wattkeeper::testkit
