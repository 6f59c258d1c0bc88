// The two notification centers on a private bus: what reaches which observer, what travels in a
// post's dictionary and in which D-Bus types, and what a center drops. Posts between processes are
// every end-to-end test's; which D-Bus types arrive as which kind, the fuzz target dbus_signals'.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "tests/integration/private_bus.h"
#include "tests/integration/process_kit.h"

namespace wattkeeper::testkit {
namespace {

using linux_backend::AsioRunLoop;
using linux_backend::Bus;
using linux_backend::DbusNotificationCenter;
using Kind = DbusNotificationCenter::Kind;

constexpr Duration kDeadline = 5s;

// A program that talks to the bus, run to its end; its exit status.
int runOnBus(const PrivateBus& bus, const std::vector<std::string>& arguments) {
    return run(arguments, bus.environment()).status;
}

struct Delivery {
    int tag = 0;
    NotificationCenter* center = nullptr;
    std::string name;
    std::optional<PlistDictionary> userInfo;
    bool onMainThreadWithoutObject = false;
};

// Records every delivery to the observers it registers; each registration carries a tag.
class Inbox {
public:
    explicit Inbox(AsioRunLoop& loop) : loop_(loop) {}

    void observe(NotificationCenter& center, std::string_view name, int tag = 0) {
        tags_.push_back(Tag{this, tag});
        center.addObserver(&tags_.back(), &Inbox::callback, name, nullptr, SuspensionBehavior::DeliverImmediately);
    }

    // Serves the main queue until `count` deliveries have come, or the deadline.
    bool serveUntil(std::size_t count, Duration deadline = kDeadline) {
        if (deliveries.size() >= count) return true;
        target_ = count;
        const bool stopped = runUntilStopped(loop_, deadline);
        target_ = 0;
        return stopped && deliveries.size() >= count;
    }

    std::vector<Delivery> deliveries;
    std::function<void(const Delivery&)> onDelivery;

private:
    struct Tag {
        Inbox* inbox;
        int tag;
    };

    static void callback(NotificationCenter& center, void* observer, std::string_view name, const void* object,
                         const PlistDictionary* userInfo) {
        const auto* tag = static_cast<const Tag*>(observer);
        Inbox& self = *tag->inbox;
        Delivery delivery{tag->tag, &center, std::string(name),
                          userInfo ? std::optional<PlistDictionary>(*userInfo) : std::nullopt,
                          std::this_thread::get_id() == self.mainThread_ && object == nullptr};
        self.deliveries.push_back(delivery);
        if (self.onDelivery) self.onDelivery(delivery);
        if (self.target_ != 0 && self.deliveries.size() >= self.target_) self.loop_.stop();
    }

    AsioRunLoop& loop_;
    std::deque<Tag> tags_;
    std::size_t target_ = 0;
    std::thread::id mainThread_ = std::this_thread::get_id();
};

class DbusCentersTest : public ::testing::Test {
protected:
    DbusNotificationCenter& center(Kind kind) { return kind == Kind::Darwin ? darwin : distributed; }

    PrivateBus privateBus;  // first, so that it outlives every connection to it
    AsioRunLoop loop;
    Bus bus{privateBus.address()};
    DbusNotificationCenter darwin{bus, loop, Kind::Darwin};
    DbusNotificationCenter distributed{bus, loop, Kind::Distributed};
    Inbox inbox{loop};
};

const char* nameOf(Kind kind) { return kind == Kind::Darwin ? "darwin" : "distributed"; }

TEST_F(DbusCentersTest, APostReachesTheObserversOfItsNameInThePostingProcessOnTheMainQueueInOrder) {
    for (Kind kind : {Kind::Darwin, Kind::Distributed}) {
        SCOPED_TRACE(nameOf(kind));
        inbox.deliveries.clear();
        const std::string a = std::string("A.") + nameOf(kind);
        const std::string b = std::string("B.") + nameOf(kind);
        inbox.observe(center(kind), a, 1);
        inbox.observe(center(kind), b, 2);
        inbox.observe(center(kind), a, 3);

        center(kind).postNotification(a, nullptr, nullptr, true);
        center(kind).postNotificationWithOptions(b, nullptr, nullptr, 3);

        ASSERT_TRUE(inbox.serveUntil(3));
        std::vector<int> tags;
        for (const auto& d : inbox.deliveries) {
            tags.push_back(d.tag);
            EXPECT_EQ(d.center, &center(kind));
            EXPECT_TRUE(d.onMainThreadWithoutObject);
        }
        EXPECT_EQ(tags, (std::vector<int>{1, 3, 2}));
    }
}

TEST_F(DbusCentersTest, EveryPropertyListKindWithAWireFormRoundTripsInItsDBusType) {
    struct Entry {
        const char* key;
        PlistValue value;
        const char* wire;  // the D-Bus type, as any other client on the bus sees it
    };
    const Entry entries[] = {
        {"small", 42, "i"},
        {"negative", -7, "i"},
        {"int32Max", std::numeric_limits<std::int32_t>::max(), "i"},
        {"int32Min", std::numeric_limits<std::int32_t>::min(), "i"},
        {"big", std::int64_t{1} << 40, "x"},
        {"int64Min", std::numeric_limits<std::int64_t>::min(), "x"},
        {"real", 2.5, "d"},
        {"text", "处理完成", "s"},
        {"emptyText", "", "s"},
        {"yes", true, "b"},
        {"no", false, "b"},
        {"data", PlistData{0, 1, 255}, "ay"},
        {"nested", PlistDictionary{{"inner", 1}, {"deeper", PlistDictionary{{"x", "y"}}}}, "a{sv}"},
        {"array", PlistArray{1, "two", false, PlistDictionary{{"k", 3}}, PlistArray{}}, "av"},
        {"emptyDictionary", PlistDictionary{}, "a{sv}"},
    };
    PlistDictionary expected;
    std::map<std::string, std::string> types{{"array2", "av"}};
    for (const Entry& e : entries) {
        expected.set(e.key, e.value);
        types[e.key] = e.wire;
    }
    // What has no wire form is left out.
    PlistDictionary posted = expected;
    posted.set("date", PlistDate{100.0});
    posted.set("notUtf8", std::string("\xff\xfe"));
    posted.set(std::string("key\xff"), 1);
    posted.set("array2", PlistArray{PlistDate{1.0}, 5});
    expected.set("array2", PlistArray{5});

    Arrivals<std::map<std::string, std::string>> wire;
    const auto slot = bus.addMatch("type='signal',member='Post',arg0='Payload'", [&wire](sdbus::Message& message) {
        std::string name;
        std::map<std::string, sdbus::Variant> dictionary;
        message >> name >> dictionary;
        std::map<std::string, std::string> seen;
        for (const auto& [key, value] : dictionary) seen[key] = value.peekValueType();
        wire.add(seen);
    });
    inbox.observe(distributed, "Payload");
    distributed.postNotification("Payload", nullptr, &posted, true);
    ASSERT_TRUE(inbox.serveUntil(1));
    ASSERT_TRUE(inbox.deliveries[0].userInfo.has_value());
    EXPECT_EQ(*inbox.deliveries[0].userInfo, expected) << describe(*inbox.deliveries[0].userInfo);
    ASSERT_TRUE(wire.waitFor(1));
    EXPECT_EQ(wire.items()[0], types);
}

TEST_F(DbusCentersTest, MalformedSignalsAndNamesThatCannotTravelAreDroppedAndLaterOnesStillArrive) {
    const std::string darwinPost = std::string(linux_backend::kDarwinNotifyInterface) + ".Post";
    const std::string distributedPost = std::string(linux_backend::kDistributedNotifyInterface) + ".Post";
    const std::string path = linux_backend::kNotificationsPath;
    // A dictionary on the Darwin center and anything after a dictionary are the fuzz target's.
    const std::vector<std::vector<std::string>> malformed = {
        {path, darwinPost, "int32:5"},
        {path, darwinPost},
        {path, darwinPost, "string:Bad", "string:extra"},
        {path, distributedPost, "int32:5"},
        {path, distributedPost},
        {path, distributedPost, "string:Bad", "int32:5"},
        {path, distributedPost, "string:Bad", "array:string:a,b"},
        {path, distributedPost, "string:Bad", "dict:int32:string:1,x"},
        {path, distributedPost, "variant:string:Bad"},
        {path, distributedPost, "dict:string:string:name,Bad"},
        {path, distributedPost, "objpath:/Bad"},
        // Right body, wrong place: not posts at all.
        {"/org/wattkeeper/Other", darwinPost, "string:Bad"},
        {path, std::string(linux_backend::kDarwinNotifyInterface) + ".Other", "string:Bad"},
    };
    for (Kind kind : {Kind::Darwin, Kind::Distributed}) {
        inbox.observe(center(kind), "Bad");
        inbox.observe(center(kind), "Good");
    }
    for (const auto& body : malformed) {
        std::vector<std::string> command{"/usr/bin/dbus-send", "--type=signal"};
        command.insert(command.end(), body.begin(), body.end());
        ASSERT_EQ(runOnBus(privateBus, command), 0) << body.back();
    }
    // Names the bus would refuse (it drops a connection that sends them) are not posted.
    darwin.postNotification(std::string("Bad\xff"), nullptr, nullptr, true);
    darwin.postNotification(std::string("Bad\0zero", 8), nullptr, nullptr, true);
    for (const std::string& post : {darwinPost, distributedPost}) {
        ASSERT_EQ(runOnBus(privateBus, {"/usr/bin/dbus-send", "--type=signal", path, post, "string:Good"}), 0);
    }
    ASSERT_TRUE(inbox.serveUntil(2));
    for (const auto& d : inbox.deliveries) EXPECT_EQ(d.name, "Good");
}

TEST_F(DbusCentersTest, AnObserverMayRegisterAndPostWhileItIsBeingCalled) {
    inbox.observe(darwin, "First", 1);
    inbox.observe(darwin, "Second", 2);
    inbox.onDelivery = [&](const Delivery& d) {
        if (d.name != "First") return;
        // Not called for the post under way, only for later ones.
        inbox.observe(darwin, "First", 3);
        darwin.postNotification("Second", nullptr, nullptr, true);
    };
    darwin.postNotification("First", nullptr, nullptr, true);
    ASSERT_TRUE(inbox.serveUntil(2));
    std::vector<int> tags;
    for (const auto& d : inbox.deliveries) tags.push_back(d.tag);
    EXPECT_EQ(tags, (std::vector<int>{1, 2}));
}

// Forwards to a real loop and tells what is queued on the main queue.
class CountingLoop : public RunLoop {
public:
    explicit CountingLoop(AsioRunLoop& inner) : inner_(inner) {}
    void async(Task task) override {
        inner_.async(std::move(task));
        queued.add(true);
    }
    void after(Duration delay, Task task) override { inner_.after(delay, std::move(task)); }
    void globalAsync(Task task) override { inner_.globalAsync(std::move(task)); }
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override { return inner_.makeTimerSource(queue); }
    Duration now() const override { return inner_.now(); }
    void run() override { inner_.run(); }
    void stop() override { inner_.stop(); }

    Arrivals<bool> queued;

private:
    AsioRunLoop& inner_;
};

TEST_F(DbusCentersTest, DeliveriesStillQueuedWhenTheCenterGoesAreDropped) {
    CountingLoop counting(loop);
    auto doomed = std::make_unique<DbusNotificationCenter>(bus, counting, Kind::Darwin);
    inbox.observe(*doomed, "Late", 1);
    inbox.observe(darwin, "Late", 2);
    darwin.postNotification("Late", nullptr, nullptr, true);
    // Both centers have queued their delivery before the main queue runs.
    ASSERT_TRUE(counting.queued.waitFor(1));
    doomed.reset();
    ASSERT_TRUE(inbox.serveUntil(1));
    loop.async([&] { loop.stop(); });
    ASSERT_TRUE(runUntilStopped(loop));
    ASSERT_EQ(inbox.deliveries.size(), 1u);
    EXPECT_EQ(inbox.deliveries[0].tag, 2);
}

}  // namespace
}  // namespace wattkeeper::testkit
