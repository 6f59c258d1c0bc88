#include "platform/linux/local_center.h"

#include <utility>

namespace wattkeeper::linux_backend {

void LocalCenter::addObserver(std::string_view name, Observer observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    observers_.push_back(Entry{std::string(name), std::move(observer)});
}

void LocalCenter::postNotification(std::string_view name, const PlistDictionary* userInfo) {
    // Observers run outside the lock, on a snapshot, so that they may post or register in turn.
    std::vector<Observer> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : observers_) {
            if (entry.name == name) targets.push_back(entry.observer);
        }
    }
    for (const auto& observer : targets) observer(name, userInfo);
}

}  // namespace wattkeeper::linux_backend
