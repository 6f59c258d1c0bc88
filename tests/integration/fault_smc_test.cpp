// The SMC failing under a running daemon: the kernel refusing reads or writes of a charge key,
// the controller no longer knowing a key, the connection closed, the whole service gone. The
// daemon keeps answering and reports what its reads return; once the SMC answers again, the
// next evaluation brings the keys to the state the charge and the limit call for.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"

namespace wattkeeper::testing {
namespace {

namespace names = protocol;

constexpr auto kIOReturnError = static_cast<std::int32_t>(0xe00002bc);
constexpr auto kIOReturnNotPermitted = static_cast<std::int32_t>(0xe00002e2);

// Limit 40 with the battery at 50 and then at 30: forced discharge, then charging.
constexpr int kLimit = 40;
const std::string kAboveLimitKeys = "2 2 1";
const std::string kBelowLimitKeys = "0 0 0";

class SmcFaults : public ClientDaemonFixture {
protected:
    // Charge control on with the limit set, the battery above it, and nothing the daemon
    // scheduled on the way still to land.
    void holdAboveTheLimit() {
        replaceFile(limitFile(), limitPlist(kLimit));
        client->post(names::kOpenSMC);
        ASSERT_EQ(vm({"charge", "50"}).status, 0);
        ASSERT_TRUE(keysRestAt(kAboveLimitKeys)) << keys();
    }

    // The one reply a request gets; nothing when it gets none or several.
    std::optional<DaemonClient::Reply> answer(std::string_view request) {
        const auto seen = client->ask(request);
        if (!seen || seen->size() != 1) return std::nullopt;
        return seen->front();
    }

    std::optional<std::int64_t> heartbeatSmcStatus() {
        const auto reply = answer(names::kHeart);
        return reply ? payloadInteger(*reply, names::kKeySmcStatus) : std::nullopt;
    }

    // Asks the three status requests and checks what they report.
    void expectStatus(std::int64_t smcStatus, std::int64_t chargingStatus, std::int64_t dischargingStatus) {
        const auto heart = answer(names::kHeart);
        ASSERT_TRUE(heart) << "no heartbeat reply";
        EXPECT_EQ(payloadInteger(*heart, names::kKeySmcStatus), smcStatus) << "heartbeat";
        EXPECT_EQ(payloadInteger(*heart, names::kKeySmcTimerActive), 1) << "heartbeat";
        const auto openClose = answer(names::kQuerySMCOpenCloseStatus);
        ASSERT_TRUE(openClose) << "no open/close status reply";
        EXPECT_EQ(openClose->name, names::kReplyQuerySMCOpenCloseStatus);
        EXPECT_EQ(payloadInteger(*openClose, names::kKeySmcStatus), smcStatus) << "open/close status";
        const auto charging = answer(names::kQuerySMCChargingStatus);
        ASSERT_TRUE(charging) << "no charging status reply";
        EXPECT_EQ(charging->name, names::kReplyQuerySMCChargingStatus);
        EXPECT_EQ(payloadInteger(*charging, names::kKeyChargingStatus), chargingStatus) << "charging status";
        EXPECT_EQ(payloadInteger(*charging, names::kKeyDischargingStatus), dischargingStatus) << "charging status";
    }
};

// A fault of one key, the connection staying open: the daemon corrects the keys by itself once
// the SMC answers again.
struct KeyFault {
    const char* name;
    std::function<void(SmcFaults&)> inject;
    std::function<void(SmcFaults&)> clear;
    // What the status replies say while the fault lasts, the battery below the limit and the
    // keys still as they were above it.
    std::int64_t smcStatus;
    std::int64_t chargingStatus;
    std::int64_t dischargingStatus;
    // The keys the daemon leaves while the fault lasts (a key the controller lacks is left out).
    std::string keysDuring;
};

void PrintTo(const KeyFault& fault, std::ostream* out) { *out << fault.name; }

const KeyFault kKeyFaults[] = {
    {"ReadsOfCH0BRefusedByTheKernel",
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0B"), std::string("read"), kIOReturnError); },
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0B"), std::string("read"), 0); },
     // The connection counts as unusable, so the evaluation leaves every key alone.
     0, 0, 1, kAboveLimitKeys},
    {"ReadsOfCH0IRefusedByTheKernel",
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0I"), std::string("read"), kIOReturnError); },
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0I"), std::string("read"), 0); },
     // Forced discharge is on but reads as off; CH0I cannot be written without reading it.
     1, 1, 0, "0 0 1"},
    {"WritesOfCH0BRefusedByTheKernel",
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0B"), std::string("write"), kIOReturnNotPermitted); },
     [](SmcFaults& f) { f.control("FailSmcKey", std::string("CH0B"), std::string("write"), 0); },
     // The reads tell the truth: charging still inhibited, forced discharge ended.
     1, 0, 0, "2 0 0"},
    {"CH0BUnknownToTheController",
     [](SmcFaults& f) { f.control("SetSmcKeyPresent", std::string("CH0B"), false); },
     // It comes back holding 2, as it did when it went.
     [](SmcFaults& f) { f.control("SetSmcKeyPresent", std::string("CH0B"), true); },
     // The kernel accepts the call and the controller's own result is not looked at: the
     // connection counts as usable, and the charging read, of no known type, as failed.
     1, 0, 0, "0 0"},
};

class SmcKeyFaults : public SmcFaults, public ::testing::WithParamInterface<KeyFault> {};

TEST_P(SmcKeyFaults, AreReportedAndTheKeysCorrectedAtTheNextEvaluationAfterThem) {
    const KeyFault& fault = GetParam();
    holdAboveTheLimit();
    if (HasFatalFailure()) return;
    fault.inject(*this);
    ASSERT_EQ(vm({"charge", "30"}).status, 0);
    EXPECT_TRUE(keysRestAt(fault.keysDuring)) << keys();
    expectStatus(fault.smcStatus, fault.chargingStatus, fault.dischargingStatus);
    fault.clear(*this);
    EXPECT_TRUE(keysRestAt(kBelowLimitKeys)) << keys();
    expectStatus(1, 1, 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, SmcKeyFaults, ::testing::ValuesIn(kKeyFaults),
                         [](const auto& info) { return std::string(info.param.name); });

// The connection itself lost. While charge control is on, every evaluation opens it again, so
// whatever the daemon last switched is not left standing with nobody to undo it.
struct Outage {
    const char* name;
    std::function<void(SmcFaults&)> begin;
    // Ends the outage; none when the next evaluation can open a connection at once.
    std::function<void(SmcFaults&)> end;
};

void PrintTo(const Outage& outage, std::ostream* out) { *out << outage.name; }

const Outage kOutages[] = {
    {"ConnectionClosedUnderTheDaemon", [](SmcFaults& f) { f.control("CloseSmcConnections"); }, nullptr},
    {"ServiceGoneAndBack", [](SmcFaults& f) { f.control("SetSmcAvailable", false); },
     [](SmcFaults& f) { f.control("SetSmcAvailable", true); }},
};

class SmcOutages : public SmcFaults, public ::testing::WithParamInterface<Outage> {};

TEST_P(SmcOutages, AreReportedWhileTheyLastAndEndedByTheNextEvaluation) {
    const Outage& outage = GetParam();
    holdAboveTheLimit();
    if (HasFatalFailure()) return;
    outage.begin(*this);
    ASSERT_EQ(vm({"charge", "30"}).status, 0);
    if (outage.end) {
        // Every read fails: nothing usable, charging not allowed, no forced discharge; and the
        // evaluations those requests ran could not touch a key.
        expectStatus(0, 0, 0);
        EXPECT_EQ(keys(), kAboveLimitKeys);
        outage.end(*this);
    }
    EXPECT_TRUE(keysRestAt(kBelowLimitKeys)) << keys();
    expectStatus(1, 1, 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, SmcOutages, ::testing::ValuesIn(kOutages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wattkeeper::testing
