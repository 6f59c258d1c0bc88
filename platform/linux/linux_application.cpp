#include "platform/linux/linux_application.h"

#include <utility>

namespace wattkeeper::linux_backend {

LinuxApplication::LinuxApplication(RunLoop& runLoop) : runLoop_(runLoop) {}

int LinuxApplication::applicationMain(int /*argc*/, char** /*argv*/, std::function<void()> didFinishLaunching) {
    runLoop_.async([this, launched = std::move(didFinishLaunching)] {
        if (launched) launched();
        // A terminate that came before the loop ran must not be lost to the loop's start.
        if (terminated_.load()) runLoop_.stop();
    });
    runLoop_.run();
    return 0;
}

void LinuxApplication::terminate() {
    terminated_.store(true);
    runLoop_.stop();
}

}  // namespace wattkeeper::linux_backend
