#include "kestrune/KNStreamInfo.h"

#include <string>

#include "platform/KeyedArchive.h"

namespace {

const char* const kArchiveClassName = "KNStreamInfo";

std::string describe(const std::optional<std::string>& value) { return value ? *value : "(null)"; }

bool hasText(const std::optional<std::string>& value) { return value && !value->empty(); }

std::optional<std::string> trimSlashesAndSpaces(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    const auto first = value->find_first_not_of("/ ");
    if (first == std::string::npos) return std::string();
    const auto last = value->find_last_not_of("/ ");
    return value->substr(first, last - first + 1);
}

// Every byte that `keep` doesn't accept as "%XX".
template <class Keep>
std::string escapeBytes(const std::string& text, Keep keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (keep(c)) {
            out += c;
            continue;
        }
        out += '%';
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    }
    return out;
}

// Every byte but the unreserved ones: a "/", "@" or ":" in a credential can't move the URL's host,
// and the connect string decodes them again.
std::string percentEncode(const std::string& text) {
    return escapeBytes(text, [](char c) {
        const bool alphanumeric = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return alphanumeric || c == '-' || c == '.' || c == '_' || c == '~';
    });
}

// Spaces and control bytes: the RTMP library reads whatever follows a space as its own options (a
// SOCKS proxy, a URL to fetch), so a name from outside must not bring one. The library decodes the
// escapes of a stream name again; in a host or application name they only fail.
std::string escapeSeparators(const std::optional<std::string>& value) {
    return escapeBytes(describe(value), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > ' ' && byte != 0x7f;
    });
}

// "letters://" at the very start: the URL names its own scheme.
bool startsWithScheme(const std::string& url) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return false;
    const auto isSchemeChar = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
               c == '.';
    };
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!isLetter(url[0])) return false;
    for (size_t i = 1; i < sep; ++i) {
        if (!isSchemeChar(url[i])) return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<KNStreamInfo> KNStreamInfo::create() {
    std::shared_ptr<KNStreamInfo> info(new KNStreamInfo());
    info->serverAddress_ = "TBD";
    info->applicationName_ = "TBD";
    info->streamName_ = "TBD";
    info->username_ = "";
    info->password_ = "";
    return info;
}

std::shared_ptr<KNStreamInfo> KNStreamInfo::streamInfo() { return create(); }

std::shared_ptr<KNStreamInfo> KNStreamInfo::secureStreamInfo() {
    auto info = create();
    info->useSecureConnection_ = true;
    return info;
}

bool KNStreamInfo::useSecureConnection() const {
    std::lock_guard lock(mutex_);
    return useSecureConnection_;
}

void KNStreamInfo::setUseSecureConnection(bool value) {
    std::lock_guard lock(mutex_);
    useSecureConnection_ = value;
}

#define KN_STRING_PROPERTY(getter, setter, field)                 \
    std::optional<std::string> KNStreamInfo::getter() const {     \
        std::lock_guard lock(mutex_);                             \
        return field;                                             \
    }                                                             \
    void KNStreamInfo::setter(std::optional<std::string> value) { \
        std::lock_guard lock(mutex_);                             \
        field = std::move(value);                                 \
    }

KN_STRING_PROPERTY(serverAddress, setServerAddress, serverAddress_)
KN_STRING_PROPERTY(applicationName, setApplicationName, applicationName_)
KN_STRING_PROPERTY(streamName, setStreamName, streamName_)
KN_STRING_PROPERTY(username, setUsername, username_)
KN_STRING_PROPERTY(password, setPassword, password_)
#undef KN_STRING_PROPERTY

void KNStreamInfo::setCustomStreamURLString(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    customStreamURLString_ = std::move(value);
}

std::optional<std::string> KNStreamInfo::completedCustomURLLocked() {
    auto& stored = customStreamURLString_;
    // By the start only: "rtmps://" further on (in a stream name, say) must not leave the secure
    // flag's scheme out and the host after it connected over plain RTMP. Another scheme at the
    // start stays as it is and is refused at the connect.
    if (hasText(stored) && !startsWithScheme(*stored)) {
        stored = std::string(useSecureConnection_ ? "rtmps" : "rtmp") + "://" + *stored;
    }
    return stored;
}

std::optional<std::string> KNStreamInfo::customStreamURLString() {
    std::lock_guard lock(mutex_);
    return completedCustomURLLocked();
}

bool KNStreamInfo::usesCustomURL() {
    std::lock_guard lock(mutex_);
    return hasText(completedCustomURLLocked());
}

std::string KNStreamInfo::streamURLStringLocked() const {
    std::string credentials;
    if (hasText(username_) && hasText(password_)) credentials = percentEncode(*username_) + ":" + percentEncode(*password_) + "@";
    return std::string(useSecureConnection_ ? "rtmps" : "rtmp") + "://" + credentials +
           escapeSeparators(trimSlashesAndSpaces(serverAddress_)) + "/" + escapeSeparators(applicationName_) + "/" +
           escapeSeparators(streamName_);
}

std::string KNStreamInfo::streamURLString() const {
    std::lock_guard lock(mutex_);
    return streamURLStringLocked();
}

std::optional<platform::URL> KNStreamInfo::streamURL() const { return platform::URL::fromString(streamURLString()); }

std::optional<platform::URL> KNStreamInfo::customStreamURL() {
    auto custom = customStreamURLString();
    if (!custom) return std::nullopt;
    return platform::URL::fromString(*custom);
}

std::string KNStreamInfo::effectiveURLString() {
    std::lock_guard lock(mutex_);
    auto custom = completedCustomURLLocked();
    return hasText(custom) ? *custom : streamURLStringLocked();
}

bool KNStreamInfo::isEqual(const std::shared_ptr<KNStreamInfo>& other) {
    if (!other) return false;
    // One lock at a time: comparing a record with itself or two records from two threads can't deadlock.
    const std::string mine = effectiveURLString();
    return mine == other->effectiveURLString();
}

void KNStreamInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
    std::lock_guard lock(mutex_);
    coder.encodeString("serverAddress", serverAddress_);
    coder.encodeString("streamName", streamName_);
    coder.encodeString("applicationName", applicationName_);
    coder.encodeBool("useSecureConnection", useSecureConnection_);
    coder.encodeString("username", username_);
    coder.encodeString("password", password_);
}

std::shared_ptr<KNStreamInfo> KNStreamInfo::createWithCoder(const platform::KeyedUnarchiver& coder) {
    if (coder.className() != kArchiveClassName) return nullptr;
    std::shared_ptr<KNStreamInfo> info(new KNStreamInfo());
    info->serverAddress_ = coder.decodeString("serverAddress");
    info->streamName_ = coder.decodeString("streamName");
    info->applicationName_ = coder.decodeString("applicationName");
    info->useSecureConnection_ = coder.decodeBool("useSecureConnection");
    info->username_ = coder.decodeString("username");
    info->password_ = coder.decodeString("password");
    return info;
}
