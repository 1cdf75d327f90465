#include "platform/URL.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Characters a path segment may hold as they are; all else is escaped.
bool isPathCharacter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7f || std::strchr("\"<>\\^`{|}", c) != nullptr) {
            return std::nullopt;
        }
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) {
                return std::nullopt;
            }
            i += 2;
        }
    }
    return URL(std::string(text));
}

std::optional<URL> URL::fromFilePath(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string absolute(path);
    if (absolute.empty() || absolute.front() != '/') {
        std::error_code error;
        const auto cwd = std::filesystem::current_path(error);
        std::string base = error ? std::string("/") : cwd.string();
        if (base.empty() || base.back() != '/') {
            base += '/';
        }
        absolute = base + absolute;
    }
    static const char* const digits = "0123456789ABCDEF";
    std::string text = "file://";
    for (const char ch : absolute) {
        const auto c = static_cast<unsigned char>(ch);
        if (isPathCharacter(c)) {
            text += ch;
        } else {
            text += '%';
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    return URL(std::move(text));
}

bool URL::isFileURL() const {
    return startsWithNoCase(text_, "file:");
}

std::optional<std::string> URL::filePath() const {
    if (!isFileURL()) {
        return std::nullopt;
    }
    std::string_view rest = std::string_view(text_).substr(5);
    if (rest.substr(0, 2) == "//") {
        // Skip the authority ("" or a host name) up to the path.
        const size_t slash = rest.find('/', 2);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    const size_t end = rest.find_first_of("?#");
    if (end != std::string_view::npos) {
        rest = rest.substr(0, end);
    }
    std::string path;
    path.reserve(rest.size());
    for (size_t i = 0; i < rest.size(); ++i) {
        // Escapes were checked when the URL was made, so a '%' has its two digits.
        if (rest[i] == '%') {
            const char byte = static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            // The system's calls would end the path at a NUL: one file checked, another opened.
            if (byte == '\0') {
                return std::nullopt;
            }
            path += byte;
            i += 2;
        } else {
            path += rest[i];
        }
    }
    return path;
}

}  // namespace platform
