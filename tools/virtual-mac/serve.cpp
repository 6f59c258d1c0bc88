// The simulator's process: the bus on its own thread, simulated time and the process's signals
// on the main thread.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <string_view>
#include <utility>
#include <vector>

#include <asio.hpp>

#include "platform/linux/bus.h"
#include "platform/linux/virtual_mac_bus.h"
#include "tools/virtual-mac/launchd.h"
#include "tools/virtual-mac/server.h"

namespace wattkeeper::virtual_mac {

namespace {

// What a job's program gets of this process's environment: what the daemon and its tools read
// here (the bus, where `open` logs and notes its child), the search path and the sanitizers'
// settings, as the jobs of a Mac get launchd's small environment.
std::vector<std::string> jobEnvironment() {
    static constexpr std::string_view kPassed[] = {
        "PATH=",
        "WATTKEEPER_",
        "DBUS_SESSION_BUS_ADDRESS=",
        "DBUS_SYSTEM_BUS_ADDRESS=",
        "ASAN_OPTIONS=",
        "LSAN_OPTIONS=",
        "UBSAN_OPTIONS=",
        "TSAN_OPTIONS=",
    };
    std::vector<std::string> passed;
    for (char** entry = ::environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        for (std::string_view prefix : kPassed) {
            if (text.starts_with(prefix)) {
                passed.emplace_back(text);
                break;
            }
        }
    }
    return passed;
}

// The simulator on the bus. The Mac outlives its bus: when the bus goes away, launchd and its
// jobs go on, and the simulator serves a bus at the same address again once there is one, with
// the machine as the command line described it (the SMC connections died with the old bus).
class BusPresence {
public:
    BusPresence(const ServeOptions& options, Launchd& launchd, asio::io_context& io, std::function<void()> quit)
        : options_(options), launchd_(launchd), io_(io), quit_(std::move(quit)) {}
    ~BusPresence() { leave(); }
    BusPresence(const BusPresence&) = delete;
    BusPresence& operator=(const BusPresence&) = delete;

    // Throws sdbus::Error when the bus cannot be reached or refuses the name.
    void join() {
        bus_ = std::make_unique<linux_backend::Bus>();
        server_ = std::make_unique<Server>(bus_->connection(), options_, &launchd_, &io_);
        server_->onQuit([this] { asio::post(io_, quit_); });
        bus_->requestName(linux_backend::kVirtualMacService);
    }

    // Moves simulated time on, or notices the bus went, or tries to find it again.
    void tick() {
        if (bus_ && bus_->connected()) {
            server_->tick();
            return;
        }
        if (bus_) {
            std::cerr << "virtual-mac: the bus went away; launchd and its jobs go on" << std::endl;
            leave();
        }
        if (!busListening()) return;
        try {
            join();
            std::cerr << "virtual-mac: serving the bus again" << std::endl;
        } catch (const sdbus::Error&) {
            leave();
        }
    }

    // Whether a bus listens at a "unix:path=" address now. sdbus-c++ 1.2 leaks its sd-bus object
    // when a connection cannot be started, so the retries while the bus is away look first.
    static bool busListening() {
        const auto address = linux_backend::Bus::addressFromEnvironment();
        constexpr std::string_view kPrefix = "unix:path=";
        if (!address || address->rfind(kPrefix, 0) != 0) return true;
        const std::string path = address->substr(kPrefix.size(), address->find(',') - kPrefix.size());
        sockaddr_un socketAddress{};
        socketAddress.sun_family = AF_UNIX;
        if (path.size() >= sizeof socketAddress.sun_path) return true;
        std::memcpy(socketAddress.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return true;
        const bool listening =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), sizeof socketAddress) == 0;
        ::close(fd);
        return listening;
    }

    void leave() {
        if (bus_ && bus_->connected()) {
            try {
                bus_->connection().releaseName(linux_backend::kVirtualMacService);
            } catch (const sdbus::Error&) {
                // The bus went first; the name went with it.
            }
        }
        // The object goes before the bus; the bus thread finishes the request it is in (a Quit's
        // reply goes out) before it stops.
        server_.reset();
        bus_.reset();
    }

private:
    const ServeOptions& options_;
    Launchd& launchd_;
    asio::io_context& io_;
    std::function<void()> quit_;
    std::unique_ptr<linux_backend::Bus> bus_;
    std::unique_ptr<Server> server_;
};

class Ticker {
public:
    Ticker(asio::io_context& io, BusPresence& presence) : timer_(io), presence_(presence) {}

    void start() {
        timer_.expires_after(kTick);
        wait();
    }

private:
    void wait() {
        timer_.async_wait([this](const std::error_code& error) {
            if (error) return;
            presence_.tick();
            timer_.expires_at(timer_.expiry() + kTick);
            wait();
        });
    }

    asio::steady_timer timer_;
    BusPresence& presence_;
};

}  // namespace

int serve(const ServeOptions& options) {
    try {
        prepareRoot(options.root, options.user);
    } catch (const std::filesystem::filesystem_error& error) {
        std::cerr << "virtual-mac: cannot lay out the root folder: " << error.what() << '\n';
        return 1;
    }

    asio::io_context io;
    Launchd launchd(io, options.root, jobEnvironment());
    // As a Mac shuts down: every job stopped (SIGTERM, SIGKILL after its exit timeout) first.
    bool ending = false;
    const auto end = [&] {
        if (std::exchange(ending, true)) return;
        launchd.shutdown([&io] { io.stop(); });
    };
    // Installed before the name is taken, so whoever sees the name can stop the process cleanly.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&end](const std::error_code& error, int) {
        if (!error) end();
    });

    BusPresence presence(options, launchd, io, end);
    try {
        presence.join();
    } catch (const sdbus::Error& error) {
        std::cerr << "virtual-mac: cannot serve " << linux_backend::kVirtualMacService << ": " << error.getMessage()
                  << '\n';
        return 1;
    }

    Ticker ticker(io, presence);
    ticker.start();
    std::cout << "virtual-mac: serving " << linux_backend::kVirtualMacService << " for " << options.model << ", root "
              << std::filesystem::absolute(options.root).lexically_normal().string() << std::endl;
    // launchd starts its jobs once the hardware they talk to is on the bus.
    for (const std::string& refused : launchd.boot()) std::cerr << "launchd: " << refused << std::endl;
    io.run();
    presence.leave();
    return 0;
}

}  // namespace wattkeeper::virtual_mac
