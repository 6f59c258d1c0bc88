// The services under the daemon going away: the virtual Mac killed and started again, the bus
// killed. The daemon neither crashes nor spins: it waits for the virtual Mac and takes it up
// again. (A lost bus is one of the daemon's lives under launchd, in the end-to-end tests.)

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"

namespace wattkeeper::testkit {
namespace {

using namespace std::chrono_literals;
// What an idle daemon may spend in a few seconds: its timer fires every 20 s.
constexpr double kIdleCpuSeconds = 0.25;
constexpr auto kIdleWindow = 3s;

class ServiceFaults : public DaemonFixture {
protected:
    // Charge control on, limit 40.
    void switchOn() {
        replaceFile(limitFile(), limitPlist(40));
        client->post(protocol::kOpenSMC);
    }

    std::optional<std::int64_t> heartbeatSmcStatus() {
        const auto reply = answer(protocol::kHeart);
        return reply ? payloadInteger(*reply, protocol::kKeySmcStatus) : std::nullopt;
    }

    // The CPU time the daemon spends over a few idle seconds. Measured over a span of time, so it
    // waits that span.
    double idleCpuSeconds() {
        const auto before = cpuSeconds(*daemon);
        std::this_thread::sleep_for(kIdleWindow);
        const auto after = cpuSeconds(*daemon);
        if (!before || !after) return 1e9;
        return *after - *before;
    }
};

TEST_F(ServiceFaults, AKilledVirtualMacIsWaitedForAndTakenUpAgainWhenItReturns) {
    switchOn();
    ASSERT_TRUE(keysBecome("2 2 1", Nudge::Heartbeats)) << keys();
    ASSERT_EQ(vm({"charge", "30"}).status, 0);
    ASSERT_TRUE(keysBecome("0 0 0", Nudge::Heartbeats)) << keys();

    // Its launchd goes with it and leaves the daemon running; the job file goes too, so that the
    // virtual Mac coming back starts no second daemon.
    killVirtualMac();
    std::filesystem::remove(jobFile);
    // Still answering, and saying the SMC cannot be used.
    EXPECT_EQ(heartbeatSmcStatus(), 0) << readFile(daemonLog);
    EXPECT_LT(idleCpuSeconds(), kIdleCpuSeconds);
    EXPECT_EQ(heartbeatSmcStatus(), 0);

    // The hardware comes back with the battery above the limit, and with its keys at 0 0 0.
    startVirtualMac(50);
    ASSERT_FALSE(HasFatalFailure());
    // The SMC connection went with the old process; charge control is still on, so the next
    // evaluation opens a new one without being asked. The battery was read again when the
    // virtual Mac came back: at 30 % from before, the keys would stay.
    EXPECT_TRUE(keysBecome("2 2 1", Nudge::Heartbeats)) << keys();
    EXPECT_EQ(heartbeatSmcStatus(), 1);
    // The power-source notifications come from the new process: a change of charge alone, with
    // no request, brings the keys along.
    ASSERT_EQ(vm({"charge", "30"}).status, 0);
    // Sooner than the 20 s timer would.
    EXPECT_TRUE(waitUntil([&] { return keys() == "0 0 0"; }, 10s)) << keys();
    EXPECT_FALSE(daemonEnded(0ms));
    const std::string log = readFile(daemonLog);
    EXPECT_NE(log.find("the virtual Mac left the bus"), std::string::npos) << log;
    EXPECT_NE(log.find("the virtual Mac is back"), std::string::npos) << log;
}

}  // namespace
}  // namespace wattkeeper::testkit
