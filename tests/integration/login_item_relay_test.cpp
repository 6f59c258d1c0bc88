// The login item's relay across processes: a request sent from this process is completed by the
// reply of the daemon running as a process of its own, for every request that has a reply.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "loginitem/notification_wrapper.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"
#include "tests/kit/recording_log.h"
#include "tests/kit/scoped_ports.h"

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;
using linux_backend::DbusNotificationCenter;
using loginitem::ZQNotificationWrapper;
namespace names = protocol;

// The main application's process as far as the relay needs it: its run loop on a thread of its
// own, both centers on the bus, and the shared relay made from them.
// (The fixture's client only sees the daemon up; the requests go through the relay.)
class RelayAcrossProcesses : public ClientDaemonFixture {
protected:
    void SetUp() override {
        DaemonFixture::SetUp();
        if (HasFatalFailure()) return;
        connection_ = std::make_unique<linux_backend::Bus>(bus->address());
        darwin_ = std::make_unique<DbusNotificationCenter>(*connection_, loop_, DbusNotificationCenter::Kind::Darwin);
        distributed_ =
            std::make_unique<DbusNotificationCenter>(*connection_, loop_, DbusNotificationCenter::Kind::Distributed);
        Ports ports;
        ports.runLoop = &loop_;
        ports.darwinCenter = darwin_.get();
        ports.distributedCenter = distributed_.get();
        ports.log = &log_;
        scoped_.emplace(ports);
        ZQNotificationWrapper::replaceShared(nullptr);
        serving_ = std::thread([this] { loop_.run(); });
        // The relay registers its reply names as it is made, on the thread it is used on.
        onMainQueue([] { ZQNotificationWrapper::sharedManager(); });
    }

    void TearDown() override {
        if (serving_.joinable()) {
            onMainQueue([] { ZQNotificationWrapper::replaceShared(nullptr); });
            loop_.stop();
            serving_.join();
        }
        scoped_.reset();
        distributed_.reset();
        darwin_.reset();
        connection_.reset();
        ClientDaemonFixture::TearDown();
    }

    // Sends the request through the shared relay with a completion, and waits for that completion.
    // Nothing when it was not called within the deadline.
    std::optional<PlistDictionary> send(std::string_view request) {
        auto outcome = std::make_shared<Outcome>();
        const std::string name(request);
        loop_.async([name, outcome] {
            ZQNotificationWrapper::sharedManager().sendNotificationAndWaitForResult(
                name, [outcome](const PlistDictionary* userInfo) {
                    std::lock_guard lock(outcome->mutex);
                    outcome->payload = userInfo ? *userInfo : PlistDictionary{};
                    outcome->done.notify_all();
                });
        });
        std::unique_lock lock(outcome->mutex);
        outcome->done.wait_for(lock, 10s, [&] { return outcome->payload.has_value(); });
        return outcome->payload;
    }

    // Sends a request that has no reply: the relay clears the common slot and posts it.
    void post(std::string_view request) {
        const std::string name(request);
        loop_.async([name] { ZQNotificationWrapper::sharedManager().sendNotificationAndWaitForResult(name, nullptr); });
    }

    std::size_t loggedReplies() const {
        const auto lines = log_.systemLines();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.rfind(loginitem::kReplyLogFormatPrefix, 0) == 0;
        }));
    }

private:
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<PlistDictionary> payload;
    };

    void onMainQueue(std::function<void()> task) {
        std::mutex mutex;
        std::condition_variable ran;
        bool finished = false;
        loop_.async([&] {
            task();
            std::lock_guard lock(mutex);
            finished = true;
            ran.notify_all();
        });
        std::unique_lock lock(mutex);
        ran.wait(lock, [&] { return finished; });
    }

    linux_backend::AsioRunLoop loop_{1};
    testkit::RecordingLog log_;
    std::unique_ptr<linux_backend::Bus> connection_;
    std::unique_ptr<DbusNotificationCenter> darwin_;
    std::unique_ptr<DbusNotificationCenter> distributed_;
    std::optional<testkit::ScopedProcessPorts> scoped_;
    std::thread serving_;
};

// An entry a reply must carry; an empty value: the entry is there, whatever it holds.
using Entries = std::map<std::string, std::string>;

std::string text(const PlistValue& value) {
    if (const auto* s = value.asString()) return *s;
    if (const auto i = value.asInteger()) return std::to_string(*i);
    return "?";
}

void expectEntries(const std::optional<PlistDictionary>& payload, const Entries& expected, std::string_view request) {
    ASSERT_TRUE(payload) << request << ": the completion was not called";
    for (const auto& [key, value] : expected) {
        const PlistValue* found = payload->find(key);
        ASSERT_TRUE(found) << request << ": no \"" << key << "\" in " << describe(*payload);
        if (!value.empty()) {
            EXPECT_EQ(text(*found), value) << request << ": \"" << key << "\"";
        }
    }
}

TEST_F(RelayAcrossProcesses, EachRequestIsCompletedByTheDaemonsReplyOfItsKind) {
    struct Case {
        std::string_view request;
        // The slot the completion waits in, for the record.
        std::string_view slot;
        Entries reply;
    };
    const Case cases[] = {
        {names::kQueryDeamonLoadStatus, loginitem::kHandlerQueryDeamonLoadStatus, {{"status", "1"}, {"version", ""}}},
        {names::kQuerySMCChargingStatus, loginitem::kHandlerQuerySMCChargingStatus,
         // Nothing can be read before the SMC is opened: charging not allowed, no forced discharge.
         {{"chargingStatus", "0"}, {"dischargingStatus", "0"}}},
        {names::kHeart, loginitem::kHandlerBatteryHeart, {{"smcStatus", "0"}, {"smcTimerActive", "1"}}},
        // The common slot, completed by either of its two replies.
        {names::kQuerySMCOpenCloseStatus, loginitem::kHandlerQueryDeamonNormal, {{"smcStatus", "0"}}},
        {names::kGetBatteryInfo, loginitem::kHandlerQueryDeamonNormal,
         {{"result", std::string(names::kResultDoneText)}}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(loginitem::handlerKeyForRequest(c.request), c.slot);
        expectEntries(send(c.request), c.reply, c.request);
    }
    // Once the SMC is open, the answers follow it.
    replaceFile(limitFile(), limitPlist(80));
    post(names::kOpenSMC);
    expectEntries(send(names::kHeart), {{"smcStatus", "1"}}, names::kHeart);
    expectEntries(send(names::kQuerySMCChargingStatus), {{"chargingStatus", "1"}, {"dischargingStatus", "0"}},
                  names::kQuerySMCChargingStatus);
    // Load status, charging status (twice) and open/close status go to the log as they arrive.
    EXPECT_EQ(loggedReplies(), 4u);
}

// The two requests after which the daemon goes: it restarts, or removes itself.
struct Farewell {
    const char* name;
    std::string_view request;
    Entries reply;
    bool exits;
};

void PrintTo(const Farewell& f, std::ostream* out) { *out << f.name; }

class RelayFarewells : public RelayAcrossProcesses, public ::testing::WithParamInterface<Farewell> {};

TEST_P(RelayFarewells, AreCompletedBeforeTheDaemonGoes) {
    const Farewell& f = GetParam();
    expectEntries(send(f.request), f.reply, f.request);
    if (f.exits) {
        // Under the address sanitizer the exit includes the leak check, which takes its time.
        const auto status = daemon->waitExit(30s);
        ASSERT_TRUE(status.has_value()) << readFile(daemonLog);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << readFile(daemonLog);
        // The fixture ends the instance the restart started.
        EXPECT_TRUE(waitUntil([&] { return !readFile(pidFile).empty(); }));
    } else {
        EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(bundle); }, 10s));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RelayFarewells,
    ::testing::Values(
        Farewell{"Restart", names::kRestart, {{"restart", std::string(names::kRestartStartedText)}}, true},
        Farewell{"Uninstall", names::kUninstallHelper, {{"uninstallSelf", "1"}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wattkeeper::testing
