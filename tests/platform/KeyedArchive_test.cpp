#include "platform/KeyedArchive.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <string>
#include <vector>

using platform::ArchivedSize;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Every decoder on a key that holds no value of its type reads nil, zero or no.
void expectNothing(const KeyedUnarchiver& u, const std::string& key, char except = 0) {
    SCOPED_TRACE(key);
    if (except != 'i') { EXPECT_EQ(u.decodeInt64(key), 0); }
    if (except != 'b') { EXPECT_FALSE(u.decodeBool(key)); }
    if (except != 'd') { EXPECT_EQ(u.decodeDouble(key), 0.0); }
    if (except != 's') { EXPECT_EQ(u.decodeString(key), std::nullopt); }
    if (except != 'z') { EXPECT_EQ(u.decodeSize(key), std::nullopt); }
    if (except != 'x') { EXPECT_EQ(u.decodeData(key), std::nullopt); }
}

}  // namespace

TEST(KeyedArchive, EveryTypeSurvivesARoundTripAndReadsAsNothingUnderAnother) {
    using L = std::numeric_limits<double>;
    const std::vector<int64_t> ints = {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(), -1};
    const std::vector<double> doubles = {2.5, 0.1, -0.0, L::denorm_min(), L::max(), L::infinity(), -L::infinity(),
                                         L::quiet_NaN()};
    const std::vector<std::optional<std::string>> strings = {
        "7", "", std::nullopt, "caf\xc3\xa9 \xf0\x9f\x8e\xa5 \"quoted\" \\ /", std::string("a\0b", 3), "pa\xe9ss\xff"};
    const std::vector<ArchivedSize> sizes = {{1000, 500.25}, {L::infinity(), -0.5}};
    std::vector<std::vector<uint8_t>> data(5);  // all 256 bytes, then every length of the last group
    for (int i = 0; i < 256; ++i) data[0].push_back(static_cast<uint8_t>(i));
    for (size_t n = 1; n < 5; ++n) data[n].assign(data[0].begin(), data[0].begin() + static_cast<long>(n - 1));

    KeyedArchiver archiver("KNRecorderSettings");
    archiver.encodeString("rewritten", std::string("first"));
    archiver.encodeInt64("rewritten", 5);
    archiver.encodeBool("b0", true);
    archiver.encodeBool("b1", false);
    auto key = [](char type, size_t i) { return type + std::to_string(i); };
    for (size_t i = 0; i < ints.size(); ++i) archiver.encodeInt64(key('i', i), ints[i]);
    for (size_t i = 0; i < doubles.size(); ++i) archiver.encodeDouble(key('d', i), doubles[i]);
    for (size_t i = 0; i < strings.size(); ++i) archiver.encodeString(key('s', i), strings[i]);
    for (size_t i = 0; i < sizes.size(); ++i) archiver.encodeSize(key('z', i), sizes[i]);
    for (size_t i = 0; i < data.size(); ++i) archiver.encodeData(key('x', i), data[i]);

    const auto u = KeyedUnarchiver::fromData(archiver.archivedData());
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->className(), "KNRecorderSettings");
    EXPECT_EQ(u->decodeInt64("rewritten"), 5);
    EXPECT_EQ(u->decodeString("rewritten"), std::nullopt);
    EXPECT_TRUE(u->decodeBool("b0"));
    EXPECT_FALSE(u->decodeBool("b1"));
    for (size_t i = 0; i < ints.size(); ++i) EXPECT_EQ(u->decodeInt64(key('i', i)), ints[i]);
    for (size_t i = 0; i < doubles.size(); ++i) {  // bit for bit: the sign of zero, the NaN
        EXPECT_EQ(std::bit_cast<uint64_t>(u->decodeDouble(key('d', i))), std::bit_cast<uint64_t>(doubles[i])) << i;
    }
    for (size_t i = 0; i < strings.size(); ++i) EXPECT_EQ(u->decodeString(key('s', i)), strings[i]) << i;
    EXPECT_TRUE(u->containsValueForKey("s2"));  // a nil string is still a value
    for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(u->decodeSize(key('z', i)), sizes[i]);
    for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(u->decodeData(key('x', i)), data[i]) << i;

    for (const std::string k : {"i0", "b0", "d0", "s0", "z0", "x0"}) expectNothing(*u, k, k[0]);
    expectNothing(*u, "missing");
    EXPECT_FALSE(u->containsValueForKey("missing"));
}

TEST(KeyedArchive, DamagedEntriesReadAsNothingAndForeignOrBrokenBytesAsNoArchive) {
    // Entries of a well-formed archive altered by hand or by another writer.
    const std::vector<std::pair<std::string, std::string>> damaged = {
        {"quotedInt", R"({"type":"int64","value":"12"})"},
        {"tooBig", R"({"type":"int64","value":18446744073709551615})"},
        {"fraction", R"({"type":"int64","value":1.5})"},
        {"boolAsNumber", R"({"type":"bool","value":1})"},
        {"doubleAsText", R"({"type":"double","value":"2.5"})"},
        {"stringAsNumber", R"({"type":"string","value":3})"},
        {"badBase64", R"({"type":"data","value":"AB=C"})"},
        {"sloppyPadding", R"({"type":"data","value":"AB=="})"},
        {"badBytes", R"({"type":"string","bytes":"***"})"},
        {"threeSides", R"({"type":"size","value":[1,2,3]})"},
        {"textSide", R"({"type":"size","value":[1,"2"]})"},
        {"noValue", R"({"type":"int64"})"},
        {"noType", R"({"value":5})"},
        {"notAnObject", "5"},
    };
    const std::string header = R"({"archiver":"kestrune.keyed-archive",)";
    std::string text = header + R"("version":1,"class":"X","entries":{)";
    for (const auto& [key, entry] : damaged) text += (text.back() == '{' ? "\"" : ",\"") + key + "\":" + entry;
    const auto u = KeyedUnarchiver::fromData(bytesOf(text + "}}"));
    ASSERT_TRUE(u.has_value());
    for (const auto& entry : damaged) expectNothing(*u, entry.first);
    EXPECT_FALSE(u->containsValueForKey("notAnObject"));

    const std::vector<std::string> foreign = {
        "", "null", "[]", "42", "\"text\"", "{}", header + "}", header + R"("version":2,"class":"X","entries":{}})",
        header + R"("version":"1","class":"X","entries":{}})", header + R"("version":1,"class":"X","entries":[]})",
        header + R"("version":1,"entries":{}})", R"({"archiver":"other","version":1,"class":"X","entries":{}})",
        std::string("\xff\xfe\x00\x01garbage", 11), std::string(200000, '[')};
    for (const auto& text : foreign) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(bytesOf(text)).has_value()) << text.substr(0, 60);
    }
    KeyedArchiver archiver("KNStreamInfo");
    archiver.encodeString("serverAddress", std::string("host:1935"));
    archiver.encodeBool("useSecureConnection", true);
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
            for (const char* key : {"serverAddress", "useSecureConnection", "blob", "videoFrameSize"}) {
                (void)read->decodeString(key), (void)read->decodeBool(key), (void)read->decodeData(key);
                (void)read->decodeSize(key), (void)read->decodeInt64(key);
            }
        }
    }
}
