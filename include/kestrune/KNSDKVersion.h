#pragma once
// The library's own version, as the build recorded it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class KNSDKVersion {
public:
    // A new record on every call, read from the version the library was built with.
    static std::shared_ptr<KNSDKVersion> version();
    // A record read from the given texts: the short version ("2.1") is split at "." and each of
    // its first three parts read as an integer (0 when missing or not a number); never throws.
    static std::shared_ptr<KNSDKVersion> versionWithShortVersionBuild(std::optional<std::string> shortVersion,
                                                                      std::optional<std::string> build);

    int64_t major() const { return major_; }
    void setMajor(int64_t value) { major_ = value; }
    int64_t minor() const { return minor_; }
    void setMinor(int64_t value) { minor_ = value; }
    int64_t patch() const { return patch_; }
    void setPatch(int64_t value) { patch_ = value; }
    // Absent when the build recorded none.
    const std::optional<std::string>& build() const { return build_; }
    void setBuild(std::optional<std::string> value) { build_ = std::move(value); }

    // "v.2.1.0"
    std::string shortString() const;
    // "v.2.1.0 (build 57)"; "(null)" stands for an absent build.
    std::string longString() const;

private:
    int64_t major_ = 0;
    int64_t minor_ = 0;
    int64_t patch_ = 0;
    std::optional<std::string> build_;
};
