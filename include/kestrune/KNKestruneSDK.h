#pragma once
// The process-wide SDK object: set up once at start; carries the log settings and the version.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "kestrune/KNError.h"
#include "kestrune/KNLogSettings.h"
#include "kestrune/KNSDKVersion.h"

// Posted after each set-up, with the SDK object, on the thread that ran the set-up.
extern const char* const kKNKestruneDidLoadConfigNotification;

class KNKestruneSDK : public std::enable_shared_from_this<KNKestruneSDK> {
public:
    using Completion = std::function<void(bool success, std::shared_ptr<KNError> error)>;

    // The one shared object, created on the first call from any thread.
    static std::shared_ptr<KNKestruneSDK> sharedInstance();
    // The shared object once it exists; before that, a new independent object.
    static std::shared_ptr<KNKestruneSDK> create();

    // Set-up runs on the caller's thread: the flag is set, the completion (if any) is called with
    // success, then the notification is posted. The first form clears the URL.
    void setupSDKWithCompletion(Completion completion = nullptr);
    void setupSDKWithURLWithCompletion(std::string url, Completion completion = nullptr);

    // A new record on every read.
    std::shared_ptr<KNSDKVersion> version() const;

    std::shared_ptr<KNLogSettings> logSettings() const;
    void setLogSettings(std::shared_ptr<KNLogSettings> settings);
    // Kept for the host to read back; "" after a set-up without URL.
    std::string url() const;
    void setUrl(std::string url);
    bool didLoadConfig() const { return didLoadConfig_.load(); }
    void setDidLoadConfig(bool loaded) { didLoadConfig_.store(loaded); }

    // Prefer sharedInstance() or create(): a plain object never becomes the shared one.
    KNKestruneSDK() { setupDefaults(); }

private:
    void setupDefaults();
    void runSetupSteps(const Completion& completion);

    mutable std::mutex mutex_;
    std::string url_;
    std::shared_ptr<KNLogSettings> logSettings_;
    std::atomic<bool> didLoadConfig_{false};
};
