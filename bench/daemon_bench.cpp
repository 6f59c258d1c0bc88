// Cost of one charge-limit evaluation on the in-memory seam.

#include <benchmark/benchmark.h>

#include "tests/kit/daemon_world.h"

namespace wattkeeper::bench {
namespace {

// A daemon holding a battery one point below its limit, so that every evaluation reads the
// limit file, the three keys and the lid, and finds nothing to switch.
struct EvaluatingDaemon : testkit::DaemonWorld {
    explicit EvaluatingDaemon(bool controlling) {
        setLimit(80);
        powerSources.setSources(PowerSourceList{testkit::batteryDescription(79)});
        if (controlling) {
            startControlling();
        } else {
            start();
        }
    }
    // The recorders keep everything for tests; keep them from growing through the run.
    void trim() {
        if (++calls % 4096 == 0) {
            log.clear();
            store.clearHistory();
        }
    }
    std::size_t calls = 0;
};

void BM_EvaluationChargeControlOn(benchmark::State& state) {
    EvaluatingDaemon daemon(true);
    const std::size_t pending = daemon.loop.pendingCount();
    for (auto _ : state) {
        daemon.module->quillCmcCountTime();
        daemon.trim();
    }
    if (daemon.loop.pendingCount() != pending) state.SkipWithError("the evaluation scheduled a switch");
}
BENCHMARK(BM_EvaluationChargeControlOn);

void BM_EvaluationChargeControlOff(benchmark::State& state) {
    EvaluatingDaemon daemon(false);
    for (auto _ : state) {
        daemon.module->quillCmcCountTime();
        daemon.trim();
    }
}
BENCHMARK(BM_EvaluationChargeControlOff);

}  // namespace
}  // namespace wattkeeper::bench
