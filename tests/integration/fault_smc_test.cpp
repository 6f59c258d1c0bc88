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
#include <string_view>
#include <tuple>

#include "platform/smc_driver.h"
#include "protocol/names.h"
#include "tests/integration/daemon_fixture_e2e.h"

namespace wattkeeper::testkit {
namespace {

constexpr auto kDriverError = static_cast<std::int32_t>(0xe00002bc);

// Limit 40 with the battery at 50 and then at 30: forced discharge, then charging.
const std::string kAboveLimitKeys = "2 2 1";
const std::string kBelowLimitKeys = "0 0 0";

struct Fault {
    const char* name;
    std::function<void(DaemonFixture&)> inject;
    // Ends the fault; none when the next evaluation puts things right by itself.
    std::function<void(DaemonFixture&)> clear;
    // While it lasts, the battery below the limit and the keys still as they were above it: what
    // the status replies say and the keys the daemon leaves (a key the controller lacks is left
    // out).
    std::int64_t smcStatus;
    std::int64_t chargingStatus;
    std::int64_t dischargingStatus;
    std::string keysDuring;
    // A line the daemon logs once for the fault, however many evaluations it sees; with it the
    // replies say the firmware is the reason, and no key write follows the line.
    const char* loggedOnce = nullptr;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

auto failKey(const char* key, const char* operation, std::int32_t result) {
    return [=](DaemonFixture& f) { f.control("FailSmcKey", std::string(key), std::string(operation), result); };
}

const Fault kFaults[] = {
    // The connection counts as unusable, so the evaluation leaves every key alone.
    {"ReadsOfCH0BRefusedByTheKernel", failKey("CH0B", "read", kDriverError), failKey("CH0B", "read", 0), 0, 0, 1,
     kAboveLimitKeys},
    // Forced discharge is on but reads as off; CH0I cannot be written without reading it.
    {"ReadsOfCH0IRefusedByTheKernel", failKey("CH0I", "read", kDriverError), failKey("CH0I", "read", 0), 1, 1, 0,
     "0 0 1"},
    // The reads tell the truth: charging still inhibited, forced discharge ended.
    {"WritesOfCH0BRefusedByTheKernel", failKey("CH0B", "write", kDriverNotPermitted), failKey("CH0B", "write", 0), 1, 0,
     0, "2 0 0"},
    // The kernel accepts the call and the controller's own result is not looked at: the
    // connection counts as usable, and the charging read, of no known type, as failed. The key
    // comes back holding 2, as it did when it went.
    {"CH0BUnknownToTheController", [](DaemonFixture& f) { f.control("SetSmcKeyPresent", std::string("CH0B"), false); },
     [](DaemonFixture& f) { f.control("SetSmcKeyPresent", std::string("CH0B"), true); }, 1, 0, 0, "0 0"},
    // Every read fails: nothing usable, charging not allowed, no forced discharge; and the
    // evaluations those requests ran could not touch a key.
    {"ServiceGoneAndBack", [](DaemonFixture& f) { f.control("SetSmcAvailable", false); },
     [](DaemonFixture& f) { f.control("SetSmcAvailable", true); }, 0, 0, 0, kAboveLimitKeys},
    // While charge control is on, every evaluation opens the connection again, so whatever the
    // daemon last switched is not left standing with nobody to undo it.
    {"ConnectionClosedUnderTheDaemon", [](DaemonFixture& f) { f.control("CloseSmcConnections"); }, nullptr, 1, 1, 0,
     kBelowLimitKeys},
    // New firmware whose charge keys are placeholders: the daemon opens once more, finds nothing it
    // can use and stays quiet until the controller answers otherwise.
    {"FirmwareWithoutUsableChargeKeys", [](DaemonFixture& f) { f.control("SetFirmware", std::string("placeholders")); },
     [](DaemonFixture& f) { f.control("SetFirmware", std::string("ch0b")); }, 0, 0, 0, "",
     "no charge keys this firmware offers can be used ("},
};

class SmcFaults : public DaemonFixture, public ::testing::WithParamInterface<Fault> {
protected:
    // Asks the status requests and checks what they report.
    void expectStatus(std::int64_t smcStatus, std::int64_t chargingStatus, std::int64_t dischargingStatus,
                      std::optional<std::int64_t> noUsableKeys = std::nullopt) {
        const std::tuple<std::string_view, std::string_view, std::optional<std::int64_t>> reads[] = {
            {protocol::kHeart, protocol::kKeySmcStatus, smcStatus},
            {protocol::kHeart, protocol::kKeySmcTimerActive, 1},
            {protocol::kHeart, protocol::kKeyNoUsableChargeKeys, noUsableKeys},
            {protocol::kQuerySMCOpenCloseStatus, protocol::kKeySmcStatus, smcStatus},
            {protocol::kQuerySMCOpenCloseStatus, protocol::kKeyNoUsableChargeKeys, noUsableKeys},
            {protocol::kQuerySMCChargingStatus, protocol::kKeyChargingStatus, chargingStatus},
            {protocol::kQuerySMCChargingStatus, protocol::kKeyDischargingStatus, dischargingStatus},
        };
        for (const auto& [request, key, expected] : reads) {
            const auto reply = answer(request);
            ASSERT_TRUE(reply) << "no single reply to " << request;
            EXPECT_EQ(payloadInteger(*reply, key), expected) << request << ": " << key;
        }
    }
};

TEST_P(SmcFaults, AreReportedAndTheKeysCorrectedAtTheNextEvaluationAfterThem) {
    const Fault& fault = GetParam();
    // Charge control on with the limit set, the battery above it, and nothing the daemon
    // scheduled on the way still to land.
    replaceFile(limitFile(), limitPlist(40));
    client->post(protocol::kOpenSMC);
    ASSERT_TRUE(keysBecome(kAboveLimitKeys, Nudge::ThenRest)) << keys();

    fault.inject(*this);
    ASSERT_EQ(vm({"charge", "30"}).status, 0);
    EXPECT_TRUE(keysBecome(fault.keysDuring, Nudge::ThenRest)) << keys();
    expectStatus(fault.smcStatus, fault.chargingStatus, fault.dischargingStatus,
                 fault.loggedOnce ? std::optional<std::int64_t>(1) : std::nullopt);
    if (fault.loggedOnce) {
        const std::string log = readFile(daemonLog);
        const auto first = log.find(fault.loggedOnce);
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find(fault.loggedOnce, first + 1), std::string::npos) << log;
        EXPECT_EQ(log.find("设置电池状态数值", first), std::string::npos) << log;
        EXPECT_NE(ctl({"status"}).output.find("firmware offers no charge control the daemon can use"),
                  std::string::npos);
    }
    if (!fault.clear) return;
    fault.clear(*this);
    EXPECT_TRUE(keysBecome(kBelowLimitKeys, Nudge::ThenRest)) << keys();
    expectStatus(1, 1, 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, SmcFaults, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wattkeeper::testkit
