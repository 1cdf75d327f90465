#include "platform/KeyedArchive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

namespace {
std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

void expectNothing(const KeyedUnarchiver& u, const std::string& key) {
    EXPECT_EQ(u.decodeInt64(key), 0) << key;
    EXPECT_FALSE(u.decodeBool(key)) << key;
    EXPECT_EQ(u.decodeDouble(key), 0.0) << key;
    EXPECT_EQ(u.decodeString(key), std::nullopt) << key;
    EXPECT_EQ(u.decodeSize(key), std::nullopt) << key;
    EXPECT_EQ(u.decodeData(key), std::nullopt) << key;
}
}  // namespace

TEST(KeyedArchive, EveryTypeSurvivesARoundTrip) {
    using L = std::numeric_limits<double>;
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[size_t(i)] = static_cast<uint8_t>(i);
    const std::string text = "caf\xc3\xa9 \"q\" \\ " + std::string("a\0b", 3) + "\xff";
    KeyedArchiver archiver("KNRecorderSettings");
    archiver.encodeInt64("i", std::numeric_limits<int64_t>::min());
    archiver.encodeBool("b", true);
    archiver.encodeDouble("d", -0.0);
    archiver.encodeDouble("nan", L::quiet_NaN());
    archiver.encodeString("s", text);
    archiver.encodeSize("z", {1280, 720.5});
    archiver.encodeData("x", bytes);
    archiver.encodeData("x2", std::vector<uint8_t>{250, 1});
    const auto u = KeyedUnarchiver::fromData(archiver.archivedData());
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->className(), "KNRecorderSettings");
    EXPECT_EQ(u->decodeInt64("i"), std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(u->decodeBool("b"));
    EXPECT_TRUE(std::signbit(u->decodeDouble("d")));
    EXPECT_TRUE(std::isnan(u->decodeDouble("nan")));
    EXPECT_EQ(u->decodeString("s"), text);
    EXPECT_EQ(u->decodeSize("z"), (platform::ArchivedSize{1280, 720.5}));
    EXPECT_EQ(u->decodeData("x"), bytes);
    EXPECT_EQ(u->decodeData("x2"), (std::vector<uint8_t>{250, 1}));
    expectNothing(*u, "missing");
}

TEST(KeyedArchive, DamagedEntriesReadAsNothingAndBrokenBytesAsNoArchive) {
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"quotedInt", R"({"type":"int64","value":"12"})"},
        {"tooBig", R"({"type":"int64","value":18446744073709551615})"},
        {"fraction", R"({"type":"int64","value":1.5})"},
        {"stringAsNumber", R"({"type":"string","value":3})"},
        {"badBase64", R"({"type":"data","value":"AB=C"})"},
        {"sloppyPadding", R"({"type":"data","value":"AB=="})"},
        {"threeSides", R"({"type":"size","value":[1,2,3]})"},
        {"noType", R"({"value":5})"},
        {"notAnObject", "5"},
    };
    const std::string header = R"({"archiver":"kestrune.keyed-archive",)";
    std::string text = header + R"("version":1,"class":"X","entries":{)";
    for (const auto& [key, entry] : damaged) text += (text.back() == '{' ? "\"" : ",\"") + key + "\":" + entry;
    const auto u = KeyedUnarchiver::fromData(bytesOf(text + "}}"));
    ASSERT_TRUE(u.has_value());
    for (const auto& entry : damaged) expectNothing(*u, entry.first);

    for (const auto& text : {std::string(), std::string("{}"), header + R"("version":2,"class":"X","entries":{}})",
                             std::string("\xff\xfe\x00\x01", 4), std::string(200000, '[')}) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(bytesOf(text)).has_value()) << text.substr(0, 60);
    }
    KeyedArchiver archiver("KNStreamInfo");
    archiver.encodeString("serverAddress", std::string("host:1935"));
    archiver.encodeData("blob", std::vector<uint8_t>{0, 1, 2, 250});
    archiver.encodeSize("videoFrameSize", {1280, 720});
    const auto good = archiver.archivedData();
    for (size_t length = 0; length < good.size(); ++length) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(std::span(good).first(length)).has_value()) << "prefix " << length;
    }
    // A corrupted byte either spoils the archive or leaves entries that still read without harm.
    std::mt19937 random(11);
    for (size_t i = 0; i < good.size(); ++i) {
        auto corrupted = good;
        corrupted[i] = static_cast<uint8_t>(random());
        if (auto read = KeyedUnarchiver::fromData(corrupted)) {
            for (const char* key : {"serverAddress", "blob", "videoFrameSize"}) {
                (void)read->decodeString(key);
                (void)read->decodeData(key);
                (void)read->decodeSize(key);
            }
        }
    }
}

// A stored archive is small: one far larger, with too many entries or nested too deep is no archive,
// and is refused before it can cost quadratic time or the stack.
TEST(KeyedArchive, OversizedArchivesAreRefusedWhileRealisticOnesRead) {
    const std::string head = R"({"archiver":"kestrune.keyed-archive","version":1,"class":"X","entries":{)";
    const auto entries = [&](int count) {
        std::string text = head;
        for (int i = 0; i < count; ++i) {
            text += (i == 0 ? "\"k" : ",\"k") + std::to_string(i) + R"(":{"type":"int64","value":1})";
        }
        return text + "}}";
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepEntry = head + R"("d":{"type":"int64","value":)" + deep + "}}}";
    const std::string huge = head + R"("s":{"type":"string","value":")" + std::string(2 << 20, 'a') + "\"}}}";
    for (const auto& text : {entries(5000), deepEntry, huge}) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(bytesOf(text)).has_value()) << text.size() << " bytes";
    }
    const auto realistic = KeyedUnarchiver::fromData(bytesOf(entries(1000)));
    ASSERT_TRUE(realistic.has_value());
    EXPECT_EQ(realistic->decodeInt64("k999"), 1);
}
