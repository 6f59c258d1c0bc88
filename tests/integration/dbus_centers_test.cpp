#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "tests/integration/loop_kit.h"
#include "tests/integration/private_bus.h"

extern char** environ;

namespace wattkeeper::testing {
namespace {

using namespace std::chrono_literals;
using linux_backend::AsioRunLoop;
using linux_backend::Bus;
using linux_backend::DbusNotificationCenter;
using Kind = DbusNotificationCenter::Kind;

constexpr Duration kDeadline = 5s;

int millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A program run with the private bus in its environment, optionally with its standard output
// kept; killed and reaped if it is still running when this goes.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          bool captureOutput = false) {
        int pipeFds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
            ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
            output_ = pipeFds[0];
        }
        std::vector<std::string> argStore = arguments;
        std::vector<std::string> envStore = environment;
        std::vector<char*> argv, envp;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0) ::close(pipeFds[1]);
        // glibc 2.36 declares pidfd_open without C linkage for C++.
        if (pid_ > 0) pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    }

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (pidfd_ >= 0) ::close(pidfd_);
        if (output_ >= 0) ::close(output_);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }

    // The exit status, once the program ended within the deadline.
    std::optional<int> wait(Duration deadline = kDeadline) {
        if (pid_ <= 0 || pidfd_ < 0) return std::nullopt;
        const auto end = std::chrono::steady_clock::now() + deadline;
        pollfd poller{pidfd_, POLLIN, 0};
        while (::poll(&poller, 1, millisecondsUntil(end)) < 0) {
        }
        if (!(poller.revents & POLLIN)) return std::nullopt;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Reads standard output until `done` holds for all of it so far, or the deadline passes; `idle`
    // runs whenever nothing came for a while.
    bool readUntil(const std::function<bool(const std::string&)>& done, Duration deadline,
                   const std::function<void()>& idle = {}) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!done(text_)) {
            const int left = millisecondsUntil(end);
            if (left == 0 || output_ < 0) return false;
            pollfd poller{output_, POLLIN, 0};
            const int ready = ::poll(&poller, 1, std::min(left, 200));
            if (ready == 0) {
                if (idle) idle();
                continue;
            }
            if (ready < 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n <= 0) return done(text_);
            text_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    const std::string& output() const { return text_; }

private:
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int output_ = -1;
    std::string text_;
};

// The exit status of a program run to its end, or -1.
int runProgram(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    Child child(arguments, environment);
    if (!child.started()) return -1;
    return child.wait().value_or(-1);
}

struct Delivery {
    int tag = 0;
    NotificationCenter* center = nullptr;
    std::string name;
    std::optional<PlistDictionary> userInfo;
    const void* object = nullptr;
    bool onMainThread = false;
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

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& d : deliveries) out.push_back(d.name);
        return out;
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
        Delivery delivery{tag->tag,
                          &center,
                          std::string(name),
                          userInfo ? std::optional<PlistDictionary>(*userInfo) : std::nullopt,
                          object,
                          std::this_thread::get_id() == self.mainThread_};
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
            EXPECT_EQ(d.object, nullptr);
            EXPECT_TRUE(d.onMainThread);
        }
        EXPECT_EQ(tags, (std::vector<int>{1, 3, 2}));
        EXPECT_EQ(inbox.names(), (std::vector<std::string>{a, a, b}));
    }
}

TEST_F(DbusCentersTest, AnotherProcessSeesThePostsOfItsOwnCenterKindOnly) {
    Bus otherBus{privateBus.address()};
    DbusNotificationCenter otherDarwin{otherBus, loop, Kind::Darwin};
    DbusNotificationCenter otherDistributed{otherBus, loop, Kind::Distributed};
    inbox.observe(otherDarwin, "Heart", 1);
    inbox.observe(otherDistributed, "Heart", 2);
    inbox.observe(darwin, "Heart", 3);

    darwin.postNotification("Heart", nullptr, nullptr, true);
    ASSERT_TRUE(inbox.serveUntil(2));
    const PlistDictionary payload{{"status", 1}};
    distributed.postNotificationWithOptions("Heart", nullptr, &payload, 3);
    ASSERT_TRUE(inbox.serveUntil(3));

    std::map<int, int> perTag;
    for (const auto& d : inbox.deliveries) ++perTag[d.tag];
    EXPECT_EQ(perTag, (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
    for (const auto& d : inbox.deliveries) {
        if (d.tag == 2) {
            EXPECT_EQ(d.userInfo, payload);
        }
    }
}

TEST_F(DbusCentersTest, OnlyTheDistributedCenterCarriesADictionary) {
    const PlistDictionary payload{{"status", 1}, {"version", "1.0"}};
    const PlistDictionary empty;
    struct Case {
        const char* name;
        Kind kind;
        const PlistDictionary* posted;
        std::optional<PlistDictionary> delivered;
    };
    const Case cases[] = {
        {"darwin with dictionary", Kind::Darwin, &payload, std::nullopt},
        {"distributed without dictionary", Kind::Distributed, nullptr, std::nullopt},
        {"distributed with empty dictionary", Kind::Distributed, &empty, PlistDictionary{}},
        {"distributed with dictionary", Kind::Distributed, &payload, payload},
    };
    for (const auto& c : cases) {
        inbox.observe(center(c.kind), c.name);
        center(c.kind).postNotification(c.name, nullptr, c.posted, true);
    }
    ASSERT_TRUE(inbox.serveUntil(std::size(cases)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int seen = 0;
        for (const auto& d : inbox.deliveries) {
            if (d.name != c.name) continue;
            ++seen;
            EXPECT_EQ(d.userInfo, c.delivered);
        }
        EXPECT_EQ(seen, 1);
    }
}

TEST_F(DbusCentersTest, EveryPropertyListKindWithAWireFormRoundTrips) {
    const PlistDictionary travels{
        {"small", 42},
        {"negative", -7},
        {"int32Max", std::numeric_limits<std::int32_t>::max()},
        {"int32Min", std::numeric_limits<std::int32_t>::min()},
        {"big", std::int64_t{1} << 40},
        {"int64Min", std::numeric_limits<std::int64_t>::min()},
        {"real", 2.5},
        {"text", "处理完成"},
        {"emptyText", ""},
        {"yes", true},
        {"no", false},
        {"data", PlistData{0, 1, 255}},
        {"nested", PlistDictionary{{"inner", 1}, {"deeper", PlistDictionary{{"x", "y"}}}}},
        {"array", PlistArray{1, "two", false, PlistDictionary{{"k", 3}}, PlistArray{}}},
        {"emptyDictionary", PlistDictionary{}},
    };
    PlistDictionary posted = travels;
    posted.set("date", PlistDate{100.0});
    posted.set("notUtf8", std::string("\xff\xfe"));
    posted.set(std::string("key\xff"), 1);
    posted.set("array2", PlistArray{PlistDate{1.0}, 5});
    PlistDictionary expected = travels;
    expected.set("array2", PlistArray{5});

    inbox.observe(distributed, "Payload");
    distributed.postNotification("Payload", nullptr, &posted, true);
    ASSERT_TRUE(inbox.serveUntil(1));
    ASSERT_TRUE(inbox.deliveries[0].userInfo.has_value());
    EXPECT_EQ(*inbox.deliveries[0].userInfo, expected) << describe(*inbox.deliveries[0].userInfo);
}

TEST_F(DbusCentersTest, APostWhoseNameCannotTravelIsDropped) {
    inbox.observe(darwin, "Fine");
    darwin.postNotification(std::string("bad\xff"), nullptr, nullptr, true);
    darwin.postNotification(std::string("with\0zero", 9), nullptr, nullptr, true);
    darwin.postNotification("Fine", nullptr, nullptr, true);
    ASSERT_TRUE(inbox.serveUntil(1));
    EXPECT_EQ(inbox.names(), (std::vector<std::string>{"Fine"}));
}

TEST_F(DbusCentersTest, EveryNumberTypeIsTakenAndUnknownEntriesAreLeftOut) {
    inbox.observe(distributed, "Types");
    const std::string dictionary =
        "{'i': <int32 -5>, 'x': <int64 -9000000000>, 'n': <int16 -3>, 'u': <uint32 4000000000>, "
        "'q': <uint16 65535>, 'y': <byte 200>, 't': <uint64 18446744073709551615>, 't2': <uint64 7>, "
        "'d': <2.5>, 's': <'text'>, 'b': <true>, 'ay': <[byte 1, 2]>, 'dict': <{'k': <int32 1>}>, "
        "'av': <[<1>, <'a'>, <objectpath '/y'>]>, 'o': <objectpath '/x'>, 'g': <signature 's'>, "
        "'tuple': <(1, 2)>, 'as': <['a', 'b']>}";
    // --session and the environment: with --address gdbus would not register on the bus, and the
    // bus drops what an unregistered connection sends.
    ASSERT_EQ(runProgram({"gdbus", "emit", "--session", "--object-path",
                          linux_backend::kNotificationsPath, "--signal", "org.wattkeeper.DistributedNotify.Post",
                          "'Types'", dictionary},
                         privateBus.environment()),
              0);
    ASSERT_TRUE(inbox.serveUntil(1));
    const PlistDictionary expected{
        {"i", -5},
        {"x", std::int64_t{-9000000000}},
        {"n", -3},
        {"u", std::int64_t{4000000000}},
        {"q", 65535},
        {"y", 200},
        {"t", std::numeric_limits<std::int64_t>::max()},
        {"t2", 7},
        {"d", 2.5},
        {"s", "text"},
        {"b", true},
        {"ay", PlistData{1, 2}},
        {"dict", PlistDictionary{{"k", 1}}},
        {"av", PlistArray{1, "a"}},
    };
    ASSERT_TRUE(inbox.deliveries[0].userInfo.has_value());
    EXPECT_EQ(*inbox.deliveries[0].userInfo, expected) << describe(*inbox.deliveries[0].userInfo);
}

TEST_F(DbusCentersTest, MalformedSignalsAreDroppedAndLaterOnesStillArrive) {
    const std::string darwinPost = std::string(linux_backend::kDarwinNotifyInterface) + ".Post";
    const std::string distributedPost = std::string(linux_backend::kDistributedNotifyInterface) + ".Post";
    const std::string path = linux_backend::kNotificationsPath;
    const std::vector<std::vector<std::string>> malformed = {
        {path, darwinPost, "int32:5"},
        {path, darwinPost},
        {path, darwinPost, "string:Bad", "string:extra"},
        {path, darwinPost, "string:Bad", "dict:string:int32:k,1"},
        {path, distributedPost, "int32:5"},
        {path, distributedPost},
        {path, distributedPost, "string:Bad", "int32:5"},
        {path, distributedPost, "string:Bad", "dict:string:int32:k,1", "string:extra"},
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
        std::vector<std::string> command{"dbus-send", "--type=signal"};
        command.insert(command.end(), body.begin(), body.end());
        ASSERT_EQ(runProgram(command, privateBus.environment()), 0) << body.back();
    }
    ASSERT_EQ(runProgram({"dbus-send", "--type=signal", path, darwinPost, "string:Good"}, privateBus.environment()), 0);
    ASSERT_EQ(runProgram({"dbus-send", "--type=signal", path, distributedPost, "string:Good"}, privateBus.environment()),
              0);
    ASSERT_TRUE(inbox.serveUntil(2));
    EXPECT_EQ(inbox.names(), (std::vector<std::string>{"Good", "Good"}));
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

// Forwards to a real loop and counts what is queued on the main queue.
class CountingLoop : public RunLoop {
public:
    explicit CountingLoop(AsioRunLoop& inner) : inner_(inner) {}
    void async(Task task) override {
        inner_.async(std::move(task));
        std::lock_guard lock(mutex_);
        ++queued_;
        changed_.notify_all();
    }
    void after(Duration delay, Task task) override { inner_.after(delay, std::move(task)); }
    void globalAsync(Task task) override { inner_.globalAsync(std::move(task)); }
    std::unique_ptr<TimerSource> makeTimerSource(Queue queue) override { return inner_.makeTimerSource(queue); }
    Duration now() const override { return inner_.now(); }
    void run() override { inner_.run(); }
    void stop() override { inner_.stop(); }

    bool waitForQueued(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return queued_ >= count; });
    }

private:
    AsioRunLoop& inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int queued_ = 0;
};

TEST_F(DbusCentersTest, DeliveriesStillQueuedWhenTheCenterGoesAreDropped) {
    CountingLoop counting(loop);
    auto doomed = std::make_unique<DbusNotificationCenter>(bus, counting, Kind::Darwin);
    inbox.observe(*doomed, "Late", 1);
    inbox.observe(darwin, "Late", 2);
    darwin.postNotification("Late", nullptr, nullptr, true);
    // Both centers have queued their delivery before the main queue runs.
    ASSERT_TRUE(counting.waitForQueued(1));
    doomed.reset();
    ASSERT_TRUE(inbox.serveUntil(1));
    loop.async([&] { loop.stop(); });
    ASSERT_TRUE(runUntilStopped(loop));
    ASSERT_EQ(inbox.deliveries.size(), 1u);
    EXPECT_EQ(inbox.deliveries[0].tag, 2);
}

class BusTest : public ::testing::Test {
protected:
    PrivateBus privateBus;
};

TEST_F(BusTest, ANameRequestedIsOwnedAndASecondOwnerIsRefused) {
    Bus server{privateBus.address()};
    Bus client{privateBus.address()};
    server.requestName("org.wattkeeper.VirtualMac");

    auto daemon = sdbus::createProxy(client.connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
    std::string owner;
    daemon->callMethod("GetNameOwner").onInterface("org.freedesktop.DBus").withArguments("org.wattkeeper.VirtualMac").storeResultsTo(owner);
    EXPECT_EQ(owner, server.uniqueName());
    EXPECT_THROW(client.requestName("org.wattkeeper.VirtualMac"), sdbus::Error);
}

TEST_F(BusTest, TheAddressComesFromTheEnvironmentWhenItIsSet) {
    // Empty counts as unset: the system bus.
    ::setenv("WATTKEEPER_BUS_ADDRESS", "", 1);
    EXPECT_EQ(Bus::addressFromEnvironment(), std::nullopt);

    ::setenv("WATTKEEPER_BUS_ADDRESS", privateBus.address().c_str(), 1);
    Bus fromEnvironment;
    ::unsetenv("WATTKEEPER_BUS_ADDRESS");
    Bus direct{privateBus.address()};
    AsioRunLoop loop;
    Inbox inbox{loop};
    DbusNotificationCenter sender{fromEnvironment, loop, Kind::Darwin};
    DbusNotificationCenter receiver{direct, loop, Kind::Darwin};
    inbox.observe(receiver, "Through");
    sender.postNotification("Through", nullptr, nullptr, true);
    EXPECT_TRUE(inbox.serveUntil(1));
}

TEST_F(BusTest, TheProcessOutlivesTheBusGoingAwayAndIsToldOfIt) {
    auto doomed = std::make_unique<PrivateBus>();
    Bus bus{doomed->address()};
    AsioRunLoop loop;
    DbusNotificationCenter center{bus, loop, Kind::Darwin};
    EXPECT_TRUE(bus.connected());
    bus.onDisconnect([&] { loop.async([&] { loop.stop(); }); });
    doomed.reset();
    ASSERT_TRUE(runUntilStopped(loop));
    EXPECT_FALSE(bus.connected());
    // Posting into a lost connection is quietly nothing, and a late handler runs at once.
    center.postNotification("Nobody", nullptr, nullptr, true);
    bool told = false;
    bus.onDisconnect([&] { told = true; });
    EXPECT_TRUE(told);
}

TEST(PrivateBusDeathTest, ABusDaemonDoesNotOutliveATestThatDies) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EXIT(
        {
            PrivateBus bus;
            const pid_t daemon = bus.pid();
            if (::write(fds[1], &daemon, sizeof daemon) != sizeof daemon) std::_Exit(1);
            std::abort();
        },
        ::testing::KilledBySignal(SIGABRT), "");
    ::close(fds[1]);
    pid_t daemon = -1;
    ASSERT_EQ(::read(fds[0], &daemon, sizeof daemon), static_cast<ssize_t>(sizeof daemon));
    ::close(fds[0]);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, daemon, 0));
    if (pidfd < 0) {
        EXPECT_EQ(errno, ESRCH);
        return;
    }
    pollfd poller{pidfd, POLLIN, 0};
    const int ended = ::poll(&poller, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kDeadline).count()));
    ::close(pidfd);
    EXPECT_EQ(ended, 1) << "dbus-daemon " << daemon << " is still running";
}

}  // namespace
}  // namespace wattkeeper::testing
