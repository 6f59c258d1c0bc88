#pragma once
// An application object that runs no loop: its main function finishes launching and returns,
// and terminate only counts.

#include <cstddef>
#include <string>
#include <vector>

#include "platform/bundle.h"

namespace wattkeeper::testkit {

class FakeApplication : public Application {
public:
    // Records the arguments, calls didFinishLaunching, and returns the exit status (0 until set).
    int applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) override;
    void terminate() override { ++terminateCount_; }

    void setExitStatus(int status) { exitStatus_ = status; }
    std::size_t applicationMainCalls() const { return applicationMainCalls_; }
    // argc of the last applicationMain call, and the argv strings it pointed to.
    int argc() const { return argc_; }
    const std::vector<std::string>& arguments() const { return arguments_; }
    std::size_t terminateCount() const { return terminateCount_; }

private:
    int exitStatus_ = 0;
    std::size_t applicationMainCalls_ = 0;
    int argc_ = 0;
    std::vector<std::string> arguments_;
    std::size_t terminateCount_ = 0;
};

}  // namespace wattkeeper::testkit
