#include "platform/KeyedArchive.h"

#include <cmath>
#include <limits>

namespace platform {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "kestrune.keyed-archive";
constexpr int64_t kVersion = 1;

const char* const kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += kBase64Alphabet[(n >> 6) & 63];
        out += kBase64Alphabet[n & 63];
    }
    if (const size_t rest = bytes.size() - i; rest > 0) {
        uint32_t n = uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            n |= uint32_t{bytes[i + 1]} << 8;
        }
        out += kBase64Alphabet[(n >> 18) & 63];
        out += kBase64Alphabet[(n >> 12) & 63];
        out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict: canonical padding only, so a damaged entry reads as nil rather than as other bytes.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0 || (v[k] = base64Value(c)) < 0) {
                return std::nullopt;
            }
        }
        const uint32_t n = (uint32_t(v[0]) << 18) | (uint32_t(v[1]) << 12) | (uint32_t(v[2]) << 6) | uint32_t(v[3]);
        if ((padding == 1 && (n & 0xff) != 0) || (padding == 2 && (n & 0xffff) != 0)) {
            return std::nullopt;
        }
        out.push_back(uint8_t(n >> 16));
        if (padding < 2) out.push_back(uint8_t(n >> 8));
        if (padding < 1) out.push_back(uint8_t(n));
    }
    return out;
}

bool isValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t length;
        uint32_t codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            length = 2;
            codePoint = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            length = 3;
            codePoint = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > s.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

// JSON numbers can't hold NaN or the infinities; those travel as text.
Json encodeNumber(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return value;
}

std::optional<double> decodeNumber(const Json& value) {
    if (value.is_number()) {
        return value.get<double>();
    }
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
        if (text == "inf") return std::numeric_limits<double>::infinity();
        if (text == "-inf") return -std::numeric_limits<double>::infinity();
    }
    return std::nullopt;
}

// A stored archive is small. Past these bounds bytes are not one of ours, and reading them could
// cost time quadratic in the keys of one object, or stack in proportion to the nesting.
constexpr size_t kMaxArchiveBytes = size_t{1} << 20;
constexpr size_t kMaxArchiveKeys = 4096;
constexpr int kMaxArchiveDepth = 8;

// One pass over the text, before any parsing: its size, nesting and number of keys.
bool withinBounds(std::span<const uint8_t> data) {
    if (data.size() > kMaxArchiveBytes) {
        return false;
    }
    int depth = 0;
    size_t keys = 0;
    bool inString = false;
    bool escaped = false;
    for (const uint8_t c : data) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if ((c == '{' || c == '[') && ++depth > kMaxArchiveDepth) {
            return false;
        } else if (c == '}' || c == ']') {
            --depth;
        } else if (c == ':' && ++keys > kMaxArchiveKeys) {
            return false;
        }
    }
    return true;
}

}  // namespace

KeyedArchiver::KeyedArchiver(std::string className) {
    root_["archiver"] = kFormat;
    root_["version"] = kVersion;
    // A class name that isn't UTF-8 can't be JSON text; it is kept as its bytes.
    if (isValidUtf8(className)) {
        root_["class"] = std::move(className);
    } else {
        root_["classBytes"] = base64Encode({reinterpret_cast<const uint8_t*>(className.data()), className.size()});
    }
    root_["entries"] = Json::object();
}

void KeyedArchiver::encodeInt64(const std::string& key, int64_t value) {
    root_["entries"][key] = {{"type", "int64"}, {"value", value}};
}

void KeyedArchiver::encodeBool(const std::string& key, bool value) {
    root_["entries"][key] = {{"type", "bool"}, {"value", value}};
}

void KeyedArchiver::encodeDouble(const std::string& key, double value) {
    root_["entries"][key] = {{"type", "double"}, {"value", encodeNumber(value)}};
}

void KeyedArchiver::encodeString(const std::string& key, const std::optional<std::string>& value) {
    if (!value) {
        root_["entries"][key] = {{"type", "string"}, {"value", nullptr}};
    } else if (isValidUtf8(*value)) {
        root_["entries"][key] = {{"type", "string"}, {"value", *value}};
    } else {
        // Byte strings that aren't UTF-8 (a Latin-1 password, say) survive as bytes.
        root_["entries"][key] = {
            {"type", "string"},
            {"bytes", base64Encode({reinterpret_cast<const uint8_t*>(value->data()), value->size()})}};
    }
}

void KeyedArchiver::encodeSize(const std::string& key, ArchivedSize value) {
    root_["entries"][key] = {{"type", "size"},
                             {"value", Json::array({encodeNumber(value.width), encodeNumber(value.height)})}};
}

void KeyedArchiver::encodeData(const std::string& key, std::span<const uint8_t> value) {
    root_["entries"][key] = {{"type", "data"}, {"value", base64Encode(value)}};
}

std::vector<uint8_t> KeyedArchiver::archivedData() const {
    // Keys come from code; should one not be UTF-8, it is mangled rather than thrown over.
    const std::string text = root_.dump(-1, ' ', false, Json::error_handler_t::replace);
    return {text.begin(), text.end()};
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::fromData(std::span<const uint8_t> data) {
    if (!withinBounds(data)) {
        return std::nullopt;
    }
    Json root = Json::parse(data.begin(), data.end(), nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) {
        return std::nullopt;
    }
    const auto format = root.find("archiver");
    const auto version = root.find("version");
    const auto entries = root.find("entries");
    if (format == root.end() || *format != kFormat || version == root.end() || !version->is_number_integer() ||
        *version != kVersion || entries == root.end() || !entries->is_object()) {
        return std::nullopt;
    }
    std::string className;
    if (const auto name = root.find("class"); name != root.end() && name->is_string()) {
        className = name->get<std::string>();
    } else if (const auto bytes = root.find("classBytes"); bytes != root.end() && bytes->is_string()) {
        const auto decoded = base64Decode(bytes->get<std::string>());
        if (!decoded) {
            return std::nullopt;
        }
        className.assign(decoded->begin(), decoded->end());
    } else {
        return std::nullopt;
    }
    return KeyedUnarchiver(std::move(className), std::move(*entries));
}

KeyedUnarchiver::KeyedUnarchiver(std::string className, nlohmann::ordered_json entries)
    : className_(std::move(className)), entries_(std::move(entries)) {}

const std::string& KeyedUnarchiver::className() const {
    return className_;
}

const Json* KeyedUnarchiver::entry(const std::string& key, const char* type) const {
    const auto found = entries_.find(key);
    if (found == entries_.end() || !found->is_object()) {
        return nullptr;
    }
    const auto entryType = found->find("type");
    if (entryType == found->end() || *entryType != type) {
        return nullptr;
    }
    return &*found;
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const {
    const auto found = entries_.find(key);
    return found != entries_.end() && found->is_object();
}

int64_t KeyedUnarchiver::decodeInt64(const std::string& key) const {
    const Json* e = entry(key, "int64");
    if (e == nullptr) return 0;
    const auto value = e->find("value");
    if (value == e->end()) return 0;
    if (value->is_number_unsigned()) {
        const auto n = value->get<uint64_t>();
        return n <= uint64_t(std::numeric_limits<int64_t>::max()) ? int64_t(n) : 0;
    }
    return value->is_number_integer() ? value->get<int64_t>() : 0;
}

bool KeyedUnarchiver::decodeBool(const std::string& key) const {
    const Json* e = entry(key, "bool");
    if (e == nullptr) return false;
    const auto value = e->find("value");
    return value != e->end() && value->is_boolean() && value->get<bool>();
}

double KeyedUnarchiver::decodeDouble(const std::string& key) const {
    const Json* e = entry(key, "double");
    if (e == nullptr) return 0;
    const auto value = e->find("value");
    return value == e->end() ? 0 : decodeNumber(*value).value_or(0);
}

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key) const {
    const Json* e = entry(key, "string");
    if (e == nullptr) return std::nullopt;
    if (const auto value = e->find("value"); value != e->end() && value->is_string()) {
        return value->get<std::string>();
    }
    if (const auto bytes = e->find("bytes"); bytes != e->end() && bytes->is_string()) {
        if (auto decoded = base64Decode(bytes->get<std::string>())) {
            return std::string(decoded->begin(), decoded->end());
        }
    }
    return std::nullopt;
}

std::optional<ArchivedSize> KeyedUnarchiver::decodeSize(const std::string& key) const {
    const Json* e = entry(key, "size");
    if (e == nullptr) return std::nullopt;
    const auto value = e->find("value");
    if (value == e->end() || !value->is_array() || value->size() != 2) return std::nullopt;
    const auto width = decodeNumber((*value)[0]);
    const auto height = decodeNumber((*value)[1]);
    if (!width || !height) return std::nullopt;
    return ArchivedSize{*width, *height};
}

std::optional<std::vector<uint8_t>> KeyedUnarchiver::decodeData(const std::string& key) const {
    const Json* e = entry(key, "data");
    if (e == nullptr) return std::nullopt;
    const auto value = e->find("value");
    if (value == e->end() || !value->is_string()) return std::nullopt;
    return base64Decode(value->get<std::string>());
}

}  // namespace platform
