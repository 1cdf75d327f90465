#include "platform/ui/Application.h"

#include "platform/NotificationCenter.h"

namespace platform {

Application& Application::shared() {
    static Application application;
    return application;
}

void Application::setStatusBarOrientation(int64_t orientation) {
    if (orientation_.load() == orientation) return;
    NotificationCenter::defaultCenter().post(kApplicationWillChangeStatusBarOrientationNotification, nullptr,
                                             {{kApplicationStatusBarOrientationUserInfoKey, orientation}});
    const int64_t old = orientation_.exchange(orientation);
    if (old == orientation) return;
    NotificationCenter::defaultCenter().post(kApplicationDidChangeStatusBarOrientationNotification, nullptr,
                                             {{kApplicationStatusBarOrientationUserInfoKey, old}});
}

}  // namespace platform
