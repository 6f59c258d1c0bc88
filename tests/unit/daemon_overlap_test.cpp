#include <chrono>
#include <thread>

#include "tests/unit/daemon_fixture.h"

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;

// The timer's evaluations run on the global queue while requests and power-source messages run
// on the main queue. Here they really run on two threads at once; the thread sanitizer build
// reports any unsynchronised field.
TEST_F(DaemonTest, TimerEvaluationsAndRequestsOnTwoThreadsAgreeOnTheFinalState) {
    startControlling();
    setLimit(80);
    setCharge(90);
    constexpr int kRounds = 300;
    std::thread timer([&] {
        for (int i = 0; i < kRounds; ++i) module->quillCmcCountTime();
    });
    std::thread main([&] {
        for (int i = 0; i < kRounds; ++i) {
            switch (i % 5) {
                case 0: module->getChargingStatus(); break;
                case 1: module->handleHeart(); break;
                case 2: module->getSMCOpenCloseStatus(); break;
                case 3: powerSources.notify(); break;
                case 4: module->refreshLimitChange(); break;
            }
        }
    });
    timer.join();
    main.join();
    loop.advance(2s);  // every delayed switch lands
    module->quillCmcCountTime();
    loop.advance(2s);
    EXPECT_EQ(keys(), (Keys{2, 2, 1}));
    EXPECT_TRUE(module->cmcOpen);
}

}  // namespace
}  // namespace wattkeeper::testing
