// The simulator's process: the bus on its own thread, simulated time and the process's signals
// on the main thread.

#include <csignal>
#include <iostream>

#include <asio.hpp>

#include "platform/linux/bus.h"
#include "platform/linux/virtual_mac_bus.h"
#include "tools/virtual-mac/server.h"

namespace wattkeeper::virtual_mac {

namespace {

// Moves simulated time on every tick; ends the process's loop when the bus is gone, as nobody
// can reach the virtual Mac any more.
class Ticker {
public:
    Ticker(asio::io_context& io, Server& server, const linux_backend::Bus& bus)
        : io_(io), timer_(io), server_(server), bus_(bus) {}

    void start() {
        timer_.expires_after(kTick);
        wait();
    }

    bool busLost() const { return busLost_; }

private:
    void wait() {
        timer_.async_wait([this](const std::error_code& error) {
            if (error) return;
            if (!bus_.connected()) {
                busLost_ = true;
                io_.stop();
                return;
            }
            server_.tick();
            timer_.expires_at(timer_.expiry() + kTick);
            wait();
        });
    }

    asio::io_context& io_;
    asio::steady_timer timer_;
    Server& server_;
    const linux_backend::Bus& bus_;
    bool busLost_ = false;
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
    // Installed before the name is taken, so whoever sees the name can stop the process cleanly.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const std::error_code& error, int) {
        if (!error) io.stop();
    });

    std::unique_ptr<linux_backend::Bus> bus;
    std::unique_ptr<Server> server;
    try {
        bus = std::make_unique<linux_backend::Bus>();
        server = std::make_unique<Server>(bus->connection(), options);
        server->onQuit([&io] { asio::post(io, [&io] { io.stop(); }); });
        bus->requestName(linux_backend::kVirtualMacService);
    } catch (const sdbus::Error& error) {
        std::cerr << "virtual-mac: cannot serve " << linux_backend::kVirtualMacService << ": " << error.getMessage()
                  << '\n';
        return 1;
    }

    Ticker ticker(io, *server, *bus);
    ticker.start();
    std::cout << "virtual-mac: serving " << linux_backend::kVirtualMacService << " for " << options.model << ", root "
              << std::filesystem::absolute(options.root).lexically_normal().string() << std::endl;
    io.run();

    if (ticker.busLost()) {
        std::cerr << "virtual-mac: the bus went away\n";
        server.reset();
        return 1;
    }
    try {
        bus->connection().releaseName(linux_backend::kVirtualMacService);
    } catch (const sdbus::Error&) {
        // The bus went first; the name went with it.
    }
    // The object goes before the bus; the bus thread finishes the request it is in (a Quit's
    // reply goes out) before it stops.
    server.reset();
    bus.reset();
    return 0;
}

}  // namespace wattkeeper::virtual_mac
