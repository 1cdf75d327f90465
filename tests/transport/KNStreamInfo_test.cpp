#include "kestrune/KNStreamInfo.h"

#include <gtest/gtest.h>


namespace {

TEST(KNStreamInfoURL, BuiltFromPiecesWithTrimmedServerAndUntrimmedNames) {
    EXPECT_EQ(KNStreamInfo::streamInfo()->streamURLString(), "rtmp://TBD/TBD/TBD");
    EXPECT_EQ(KNStreamInfo::secureStreamInfo()->streamURLString(), "rtmps://TBD/TBD/TBD");
    EXPECT_NE(KNStreamInfo::streamInfo(), KNStreamInfo::streamInfo());

    auto info = KNStreamInfo::create();
    info->setServerAddress(" //media.example:1935/edge// ");
    info->setApplicationName(" live/");
    info->setStreamName("/key ");
    EXPECT_EQ(info->streamURLString(), "rtmp://media.example:1935/edge/ live///key ");

    info->setServerAddress(std::nullopt);
    info->setApplicationName(std::nullopt);
    EXPECT_EQ(info->streamURLString(), "rtmp://(null)/(null)//key ");
}

TEST(KNStreamInfoURL, CredentialsOnlyWhenBothAreSet) {
    auto info = KNStreamInfo::create();
    info->setServerAddress("h");
    info->setApplicationName("a");
    info->setStreamName("s");
    info->setUsername("user");
    EXPECT_EQ(info->streamURLString(), "rtmp://h/a/s");
    info->setPassword("");
    EXPECT_EQ(info->streamURLString(), "rtmp://h/a/s");
    info->setUsername(std::nullopt);
    info->setPassword("pw");
    EXPECT_EQ(info->streamURLString(), "rtmp://h/a/s");
    info->setUsername("user");
    EXPECT_EQ(info->streamURLString(), "rtmp://user:pw@h/a/s");
}

TEST(KNStreamInfoCustomURL, SchemeCompletedOnceWithTheFlagOfTheFirstRead) {
    auto info = KNStreamInfo::create();
    info->setUseSecureConnection(true);
    info->setCustomStreamURLString("example.org/live/key");
    EXPECT_TRUE(info->usesCustomURL());
    info->setUseSecureConnection(false);
    EXPECT_EQ(info->customStreamURLString(), "rtmps://example.org/live/key");

    // The test for a scheme is a case-sensitive substring test.
    info->setCustomStreamURLString("RTMP://h/a/s");
    EXPECT_EQ(info->customStreamURLString(), "rtmp://RTMP://h/a/s");
    info->setCustomStreamURLString("x rtmps://y");
    EXPECT_EQ(info->customStreamURLString(), "x rtmps://y");

    info->setCustomStreamURLString("");
    EXPECT_FALSE(info->usesCustomURL());
    EXPECT_EQ(info->customStreamURLString(), "");
    info->setCustomStreamURLString(std::nullopt);
    EXPECT_FALSE(info->usesCustomURL());
    EXPECT_FALSE(info->customStreamURL());
}

TEST(KNStreamInfoCustomURL, PlatformURLsRejectWhatIsNoURL) {
    auto info = KNStreamInfo::create();
    info->setStreamName("key with space");
    EXPECT_FALSE(info->streamURL());
    info->setStreamName("key");
    ASSERT_TRUE(info->streamURL());
    EXPECT_EQ(info->streamURL()->absoluteString(), "rtmp://TBD/TBD/key");
    info->setCustomStreamURLString("h/a/s");
    ASSERT_TRUE(info->customStreamURL());
    EXPECT_EQ(info->customStreamURL()->absoluteString(), "rtmp://h/a/s");
}

TEST(KNStreamInfoEquality, SameResultingURLMeansSameDestination) {
    auto pieces = KNStreamInfo::create();
    pieces->setServerAddress("h:1935/");
    pieces->setApplicationName("live");
    pieces->setStreamName("k");
    auto custom = KNStreamInfo::create();
    custom->setCustomStreamURLString("h:1935/live/k");
    EXPECT_TRUE(pieces->isEqual(custom));
    EXPECT_TRUE(custom->isEqual(pieces));
    EXPECT_TRUE(custom->isEqual(custom));
    EXPECT_FALSE(custom->isEqual(nullptr));

    // The flag, user and password count only through the URL they build.
    auto secure = KNStreamInfo::secureStreamInfo();
    secure->setCustomStreamURLString("rtmp://h:1935/live/k");
    secure->setUsername("u");
    secure->setPassword("p");
    EXPECT_TRUE(secure->isEqual(pieces));
    pieces->setUsername("u");
    pieces->setPassword("p");
    EXPECT_FALSE(secure->isEqual(pieces));
}

TEST(KNStreamInfoArchive, SixKeysRoundTripAndTheCustomURLStaysBehind) {
    auto info = KNStreamInfo::secureStreamInfo();
    info->setServerAddress("srv:443");
    info->setApplicationName("app");
    info->setStreamName("name");
    info->setUsername("u");
    info->setPassword("p w");
    info->setCustomStreamURLString("rtmp://custom/a/b");
    platform::KeyedArchiver archiver("KNStreamInfo");
    info->encodeWithCoder(archiver);

    auto unarchiver = platform::KeyedUnarchiver::fromData(archiver.archivedData());
    ASSERT_TRUE(unarchiver);
    auto copy = KNStreamInfo::createWithCoder(*unarchiver);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->useSecureConnection());
    EXPECT_EQ(copy->serverAddress(), "srv:443");
    EXPECT_EQ(copy->applicationName(), "app");
    EXPECT_EQ(copy->streamName(), "name");
    EXPECT_EQ(copy->username(), "u");
    EXPECT_EQ(copy->password(), "p w");
    EXPECT_EQ(copy->customStreamURLString(), std::nullopt);
    EXPECT_EQ(copy->streamURLString(), "rtmps://u:p w@srv:443/app/name");
}

TEST(KNStreamInfoArchive, MissingKeysDecodeAsNilWithoutDefaults) {
    platform::KeyedArchiver archiver("KNStreamInfo");
    archiver.encodeString("streamName", "only");
    auto unarchiver = platform::KeyedUnarchiver::fromData(archiver.archivedData());
    ASSERT_TRUE(unarchiver);
    auto copy = KNStreamInfo::createWithCoder(*unarchiver);
    ASSERT_TRUE(copy);
    EXPECT_FALSE(copy->useSecureConnection());
    EXPECT_EQ(copy->serverAddress(), std::nullopt);
    EXPECT_EQ(copy->username(), std::nullopt);
    EXPECT_EQ(copy->streamURLString(), "rtmp://(null)/(null)/only");

    platform::KeyedArchiver other("KNRecorderSettings");
    auto foreign = platform::KeyedUnarchiver::fromData(other.archivedData());
    ASSERT_TRUE(foreign);
    EXPECT_EQ(KNStreamInfo::createWithCoder(*foreign), nullptr);
}

}  // namespace
