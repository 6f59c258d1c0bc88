// Cost of the daemon::SMC client's hot operations on the in-memory driver seam.

#include <benchmark/benchmark.h>

#include "daemon/smc/smc.h"
#include "daemon/smc/smc_manager.h"
#include "platform/smc_keys.h"
#include "sim/smc_key_store.h"
#include "tests/kit/virtual_run_loop.h"

namespace wattkeeper::bench {
namespace {

// Log lines are formatted as usual and then dropped, so the figures hold the formatting cost.
class DiscardingLog : public Log {
public:
    void standardOutput(std::string_view line) override { benchmark::DoNotOptimize(line.data()); }
    void systemLog(std::string_view line) override { benchmark::DoNotOptimize(line.data()); }
};

struct Bench {
    DiscardingLog log;
    sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
    sim::SimSmcDriver driver{store};
    daemon::SMC smc{driver, log};
    testkit::VirtualRunLoop loop;
    daemon::ZQSMCManager manager{smc, loop, log};

    Bench() { smc.open(); }
    // The store keeps a history for tests; keep it from growing through the run.
    void trim() {
        if (++calls % 4096 == 0) store.clearHistory();
    }
    std::size_t calls = 0;
};

void BM_Read(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        daemon::SMCVal_t value{kChargingKey};
        benchmark::DoNotOptimize(b.smc.read(value));
        b.trim();
    }
}
BENCHMARK(BM_Read);

void BM_SetUInt8Value(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        b.smc.setUInt8Value(kChargingKey, 2);
        b.trim();
    }
}
BENCHMARK(BM_SetUInt8Value);

void BM_GetChargingStatus(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.manager.get_charging_status());
        b.trim();
    }
}
BENCHMARK(BM_GetChargingStatus);

void BM_GetValue(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        benchmark::DoNotOptimize(b.smc.getValue("TC0P"));
        b.trim();
    }
}
BENCHMARK(BM_GetValue);

}  // namespace
}  // namespace wattkeeper::bench

BENCHMARK_MAIN();
