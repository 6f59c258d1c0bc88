#pragma once
// In-memory notification centers: they record every post and registration and deliver through a
// RunLoop, so tests see when and to whom a notification arrives.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notification_center.h"
#include "platform/plist.h"
#include "platform/run_loop.h"

namespace wattkeeper::testkit {

// A system-wide CoreFoundation center shared by every party of a test. Delivery is asynchronous:
// a post queues one main-queue task that calls, in registration order, each observer registered
// for the name at the time of the post, as the real centers route a post to the processes
// registered when it goes out. The Darwin kind delivers no dictionary.
class MemoryNotificationCenter : public NotificationCenter {
public:
    enum class Kind { Darwin, Distributed };
    enum class PostMethod { PostNotification, PostNotificationWithOptions };

    // One post as the poster made it; userInfo is what was passed, even where the Darwin kind
    // drops it on delivery.
    struct Post {
        std::string name;
        std::optional<PlistDictionary> userInfo;
        const void* object = nullptr;
        PostMethod method = PostMethod::PostNotification;
        bool deliverImmediately = false;  // postNotification only
        std::uint32_t options = 0;        // postNotificationWithOptions only
    };
    struct Registration {
        std::string name;
        void* observer = nullptr;
        NotificationCallback callback = nullptr;
        const void* object = nullptr;
        SuspensionBehavior behavior = SuspensionBehavior::DeliverImmediately;
    };

    MemoryNotificationCenter(RunLoop& loop, Kind kind) : loop_(loop), kind_(kind) {}
    ~MemoryNotificationCenter() override { *alive_ = false; }
    MemoryNotificationCenter(const MemoryNotificationCenter&) = delete;
    MemoryNotificationCenter& operator=(const MemoryNotificationCenter&) = delete;

    void addObserver(void* observer, NotificationCallback callback, std::string_view name, const void* object,
                     SuspensionBehavior behavior) override {
        registrations_.push_back(Registration{std::string(name), observer, callback, object, behavior});
    }
    void postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                          bool deliverImmediately) override {
        post({std::string(name), copyOf(userInfo), object, PostMethod::PostNotification, deliverImmediately, 0});
    }
    void postNotificationWithOptions(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                     std::uint32_t options) override {
        post({std::string(name), copyOf(userInfo), object, PostMethod::PostNotificationWithOptions, false, options});
    }

    const std::vector<Post>& posts() const { return posts_; }
    std::vector<std::string> postedNames() const {
        std::vector<std::string> names;
        for (const auto& p : posts_) names.push_back(p.name);
        return names;
    }
    void clearPosts() { posts_.clear(); }
    // Every addObserver call, in order.
    const std::vector<Registration>& registrations() const { return registrations_; }

private:
    static std::optional<PlistDictionary> copyOf(const PlistDictionary* d) {
        return d ? std::optional(*d) : std::nullopt;
    }
    void post(Post record) {
        std::vector<Registration> targets;
        for (const auto& r : registrations_) {
            if (r.name == record.name) targets.push_back(r);
        }
        auto payload = kind_ == Kind::Darwin ? std::nullopt : record.userInfo;
        std::string name = record.name;
        posts_.push_back(std::move(record));
        if (targets.empty()) return;
        // A center destroyed before the delivery runs is not touched.
        loop_.async([this, alive = std::weak_ptr<bool>(alive_), name = std::move(name), targets = std::move(targets),
                     payload = std::move(payload)] {
            for (const auto& target : targets) {
                if (auto token = alive.lock(); !token || !*token) return;
                target.callback(*this, target.observer, name, nullptr, payload ? &*payload : nullptr);
            }
        });
    }

    RunLoop& loop_;
    Kind kind_;
    std::vector<Post> posts_;
    std::vector<Registration> registrations_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The process's in-process center. Delivers synchronously inside the post, in registration order.
class MemoryLocalCenter : public LocalNotificationCenter {
public:
    struct Post {
        std::string name;
        std::optional<PlistDictionary> userInfo;
    };

    void addObserver(std::string_view name, Observer observer) override {
        observers_.emplace_back(std::string(name), std::move(observer));
    }
    void postNotification(std::string_view name, const PlistDictionary* userInfo) override {
        posts_.push_back(Post{std::string(name), userInfo ? std::optional(*userInfo) : std::nullopt});
        // A snapshot: an observer may post or register in turn while this post is delivered.
        const auto observers = observers_;
        for (const auto& [observed, observer] : observers) {
            if (observed == name) observer(name, userInfo);
        }
    }

    const std::vector<Post>& posts() const { return posts_; }
    void clearPosts() { posts_.clear(); }

private:
    std::vector<std::pair<std::string, Observer>> observers_;
    std::vector<Post> posts_;
};

}  // namespace wattkeeper::testkit
