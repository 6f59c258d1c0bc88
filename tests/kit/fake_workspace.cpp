#include "tests/kit/fake_workspace.h"

#include <utility>

namespace wattkeeper::testkit {

namespace {

// A snapshot, so an observer that registers another one does not disturb this delivery.
void notify(const std::vector<std::function<void()>>& observers) {
    const auto targets = observers;
    for (const auto& observer : targets) {
        if (observer) observer();
    }
}

}  // namespace

void FakeWorkspace::addWillSleepObserver(std::function<void()> observer) {
    willSleepObservers_.push_back(std::move(observer));
}

void FakeWorkspace::addDidWakeObserver(std::function<void()> observer) {
    didWakeObservers_.push_back(std::move(observer));
}

std::vector<RunningApplication> FakeWorkspace::runningApplications() {
    ++runningApplicationsCalls_;
    return running_;
}

void FakeWorkspace::openApplication(std::string_view path, bool hides) {
    openCalls_.push_back(OpenCall{std::string(path), true, hides, 0});
}

void FakeWorkspace::launchApplication(std::string_view path, std::uint32_t options) {
    openCalls_.push_back(OpenCall{std::string(path), false, false, options});
}

OperatingSystemVersion FakeWorkspace::operatingSystemVersion() { return version_; }

void FakeWorkspace::postWillSleep() { notify(willSleepObservers_); }

void FakeWorkspace::postDidWake() { notify(didWakeObservers_); }

void FakeWorkspace::setRunningApplications(std::vector<RunningApplication> applications) {
    running_ = std::move(applications);
}

void FakeWorkspace::setOperatingSystemVersion(OperatingSystemVersion version) { version_ = version; }

std::size_t FakeDisplays::screenCount() { return screenCount_; }

int FakeDisplays::registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) {
    ++registrationCalls_;
    if (registrationResult_ == 0) registrations_.push_back(Registration{callback, userInfo});
    return registrationResult_;
}

void FakeDisplays::setScreenCount(std::size_t count) { screenCount_ = count; }

void FakeDisplays::setRegistrationResult(int result) { registrationResult_ = result; }

void FakeDisplays::reconfigure(std::uint32_t display, std::uint32_t flags) {
    const auto targets = registrations_;
    for (const auto& registration : targets) {
        if (registration.callback) registration.callback(display, flags, registration.userInfo);
    }
}

}  // namespace wattkeeper::testkit
