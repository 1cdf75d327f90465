#pragma once
// Tap-to-focus on the camera preview: the side of the focus indicator, and the notification that
// tells the host whether a long press has locked focus and exposure.
//
// The notification is posted on the main thread with no object; its user info holds a bool under
// RTAutoExposer_AutoFocusLockKey: true when a long press locked, false when a tap released. Hosts
// observe it on platform::NotificationCenter::defaultCenter() (kestrune/platform/NotificationCenter.h).
inline constexpr float squareLength = 80.0f;  // points
inline constexpr char RTAutoExposer_AutoFocusLockNotification[] = "VavoZidu AE/AF Lock Notification";
inline constexpr char RTAutoExposer_AutoFocusLockKey[] = "VavoZidu AE/AF Lock Key";
