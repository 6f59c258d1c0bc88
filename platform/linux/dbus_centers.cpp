#include "platform/linux/dbus_centers.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/bus_values.h"

namespace wattkeeper::linux_backend {

namespace {

// Whether the message has been read to its end. sdbus-c++ 1.2 has no direct test, and peeking at
// the end would read a null signature; copying the next element into a variant copies nothing
// there, and the library reports that as an empty variant.
bool atEnd(sdbus::Message& message) {
    sdbus::Variant rest;
    message >> rest;
    const bool end = !message;
    message.clearFlags();
    return end;
}

// The dictionary of an `sa{sT}` body, T being the value type; nothing when the body is not one.
template <class T>
std::optional<PlistDictionary> readDictionary(sdbus::Message& message) {
    message.rewind(true);
    std::string name;
    message >> name;
    std::map<std::string, T> wire;
    try {
        message >> wire;
    } catch (const sdbus::Error&) {
        return std::nullopt;
    }
    if (!atEnd(message)) return std::nullopt;
    return fromBus(wire);
}

// `a{sv}` is the form; a dictionary of one basic type is taken too, because dbus-send cannot put
// variants into a dictionary. Which one it is can only be found by trying: sdbus-c++ 1.2 cannot
// name the type of a basic value ahead.
std::optional<PlistDictionary> readAnyDictionary(sdbus::Message& message) {
    using Reader = std::optional<PlistDictionary> (*)(sdbus::Message&);
    constexpr Reader readers[] = {
        readDictionary<sdbus::Variant>, readDictionary<std::string>,   readDictionary<std::int32_t>,
        readDictionary<bool>,           readDictionary<std::int64_t>,  readDictionary<double>,
        readDictionary<std::uint32_t>,  readDictionary<std::int16_t>,  readDictionary<std::uint16_t>,
        readDictionary<std::uint8_t>,   readDictionary<std::uint64_t>,
    };
    for (Reader read : readers) {
        if (auto dictionary = read(message)) return dictionary;
    }
    return std::nullopt;
}

// Throws sdbus::Error on some bodies of the wrong types, which are to be dropped as well.
std::optional<ReceivedPost> decode(sdbus::Message& message, DbusNotificationCenter::Kind kind) {
    // Every match handler of this connection reads the same message.
    message.rewind(true);
    if (message.isEmpty()) return std::nullopt;
    ReceivedPost received;
    // Read in place, so that a name of megabytes is dropped without a copy.
    char* name = nullptr;
    message >> name;
    if (name == nullptr || ::strnlen(name, kLongestName + 1) > kLongestName) return std::nullopt;
    received.name = name;
    if (atEnd(message)) return received;
    if (kind == DbusNotificationCenter::Kind::Darwin) return std::nullopt;
    received.userInfo = readAnyDictionary(message);
    if (!received.userInfo) return std::nullopt;
    return received;
}

// The posts of one name only, so that the bus daemon never sends this process the others. A
// name a rule cannot quote plainly is left to the handler to pick out.
std::string matchRule(const char* interface, const std::string& name) {
    std::string rule = std::string("type='signal',path='") + kNotificationsPath + "',interface='" + interface +
                       "',member='" + kPostSignal + "'";
    if (name.find_first_of("'\\") == std::string::npos) rule += ",arg0='" + name + "'";
    return rule;
}

const char* interfaceOf(DbusNotificationCenter::Kind kind) {
    return kind == DbusNotificationCenter::Kind::Darwin ? kDarwinNotifyInterface : kDistributedNotifyInterface;
}

}  // namespace

std::optional<ReceivedPost> decodePostBody(sdbus::Message& message, DbusNotificationCenter::Kind kind) {
    try {
        return decode(message, kind);
    } catch (const sdbus::Error&) {
        // A body of the wrong types.
        return std::nullopt;
    }
}

struct DbusNotificationCenter::Observers {
    struct Entry {
        std::string name;
        void* observer = nullptr;
        NotificationCallback callback = nullptr;
    };

    std::mutex mutex;
    std::vector<Entry> entries;
    // Cleared when the center goes, so a delivery already under way stops calling into it.
    std::atomic<bool> alive{true};
};

DbusNotificationCenter::DbusNotificationCenter(Bus& bus, RunLoop& loop, Kind kind)
    : bus_(bus),
      loop_(loop),
      kind_(kind),
      observers_(std::make_shared<Observers>()),
      sender_(sdbus::createObject(bus.connection(), kNotificationsPath)) {}

DbusNotificationCenter::~DbusNotificationCenter() {
    std::map<std::string, sdbus::Slot> subscriptions;
    {
        std::lock_guard lock(subscriptionsMutex_);
        subscriptions.swap(subscriptions_);
    }
    // After this no handler runs on the bus thread, and none queues another delivery.
    subscriptions.clear();
    observers_->alive = false;
}

void DbusNotificationCenter::addObserver(void* observer, NotificationCallback callback, std::string_view name,
                                         const void* /*object*/, SuspensionBehavior /*behavior*/) {
    if (callback == nullptr) return;
    const std::string text(name);
    {
        std::lock_guard lock(observers_->mutex);
        observers_->entries.push_back(Observers::Entry{text, observer, callback});
    }
    subscribe(text);
}

void DbusNotificationCenter::subscribe(const std::string& name) {
    // No post can carry such a name.
    if (!isBusText(name) || name.size() > kLongestName) return;
    {
        // Taken before the round trip to the bus daemon, which is made unlocked: a handler on the
        // bus thread may register an observer meanwhile.
        std::lock_guard lock(subscriptionsMutex_);
        if (!subscriptions_.try_emplace(name).second) return;
    }
    sdbus::Slot slot;
    try {
        slot = bus_.addMatch(matchRule(interfaceOf(kind_), name),
                             [this, name, weak = std::weak_ptr<Observers>(observers_)](sdbus::Message& message) {
                                 std::optional<ReceivedPost> received = decodePostBody(message, kind_);
                                 if (!received || received->name != name) return;
                                 loop_.async([this, weak, received = std::move(*received)] {
                                     if (auto observers = weak.lock()) {
                                         deliver(observers, received.name,
                                                 received.userInfo ? &*received.userInfo : nullptr);
                                     }
                                 });
                             });
    } catch (const sdbus::Error&) {
        // The bus is gone, and no post would arrive anyway.
    }
    std::lock_guard lock(subscriptionsMutex_);
    subscriptions_[name] = std::move(slot);
}

void DbusNotificationCenter::postNotification(std::string_view name, const void* /*object*/,
                                              const PlistDictionary* userInfo, bool /*deliverImmediately*/) {
    post(name, userInfo);
}

void DbusNotificationCenter::postNotificationWithOptions(std::string_view name, const void* /*object*/,
                                                         const PlistDictionary* userInfo, std::uint32_t /*options*/) {
    post(name, userInfo);
}

void DbusNotificationCenter::post(std::string_view name, const PlistDictionary* userInfo) {
    const std::string text(name);
    if (!isBusText(text)) return;
    try {
        auto signal = sender_->createSignal(interfaceOf(kind_), kPostSignal);
        signal << text;
        if (kind_ == Kind::Distributed && userInfo != nullptr) signal << toBus(*userInfo, BusValueRules::Posts);
        sender_->emitSignal(signal);
    } catch (const sdbus::Error&) {
        // The connection is gone; a post has no one to report to, as with CFNotificationCenter.
    }
}

void DbusNotificationCenter::deliver(const std::shared_ptr<Observers>& observers, const std::string& name,
                                     const PlistDictionary* userInfo) {
    // A snapshot: an observer may register more observers, or post, while this runs.
    std::vector<Observers::Entry> targets;
    {
        std::lock_guard lock(observers->mutex);
        for (const auto& entry : observers->entries) {
            if (entry.name == name) targets.push_back(entry);
        }
    }
    const PlistDictionary* payload = kind_ == Kind::Darwin ? nullptr : userInfo;
    for (const auto& target : targets) {
        if (!observers->alive) return;
        target.callback(*this, target.observer, name, nullptr, payload);
    }
}

}  // namespace wattkeeper::linux_backend
