#pragma once
// User-defaults suites held in memory, telling a value that was only set from one that was
// written out with synchronize.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"

namespace wattkeeper::testkit {

// Every handle opened on one suite name shares that suite's values, as in the platform. A value
// is pending from setBool on; synchronize copies all pending values of the suite to its store.
// Handles may outlive the FakeDefaults that opened them.
class FakeDefaults : public Defaults {
public:
    FakeDefaults();

    std::unique_ptr<DefaultsSuite> openSuite(std::string_view suiteName) override;

    // The value as last set, written out or not.
    std::optional<bool> pendingBool(std::string_view suite, std::string_view key) const;
    // The value as of the suite's last successful synchronize: what other processes would read.
    std::optional<bool> storedBool(std::string_view suite, std::string_view key) const;
    std::size_t setCount(std::string_view suite) const;
    // Calls, failed ones included.
    std::size_t synchronizeCount(std::string_view suite) const;
    std::size_t openCount() const;
    // Suite names in the order they were opened, once per openSuite call.
    std::vector<std::string> openedSuites() const;

    // synchronize answers this (true until set); a failed one stores nothing.
    void setSynchronizeResult(bool result);
    // openSuite answers nothing from now on, as initWithSuiteName: may.
    void failOpen(bool fail);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace wattkeeper::testkit
