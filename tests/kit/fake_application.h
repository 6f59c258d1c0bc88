#pragma once
// An application object that runs no loop: its main function records its arguments, finishes
// launching and returns the exit status set (0 until set); terminate only counts.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/bundle.h"

namespace wattkeeper::testkit {

class FakeApplication : public Application {
public:
    int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) override {
        ++applicationMainCalls;
        arguments.assign(argv, argv + argc);
        if (didFinishLaunching) didFinishLaunching();
        return exitStatus;
    }
    void terminate() override { ++terminateCount; }

    int exitStatus = 0;
    std::size_t applicationMainCalls = 0;
    std::vector<std::string> arguments;
    std::size_t terminateCount = 0;
};

}  // namespace wattkeeper::testkit
