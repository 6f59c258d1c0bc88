// A driver for callgrind: runs one kind of work N times on the in-memory seam, so that the
// instructions of one charge-limit evaluation can be set beside its floor.
//
//   wk_eval_cost count <holding|charging>            seam calls one evaluation makes
//   wk_eval_cost evaluation <holding|charging> N     N evaluations, charge control on
//   wk_eval_cost floor <holding|charging> N          N times: the same seam calls, replayed, and
//                                                    one read and decode of the limit file
//
// Run under callgrind with --toggle-collect='*measured*': only measuredEvaluation() and
// measuredFloor() are counted, so the set-up and the trimming of the recorders stay out. The
// script takes the difference between N and 2N runs, which also removes first-call effects.

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "tests/kit/daemon_world.h"

namespace wattkeeper::bench {
namespace {

// The battery exactly at its limit with the keys already holding (the daemon's steady state
// for most of a plugged-in day), or one point below with charging allowed. In both an
// evaluation reads the limit file, the lid and the keys and finds nothing to switch.
struct EvaluatingDaemon : testkit::DaemonWorld {
    explicit EvaluatingDaemon(bool holding) {
        setLimit(80);
        powerSources.setSources(PowerSourceList{testkit::batteryDescription(holding ? 80 : 79)});
        startControlling();
        if (holding) setKeys(2, 2, 0);
        loop.runUntilIdle();
        log.clear();
        store.clearHistory();
    }
    void trim() {
        if (++calls % 1024 == 0) {
            log.clear();
            store.clearHistory();
        }
    }
    std::size_t calls = 0;
};

__attribute__((noinline)) void measuredEvaluation(daemon::ZQBatteryModule& module) { module.quillCmcCountTime(); }

// The floor of one evaluation: the seam calls it makes, on the same driver with the same
// records, and the limit file read and decoded as the daemon's file port does it.
struct Floor {
    sim::SimSmcDriver* driver = nullptr;
    IoConnect connect = 0;
    std::vector<sim::SmcKeyStore::Record> records;
    FileSystem* files = nullptr;
    std::string limitPath;
    // Below the limit the evaluation also looks at the lid: the same system calls, made directly.
    SystemInfo* lid = nullptr;
};

__attribute__((noinline)) void measuredFloor(Floor& floor) {
    for (const auto& record : floor.records) {
        sim::SmcKeyStore::Record output{};
        std::size_t size = output.size();
        floor.driver->callStructMethod(floor.connect, 2, record.data(), record.size(), output.data(), &size);
        asm volatile("" : : "r"(output.data()) : "memory");
    }
    if (floor.lid) {
        std::size_t size = 0;
        floor.lid->sysctlByName("hw.model", nullptr, &size);
        const IoObject entry = floor.lid->registryEntryFromPath("IOPower:/IOPowerConnection/IOPMrootDomain");
        auto closed = floor.lid->registryEntryProperty(entry, "AppleClamshellState");
        floor.lid->objectRelease(entry);
        asm volatile("" : : "r"(&closed), "r"(size) : "memory");
    }
    const auto bytes = floor.files->readFile(floor.limitPath, std::size_t{1} << 20);
    if (bytes) {
        auto value = floor.files->decodePropertyList(*bytes);
        asm volatile("" : : "r"(&value) : "memory");
    }
}

// The records one evaluation sends through the seam.
std::vector<sim::SmcKeyStore::Record> recordsOfOneEvaluation(EvaluatingDaemon& daemon) {
    daemon.store.clearHistory();
    const std::size_t pending = daemon.loop.pendingCount();
    daemon.module->quillCmcCountTime();
    if (daemon.loop.pendingCount() != pending) throw std::runtime_error("the evaluation scheduled a switch");
    if (!daemon.store.writes().empty()) throw std::runtime_error("the evaluation wrote a key");
    auto records = daemon.store.requests();
    daemon.store.clearHistory();
    daemon.log.clear();
    return records;
}

int run(const std::string& what, const std::string& state, long count) {
    if (state != "holding" && state != "charging") throw std::invalid_argument("state: holding or charging");
    EvaluatingDaemon daemon(state == "holding");
    const auto records = recordsOfOneEvaluation(daemon);
    if (what == "count") {
        std::printf("%zu\n", records.size());
        return 0;
    }
    if (what == "evaluation") {
        const std::size_t pending = daemon.loop.pendingCount();
        for (long i = 0; i < count; ++i) {
            measuredEvaluation(*daemon.module);
            daemon.trim();
        }
        if (daemon.loop.pendingCount() != pending) throw std::runtime_error("an evaluation scheduled a switch");
        return 0;
    }
    if (what == "floor") {
        Floor floor;
        floor.driver = &daemon.driver;
        floor.records = records;
        floor.files = &daemon.files;
        floor.limitPath = testkit::kLimitFile;
        if (state == "charging") floor.lid = &daemon.system;
        // A connection of its own, opened as the client opens one.
        const auto matching = daemon.driver.serviceMatching("AppleSMC");
        IoObject iterator = 0;
        if (!matching || daemon.driver.getMatchingServices(*matching, &iterator) != kKernSuccess) {
            throw std::runtime_error("no SMC service");
        }
        const IoObject service = daemon.driver.iteratorNext(iterator);
        daemon.driver.objectRelease(iterator);
        if (daemon.driver.serviceOpen(service, 0, &floor.connect) != kKernSuccess) {
            throw std::runtime_error("cannot open the SMC");
        }
        for (long i = 0; i < count; ++i) {
            measuredFloor(floor);
            daemon.trim();
        }
        daemon.driver.serviceClose(floor.connect);
        return 0;
    }
    throw std::invalid_argument("what: count, evaluation or floor");
}

}  // namespace
}  // namespace wattkeeper::bench

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s count|evaluation|floor holding|charging [N]\n", argv[0]);
        return 2;
    }
    try {
        const long count = argc > 3 ? std::atol(argv[3]) : 0;
        return wattkeeper::bench::run(argv[1], argv[2], count);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wk_eval_cost: %s\n", error.what());
        return 1;
    }
}
