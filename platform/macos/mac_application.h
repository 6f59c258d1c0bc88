#pragma once
// The application object: NSApplication and its main function.

#include <memory>

#include "platform/bundle.h"

namespace wattkeeper::macos_backend {

// NSApplicationMain with a delegate whose applicationDidFinishLaunching: runs the given function.
class MacApplication : public Application {
public:
    MacApplication();
    ~MacApplication() override;
    MacApplication(const MacApplication&) = delete;
    MacApplication& operator=(const MacApplication&) = delete;

    // Makes the shared NSApplication with the delegate, then NSApplicationMain, which runs the
    // application and ends the process with exit() instead of returning. Main thread only.
    int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) override;
    // terminate: with no sender, sent on the main thread whichever thread asks.
    void terminate() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace wattkeeper::macos_backend
