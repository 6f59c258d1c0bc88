#pragma once
// In-memory notification centers for unit tests: they record every post and registration and
// deliver through a RunLoop, so tests see when and to whom a notification arrives.

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

// A system-wide CoreFoundation center shared by every party of a test. Delivery is
// asynchronous: a post queues one main-queue task that calls, in registration order, each
// observer registered for the name at the time of the post.
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

    MemoryNotificationCenter(RunLoop& loop, Kind kind);
    ~MemoryNotificationCenter() override;
    MemoryNotificationCenter(const MemoryNotificationCenter&) = delete;
    MemoryNotificationCenter& operator=(const MemoryNotificationCenter&) = delete;

    void addObserver(void* observer, NotificationCallback callback, std::string_view name, const void* object,
                     SuspensionBehavior behavior) override;
    void postNotification(std::string_view name, const void* object, const PlistDictionary* userInfo,
                          bool deliverImmediately) override;
    void postNotificationWithOptions(std::string_view name, const void* object, const PlistDictionary* userInfo,
                                     std::uint32_t options) override;

    Kind kind() const { return kind_; }
    const std::vector<Post>& posts() const { return posts_; }
    std::vector<std::string> postedNames() const;
    // Every addObserver call; observers stay registered when this record is cleared.
    const std::vector<Registration>& registrations() const { return registrations_; }
    std::size_t observerCount(std::string_view name) const;
    void clearPosts() { posts_.clear(); }
    void clearRegistrations() { registrations_.clear(); }

private:
    void post(Post record, const PlistDictionary* userInfo);

    RunLoop& loop_;
    Kind kind_;
    std::vector<Registration> observers_;
    std::vector<Post> posts_;
    std::vector<Registration> registrations_;
    // Deliveries still queued on the loop check this, so a center destroyed first is not touched.
    std::shared_ptr<bool> alive_;
};

// The process's in-process center. Delivers synchronously inside the post, in registration order.
class MemoryLocalCenter : public LocalNotificationCenter {
public:
    struct Post {
        std::string name;
        std::optional<PlistDictionary> userInfo;
    };

    void addObserver(std::string_view name, Observer observer) override;
    void postNotification(std::string_view name, const PlistDictionary* userInfo) override;

    const std::vector<Post>& posts() const { return posts_; }
    std::vector<std::string> postedNames() const;
    std::size_t observerCount(std::string_view name) const;
    void clearPosts() { posts_.clear(); }

private:
    struct Entry {
        std::string name;
        Observer observer;
    };
    std::vector<Entry> observers_;
    std::vector<Post> posts_;
};

}  // namespace wattkeeper::testkit
