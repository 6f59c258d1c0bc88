#pragma once
// A workspace and displays that tests drive by hand: they post sleep, wake and display changes
// when told, and record every application they are asked to open.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/workspace.h"

namespace wattkeeper::testkit {

class FakeWorkspace : public Workspace {
public:
    // One request to open an application. openApplication records hides as given and options 0;
    // launchApplication records hides false and the options as given.
    struct OpenCall {
        std::string path;
        bool viaOpenApplication = false;
        bool hides = false;
        std::uint32_t options = 0;
        friend bool operator==(const OpenCall&, const OpenCall&) = default;
    };

    void addWillSleepObserver(std::function<void()> observer) override { willSleep_.push_back(std::move(observer)); }
    void addDidWakeObserver(std::function<void()> observer) override { didWake_.push_back(std::move(observer)); }
    std::vector<RunningApplication> runningApplications() override { return running_; }
    void openApplication(std::string_view path, bool hides) override {
        openCalls_.push_back(OpenCall{std::string(path), true, hides, 0});
    }
    void launchApplication(std::string_view path, std::uint32_t options) override {
        openCalls_.push_back(OpenCall{std::string(path), false, false, options});
    }
    OperatingSystemVersion operatingSystemVersion() override { return version_; }

    // Call the registered observers synchronously, in registration order.
    void postWillSleep() { notify(willSleep_); }
    void postDidWake() { notify(didWake_); }
    void setRunningApplications(std::vector<RunningApplication> applications) { running_ = std::move(applications); }
    // {14, 0, 0} until set.
    void setOperatingSystemVersion(OperatingSystemVersion version) { version_ = version; }
    const std::vector<OpenCall>& openCalls() const { return openCalls_; }

private:
    // A snapshot, so an observer that registers another one does not disturb this delivery.
    static void notify(std::vector<std::function<void()>> observers) {
        for (const auto& observer : observers) observer();
    }

    std::vector<std::function<void()>> willSleep_;
    std::vector<std::function<void()>> didWake_;
    std::vector<RunningApplication> running_;
    OperatingSystemVersion version_{14, 0, 0};
    std::vector<OpenCall> openCalls_;
};

class FakeDisplays : public Displays {
public:
    // Calls each registered callback with its userInfo, in registration order.
    void reconfigure(std::uint32_t display, std::uint32_t flags) {
        for (const auto& [callback, userInfo] : registrations_) callback(display, flags, userInfo);
    }

    std::size_t screenCount() override { return 1; }
    int registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) override {
        registrations_.emplace_back(callback, userInfo);
        return 0;
    }

private:
    std::vector<std::pair<DisplayReconfigurationCallback, void*>> registrations_;
};

}  // namespace wattkeeper::testkit
