#include "platform/linux/bus.h"

#include <cstdlib>
#include <thread>
#include <utility>

namespace wattkeeper::linux_backend {

namespace {

std::unique_ptr<sdbus::IConnection> openEnvironmentBus() {
    if (auto address = Bus::addressFromEnvironment()) return sdbus::createSessionBusConnectionWithAddress(*address);
    return sdbus::createSystemBusConnection();
}

}  // namespace

Bus::Bus() : Bus(openEnvironmentBus(), openEnvironmentBus()) {}

Bus::Bus(const std::string& address)
    : Bus(sdbus::createSessionBusConnectionWithAddress(address),
          sdbus::createSessionBusConnectionWithAddress(address)) {}

Bus::Bus(std::unique_ptr<sdbus::IConnection> connection, std::unique_ptr<sdbus::IConnection> calls)
    : connection_(std::move(connection)),
      calls_(std::move(calls)),
      uniqueName_(connection_->getUniqueName()),
      waker_(sdbus::createObject(*connection_, kWakePath)) {
    thread_ = std::thread([this] {
        busThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        try {
            connection_->enterEventLoop();
        } catch (const sdbus::Error&) {
            // sdbus-c++ throws from its loop when the bus goes away; on a thread of its own that
            // would end the whole process.
            std::function<void()> handler;
            {
                std::lock_guard lock(disconnectMutex_);
                connected_.store(false, std::memory_order_relaxed);
                handler = std::move(onDisconnect_);
            }
            if (handler) handler();
        }
    });
}

Bus::~Bus() {
    connection_->leaveEventLoop();
    thread_.join();
    waker_.reset();
    connection_.reset();
    calls_.reset();
}

std::optional<std::string> Bus::addressFromEnvironment() {
    const char* address = std::getenv("WATTKEEPER_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') return std::nullopt;
    return std::string(address);
}

sdbus::IConnection& Bus::connection() { return *connection_; }

void Bus::onDisconnect(std::function<void()> handler) {
    {
        std::lock_guard lock(disconnectMutex_);
        if (connected_.load(std::memory_order_relaxed)) {
            onDisconnect_ = std::move(handler);
            return;
        }
    }
    if (handler) handler();
}

std::string Bus::uniqueName() const { return uniqueName_; }

sdbus::Slot Bus::addMatch(const std::string& rule, sdbus::message_handler handler) {
    // An exception leaving a handler would unwind through sd-bus's C frames; a message a handler
    // cannot take is dropped instead.
    auto slot = connection_->addMatch(rule, [handler = std::move(handler)](sdbus::Message& message) {
        try {
            handler(message);
        } catch (...) {
        }
    });
    wake();
    return slot;
}

void Bus::requestName(const std::string& name) {
    connection_->requestName(name);
    wake();
}

void Bus::wake() {
    // The bus thread looks at everything queued before it waits again.
    if (onBusThread()) return;
    try {
        auto signal = waker_->createSignal(kWakeInterface, "Wake");
        signal.setDestination(uniqueName_);
        waker_->emitSignal(signal);
    } catch (const sdbus::Error&) {
        // The connection is going down: there is nothing left to wake.
    }
}

}  // namespace wattkeeper::linux_backend
