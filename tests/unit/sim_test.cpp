// What keeps the virtual Mac honest: its daemon::SMC answers the driver's 80-byte call as the real driver
// and controller do, and its battery charges, holds and drains as the keys say, in time steps that
// do not depend on how busy the machine is. The rest of it is exercised end to end.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/battery_model.h"
#include "sim/smc_key_store.h"

namespace wattkeeper::testkit {
namespace {

using Record = sim::SmcKeyStore::Record;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kReadBytes = 5, kWriteBytes = 6, kReadIndex = 8, kReadKeyInfo = 9;

// A record with the four-character code at `offset` as a little-endian 32-bit number.
void putCode(Record& r, std::size_t offset, const std::string& code) {
    for (std::size_t i = 0; i < 4; ++i) r[offset + i] = static_cast<std::uint8_t>(code[3 - i]);
}

Record request(const std::string& key, std::uint8_t command, std::uint8_t size = 0, const Bytes& bytes = {},
               std::uint8_t index = 0) {
    Record r{};
    putCode(r, 0, key);
    r[28] = size;
    r[42] = command;
    r[44] = index;
    std::copy(bytes.begin(), bytes.end(), r.begin() + 48);
    return r;
}

Record reply(const std::string& key, std::uint8_t result, std::uint8_t size = 0, const std::string& type = {},
             const Bytes& bytes = {}) {
    Record r{};
    putCode(r, 0, key);
    r[28] = size;
    if (!type.empty()) putCode(r, 32, type);
    r[40] = result;
    std::copy(bytes.begin(), bytes.end(), r.begin() + 48);
    return r;
}

// The reply buffer starts dirty, as a buffer the client reuses between calls does.
std::pair<KernReturn, Record> call(sim::SmcKeyStore& store, const Record& req) {
    Record out;
    out.fill(0xAA);
    std::size_t outSize = 80;
    const KernReturn kern = store.callStructMethod(2, req.data(), 80, out.data(), &outSize);
    return {kern, out};
}

TEST(SmcKeyStoreTest, AnswersEachCallAsTheControllerDoes) {
    struct Case {
        const char* what;
        Record request;
        Record reply;
    };
    const Case cases[] = {
        {"key info", request("FS! ", kReadKeyInfo), reply("FS! ", sim::kSmcSuccess, 2, "ui16")},
        {"key info of a float", request("F0Mx", kReadKeyInfo), reply("F0Mx", sim::kSmcSuccess, 4, "flt ")},
        {"bytes", request("F0Mx", kReadBytes, 4), reply("F0Mx", sim::kSmcSuccess, 4, {}, {0x00, 0x38, 0xB9, 0x45})},
        {"the key count", request("#KEY", kReadBytes, 4), reply("#KEY", sim::kSmcSuccess, 4, {}, {0, 0, 0, 0x18})},
        {"a write", request("CH0B", kWriteBytes, 1, {0x02, 0xEE}), reply("CH0B", sim::kSmcSuccess)},
        {"the second key by index", request(std::string(4, '\0'), kReadIndex, 0, {}, 1),
         reply("B0AC", sim::kSmcSuccess)},
        {"an index past the last key", request(std::string(4, '\0'), kReadIndex, 0, {}, 24), reply({0, 0, 0, 0}, 0x84)},
        {"an unknown key", request("ZZZZ", kReadKeyInfo), reply("ZZZZ", sim::kSmcKeyNotFound)},
        {"a write to an unknown key", request("ZZZZ", kWriteBytes, 1, {2}), reply("ZZZZ", sim::kSmcKeyNotFound)},
        {"a write of another size", request("CH0B", kWriteBytes, 2, {2, 2}), reply("CH0B", sim::kSmcKeySizeMismatch)},
        {"a write to a sensor", request("TC0P", kWriteBytes, 2, {2, 2}), reply("TC0P", sim::kSmcKeyNotWritable)},
        {"an unknown command", request("CH0B", 11), reply("CH0B", sim::kSmcBadCommand)},
    };
    auto store = sim::SmcKeyStore::macBook();
    for (const auto& c : cases) {
        const auto [kern, out] = call(store, c.request);
        EXPECT_EQ(kern, kKernSuccess) << c.what;
        EXPECT_EQ(out, c.reply) << c.what;
    }
    EXPECT_EQ(store.key("CH0B")->value, Bytes{0x02});  // only the key's size is stored
    EXPECT_EQ(store.key("TC0P")->value, (Bytes{0x28, 0x00}));
    EXPECT_EQ(store.writes().size(), 1u);
}

sim::BatterySettings at(double charge, bool adapter = true) {
    sim::BatterySettings settings;
    settings.charge = charge;
    settings.adapter = adapter;
    return settings;
}

void setKeys(sim::SmcKeyStore& store, std::uint8_t ch0b, std::uint8_t ch0c, std::uint8_t ch0i) {
    store.setValue("CH0B", {ch0b});
    store.setValue("CH0C", {ch0c});
    store.setValue("CH0I", {ch0i});
}

TEST(BatteryModelTest, TheKeysTheAdapterAndSleepDecideTheRate) {
    struct Case {
        const char* name;
        bool adapter;
        std::uint8_t ch0b, ch0c, ch0i;
        bool asleep;
        double perMinute;  // over ten minutes from 50%
        const char* powerSource;
    };
    const Case cases[] = {
        {"adapter", true, 0, 0, 0, false, sim::rates::kChargeTo80, "AC Power"},
        {"adapter, asleep", true, 0, 0, 0, true, sim::rates::kChargeTo80, "AC Power"},
        {"CH0B inhibits", true, 2, 0, 0, false, 0, "AC Power"},
        {"CH0C inhibits", true, 0, 2, 0, false, 0, "AC Power"},
        {"CH0I discharges on the adapter", true, 2, 2, 1, false, -sim::rates::kDrainLidOpen, "Battery Power"},
        {"unplugged", false, 2, 2, 0, false, -sim::rates::kDrainLidOpen, "Battery Power"},
        {"unplugged asleep", false, 0, 0, 0, true, -sim::rates::kDrainAsleep, "Battery Power"},
    };
    for (const auto& c : cases) {
        sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
        setKeys(store, c.ch0b, c.ch0c, c.ch0i);
        sim::BatteryModel model(store, at(50.0, c.adapter));
        model.setAsleep(c.asleep);
        model.advance(600);
        EXPECT_NEAR((model.charge() - 50.0) / 10, c.perMinute, 1e-9) << c.name;
        EXPECT_EQ(*model.description().find("Power Source State")->asString(), c.powerSource) << c.name;
    }
}

// However late the simulator's tick comes, the model takes the steps on-time ticks would have
// taken, so the charge and the trace come out the same.
TEST(BatteryModelTest, ALateTickStepsAsTheTicksItStandsForAndTheTraceKeepsAMinuteApart) {
    const auto run = [](const std::vector<double>& ticks) {
        sim::SmcKeyStore store = sim::SmcKeyStore::macBook();
        sim::BatteryModel model(store, at(78.0));
        sim::BatteryTrace trace;
        std::vector<std::string> rows;
        const auto record = [&] {
            if (auto row = trace.row(model.status())) rows.push_back(*row);
        };
        record();
        for (double tick : ticks) sim::advanceOnGrid(model, tick, 6.0, record);
        return std::pair{model.charge(), rows};
    };
    const auto [onTimeCharge, onTimeRows] = run(std::vector<double>(400, 6.0));
    const auto [lateCharge, lateRows] = run({6.0, 150.0, 2244.0});
    EXPECT_NEAR(lateCharge, onTimeCharge, 1e-9);
    EXPECT_EQ(lateRows, onTimeRows);
    EXPECT_EQ(lateRows.front(), "0.0,78.00,1,0,0,0,0,0,charging");
    for (std::size_t i = 1; i < lateRows.size(); ++i) {
        EXPECT_LE(std::stod(lateRows[i]) - std::stod(lateRows[i - 1]), 60.0) << "a row every minute";
    }
}

}  // namespace
}  // namespace wattkeeper::testkit
