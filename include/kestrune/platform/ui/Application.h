#pragma once
// The application's state the library reads and the host sets: the status bar's (interface)
// orientation and the idle timer. Thread-safe.
#include <atomic>
#include <cstdint>

namespace platform {

// Posted (no object) before the orientation changes, with the new one under the key.
inline constexpr char kApplicationWillChangeStatusBarOrientationNotification[] =
    "ApplicationWillChangeStatusBarOrientationNotification";
// Posted (no object) when the orientation changes, with the old one under the key.
inline constexpr char kApplicationDidChangeStatusBarOrientationNotification[] =
    "ApplicationDidChangeStatusBarOrientationNotification";
inline constexpr char kApplicationStatusBarOrientationUserInfoKey[] = "ApplicationStatusBarOrientationUserInfoKey";

class Application {
public:
    static Application& shared();

    // 0 unknown, 1 portrait, 2 upside down, 3 landscape right, 4 landscape left; starts portrait.
    int64_t statusBarOrientation() const { return orientation_.load(); }
    // Posts the will-change and the did-change notifications on the caller's thread when the value changes.
    void setStatusBarOrientation(int64_t orientation);

    bool isIdleTimerDisabled() const { return idleTimerDisabled_.load(); }
    void setIdleTimerDisabled(bool disabled) { idleTimerDisabled_.store(disabled); }

private:
    Application() = default;
    std::atomic<int64_t> orientation_{1};
    std::atomic<bool> idleTimerDisabled_{false};
};

}  // namespace platform
