#pragma once
// The Darwin notify center and the distributed center as D-Bus signals, in the mapping of
// docs/linux-backend.md: signal `Post` on /org/wattkeeper/Notifications, interface
// org.wattkeeper.DarwinNotify with body `s` (the name), interface
// org.wattkeeper.DistributedNotify with body `s` (no dictionary) or `sa{sv}`.
//
// Dictionary values on the wire, as sent:
//   integers  `i` when they fit in 32 bits, else `x`
//   reals `d`, text `s`, booleans `b`, data `ay`, dictionaries `a{sv}`, arrays `av`
//   dates have no form here and are left out, as are keys and text that are not UTF-8 or hold
//   a zero character (the bus refuses them)
// and as received:
//   `i` `x` `n` `u` `q` `y` integers; `t` an integer, above INT64_MAX taken as INT64_MAX;
//   `d` a real, `s` text, `b` a boolean, `ay` data, `a{sv}` a dictionary, `av` an array.
//   An entry or array element of any other type is left out; the rest of the post arrives.
//   Of two entries with the same key, the first counts. A dictionary of one basic type from that
//   list (`a{si}`, `a{ss}`...) is taken as if its values were variants: dbus-send cannot put
//   variants into a dictionary, and so can send a payload only that way.
// A signal whose body is anything else (anything but `s`, for the Darwin center), or whose name
// is longer than kLongestName, is dropped as a whole, silently.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/bus.h"
#include "platform/notification_center.h"
#include "platform/run_loop.h"

namespace wattkeeper::linux_backend {

inline constexpr const char* kNotificationsPath = "/org/wattkeeper/Notifications";
inline constexpr const char* kDarwinNotifyInterface = "org.wattkeeper.DarwinNotify";
inline constexpr const char* kDistributedNotifyInterface = "org.wattkeeper.DistributedNotify";
inline constexpr const char* kPostSignal = "Post";
// Longer than any name the system posts: a longer one is hostile, or a mistake.
inline constexpr std::size_t kLongestName = 256;

// One of the two system-wide notification centers, shared by every process on the bus.
//
// A post goes out as a broadcast signal at once, whatever the options, from the calling thread.
// Every process on the bus whose center observes its name receives it, the posting one included,
// as CFNotificationCenter's centers deliver to observers in the posting process. A center subscribes at
// the bus daemon to the names it observes, one match rule each, from the first observer of the
// name until the center goes: the posts of other names never reach the process, however large or
// many. A signal is decoded on the bus thread and delivered on the main queue (RunLoop::async) to
// each observer of that exact name, in registration order, with a null object; the Darwin center
// always passes a null userInfo.
// Suspension behaviour and observed objects are accepted and ignored: everything is delivered
// immediately.
//
// Threads: posts and addObserver from any thread; addObserver returns once the bus daemon has the
// rule, except when another thread is adding the first observer of that name at the same time. Destroy the center on
// the main thread (or while the main queue is not running), before the Bus and the RunLoop it was given; deliveries
// still queued then are dropped.
class DbusNotificationCenter : public NotificationCenter {
public:
    enum class Kind { Darwin, Distributed };

    DbusNotificationCenter(Bus& bus, RunLoop& loop, Kind kind);
    ~DbusNotificationCenter() override;
    DbusNotificationCenter(const DbusNotificationCenter&) = delete;
    DbusNotificationCenter& operator=(const DbusNotificationCenter&) = delete;

    void addObserver(void* observer, NotificationCallback callback, std::string_view name, const void* object,
                     SuspensionBehavior behavior) override;
    // A name that is not UTF-8 or holds a zero character cannot travel, and the post is dropped.
    void postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                          bool deliverImmediately) override;
    void postNotificationWithOptions(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                     std::uint32_t options) override;

    Kind kind() const { return kind_; }

private:
    struct Observers;

    void post(std::string_view name, const PlistDictionary* userInfo);
    // Subscribes to the posts of `name`, once.
    void subscribe(const std::string& name);
    void deliver(const std::shared_ptr<Observers>& observers, const std::string& name, const PlistDictionary* userInfo);

    Bus& bus_;
    RunLoop& loop_;
    Kind kind_;
    std::shared_ptr<Observers> observers_;
    std::unique_ptr<sdbus::IObject> sender_;
    std::mutex subscriptionsMutex_;
    // By observed name; empty while its rule is being added, or when the bus was gone.
    std::map<std::string, sdbus::Slot> subscriptions_;
};

// What a received Post signal carries: the name, and the dictionary when the body had one
// (never for the Darwin center).
struct ReceivedPost {
    std::string name;
    std::optional<PlistDictionary> userInfo;
};

// The body of a received Post signal as a center of `kind` reads it, from the message's start
// whatever was read of it before; nothing when the center drops the signal. Needs no bus, so
// messages built in memory can be given to it.
std::optional<ReceivedPost> decodePostBody(sdbus::Message& message, DbusNotificationCenter::Kind kind);

}  // namespace wattkeeper::linux_backend
