#include "tests/kit/fake_application.h"

namespace wattkeeper::testkit {

int FakeApplication::applicationMain(int argc, char** argv, std::function<void()> didFinishLaunching) {
    ++applicationMainCalls_;
    argc_ = argc;
    arguments_.clear();
    for (int i = 0; argv && i < argc; ++i) arguments_.emplace_back(argv[i] ? argv[i] : "");
    if (didFinishLaunching) didFinishLaunching();
    return exitStatus_;
}

}  // namespace wattkeeper::testkit
