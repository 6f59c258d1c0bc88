#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "sim/battery_model.h"
#include "sim/smc_key_store.h"

namespace {

using wattkeeper::PlistDictionary;
using wattkeeper::PlistValue;
using wattkeeper::sim::BatteryModel;
using wattkeeper::sim::BatterySettings;
using wattkeeper::sim::BatteryTrace;
using wattkeeper::sim::ChargeState;
using wattkeeper::sim::MachineStatus;
using wattkeeper::sim::SmcKeyStore;

constexpr double kMinute = 60.0;
constexpr double kHour = 3600.0;

// The three charge keys as the controller holds them.
struct Keys {
    std::uint8_t ch0b = 0;
    std::uint8_t ch0c = 0;
    std::uint8_t ch0i = 0;
};

void setKeys(SmcKeyStore& store, Keys keys) {
    ASSERT_TRUE(store.setValue("CH0B", {keys.ch0b}));
    ASSERT_TRUE(store.setValue("CH0C", {keys.ch0c}));
    ASSERT_TRUE(store.setValue("CH0I", {keys.ch0i}));
}

BatterySettings at(double charge, bool adapter = true) {
    BatterySettings settings;
    settings.charge = charge;
    settings.adapter = adapter;
    return settings;
}

std::int64_t integer(const PlistDictionary& d, const char* key) {
    const PlistValue* value = d.find(key);
    return value && value->asInteger() ? *value->asInteger() : std::numeric_limits<std::int64_t>::min();
}

bool boolean(const PlistDictionary& d, const char* key) {
    const PlistValue* value = d.find(key);
    return value && value->asBoolean() && *value->asBoolean();
}

std::string text(const PlistDictionary& d, const char* key) {
    const PlistValue* value = d.find(key);
    return value && value->asString() ? *value->asString() : "<none>";
}

// Advances in one-second steps, as a ticking simulator would, and counts the messages.
int advanceCounting(BatteryModel& model, double seconds) {
    int messages = 0;
    for (double done = 0; done < seconds; done += 1.0) messages += model.advance(1.0) ? 1 : 0;
    return messages;
}

TEST(BatteryModelTest, TheKeysTheAdapterAndSleepDecideWhetherTheBatteryChargesHoldsOrDischarges) {
    struct Case {
        const char* name;
        bool adapter;
        Keys keys;
        bool asleep;
        ChargeState state;
        const char* powerSource;
        int direction;  // sign of the change over ten minutes
    };
    const Case cases[] = {
        {"adapter, all keys 0", true, {0, 0, 0}, false, ChargeState::Charging, "AC Power", +1},
        {"adapter, asleep", true, {0, 0, 0}, true, ChargeState::Charging, "AC Power", +1},
        {"CH0B inhibits", true, {2, 0, 0}, false, ChargeState::Holding, "AC Power", 0},
        {"CH0C inhibits", true, {0, 2, 0}, false, ChargeState::Holding, "AC Power", 0},
        {"both inhibit", true, {2, 2, 0}, false, ChargeState::Holding, "AC Power", 0},
        {"holding asleep", true, {2, 2, 0}, true, ChargeState::Holding, "AC Power", 0},
        {"CH0I discharges on the adapter", true, {0, 0, 1}, false, ChargeState::Discharging, "Battery Power", -1},
        {"CH0I wins over inhibited charging", true, {2, 2, 1}, false, ChargeState::Discharging, "Battery Power", -1},
        {"unplugged", false, {0, 0, 0}, false, ChargeState::Discharging, "Battery Power", -1},
        {"unplugged with inhibited charging", false, {2, 2, 0}, false, ChargeState::Discharging, "Battery Power", -1},
        {"unplugged asleep", false, {0, 0, 0}, true, ChargeState::Discharging, "Battery Power", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmcKeyStore store = SmcKeyStore::macBook();
        setKeys(store, c.keys);
        BatteryModel model(store, at(50.0, c.adapter));
        model.setAsleep(c.asleep);
        EXPECT_EQ(model.state(), c.state);
        model.advance(10 * kMinute);
        const double change = model.charge() - 50.0;
        EXPECT_EQ((change > 0) - (change < 0), c.direction) << change;
        const PlistDictionary d = model.description();
        EXPECT_EQ(text(d, "Power Source State"), c.powerSource);
        EXPECT_EQ(boolean(d, "Is Charging"), c.direction > 0);
        EXPECT_EQ((integer(d, "Current") > 0) - (integer(d, "Current") < 0), c.direction);
        EXPECT_EQ(model.status().state, c.state);
    }
}

TEST(BatteryModelTest, RatesStayWithinTheirBoundsOverSimulatedHours) {
    struct Case {
        const char* name;
        double start;
        bool adapter;
        bool lidClosed;
        bool asleep;
        double minutes;
        double lowPerMinute;  // magnitude bounds of the mean rate
        double highPerMinute;
    };
    const Case cases[] = {
        {"charging below 20%", 2.0, true, false, false, 10, 1.3, 1.7},
        {"charging from 20% to 80%", 20.0, true, false, false, 60, 0.9, 1.1},
        {"charging from 80% to 90%, slowing", 80.0, true, false, false, 10, 0.5, 0.7},
        {"charging above 90%", 90.0, true, false, false, 30, 0.2, 0.4},
        {"draining awake, lid open", 90.0, false, false, false, 3 * 60, 0.1, 0.3},
        {"draining awake, lid closed", 90.0, false, true, false, 3 * 60, 0.1, 0.3},
        {"draining asleep", 90.0, false, true, true, 8 * 60, 0.005, 0.02},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmcKeyStore store = SmcKeyStore::macBook();
        BatteryModel model(store, at(c.start, c.adapter));
        model.setLidClosed(c.lidClosed);
        model.setAsleep(c.asleep);
        model.advance(c.minutes * kMinute);
        const double perMinute = std::abs(model.charge() - c.start) / c.minutes;
        EXPECT_GE(perMinute, c.lowPerMinute);
        EXPECT_LE(perMinute, c.highPerMinute);
    }
}

TEST(BatteryModelTest, FiftyToEightyPercentTakesAboutHalfAnHour) {
    SmcKeyStore store = SmcKeyStore::macBook();
    BatteryModel model(store, at(50.0));
    double seconds = 0;
    while (model.capacity() < 80 && seconds < 2 * kHour) {
        model.advance(1.0);
        seconds += 1.0;
    }
    EXPECT_GE(seconds, 29 * kMinute);
    EXPECT_LE(seconds, 31 * kMinute);
}

TEST(BatteryModelTest, OneLargeStepLandsWhereManySmallStepsDo) {
    // A simulator running at hundreds of times real time takes large steps; they must not
    // overshoot the rate boundaries or full charge.
    struct Case {
        const char* name;
        double start;
        bool adapter;
        double seconds;
    };
    const Case cases[] = {
        {"across every charging boundary to full", 10.0, true, 3 * kHour},
        {"across 80% and 90%", 75.0, true, 20 * kMinute},
        {"draining to empty", 5.0, false, 2 * kHour},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmcKeyStore largeStore = SmcKeyStore::macBook();
        SmcKeyStore smallStore = SmcKeyStore::macBook();
        BatteryModel large(largeStore, at(c.start, c.adapter));
        BatteryModel small(smallStore, at(c.start, c.adapter));
        large.advance(c.seconds);
        for (double done = 0; done < c.seconds; done += 0.5) small.advance(0.5);
        EXPECT_NEAR(large.charge(), small.charge(), 1e-6);
        EXPECT_GE(large.charge(), 0.0);
        EXPECT_LE(large.charge(), 100.0);
    }
}

TEST(BatteryModelTest, TheGeneralInterestMessageComesOncePerWholePercentAndNotWhileHolding) {
    SmcKeyStore store = SmcKeyStore::macBook();
    BatteryModel model(store, at(50.5));
    // 1% a minute: ten whole percents in ten minutes.
    EXPECT_EQ(advanceCounting(model, 10 * kMinute), 10);
    EXPECT_EQ(model.capacity(), 60);

    setKeys(store, {2, 2, 0});
    EXPECT_TRUE(model.advance(0.0)) << "charging stopped";
    EXPECT_EQ(advanceCounting(model, 2 * kHour), 0);
    EXPECT_EQ(model.capacity(), 60);
}

TEST(BatteryModelTest, PluggingUnpluggingAndKeyWritesAnnounceThemselvesAtOnce) {
    using Change = std::function<bool(BatteryModel&, SmcKeyStore&)>;
    auto writeKey = [](const char* key, std::uint8_t value) {
        return Change([key, value](BatteryModel& m, SmcKeyStore& s) {
            s.setValue(key, {value});
            return m.advance(0.0);
        });
    };
    struct Case {
        const char* name;
        bool adapter;
        Change change;
        bool message;
    };
    const Case cases[] = {
        {"unplug", true, [](BatteryModel& m, SmcKeyStore&) { return m.setAdapter(false); }, true},
        {"plug", false, [](BatteryModel& m, SmcKeyStore&) { return m.setAdapter(true); }, true},
        {"plug while plugged", true, [](BatteryModel& m, SmcKeyStore&) { return m.setAdapter(true); }, false},
        {"inhibit charging", true, writeKey("CH0B", 2), true},
        {"discharge on the adapter", true, writeKey("CH0I", 1), true},
        {"inhibit charging on battery", false, writeKey("CH0C", 2), false},
        {"close the lid", true,
         [](BatteryModel& m, SmcKeyStore&) {
             m.setLidClosed(true);
             return m.advance(0.0);
         },
         false},
        {"sleep", true, [](BatteryModel& m, SmcKeyStore&) { return m.setAsleep(true); }, false},
        {"set the charge a percent higher", true, [](BatteryModel& m, SmcKeyStore&) { return m.setCharge(51.2); },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmcKeyStore store = SmcKeyStore::macBook();
        BatteryModel model(store, at(50.2, c.adapter));
        EXPECT_EQ(c.change(model, store), c.message);
        EXPECT_FALSE(model.advance(0.0)) << "a change is announced once";
    }
}

TEST(BatteryModelTest, TheDescriptionHasEveryKeyOfTheRecordWithItsType) {
    SmcKeyStore store = SmcKeyStore::macBook();
    BatteryModel model(store, at(57.6));
    const PlistDictionary d = model.description();
    using Kind = PlistValue::Kind;
    const std::pair<const char*, Kind> keys[] = {
        {"Battery Provides Time Remaining", Kind::Boolean},
        {"BatteryHealth", Kind::String},
        {"BatteryHealthCondition", Kind::String},
        {"Current", Kind::Integer},
        {"Current Capacity", Kind::Integer},
        {"DesignCycleCount", Kind::Integer},
        {"Hardware Serial Number", Kind::String},
        {"Is Charging", Kind::Boolean},
        {"Is Finishing Charge", Kind::Boolean},
        {"Is Present", Kind::Boolean},
        {"LPM Active", Kind::Boolean},
        {"Max Capacity", Kind::Integer},
        {"Name", Kind::String},
        {"Optimized Battery Charging Engaged", Kind::Integer},
        {"Power Source ID", Kind::Integer},
        {"Power Source State", Kind::String},
        {"Time to Empty", Kind::Integer},
        {"Time to Full Charge", Kind::Integer},
        {"Transport Type", Kind::String},
        {"Type", Kind::String},
    };
    EXPECT_EQ(d.size(), std::size(keys));
    for (const auto& [key, kind] : keys) {
        SCOPED_TRACE(key);
        ASSERT_TRUE(d.contains(key));
        EXPECT_EQ(d.find(key)->kind(), kind);
    }
    EXPECT_EQ(integer(d, "Current Capacity"), 57);
    EXPECT_EQ(integer(d, "Max Capacity"), 100);
    EXPECT_EQ(text(d, "Name"), "InternalBattery-0");
    EXPECT_EQ(text(d, "Type"), "InternalBattery");
    EXPECT_TRUE(boolean(d, "Is Present"));
}

TEST(BatteryModelTest, NonsenseInputChangesNothing) {
    SmcKeyStore store = SmcKeyStore::macBook();
    BatteryModel model(store, at(50.0));
    model.advance(-kHour);
    model.advance(std::numeric_limits<double>::quiet_NaN());
    model.advance(std::numeric_limits<double>::infinity());
    EXPECT_EQ(model.charge(), 50.0);
    EXPECT_EQ(model.seconds(), 0.0);
    model.setCharge(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(model.charge(), 50.0);
    model.setCharge(150.0);
    EXPECT_EQ(model.charge(), 100.0);
    model.setCharge(-3.0);
    EXPECT_EQ(model.charge(), 0.0);
    // A controller without the key does not inhibit anything.
    store.setValue("CH0B", {2});
    EXPECT_EQ(model.state(), ChargeState::Holding);
    store.removeKey("CH0B");
    EXPECT_EQ(model.state(), ChargeState::Charging);
}

TEST(BatteryTraceTest, RowsComeOnChangesAndAtLeastOncePerSimulatedMinute) {
    BatteryTrace trace;
    MachineStatus s;
    s.charge = 80.0;
    s.adapter = true;
    s.ch0b = 2;
    s.ch0c = 2;
    s.state = ChargeState::Holding;

    const auto first = trace.row(s);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "0.0,80.00,1,2,2,0,0,0,holding");

    s.seconds = 30;
    EXPECT_FALSE(trace.row(s)) << "nothing changed within the minute";
    s.seconds = 60;
    EXPECT_TRUE(trace.row(s)) << "a minute passed";
    s.seconds = 71;
    s.ch0b = 0;
    EXPECT_TRUE(trace.row(s)) << "a change";
    s.seconds = 120;
    s.ch0b = 2;
    EXPECT_TRUE(trace.row(s)) << "a new minute, 49 s after the last row";
    s.seconds = 121;
    s.ch0i = 1;
    s.state = ChargeState::Discharging;
    const auto changed = trace.row(s);
    ASSERT_TRUE(changed);
    EXPECT_EQ(*changed, "121.0,80.00,1,2,2,1,0,0,discharging");

    // Every row has one field per column of the header.
    const auto columns = [](const std::string& line) { return std::count(line.begin(), line.end(), ',') + 1; };
    EXPECT_EQ(columns(*changed), columns(BatteryTrace::header()));
}

// However late the simulator's tick comes, the model takes the steps on-time ticks would have
// taken, so the charge and the trace come out the same.
TEST(AdvanceOnGridTest, ALateTickStepsAsTheTicksItStandsFor) {
    struct Case {
        const char* name;
        double start;
        Keys keys;
        double nominalStep;
    };
    for (const Case& c : {Case{"charging across a rate change", 78.0, Keys{}, 6.0},
                          Case{"forced discharge", 85.0, Keys{2, 2, 1}, 6.0},
                          Case{"steps longer than a minute", 30.0, Keys{}, 600.0}}) {
        SCOPED_TRACE(c.name);
        const auto run = [&c](const std::vector<double>& ticks) {
            SmcKeyStore store = SmcKeyStore::macBook();
            setKeys(store, c.keys);
            BatteryModel model(store, at(c.start));
            BatteryTrace trace;
            std::vector<std::string> rows;
            const auto record = [&] {
                if (auto row = trace.row(model.status())) rows.push_back(*row);
            };
            record();
            for (double tick : ticks) wattkeeper::sim::advanceOnGrid(model, tick, c.nominalStep, record);
            return std::pair{model.charge(), rows};
        };
        const double total = 40 * c.nominalStep;
        const auto [onTimeCharge, onTimeRows] = run(std::vector<double>(40, c.nominalStep));
        const auto [lateCharge, lateRows] = run({c.nominalStep, 25 * c.nominalStep, total - 26 * c.nominalStep});
        EXPECT_NEAR(lateCharge, onTimeCharge, 1e-9);
        EXPECT_EQ(lateRows, onTimeRows);
        for (std::size_t i = 1; i < lateRows.size(); ++i) {
            EXPECT_LE(std::stod(lateRows[i]) - std::stod(lateRows[i - 1]), kMinute + 1e-6) << "a row every minute";
        }
    }
}

}  // namespace
