#include "platform/KeyedArchive.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

using platform::KeyedArchiver;
using platform::KeyedUnarchiver;

namespace {
std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

const std::string kHead = R"({"archiver":"kestrune.keyed-archive","version":1,"class":"X","entries":{)";
}  // namespace

TEST(KeyedArchive, EveryTypeSurvivesARoundTrip) {
    const std::string text = "caf\xc3\xa9 \"q\" \\ " + std::string("a\0b", 3) + "\xff";
    KeyedArchiver archiver("KNRecorderSettings");
    archiver.encodeInt64("i", std::numeric_limits<int64_t>::min());
    archiver.encodeString("s", text);
    archiver.encodeSize("z", {1280, 720.5});
    archiver.encodeData("x", std::vector<uint8_t>{0, 1, 250, 255});
    const auto u = KeyedUnarchiver::fromData(archiver.archivedData());
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->className(), "KNRecorderSettings");
    EXPECT_EQ(u->decodeInt64("i"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(u->decodeString("s"), text);
    EXPECT_EQ(u->decodeSize("z"), (platform::ArchivedSize{1280, 720.5}));
    EXPECT_EQ(u->decodeData("x"), (std::vector<uint8_t>{0, 1, 250, 255}));
    EXPECT_EQ(u->decodeInt64("missing"), 0);
    EXPECT_EQ(u->decodeString("i"), std::nullopt);  // a wrong type reads as nothing
}

// A stored archive is small: one far larger, with too many entries or nested too deep is no
// archive, and is refused before it can cost quadratic time or the stack. Broken bytes never throw.
TEST(KeyedArchive, BrokenOrOversizedArchivesAreRefusedWhileRealisticOnesRead) {
    const auto entries = [&](int count) {
        std::string text = kHead;
        for (int i = 0; i < count; ++i) {
            text += (i == 0 ? "\"k" : ",\"k") + std::to_string(i) + R"(":{"type":"int64","value":1})";
        }
        return text + "}}";
    };
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepEntry = kHead + R"("d":{"type":"int64","value":)" + deep + "}}}";
    const std::string huge = kHead + R"("s":{"type":"string","value":")" + std::string(2 << 20, 'a') + "\"}}}";
    const std::string cut = entries(3).substr(0, 90);
    for (const auto& text : {entries(5000), deepEntry, huge, cut, std::string("{}"), std::string(200000, '[')}) {
        EXPECT_FALSE(KeyedUnarchiver::fromData(bytesOf(text)).has_value()) << text.size() << " bytes";
    }
    const auto realistic = KeyedUnarchiver::fromData(bytesOf(entries(1000)));
    ASSERT_TRUE(realistic.has_value());
    EXPECT_EQ(realistic->decodeInt64("k999"), 1);
}

// An entry read as another type than it was written with, or whose value doesn't fit its own type,
// reads as nothing: each entry's value would read as the asked type were its tag not checked.
TEST(KeyedArchive, AnEntryOfAnotherTypeReadsAsNothing) {
    const std::string text = kHead +
                             R"("int":{"type":"int64","value":7},)"
                             R"("dbl":{"type":"double","value":5},)"
                             R"("data":{"type":"data","value":"aGk="},)"
                             R"("str":{"type":"string","value":"aGk="},)"
                             R"("pair":{"type":"int64","value":[3,4]},)"
                             R"("flag":{"type":"int64","value":true},)"
                             R"("badInt":{"type":"int64","value":"7"},)"
                             R"("badBool":{"type":"bool","value":1},)"
                             R"("badStr":{"type":"string","value":5},)"
                             R"("badData":{"type":"data","value":7},)"
                             R"("badSize":{"type":"size","value":[1]},)"
                             R"("badDbl":{"type":"double","value":"7"})" + "}}";
    const auto u = KeyedUnarchiver::fromData(bytesOf(text));
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->decodeInt64("dbl"), 0);
    EXPECT_EQ(u->decodeInt64("badInt"), 0);
    EXPECT_EQ(u->decodeDouble("int"), 0);
    EXPECT_EQ(u->decodeDouble("badDbl"), 0);
    EXPECT_FALSE(u->decodeBool("flag"));
    EXPECT_FALSE(u->decodeBool("badBool"));
    EXPECT_EQ(u->decodeString("data"), std::nullopt);
    EXPECT_EQ(u->decodeString("badStr"), std::nullopt);
    EXPECT_EQ(u->decodeData("str"), std::nullopt);
    EXPECT_EQ(u->decodeData("badData"), std::nullopt);
    EXPECT_EQ(u->decodeSize("pair"), std::nullopt);
    EXPECT_EQ(u->decodeSize("badSize"), std::nullopt);
    EXPECT_TRUE(u->containsValueForKey("badSize"));
    EXPECT_EQ(u->decodeInt64("int"), 7);
}
