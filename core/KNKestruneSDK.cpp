#include "kestrune/KNKestruneSDK.h"

#include "platform/NotificationCenter.h"

const char* const kKNKestruneDidLoadConfigNotification = "kKNKestruneDidLoadConfigNotification";

namespace {

std::once_flag sharedOnce;
// Set once inside the call_once; create() only reads it.
std::atomic<std::shared_ptr<KNKestruneSDK>*> sharedObject{nullptr};

}  // namespace

std::shared_ptr<KNKestruneSDK> KNKestruneSDK::sharedInstance() {
    std::call_once(sharedOnce, [] {
        auto sdk = std::make_shared<KNKestruneSDK>();
        // Lives until the process ends, as the host expects of the SDK object.
        sharedObject.store(new std::shared_ptr<KNKestruneSDK>(std::move(sdk)));
    });
    return *sharedObject.load();
}

std::shared_ptr<KNKestruneSDK> KNKestruneSDK::create() {
    if (auto* shared = sharedObject.load()) return *shared;
    return std::make_shared<KNKestruneSDK>();
}

void KNKestruneSDK::setupDefaults() {
    std::lock_guard lock(mutex_);
    url_.clear();
    didLoadConfig_.store(false);
    logSettings_ = KNLogSettings::create();
}

void KNKestruneSDK::setupSDKWithCompletion(Completion completion) {
    setUrl("");
    runSetupSteps(completion);
}

void KNKestruneSDK::setupSDKWithURLWithCompletion(std::string url, Completion completion) {
    setUrl(std::move(url));
    runSetupSteps(completion);
}

void KNKestruneSDK::runSetupSteps(const Completion& completion) {
    didLoadConfig_.store(true);
    if (completion) completion(true, nullptr);
    platform::NotificationCenter::defaultCenter().post(kKNKestruneDidLoadConfigNotification, shared_from_this());
}

std::shared_ptr<KNSDKVersion> KNKestruneSDK::version() const { return KNSDKVersion::version(); }

std::shared_ptr<KNLogSettings> KNKestruneSDK::logSettings() const {
    std::lock_guard lock(mutex_);
    return logSettings_;
}

void KNKestruneSDK::setLogSettings(std::shared_ptr<KNLogSettings> settings) {
    std::lock_guard lock(mutex_);
    logSettings_ = std::move(settings);
}

std::string KNKestruneSDK::url() const {
    std::lock_guard lock(mutex_);
    return url_;
}

void KNKestruneSDK::setUrl(std::string url) {
    std::lock_guard lock(mutex_);
    url_ = std::move(url);
}
