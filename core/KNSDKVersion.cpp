#include "kestrune/KNSDKVersion.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <vector>

#ifndef KESTRUNE_VERSION
#error "the build must define KESTRUNE_VERSION"
#endif

namespace {

// A version text's part read as its leading integer: optional blanks, an optional sign, digits up
// to the first other character; 0 without digits, saturated on overflow.
int64_t integerValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t value = 0;
    bool saturated = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (saturated || value > (kLimit - digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 + digit;
    }
    if (saturated) return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

std::vector<std::string> componentsSeparatedByDot(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return parts;
        start = dot + 1;
    }
}

}  // namespace

std::shared_ptr<KNSDKVersion> KNSDKVersion::version() {
#ifdef KESTRUNE_BUILD
    return versionWithShortVersionBuild(KESTRUNE_VERSION, KESTRUNE_BUILD);
#else
    // Without a build counter of its own, the build is named by the full project version.
    return versionWithShortVersionBuild(KESTRUNE_VERSION, KESTRUNE_VERSION);
#endif
}

std::shared_ptr<KNSDKVersion> KNSDKVersion::versionWithShortVersionBuild(std::optional<std::string> shortVersion,
                                                                         std::optional<std::string> build) {
    auto version = std::make_shared<KNSDKVersion>();
    version->build_ = std::move(build);
    if (shortVersion) {
        const auto parts = componentsSeparatedByDot(*shortVersion);
        version->major_ = parts.size() >= 1 ? integerValue(parts[0]) : 0;
        version->minor_ = parts.size() >= 2 ? integerValue(parts[1]) : 0;
        version->patch_ = parts.size() >= 3 ? integerValue(parts[2]) : 0;
    }
    return version;
}

std::string KNSDKVersion::shortString() const {
    char text[80];
    std::snprintf(text, sizeof text, "v.%" PRId64 ".%" PRId64 ".%" PRId64, major_, minor_, patch_);
    return text;
}

std::string KNSDKVersion::longString() const {
    return shortString() + " (build " + build_.value_or("(null)") + ")";
}
