#pragma once
// Process-wide broadcast of named events. Observers run synchronously on the posting thread, in the
// order they were added.
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

using UserInfo = std::map<std::string, std::any>;

struct Notification {
    std::string name;
    std::shared_ptr<void> object;  // the sender, or null
    UserInfo userInfo;
};

class NotificationCenter {
public:
    using Token = uint64_t;
    using Block = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Observes posts named `name` (empty: every name) whose object is `object` (null: any object).
    // The object is compared by ownership, not by address, and is held weakly: once it is gone the
    // observer matches no object at all.
    Token addObserver(std::string name, const std::shared_ptr<void>& object, Block block);
    // From then on posts skip the observer, including a post that is running this very block (so an
    // observer may remove itself or others mid-post). A post on another thread that already passed
    // the observer may still be inside its block. Unknown or removed tokens are ignored.
    void removeObserver(Token token);

    void post(std::string name, std::shared_ptr<void> object = nullptr, UserInfo userInfo = {});

private:
    struct Observer;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
    Token nextToken_ = 1;
};

}  // namespace platform
