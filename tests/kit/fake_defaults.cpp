#include "tests/kit/fake_defaults.h"

#include <utility>

namespace wattkeeper::testkit {

namespace {

struct Suite {
    std::map<std::string, bool, std::less<>> pending;
    std::map<std::string, bool, std::less<>> stored;
    std::size_t sets = 0;
    std::size_t synchronizes = 0;
};

}  // namespace

struct FakeDefaults::State {
    std::map<std::string, Suite, std::less<>> suites;
    std::vector<std::string> opened;
    bool synchronizeResult = true;
    bool failOpen = false;

    const Suite* find(std::string_view name) const {
        const auto found = suites.find(name);
        return found == suites.end() ? nullptr : &found->second;
    }
};

namespace {

class FakeDefaultsSuite : public DefaultsSuite {
public:
    FakeDefaultsSuite(std::shared_ptr<FakeDefaults::State> state, std::string name)
        : state_(std::move(state)), name_(std::move(name)) {}

    void setBool(std::string_view key, bool value) override {
        Suite& suite = state_->suites[name_];
        suite.pending[std::string(key)] = value;
        ++suite.sets;
    }

    bool synchronize() override {
        Suite& suite = state_->suites[name_];
        ++suite.synchronizes;
        if (!state_->synchronizeResult) return false;
        suite.stored = suite.pending;
        return true;
    }

private:
    std::shared_ptr<FakeDefaults::State> state_;
    std::string name_;
};

std::optional<bool> lookUp(const std::map<std::string, bool, std::less<>>& values, std::string_view key) {
    const auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    return found->second;
}

}  // namespace

FakeDefaults::FakeDefaults() : state_(std::make_shared<State>()) {}

std::unique_ptr<DefaultsSuite> FakeDefaults::openSuite(std::string_view suiteName) {
    state_->opened.emplace_back(suiteName);
    if (state_->failOpen) return nullptr;
    return std::make_unique<FakeDefaultsSuite>(state_, std::string(suiteName));
}

std::optional<bool> FakeDefaults::pendingBool(std::string_view suite, std::string_view key) const {
    const Suite* found = state_->find(suite);
    return found ? lookUp(found->pending, key) : std::nullopt;
}

std::optional<bool> FakeDefaults::storedBool(std::string_view suite, std::string_view key) const {
    const Suite* found = state_->find(suite);
    return found ? lookUp(found->stored, key) : std::nullopt;
}

std::size_t FakeDefaults::setCount(std::string_view suite) const {
    const Suite* found = state_->find(suite);
    return found ? found->sets : 0;
}

std::size_t FakeDefaults::synchronizeCount(std::string_view suite) const {
    const Suite* found = state_->find(suite);
    return found ? found->synchronizes : 0;
}

std::size_t FakeDefaults::openCount() const { return state_->opened.size(); }

std::vector<std::string> FakeDefaults::openedSuites() const { return state_->opened; }

void FakeDefaults::setSynchronizeResult(bool result) { state_->synchronizeResult = result; }

void FakeDefaults::failOpen(bool fail) { state_->failOpen = fail; }

}  // namespace wattkeeper::testkit
