#pragma once
// The application object on Linux: its main function serves the run loop until terminate().

#include <atomic>
#include <functional>

#include "platform/bundle.h"
#include "platform/run_loop.h"

namespace wattkeeper::linux_backend {

// Runs didFinishLaunching as the first main-queue work, then serves the run loop; terminate()
// stops the loop and applicationMain returns 0, as an application that ends normally.
class LinuxApplication : public Application {
public:
    explicit LinuxApplication(RunLoop& runLoop);

    int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) override;
    // May be called from any thread, and before the loop runs: the terminate then takes effect
    // as soon as the application has finished launching.
    void terminate() override;

private:
    RunLoop& runLoop_;
    std::atomic<bool> terminated_{false};
};

}  // namespace wattkeeper::linux_backend
