#pragma once
// Bundles held in memory: a path, an info dictionary, named resources and string tables.

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
    // The table used when a lookup names none.
    static constexpr std::string_view kDefaultTable = "Localizable";

    // One localizedString call as the caller made it.
    struct Lookup {
        std::string key;
        std::optional<std::string> value;
        std::optional<std::string> table;
        friend bool operator==(const Lookup&, const Lookup&) = default;
    };

    explicit FakeBundle(std::string path, std::optional<PlistDictionary> info = {});

    std::string bundlePath() const override { return path_; }
    std::optional<PlistDictionary> infoDictionary() const override { return info_; }
    std::optional<std::string> pathForResource(std::string_view name, std::string_view type) const override;
    // Missing key (or table): the value, or the key when the value is absent or empty.
    std::string localizedString(std::string_view key, const std::optional<std::string>& value,
                                const std::optional<std::string>& table) const override;

    // pathForResource(name, type) answers `path` from now on.
    void addResource(std::string name, std::string type, std::string path);
    // The default table.
    void setStrings(std::map<std::string, std::string> table);
    void setStrings(std::string tableName, std::map<std::string, std::string> table);
    void setInfoDictionary(std::optional<PlistDictionary> info) { info_ = std::move(info); }

    const std::vector<Lookup>& lookups() const { return lookups_; }

private:
    std::string path_;
    std::optional<PlistDictionary> info_;
    std::map<std::pair<std::string, std::string>, std::string> resources_;
    std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>> tables_;
    mutable std::vector<Lookup> lookups_;
};

class FakeBundles : public Bundles {
public:
    // Nothing until set.
    std::shared_ptr<Bundle> mainBundle() override { return main_; }
    // A bundle added with addBundle whose bundlePath() is `path`; nothing otherwise.
    std::shared_ptr<Bundle> bundleWithPath(std::string_view path) override;

    void setMainBundle(std::shared_ptr<Bundle> bundle) { main_ = std::move(bundle); }
    void addBundle(std::shared_ptr<Bundle> bundle);

private:
    std::shared_ptr<Bundle> main_;
    std::vector<std::shared_ptr<Bundle>> bundles_;
};

}  // namespace wattkeeper::testkit
