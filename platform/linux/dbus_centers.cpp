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

#include "platform/utf8.h"

namespace wattkeeper::linux_backend {

namespace {

using WireDictionary = std::map<std::string, sdbus::Variant>;
using WireArray = std::vector<sdbus::Variant>;

bool travels(const std::string& text) { return text.find('\0') == std::string::npos && isValidUtf8(text); }

std::optional<sdbus::Variant> toWire(const PlistValue& value);

WireDictionary toWire(const PlistDictionary& dictionary) {
    WireDictionary wire;
    for (const auto& [key, value] : dictionary) {
        if (!travels(key)) continue;
        if (auto variant = toWire(value)) wire.emplace(key, std::move(*variant));
    }
    return wire;
}

std::optional<sdbus::Variant> toWire(const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Integer: {
        const std::int64_t n = *value.asInteger();
        if (n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max()) {
            return sdbus::Variant(static_cast<std::int32_t>(n));
        }
        return sdbus::Variant(n);
    }
    case PlistValue::Kind::Real:
        return sdbus::Variant(*value.asReal());
    case PlistValue::Kind::Boolean:
        return sdbus::Variant(*value.asBoolean());
    case PlistValue::Kind::String:
        if (!travels(*value.asString())) return std::nullopt;
        return sdbus::Variant(*value.asString());
    case PlistValue::Kind::Data:
        return sdbus::Variant(*value.asData());
    case PlistValue::Kind::Dictionary:
        return sdbus::Variant(toWire(*value.asDictionary()));
    case PlistValue::Kind::Array: {
        WireArray wire;
        for (const auto& element : *value.asArray()) {
            if (auto variant = toWire(element)) wire.push_back(std::move(*variant));
        }
        return sdbus::Variant(wire);
    }
    case PlistValue::Kind::Date:
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<PlistValue> fromWire(const sdbus::Variant& variant);

PlistValue toPlist(std::int32_t n) { return PlistValue(static_cast<std::int64_t>(n)); }
PlistValue toPlist(std::int64_t n) { return PlistValue(n); }
PlistValue toPlist(std::int16_t n) { return PlistValue(static_cast<std::int64_t>(n)); }
PlistValue toPlist(std::uint32_t n) { return PlistValue(static_cast<std::int64_t>(n)); }
PlistValue toPlist(std::uint16_t n) { return PlistValue(static_cast<std::int64_t>(n)); }
PlistValue toPlist(std::uint8_t n) { return PlistValue(static_cast<std::int64_t>(n)); }
PlistValue toPlist(std::uint64_t n) {
    constexpr auto top = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return PlistValue(static_cast<std::int64_t>(n > top ? top : n));
}
PlistValue toPlist(double n) { return PlistValue(n); }
PlistValue toPlist(bool b) { return PlistValue(b); }
PlistValue toPlist(std::string text) { return PlistValue(std::move(text)); }
std::optional<PlistValue> toPlist(const sdbus::Variant& variant) { return fromWire(variant); }

template <class T>
PlistDictionary fromWire(const std::map<std::string, T>& wire) {
    std::vector<PlistDictionary::Entry> entries;
    entries.reserve(wire.size());
    for (const auto& [key, value] : wire) {
        if (std::optional<PlistValue> converted = toPlist(value)) entries.emplace_back(key, std::move(*converted));
    }
    return PlistDictionary(std::move(entries));
}

std::optional<PlistValue> fromWire(const sdbus::Variant& variant) {
    // Only ever asked of a variant read as one: for a bare basic value sdbus-c++ 1.2 would read a
    // null signature.
    const std::string type = variant.peekValueType();
    if (type == "i") return toPlist(variant.get<std::int32_t>());
    if (type == "x") return toPlist(variant.get<std::int64_t>());
    if (type == "n") return toPlist(variant.get<std::int16_t>());
    if (type == "u") return toPlist(variant.get<std::uint32_t>());
    if (type == "q") return toPlist(variant.get<std::uint16_t>());
    if (type == "y") return toPlist(variant.get<std::uint8_t>());
    if (type == "t") return toPlist(variant.get<std::uint64_t>());
    if (type == "d") return toPlist(variant.get<double>());
    if (type == "s") return toPlist(variant.get<std::string>());
    if (type == "b") return toPlist(variant.get<bool>());
    if (type == "ay") return PlistValue(variant.get<std::vector<std::uint8_t>>());
    if (type == "a{sv}") return PlistValue(fromWire(variant.get<WireDictionary>()));
    if (type == "av") {
        PlistArray array;
        for (const auto& element : variant.get<WireArray>()) {
            if (auto value = fromWire(element)) array.push_back(std::move(*value));
        }
        return PlistValue(std::move(array));
    }
    return std::nullopt;
}

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
    return fromWire(wire);
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
    if (!travels(name) || name.size() > kLongestName) return;
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
    if (!travels(text)) return;
    try {
        auto signal = sender_->createSignal(interfaceOf(kind_), kPostSignal);
        signal << text;
        if (kind_ == Kind::Distributed && userInfo != nullptr) signal << toWire(*userInfo);
        sender_->emitSignal(signal);
    } catch (const sdbus::Error&) {
        // The connection is gone; a post has no one to report to, as on the platform.
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
