#include "platform/KeyedArchive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using platform::ArchivedSize;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

namespace {

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

KeyedUnarchiver reopen(const KeyedArchiver& archiver) {
    auto unarchiver = KeyedUnarchiver::fromData(archiver.archivedData());
    EXPECT_TRUE(unarchiver.has_value());
    return *unarchiver;
}

}  // namespace

TEST(KeyedArchive, EveryTypeSurvivesARoundTripIncludingItsExtremes) {
    KeyedArchiver archiver("KNRecorderSettings");
    archiver.encodeInt64("max", std::numeric_limits<int64_t>::max());
    archiver.encodeInt64("min", std::numeric_limits<int64_t>::min());
    archiver.encodeInt64("negative", -1);
    archiver.encodeBool("yes", true);
    archiver.encodeBool("no", false);
    archiver.encodeDouble("tenth", 0.1);
    archiver.encodeDouble("negativeZero", -0.0);
    archiver.encodeDouble("tiny", std::numeric_limits<double>::denorm_min());
    archiver.encodeDouble("huge", std::numeric_limits<double>::max());
    archiver.encodeDouble("nan", std::numeric_limits<double>::quiet_NaN());
    archiver.encodeDouble("inf", std::numeric_limits<double>::infinity());
    archiver.encodeDouble("minusInf", -std::numeric_limits<double>::infinity());
    archiver.encodeString("empty", std::string());
    archiver.encodeString("nil", std::nullopt);
    archiver.encodeString("unicode", std::string("caf\xc3\xa9 \xf0\x9f\x8e\xa5 \"quoted\" \\ /"));
    archiver.encodeString("embeddedNul", std::string("a\0b", 3));
    archiver.encodeString("latin1", std::string("pa\xe9ss\xff"));
    archiver.encodeSize("size", {1000, 500.25});
    archiver.encodeSize("oddSize", {std::numeric_limits<double>::infinity(), -0.5});
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    archiver.encodeData("all", all);
    // Every length of the last encoded group.
    for (size_t length = 0; length < 4; ++length) {
        archiver.encodeData("pad" + std::to_string(length), std::vector<uint8_t>(all.begin(), all.begin() + length));
    }

    const auto u = reopen(archiver);
    EXPECT_EQ(u.className(), "KNRecorderSettings");
    EXPECT_EQ(u.decodeInt64("max"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(u.decodeInt64("min"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(u.decodeInt64("negative"), -1);
    EXPECT_TRUE(u.decodeBool("yes"));
    EXPECT_FALSE(u.decodeBool("no"));
    EXPECT_EQ(u.decodeDouble("tenth"), 0.1);
    EXPECT_EQ(u.decodeDouble("negativeZero"), 0.0);
    EXPECT_TRUE(std::signbit(u.decodeDouble("negativeZero")));
    EXPECT_EQ(u.decodeDouble("tiny"), std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(u.decodeDouble("huge"), std::numeric_limits<double>::max());
    EXPECT_TRUE(std::isnan(u.decodeDouble("nan")));
    EXPECT_EQ(u.decodeDouble("inf"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(u.decodeDouble("minusInf"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(u.decodeString("empty"), std::string());
    EXPECT_EQ(u.decodeString("nil"), std::nullopt);
    EXPECT_TRUE(u.containsValueForKey("nil"));
    EXPECT_EQ(u.decodeString("unicode"), std::string("caf\xc3\xa9 \xf0\x9f\x8e\xa5 \"quoted\" \\ /"));
    EXPECT_EQ(u.decodeString("embeddedNul"), std::string("a\0b", 3));
    EXPECT_EQ(u.decodeString("latin1"), std::string("pa\xe9ss\xff"));
    EXPECT_EQ(u.decodeSize("size"), (ArchivedSize{1000, 500.25}));
    EXPECT_EQ(u.decodeSize("oddSize"), (ArchivedSize{std::numeric_limits<double>::infinity(), -0.5}));
    EXPECT_EQ(u.decodeData("all"), all);
    for (size_t length = 0; length < 4; ++length) {
        EXPECT_EQ(u.decodeData("pad" + std::to_string(length)), std::vector<uint8_t>(all.begin(), all.begin() + length));
    }
}

TEST(KeyedArchive, RewritingAKeyKeepsTheLastValue) {
    KeyedArchiver archiver("KNStreamInfo");
    archiver.encodeString("serverAddress", std::string("first"));
    archiver.encodeInt64("serverAddress", 5);
    const auto u = reopen(archiver);
    EXPECT_EQ(u.decodeInt64("serverAddress"), 5);
    EXPECT_EQ(u.decodeString("serverAddress"), std::nullopt);
}

TEST(KeyedArchive, MissingKeysAndWrongTypesReadAsNilZeroOrNo) {
    KeyedArchiver archiver("KNRecorderSettings");
    archiver.encodeInt64("int", 7);
    archiver.encodeBool("bool", true);
    archiver.encodeDouble("double", 2.5);
    archiver.encodeString("string", std::string("7"));
    archiver.encodeSize("size", {3, 4});
    archiver.encodeData("data", std::vector<uint8_t>{1});
    const auto u = reopen(archiver);

    for (const std::string key : {"int", "bool", "double", "string", "size", "data", "missing"}) {
        SCOPED_TRACE(key);
        if (key != "int") { EXPECT_EQ(u.decodeInt64(key), 0); }
        if (key != "bool") { EXPECT_FALSE(u.decodeBool(key)); }
        if (key != "double") { EXPECT_EQ(u.decodeDouble(key), 0.0); }
        if (key != "string") { EXPECT_EQ(u.decodeString(key), std::nullopt); }
        if (key != "size") { EXPECT_EQ(u.decodeSize(key), std::nullopt); }
        if (key != "data") { EXPECT_EQ(u.decodeData(key), std::nullopt); }
        EXPECT_EQ(u.containsValueForKey(key), key != "missing");
    }
}

TEST(KeyedArchive, DamagedEntriesReadAsNilZeroOrNo) {
    // Well-formed archives whose entries were altered by hand or by another writer.
    const std::string text = R"({"archiver":"kestrune.keyed-archive","version":1,"class":"X","entries":{
        "quotedInt":{"type":"int64","value":"12"},
        "tooBig":{"type":"int64","value":18446744073709551615},
        "fraction":{"type":"int64","value":1.5},
        "boolAsNumber":{"type":"bool","value":1},
        "doubleAsText":{"type":"double","value":"2.5"},
        "stringAsNumber":{"type":"string","value":3},
        "badBase64":{"type":"data","value":"AB=C"},
        "sloppyPadding":{"type":"data","value":"AB=="},
        "badBytes":{"type":"string","bytes":"***"},
        "threeSides":{"type":"size","value":[1,2,3]},
        "textSide":{"type":"size","value":[1,"2"]},
        "noValue":{"type":"int64"},
        "noType":{"value":5},
        "notAnObject":5}})";
    const auto u = KeyedUnarchiver::fromData(bytesOf(text));
    ASSERT_TRUE(u.has_value());
    for (const char* key : {"quotedInt", "tooBig", "fraction", "boolAsNumber", "doubleAsText", "stringAsNumber",
                            "badBase64", "sloppyPadding", "badBytes", "threeSides", "textSide", "noValue", "noType",
                            "notAnObject"}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(u->decodeInt64(key), 0);
        EXPECT_FALSE(u->decodeBool(key));
        EXPECT_EQ(u->decodeDouble(key), 0.0);
        EXPECT_EQ(u->decodeString(key), std::nullopt);
        EXPECT_EQ(u->decodeData(key), std::nullopt);
        EXPECT_EQ(u->decodeSize(key), std::nullopt);
    }
    EXPECT_FALSE(u->containsValueForKey("notAnObject"));
}

TEST(KeyedArchive, BytesThatAreNotAnArchiveGiveNoUnarchiver) {
    const std::vector<std::string> foreign = {
        "",
        "null",
        "[]",
        "42",
        "\"text\"",
        "{}",
        "{\"archiver\":\"kestrune.keyed-archive\"}",
        R"({"archiver":"kestrune.keyed-archive","version":2,"class":"X","entries":{}})",
        R"({"archiver":"kestrune.keyed-archive","version":"1","class":"X","entries":{}})",
        R"({"archiver":"kestrune.keyed-archive","version":1,"class":"X","entries":[]})",
        R"({"archiver":"kestrune.keyed-archive","version":1,"entries":{}})",
        R"({"archiver":"other","version":1,"class":"X","entries":{}})",
        std::string("\xff\xfe\x00\x01garbage", 11),
        std::string(200000, '['),
    };
    for (const auto& text : foreign) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(bytesOf(text)).has_value()) << text.substr(0, 60);
    }
}

TEST(KeyedArchive, TruncatedOrCorruptedArchivesNeverCrash) {
    KeyedArchiver archiver("KNStreamInfo");
    archiver.encodeString("serverAddress", std::string("host:1935"));
    archiver.encodeBool("useSecureConnection", true);
    archiver.encodeData("blob", std::vector<uint8_t>{0, 1, 2, 250});
    archiver.encodeSize("videoFrameSize", {1280, 720});
    const auto good = archiver.archivedData();

    auto readEverything = [](const std::vector<uint8_t>& bytes) {
        if (auto u = KeyedUnarchiver::fromData(bytes)) {
            (void)u->decodeString("serverAddress");
            (void)u->decodeBool("useSecureConnection");
            (void)u->decodeData("blob");
            (void)u->decodeSize("videoFrameSize");
            (void)u->decodeInt64("serverAddress");
        }
    };
    for (size_t length = 0; length < good.size(); ++length) {
        const std::vector<uint8_t> prefix(good.begin(), good.begin() + static_cast<long>(length));
        EXPECT_FALSE(KeyedUnarchiver::fromData(prefix).has_value()) << "prefix " << length;
    }
    std::mt19937 random(11);
    for (size_t i = 0; i < good.size(); ++i) {
        auto damaged = good;
        damaged[i] = static_cast<uint8_t>(random());
        readEverything(damaged);
    }
}
