#pragma once
// Bundles held in memory: a path, an info dictionary, named resources and a string table.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/plist.h"

namespace wattkeeper::testkit {

class FakeBundle : public Bundle {
public:
    explicit FakeBundle(std::string path, std::optional<PlistDictionary> info = {})
        : path_(std::move(path)), info_(std::move(info)) {}

    std::string bundlePath() const override { return path_; }
    std::optional<PlistDictionary> infoDictionary() const override { return info_; }
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const override {
        const auto found = resources_.find({std::string(name), std::string(type)});
        return found == resources_.end() ? std::nullopt : std::optional(found->second);
    }
    // Only the default table ("Localizable") has strings. A missing key gives the value, or the
    // key when the value is absent or empty.
    std::string localizedString(std::string_view key, const std::optional<std::string>& value,
                                const std::optional<std::string>& table) const override {
        if (const auto text = strings_.find(key);
            text != strings_.end() && table.value_or("Localizable") == "Localizable")
            return text->second;
        return value && !value->empty() ? *value : std::string(key);
    }

    // pathForResource(name, type) answers `path` from now on.
    void addResource(std::string name, std::string type, std::string path) {
        resources_[{std::move(name), std::move(type)}] = std::move(path);
    }
    void setStrings(const std::map<std::string, std::string>& table) { strings_ = {table.begin(), table.end()}; }

private:
    std::string path_;
    std::optional<PlistDictionary> info_;
    std::map<std::pair<std::string, std::string>, std::string> resources_;
    std::map<std::string, std::string, std::less<>> strings_;
};

class FakeBundles : public Bundles {
public:
    // Nothing until set.
    std::shared_ptr<Bundle> mainBundle() override { return main_; }
    // A bundle added with addBundle whose bundlePath() is `path`; nothing otherwise.
    std::shared_ptr<Bundle> bundleWithPath(std::string_view path) override {
        for (const auto& bundle : bundles_) {
            if (bundle->bundlePath() == path) return bundle;
        }
        return nullptr;
    }

    void setMainBundle(std::shared_ptr<Bundle> bundle) { main_ = std::move(bundle); }
    void addBundle(std::shared_ptr<Bundle> bundle) { bundles_.push_back(std::move(bundle)); }

private:
    std::shared_ptr<Bundle> main_;
    std::vector<std::shared_ptr<Bundle>> bundles_;
};

}  // namespace wattkeeper::testkit
