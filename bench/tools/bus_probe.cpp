// wk_bus_probe: the bus-side helpers of the benchmark script, each a process of its own on the
// bus in WATTKEEPER_BUS_ADDRESS.
//
//   echo                      answers every Ping signal with a Pong at once, on its bus thread:
//                             the bare signal ping-pong that request-to-reply is set beside
//   rtt N [H S]               N round trips each of a heartbeat request, a charging-status
//                             request (through the project's centers, as the main application
//                             asks), a bare ping-pong, and the ping-pong followed by H and by S
//                             synchronous calls to the virtual Mac made directly (the floors of
//                             the two requests), interleaved; prints percentiles
//   storm N [BATCH]           N requests (heartbeats and charging-status queries, alternating) in
//                             batches, each batch waiting for its replies; prints what came back
//   requests KIND N           N requests of one kind (heartbeat, charging_status), each sent
//                             once the reply to the one before is in
//   rest                      a bus client at rest: the run loop, the bus thread, both centers
//                             observing every request and reply name, and a 20 s timer on the
//                             global queue as the daemon's, with nothing to do
//   hold LIMIT                an ideal controller of the virtual Mac: the same rules as the
//                             daemon, applied at once on every power-source message, sleep and
//                             wake, and on every change of the lid (looked at every 100 ms)
//
// rtt and storm print key=value lines for the script. Every long-running mode ends on SIGTERM
// or SIGINT.

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "daemon/smc/smc.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/linux/bus.h"
#include "platform/linux/dbus_centers.h"
#include "platform/linux/virtual_mac_client.h"
#include "platform/smc_keys.h"
#include "protocol/names.h"
#include "protocol/protocol.h"

namespace wattkeeper::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using linux_backend::AsioRunLoop;
using linux_backend::Bus;
using linux_backend::DbusNotificationCenter;
constexpr const char* kEchoPath = "/org/wattkeeper/BenchEcho";
constexpr const char* kEchoInterface = "org.wattkeeper.BenchEcho";

// SIGTERM and SIGINT are blocked in every thread and taken by one waiter, which calls `stop`.
// Must run before any thread is started.
class Termination {
public:
    Termination() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // Waits on the calling thread.
    void wait() {
        int signal = 0;
        sigwait(&set_, &signal);
    }
    // Waits on a thread of its own and then runs `stop`.
    void onSignal(std::function<void()> stop) {
        waiter_ = std::thread([this, stop = std::move(stop)] {
            wait();
            stop();
        });
        waiter_.detach();
    }

private:
    sigset_t set_{};
    std::thread waiter_;
};

// The reply dictionary of a heartbeat, for the echo's Pong: same keys, same types.
std::map<std::string, sdbus::Variant> heartShapedPayload() {
    return {{std::string(protocol::kKeySmcStatus), sdbus::Variant(std::int32_t{1})},
            {std::string(protocol::kKeySmcTimerActive), sdbus::Variant(std::int32_t{1})}};
}

// A helper whose bus has gone has nothing left to do; it must not outlive a script killed
// without the chance to stop it.
void endWithTheBus(Bus& bus) {
    bus.onDisconnect([] { std::_Exit(0); });
}

int echo() {
    Termination termination;
    Bus bus;
    endWithTheBus(bus);
    auto sender = sdbus::createObject(bus.connection(), kEchoPath);
    const auto payload = heartShapedPayload();
    auto slot = bus.addMatch(
        std::string("type='signal',path='") + kEchoPath + "',interface='" + kEchoInterface + "',member='Ping'",
        [&](sdbus::Message& message) {
            std::string name;
            message >> name;
            auto pong = sender->createSignal(kEchoInterface, "Pong");
            pong << name << payload;
            sender->emitSignal(pong);
        });
    std::printf("ready\n");
    std::fflush(stdout);
    termination.wait();
    return 0;
}

// What a client waits for: replies counted by name, with the moment each name last came.
struct Replies {
    struct Seen {
        std::uint64_t count = 0;
        Clock::time_point last{};
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Seen, std::less<>> seen;

    void arrived(std::string_view name) {
        const auto now = Clock::now();
        {
            std::lock_guard lock(mutex);
            auto found = seen.find(name);
            if (found == seen.end()) found = seen.emplace(std::string(name), Seen{}).first;
            ++found->second.count;
            found->second.last = now;
        }
        changed.notify_all();
    }
    std::uint64_t count(const std::string& name) {
        std::lock_guard lock(mutex);
        return seen[name].count;
    }
    // Waits until `name` has come `target` times in all; the moment it last came, or nothing
    // after the timeout.
    std::optional<Clock::time_point> waitFor(const std::string& name, std::uint64_t target, Clock::duration timeout) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, timeout, [&] { return seen[name].count >= target; })) return std::nullopt;
        return seen[name].last;
    }
};

Replies* gReplies = nullptr;

void replyArrived(NotificationCenter&, void*, std::string_view name, const void*, const PlistDictionary*) {
    if (gReplies) gReplies->arrived(name);
}

// The main application's side of the bus: both centers on the project's backend, its run loop
// served by a thread of its own, and a bare sender and receiver for the ping-pong.
class Client {
public:
    Client()
        : darwin_(bus_, loop_, DbusNotificationCenter::Kind::Darwin),
          distributed_(bus_, loop_, DbusNotificationCenter::Kind::Distributed),
          pinger_(sdbus::createObject(bus_.connection(), kEchoPath)) {
        gReplies = &replies_;
        protocol::observeDistributed(distributed_, protocol::kReplyHeart, replyArrived);
        protocol::observeDistributed(distributed_, protocol::kReplyQuerySMCChargingStatus, replyArrived);
        pong_ = bus_.addMatch(
            std::string("type='signal',path='") + kEchoPath + "',interface='" + kEchoInterface + "',member='Pong'",
            [this](sdbus::Message& message) {
                std::string name;
                std::map<std::string, sdbus::Variant> payload;
                message >> name >> payload;
                replies_.arrived(kPongName);
            });
        runner_ = std::thread([this] { loop_.run(); });
    }
    ~Client() {
        pong_.reset();
        loop_.stop();
        runner_.join();
        gReplies = nullptr;
    }

    void request(std::string_view name) { protocol::postRequest(darwin_, name); }
    void ping() {
        auto signal = pinger_->createSignal(kEchoInterface, "Ping");
        signal << std::string(protocol::kHeart);
        pinger_->emitSignal(signal);
    }
    Replies& replies() { return replies_; }

    static constexpr const char* kPongName = "pong";

private:
    AsioRunLoop loop_{1};
    Bus bus_;
    DbusNotificationCenter darwin_;
    DbusNotificationCenter distributed_;
    std::unique_ptr<sdbus::IObject> pinger_;
    sdbus::Slot pong_;
    Replies replies_;
    std::thread runner_;
};

// Synchronous calls to the virtual Mac made directly, as a client of this project makes them: an
// SMC key-information read of the charging key over the call connection.
class DirectCalls {
public:
    explicit DirectCalls(Bus& bus) : smc_(bus, loop_) {
        const auto matching = smc_.serviceMatching("AppleSMC");
        IoObject iterator = 0;
        if (!matching || smc_.getMatchingServices(*matching, &iterator) != kKernSuccess) {
            throw std::runtime_error("no SMC service");
        }
        const IoObject service = smc_.iteratorNext(iterator);
        smc_.objectRelease(iterator);
        if (smc_.serviceOpen(service, 0, &connect_) != kKernSuccess) throw std::runtime_error("cannot open the SMC");
        daemon::SMCKeyData_t input = daemon::zeroedKeyData();
        input.key = daemon::keyToCode(kChargingKey);
        input.data8 = static_cast<std::uint8_t>(daemon::SMCKeys::readKeyInfo);
        input_ = input;
    }
    ~DirectCalls() { smc_.serviceClose(connect_); }
    void make(long count) {
        for (long i = 0; i < count; ++i) {
            daemon::SMCKeyData_t output = daemon::zeroedKeyData();
            std::size_t size = sizeof output;
            smc_.callStructMethod(connect_, 2, &input_, sizeof input_, &output, &size);
        }
    }

private:
    AsioRunLoop loop_{1};
    linux_backend::VirtualMacSmcDriver smc_;
    IoConnect connect_ = 0;
    daemon::SMCKeyData_t input_{};
};

// The name under which a floor's series notes that its calls are done.
constexpr const char* kCallsDone = "calls done";

struct Series {
    std::string label;
    std::string replyName;
    std::function<void()> send;
    std::vector<double> microseconds;
    std::uint64_t lost = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    // Nearest rank.
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

int rtt(long count, long heartCalls, long statusCalls) {
    Client client;
    Bus callsBus;
    DirectCalls direct(callsBus);
    // Each floor waits for its pong, then makes its calls: the time of a bare exchange and of the
    // calls the request needs, one after the other, as the daemon makes them.
    auto floorOf = [&](long calls) {
        return [&client, &direct, calls] {
            const std::uint64_t target = client.replies().count(Client::kPongName) + 1;
            client.ping();
            client.replies().waitFor(Client::kPongName, target, 2s);
            direct.make(calls);
            client.replies().arrived(kCallsDone);
        };
    };
    std::vector<Series> series{
        {"heartbeat", std::string(protocol::kReplyHeart), [&] { client.request(protocol::kHeart); }, {}, 0},
        {"charging_status",
         std::string(protocol::kReplyQuerySMCChargingStatus),
         [&] { client.request(protocol::kQuerySMCChargingStatus); },
         {},
         0},
        {"ping", Client::kPongName, [&] { client.ping(); }, {}, 0},
        {"heartbeat_floor", kCallsDone, floorOf(heartCalls), {}, 0},
        {"charging_status_floor", kCallsDone, floorOf(statusCalls), {}, 0},
    };
    // The first rounds set up connections and caches on every side; they are not counted.
    const long warmUp = std::min<long>(100, count / 10 + 1);
    for (long i = -warmUp; i < count; ++i) {
        for (auto& s : series) {
            const std::uint64_t target = client.replies().count(s.replyName) + 1;
            const auto start = Clock::now();
            s.send();
            const auto arrived = client.replies().waitFor(s.replyName, target, 2s);
            if (i < 0) continue;
            if (!arrived) {
                ++s.lost;
                continue;
            }
            s.microseconds.push_back(std::chrono::duration<double, std::micro>(*arrived - start).count());
        }
    }
    for (const auto& s : series) {
        std::printf("%s_p50_us=%.1f\n%s_p99_us=%.1f\n%s_mean_us=%.1f\n%s_lost=%llu\n", s.label.c_str(),
                    percentile(s.microseconds, 50), s.label.c_str(), percentile(s.microseconds, 99), s.label.c_str(),
                    s.microseconds.empty() ? 0.0
                                           : std::accumulate(s.microseconds.begin(), s.microseconds.end(), 0.0) /
                                                 static_cast<double>(s.microseconds.size()),
                    s.label.c_str(), static_cast<unsigned long long>(s.lost));
    }
    return 0;
}

// N requests of one kind, each after the reply to the one before: a script counts the calls the
// daemon makes for them from outside.
int requests(const std::string& kind, long count) {
    const bool heart = kind == "heartbeat";
    if (!heart && kind != "charging_status") throw std::invalid_argument("kind: heartbeat or charging_status");
    Client client;
    const std::string reply(heart ? protocol::kReplyHeart : protocol::kReplyQuerySMCChargingStatus);
    for (long i = 0; i < count; ++i) {
        const std::uint64_t target = client.replies().count(reply) + 1;
        client.request(heart ? protocol::kHeart : protocol::kQuerySMCChargingStatus);
        if (!client.replies().waitFor(reply, target, 2s)) throw std::runtime_error("no reply");
    }
    return 0;
}

int storm(long count, long batch) {
    Client client;
    const std::string heart(protocol::kReplyHeart);
    const std::string charging(protocol::kReplyQuerySMCChargingStatus);
    std::uint64_t wantHeart = client.replies().count(heart);
    std::uint64_t wantCharging = client.replies().count(charging);
    std::uint64_t lost = 0;
    const auto start = Clock::now();
    for (long sent = 0; sent < count;) {
        const long n = std::min(batch, count - sent);
        for (long k = 0; k < n; ++k, ++sent) {
            if (sent % 2 == 0) {
                client.request(protocol::kHeart);
                ++wantHeart;
            } else {
                client.request(protocol::kQuerySMCChargingStatus);
                ++wantCharging;
            }
        }
        // Replies that do not come within the time are counted lost, and the next batch waits
        // for its own only.
        if (!client.replies().waitFor(heart, wantHeart, 10s)) {
            const auto got = client.replies().count(heart);
            lost += wantHeart - got;
            wantHeart = got;
        }
        if (!client.replies().waitFor(charging, wantCharging, 10s)) {
            const auto got = client.replies().count(charging);
            lost += wantCharging - got;
            wantCharging = got;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("storm_sent=%ld\nstorm_lost=%llu\nstorm_seconds=%.2f\nstorm_per_second=%.0f\n", count,
                static_cast<unsigned long long>(lost), seconds, static_cast<double>(count) / seconds);
    return 0;
}

void ignored(NotificationCenter&, void*, std::string_view, const void*, const PlistDictionary*) {}

int rest() {
    Termination termination;
    AsioRunLoop loop;
    Bus bus;
    endWithTheBus(bus);
    DbusNotificationCenter darwin(bus, loop, DbusNotificationCenter::Kind::Darwin);
    DbusNotificationCenter distributed(bus, loop, DbusNotificationCenter::Kind::Distributed);
    for (auto name : protocol::kRequestNames) protocol::observeDarwin(darwin, name, ignored);
    for (auto name : protocol::kReplyNames) protocol::observeDistributed(distributed, name, ignored);
    // The daemon's one periodic duty, with nothing to do: a timer on the global queue every 20 s.
    auto timer = loop.makeTimerSource(RunLoop::Queue::Global);
    timer->setTimer(0ns, 20s, 100ms);
    timer->setEventHandler([] {});
    timer->resume();
    termination.onSignal([&loop] { loop.stop(); });
    std::printf("ready\n");
    std::fflush(stdout);
    loop.run();
    timer->cancel();
    return 0;
}

class QuietLog : public Log {
public:
    void standardOutput(std::string_view) override {}
    void systemLog(std::string_view line) override {
        std::fprintf(stderr, "hold: %.*s\n", int(line.size()), line.data());
    }
};

// The ideal controller. Whatever the daemon decides by its rules, this decides by the same rules
// (above the limit: no charging, forced discharge only with the lid open and the Mac awake; at
// the limit: hold; below: charge while awake, hold while asleep), but without the daemon's
// half-second delays and with the lid watched rather than read at evaluations only.
class Holder {
public:
    Holder(Bus& bus, AsioRunLoop& loop, long limit)
        : loop_(loop),
          limit_(limit),
          smcDriver_(bus, loop),
          power_(bus, loop),
          system_(bus, loop),
          workspace_(bus, loop),
          smc_(smcDriver_, log_) {
        if (smc_.open() != 0) throw std::runtime_error("cannot open the daemon::SMC");
        for (const char* key : {kChargingKey, kChargingSecondKey, kDischargingKey})
            keys_[key] = smc_.getUInt8Value(key).value_or(-1);
        power_.addGeneralInterestNotification([this](std::uint32_t) { evaluate(); });
        workspace_.addWillSleepObserver([this] {
            awake_ = false;
            evaluate();
        });
        workspace_.addDidWakeObserver([this] {
            awake_ = true;
            evaluate();
        });
        lidTimer_ = loop_.makeTimerSource(RunLoop::Queue::Main);
        lidTimer_->setTimer(0ns, 100ms, 0ns);
        lidTimer_->setEventHandler([this] {
            if (lidClosed() != lastLid_) evaluate();
        });
        lidTimer_->resume();
        loop_.async([this] { evaluate(); });
    }
    ~Holder() { lidTimer_->cancel(); }

private:
    bool lidClosed() {
        const IoObject entry = system_.registryEntryFromPath("IOPower:/IOPowerConnection/IOPMrootDomain");
        if (entry == 0) return false;
        const auto state = system_.registryEntryProperty(entry, "AppleClamshellState");
        system_.objectRelease(entry);
        const bool* closed = state ? state->asBoolean() : nullptr;
        return closed && *closed;
    }

    void evaluate() {
        const auto sources = power_.copyPowerSources();
        if (!sources || sources->empty() || !sources->front()) return;
        const PlistValue* capacityValue = sources->front()->find("Current Capacity");
        const std::int64_t* capacity = capacityValue ? capacityValue->asInteger() : nullptr;
        if (!capacity) return;
        lastLid_ = lidClosed();
        int b = 2, c = 2, i = 0;
        if (*capacity > limit_) {
            i = (!lastLid_ && awake_) ? 1 : 0;
        } else if (*capacity < limit_ && awake_) {
            b = 0;
            c = 0;
        }
        // Stop charging before anything else changes, start it last.
        if (b == 2) set(kChargingKey, 2);
        if (c == 2) set(kChargingSecondKey, 2);
        set(kDischargingKey, i);
        if (b == 0) set(kChargingKey, 0);
        if (c == 0) set(kChargingSecondKey, 0);
    }

    void set(const char* key, int value) {
        if (keys_[key] == value) return;
        smc_.setUInt8Value(key, value);
        keys_[key] = value;
    }

    AsioRunLoop& loop_;
    const long limit_;
    QuietLog log_;
    linux_backend::VirtualMacSmcDriver smcDriver_;
    linux_backend::VirtualMacPowerSources power_;
    linux_backend::VirtualMacSystemInfo system_;
    linux_backend::VirtualMacWorkspace workspace_;
    daemon::SMC smc_;
    std::map<std::string, int> keys_;
    bool awake_ = true;
    bool lastLid_ = false;
    std::unique_ptr<TimerSource> lidTimer_;
};

int hold(long limit) {
    Termination termination;
    AsioRunLoop loop;
    Bus bus;
    endWithTheBus(bus);
    std::optional<Holder> holder;
    holder.emplace(bus, loop, limit);
    termination.onSignal([&loop] { loop.stop(); });
    std::printf("ready\n");
    std::fflush(stdout);
    loop.run();
    holder.reset();
    return 0;
}

}  // namespace
}  // namespace wattkeeper::bench

int main(int argc, char** argv) {
    using namespace wattkeeper::bench;
    const std::string mode = argc > 1 ? argv[1] : "";
    const long first = argc > 2 ? std::atol(argv[2]) : 0;
    const long second = argc > 3 ? std::atol(argv[3]) : 0;
    try {
        if (mode == "echo") return echo();
        if (mode == "rtt" && first > 0) return rtt(first, second, argc > 4 ? std::atol(argv[4]) : 0);
        if (mode == "requests" && argc > 3 && second > 0) return requests(argv[2], second);
        if (mode == "storm" && first > 0) return storm(first, second > 0 ? second : 100);
        if (mode == "rest") return rest();
        if (mode == "hold" && first > 0) return hold(first);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "wk_bus_probe %s: %s\n", mode.c_str(), error.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: %s echo | rtt N [H S] | requests KIND N | storm N [BATCH] | rest | "
                 "hold LIMIT\n",
                 argv[0]);
    return 2;
}
