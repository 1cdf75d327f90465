#pragma once
// Keyed archives of objects that encode themselves field by field (secure coding): a class name and
// typed entries under string keys, stored as JSON text. Reading is forgiving: a missing key or an
// entry of another type reads as nil, 0 or false, and bytes that are not an archive give no
// unarchiver at all. Nothing here throws.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

// A two-number value (a width and a height).
struct ArchivedSize {
    double width = 0;
    double height = 0;
    bool operator==(const ArchivedSize&) const = default;
};

class KeyedArchiver {
public:
    // `className` names the root object's class; the unarchiver hands it back.
    explicit KeyedArchiver(std::string className);

    // Writing a key again replaces its entry; entries keep the order of their first write.
    void encodeInt64(const std::string& key, int64_t value);
    void encodeBool(const std::string& key, bool value);
    void encodeDouble(const std::string& key, double value);
    // A nil string is stored as nil and reads back as nil.
    void encodeString(const std::string& key, const std::optional<std::string>& value);
    void encodeSize(const std::string& key, ArchivedSize value);
    void encodeData(const std::string& key, std::span<const uint8_t> value);

    std::vector<uint8_t> archivedData() const;

private:
    nlohmann::ordered_json root_;
};

class KeyedUnarchiver {
public:
    // Null when `data` is not an archive written by KeyedArchiver.
    static std::optional<KeyedUnarchiver> fromData(std::span<const uint8_t> data);

    const std::string& className() const;
    // True for a key written with any type, nil strings included.
    bool containsValueForKey(const std::string& key) const;

    int64_t decodeInt64(const std::string& key) const;
    bool decodeBool(const std::string& key) const;
    double decodeDouble(const std::string& key) const;
    std::optional<std::string> decodeString(const std::string& key) const;
    std::optional<ArchivedSize> decodeSize(const std::string& key) const;
    std::optional<std::vector<uint8_t>> decodeData(const std::string& key) const;

private:
    KeyedUnarchiver(std::string className, nlohmann::ordered_json entries);
    const nlohmann::ordered_json* entry(const std::string& key, const char* type) const;

    std::string className_;
    nlohmann::ordered_json entries_;
};

}  // namespace platform
