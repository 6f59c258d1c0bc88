#pragma once
// A client on a simulated MacBook's SMC, with its log lines kept for the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "daemon/smc/smc.h"
#include "sim/smc_key_store.h"
#include "tests/kit/recording_log.h"

namespace wattkeeper::testing {

class SmcTest : public ::testing::Test {
protected:
    bool logged(const std::string& line) const {
        const auto lines = log.lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::uint8_t> valueOf(const std::string& key) const { return store.key(key).value().value; }
    // Only the index requests (command 8) sent since the history was last cleared.
    std::size_t indexRequestCount() const {
        const auto requests = store.requests();
        return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(),
                                                      [](const auto& r) { return r[42] == 8; }));
    }

    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    SMC smc{driver, log};
};

// The same, with the connection open and the history of the open cleared.
class OpenSmcTest : public SmcTest {
protected:
    void SetUp() override {
        ASSERT_EQ(smc.open(), 0);
        store.clearHistory();
        log.clear();
    }
};

}  // namespace wattkeeper::testing
