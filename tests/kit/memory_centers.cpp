#include "tests/kit/memory_centers.h"

#include <algorithm>
#include <utility>

namespace wattkeeper::testkit {

namespace {

std::optional<PlistDictionary> copyOf(const PlistDictionary* dictionary) {
    if (!dictionary) return std::nullopt;
    return *dictionary;
}

}  // namespace

MemoryNotificationCenter::MemoryNotificationCenter(RunLoop& loop, Kind kind)
    : loop_(loop), kind_(kind), alive_(std::make_shared<bool>(true)) {}

MemoryNotificationCenter::~MemoryNotificationCenter() { *alive_ = false; }

void MemoryNotificationCenter::addObserver(void* observer, NotificationCallback callback, std::string_view name,
                                           const void* object, SuspensionBehavior behavior) {
    Registration registration{std::string(name), observer, callback, object, behavior};
    registrations_.push_back(registration);
    observers_.push_back(std::move(registration));
}

void MemoryNotificationCenter::postNotification(std::string_view name, const void* object,
                                                const PlistDictionary* userInfo, bool deliverImmediately) {
    Post record{std::string(name), copyOf(userInfo), object, PostMethod::PostNotification, deliverImmediately, 0};
    post(std::move(record), userInfo);
}

void MemoryNotificationCenter::postNotificationWithOptions(std::string_view name, const void* object,
                                                           const PlistDictionary* userInfo, std::uint32_t options) {
    Post record{std::string(name), copyOf(userInfo), object, PostMethod::PostNotificationWithOptions, false, options};
    post(std::move(record), userInfo);
}

void MemoryNotificationCenter::post(Post record, const PlistDictionary* userInfo) {
    std::string name = record.name;
    posts_.push_back(std::move(record));

    // The observers of the moment of posting: the real centers route a post to the processes
    // registered when it goes out, not to those that register while it is in flight.
    std::vector<Registration> targets;
    std::copy_if(observers_.begin(), observers_.end(), std::back_inserter(targets),
                 [&](const Registration& r) { return r.name == name; });
    if (targets.empty()) return;

    std::optional<PlistDictionary> payload = kind_ == Kind::Darwin ? std::nullopt : copyOf(userInfo);
    loop_.async([this, alive = std::weak_ptr<bool>(alive_), name = std::move(name), targets = std::move(targets),
                 payload = std::move(payload)] {
        for (const auto& target : targets) {
            auto token = alive.lock();
            if (!token || !*token) return;
            target.callback(*this, target.observer, name, nullptr, payload ? &*payload : nullptr);
        }
    });
}

std::vector<std::string> MemoryNotificationCenter::postedNames() const {
    std::vector<std::string> names;
    for (const auto& p : posts_) names.push_back(p.name);
    return names;
}

std::size_t MemoryNotificationCenter::observerCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(observers_.begin(), observers_.end(), [&](const Registration& r) { return r.name == name; }));
}

void MemoryLocalCenter::addObserver(std::string_view name, Observer observer) {
    observers_.push_back(Entry{std::string(name), std::move(observer)});
}

void MemoryLocalCenter::postNotification(std::string_view name, const PlistDictionary* userInfo) {
    posts_.push_back(Post{std::string(name), copyOf(userInfo)});
    // A snapshot: an observer may post or register in turn while this post is delivered.
    std::vector<Observer> targets;
    for (const auto& entry : observers_) {
        if (entry.name == name) targets.push_back(entry.observer);
    }
    for (const auto& observer : targets) observer(name, userInfo);
}

std::vector<std::string> MemoryLocalCenter::postedNames() const {
    std::vector<std::string> names;
    for (const auto& p : posts_) names.push_back(p.name);
    return names;
}

std::size_t MemoryLocalCenter::observerCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(observers_.begin(), observers_.end(), [&](const Entry& e) { return e.name == name; }));
}

}  // namespace wattkeeper::testkit
