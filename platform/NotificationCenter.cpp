#include "platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace platform {

struct NotificationCenter::Observer {
    Token token;
    std::string name;
    bool anyObject;
    std::weak_ptr<void> object;
    Block block;
    std::atomic<bool> removed{false};
};

namespace {

bool sameOwner(const std::weak_ptr<void>& filter, const std::shared_ptr<void>& object) {
    return !filter.owner_before(object) && !object.owner_before(filter);
}

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may still be removed from static destructors.
    static NotificationCenter* center = new NotificationCenter();
    return *center;
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const std::shared_ptr<void>& object,
                                                          Block block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->anyObject = object == nullptr;
    observer->object = object;
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observer->token = nextToken_++;
    observers_.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [token](const std::shared_ptr<Observer>& o) { return o->token == token; });
    if (it == observers_.end()) {
        return;
    }
    // A post walking its snapshot sees the flag and skips the observer.
    (*it)->removed.store(true);
    observers_.erase(it);
}

void NotificationCenter::post(std::string name, std::shared_ptr<void> object, UserInfo userInfo) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& observer : observers_) {
            if (!observer->name.empty() && observer->name != name) {
                continue;
            }
            if (!observer->anyObject && (object == nullptr || !sameOwner(observer->object, object))) {
                continue;
            }
            matching.push_back(observer);
        }
    }
    if (matching.empty()) {
        return;
    }
    const Notification notification{std::move(name), std::move(object), std::move(userInfo)};
    for (const auto& observer : matching) {
        if (observer->removed.load()) {
            continue;
        }
        if (observer->block) {
            observer->block(notification);
        }
    }
}

}  // namespace platform
