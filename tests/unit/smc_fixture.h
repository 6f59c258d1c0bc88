#pragma once
// A client on a simulated MacBook's daemon::SMC, with its log lines kept for the test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/smc/smc.h"
#include "sim/smc_key_store.h"
#include "tests/kit/recording_log.h"

namespace wattkeeper::testkit {

class SmcTest : public ::testing::Test {
protected:
    std::vector<std::uint8_t> valueOf(const std::string& key) const { return store.key(key).value().value; }

    testkit::RecordingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    daemon::SMC smc{driver, log};
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

}  // namespace wattkeeper::testkit
