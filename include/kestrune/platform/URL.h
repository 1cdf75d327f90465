#pragma once
// URLs as the platform accepts them: a string is a URL only when every character may appear in one.
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URL {
public:
    // The URL for `text`, or null when `text` is empty or holds a space, a control character, a byte
    // outside ASCII, one of "<>\^`{|} or a '%' not followed by two hex digits. Nothing is escaped
    // or normalised: an accepted URL's string is `text` itself.
    static std::optional<URL> fromString(std::string_view text);
    // A "file://" URL for `path`, percent-escaped; a relative path is taken from the working folder.
    // Null for a path with a NUL byte, which no file can have.
    static std::optional<URL> fromFilePath(std::string_view path);

    const std::string& absoluteString() const { return text_; }
    bool isFileURL() const;
    // The unescaped path of a file URL; null for any other URL, and for one whose "%00" would put a
    // NUL byte in the path.
    std::optional<std::string> filePath() const;

    bool operator==(const URL&) const = default;

private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace platform
