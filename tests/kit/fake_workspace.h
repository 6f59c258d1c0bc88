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

    void addWillSleepObserver(std::function<void()> observer) override;
    void addDidWakeObserver(std::function<void()> observer) override;
    std::vector<RunningApplication> runningApplications() override;
    void openApplication(std::string_view path, bool hides) override;
    void launchApplication(std::string_view path, std::uint32_t options) override;
    OperatingSystemVersion operatingSystemVersion() override;

    // Call the registered observers synchronously, in registration order.
    void postWillSleep();
    void postDidWake();
    std::size_t willSleepObserverCount() const { return willSleepObservers_.size(); }
    std::size_t didWakeObserverCount() const { return didWakeObservers_.size(); }

    void setRunningApplications(std::vector<RunningApplication> applications);
    std::size_t runningApplicationsCalls() const { return runningApplicationsCalls_; }

    // {14, 0, 0} until set.
    void setOperatingSystemVersion(OperatingSystemVersion version);

    const std::vector<OpenCall>& openCalls() const { return openCalls_; }

private:
    std::vector<std::function<void()>> willSleepObservers_;
    std::vector<std::function<void()>> didWakeObservers_;
    std::vector<RunningApplication> running_;
    std::size_t runningApplicationsCalls_ = 0;
    OperatingSystemVersion version_{14, 0, 0};
    std::vector<OpenCall> openCalls_;
};

class FakeDisplays : public Displays {
public:
    std::size_t screenCount() override;
    // Answers the result set by setRegistrationResult (0 until set); only a call answered with 0
    // registers its callback, as with the real call.
    int registerReconfigurationCallback(DisplayReconfigurationCallback callback, void* userInfo) override;

    // One screen until set.
    void setScreenCount(std::size_t count);
    void setRegistrationResult(int result);
    // Calls each registered callback with its userInfo, in registration order; nothing when none
    // is registered.
    void reconfigure(std::uint32_t display, std::uint32_t flags);
    // Calls of registerReconfigurationCallback, failed ones included.
    std::size_t registrations() const { return registrationCalls_; }

private:
    struct Registration {
        DisplayReconfigurationCallback callback = nullptr;
        void* userInfo = nullptr;
    };
    std::size_t screenCount_ = 1;
    int registrationResult_ = 0;
    std::size_t registrationCalls_ = 0;
    std::vector<Registration> registrations_;
};

}  // namespace wattkeeper::testkit
