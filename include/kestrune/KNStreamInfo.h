#pragma once
// One stream destination: the pieces of an RTMP address (server, application, stream name, secure
// flag, optional credentials) or one complete custom URL. Safe to read and write from several
// threads; getters hand out copies.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kestrune/platform/URL.h"

class KNServerPath;
namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

class KNStreamInfo {
public:
    // The defaults: not secure, "TBD" for server, application and stream, "" for the credentials,
    // no custom URL. Every call makes a new record.
    static std::shared_ptr<KNStreamInfo> create();
    static std::shared_ptr<KNStreamInfo> streamInfo();
    static std::shared_ptr<KNStreamInfo> secureStreamInfo();

    KNStreamInfo(const KNStreamInfo&) = delete;
    KNStreamInfo& operator=(const KNStreamInfo&) = delete;

    bool useSecureConnection() const;
    void setUseSecureConnection(bool value);
    // "host" or "host:port".
    std::optional<std::string> serverAddress() const;
    void setServerAddress(std::optional<std::string> value);
    std::optional<std::string> applicationName() const;
    void setApplicationName(std::optional<std::string> value);
    std::optional<std::string> streamName() const;
    void setStreamName(std::optional<std::string> value);
    std::optional<std::string> username() const;
    void setUsername(std::optional<std::string> value);
    std::optional<std::string> password() const;
    void setPassword(std::optional<std::string> value);

    // A stored URL that does not start with a scheme ("name://") gets the scheme of the secure flag
    // put in front at its first reading, for good. Only "rtmp://" and "rtmps://" (in any case)
    // connect; another scheme fails the connect with error 30000. The custom URL is the host's own
    // connect string: options written after a space in it (socks=host:port, for one) reach the
    // RTMP library as they are, so never build it from text that comes from outside.
    std::optional<std::string> customStreamURLString();
    void setCustomStreamURLString(std::optional<std::string> value);
    bool usesCustomURL();

    // "scheme://[user:password@]server/application/stream"; a missing piece reads "(null)". Spaces
    // and control bytes in server, application and stream name are written as "%XX", so no piece
    // can add options to the connect string; the server still gets a stream name as it was set.
    std::string streamURLString() const;
    std::optional<platform::URL> streamURL() const;
    std::optional<platform::URL> customStreamURL();

    // Same destination: both records lead to the same URL text. False for null.
    bool isEqual(const std::shared_ptr<KNStreamInfo>& other);

    static bool supportsSecureCoding() { return true; }
    // The custom URL is not archived.
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Fields whose key is missing stay nil (no defaults). Null for an archive of another class.
    static std::shared_ptr<KNStreamInfo> createWithCoder(const platform::KeyedUnarchiver& coder);

private:
    friend class KNServerPath;
    KNStreamInfo() = default;

    // The URL the destination connects to: the custom one when set, else the pieces'.
    std::string effectiveURLString();
    std::optional<std::string> completedCustomURLLocked();
    std::string streamURLStringLocked() const;

    mutable std::mutex mutex_;
    bool useSecureConnection_ = false;
    std::optional<std::string> serverAddress_;
    std::optional<std::string> applicationName_;
    std::optional<std::string> streamName_;
    std::optional<std::string> username_;
    std::optional<std::string> password_;
    std::optional<std::string> customStreamURLString_;
};
