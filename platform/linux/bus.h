#pragma once
// The process's connection to the message bus, served by a dispatch thread of its own.
//
// Which bus: the address in WATTKEEPER_BUS_ADDRESS when it is set and not empty, else the system
// bus. Nothing else in the project reads the environment to find the bus.
//
// Two connections. The first serves signals, posts, exported objects and asynchronous calls:
// sdbus-c++ 1.2 guards each sd-bus call with a mutex, and the bus thread (a thread of the Bus
// running Connection::enterEventLoop, as enterEventLoopAsync would, but one that survives the loss
// of the bus) is the only reader of its socket once it runs. The second, callConnection(), has no
// event loop and carries synchronous method calls only: sdbus-c++ then writes the call and reads
// its reply on the calling thread (sd_bus_call), with no hand-off to the bus thread and no
// wake-up of it. Bus::call serialises them.
// What the users of connection() may do, and from which thread:
//
// - Synchronous method calls: through a proxy made on callConnection(), inside Bus::call, from any
//   thread; one runs at a time.
// - Method calls through an sdbus::IProxy made on connection(), synchronous or asynchronous: any
//   thread, several at once. From any thread but the bus thread, sdbus-c++ sends the call and
//   waits for the bus thread to hand the reply over; on the bus thread it calls directly. Never
//   send a MethodCall that expects a reply with MethodCall::send() yourself from another thread.
// - Signals emitted through an sdbus::IObject made on connection(): any thread.
// - Signal subscriptions: prefer Bus::addMatch, safe from any thread. Proxy signal handlers
//   (uponSignal + finishRegistration), exported objects (finishRegistration of an IObject) and
//   connection().requestName make a synchronous round trip to the bus daemon; made from any
//   thread but the bus thread, that round trip may read ahead messages meant for the bus thread,
//   which would then sit unprocessed until the next message arrives (a known limit of sdbus-c++
//   1.2). Call Bus::wake() right after such a set-up, or use Bus::requestName.
// - Handlers (match handlers, proxy signal handlers, asynchronous replies, exported methods) run
//   on the bus thread, one at a time, while sdbus-c++ holds its lock: keep them short, never
//   block there waiting for another thread, and hand the work to the main queue with
//   RunLoop::async. An exception must not leave a handler: it would unwind through sd-bus.
// - Destroying an sdbus::Slot, proxy or object is safe from any thread; once it returns, its
//   handler is not running and will not run again.
// - Everything made on connection() (slots, proxies, objects) must be destroyed before the Bus.

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

namespace wattkeeper::linux_backend {

// A connection to the message bus together with the thread that serves it.
class Bus {
public:
    // The bus named by the environment (see above). Throws sdbus::Error when it cannot be reached.
    Bus();
    // The bus at a D-Bus address, such as "unix:path=/tmp/bus". Throws sdbus::Error when it cannot
    // be reached.
    explicit Bus(const std::string& address);
    // Stops the bus thread and closes the connection.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // WATTKEEPER_BUS_ADDRESS when set and not empty; nothing means the system bus.
    static std::optional<std::string> addressFromEnvironment();

    sdbus::IConnection& connection();
    // The connection for synchronous calls (see above); its proxies have no signal handlers.
    sdbus::IConnection& callConnection() { return *calls_; }
    // Runs `exchange` (synchronous calls on proxies of callConnection()) while no other thread
    // makes one; false when it throws for any reason (no such service, a timeout, a reply of the
    // wrong shape, the bus gone).
    template <class Exchange>
    bool call(Exchange&& exchange) {
        std::lock_guard lock(callMutex_);
        try {
            exchange();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    // This connection's unique name on the bus (":1.42").
    std::string uniqueName() const;
    // False once the bus has gone away (the bus daemon ended or dropped this connection): the bus
    // thread has stopped, calls fail with sdbus::Error and posts go nowhere.
    bool connected() const { return connected_.load(std::memory_order_relaxed); }
    // Runs `handler` once the bus has gone away: on the bus thread as it stops, or at once on the
    // calling thread when that has already happened. A process without its bus can do nothing
    // useful, and a program may choose to end then. Replaces an earlier handler.
    void onDisconnect(std::function<void()> handler);
    bool onBusThread() const { return std::this_thread::get_id() == busThread_.load(std::memory_order_relaxed); }

    // Subscribes to the messages a match rule selects; the handler runs on the bus thread until the
    // slot is destroyed. Safe from any thread.
    [[nodiscard]] sdbus::Slot addMatch(const std::string& rule, sdbus::message_handler handler);
    // Takes a well-known name (a server does this once its objects are exported). Safe from any
    // thread. Throws sdbus::Error when the bus refuses it.
    void requestName(const std::string& name);
    // Makes the bus thread look at what an earlier synchronous round trip from another thread
    // read ahead (see above). Cheap: one signal, `Wake` on kWakePath and kWakeInterface, sent to
    // this connection alone; no handler takes it, its arrival is what rouses the bus thread.
    void wake();

    static constexpr const char* kWakePath = "/org/wattkeeper/Bus";
    static constexpr const char* kWakeInterface = "org.wattkeeper.Bus";

private:
    Bus(std::unique_ptr<sdbus::IConnection> connection, std::unique_ptr<sdbus::IConnection> calls);

    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IConnection> calls_;
    std::mutex callMutex_;
    std::string uniqueName_;
    // Sends wake()'s signal. A signal rather than a call: a reply would come with a handler and a
    // pending call shared between threads, and the system bus lets anyone send a signal.
    std::unique_ptr<sdbus::IObject> waker_;
    std::atomic<bool> connected_{true};
    std::mutex disconnectMutex_;
    std::function<void()> onDisconnect_;
    std::atomic<std::thread::id> busThread_;
    std::thread thread_;
};

}  // namespace wattkeeper::linux_backend
