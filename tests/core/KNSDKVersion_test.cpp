// Reading the version text: three integer parts at most, never an exception on odd text.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "kestrune/KNSDKVersion.h"

namespace {

std::string shortOf(const char* text) { return KNSDKVersion::versionWithShortVersionBuild(text, "1")->shortString(); }

TEST(KNSDKVersion, ReadsUpToThreeIntegerParts) {
    EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild("2.1", "57")->longString(), "v.2.1.0 (build 57)");
    EXPECT_EQ(shortOf("1"), "v.1.0.0");
    EXPECT_EQ(shortOf("3.4.5.6"), "v.3.4.5");
    EXPECT_EQ(KNSDKVersion::version()->shortString(), shortOf(KESTRUNE_VERSION));
}

TEST(KNSDKVersion, OddOrMissingTextReadsAsIntegersWithoutThrowing) {
    EXPECT_EQ(shortOf(""), "v.0.0.0");
    EXPECT_EQ(shortOf("abc"), "v.0.0.0");
    EXPECT_EQ(shortOf("1.x.3"), "v.1.0.3");
    EXPECT_EQ(shortOf(" 7..9"), "v.7.0.9");
    EXPECT_EQ(shortOf("-2.+3.4rc1"), "v.-2.3.4");
    EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild("99999999999999999999", "1")->major(),
              std::numeric_limits<int64_t>::max());
    EXPECT_EQ(KNSDKVersion::versionWithShortVersionBuild(std::nullopt, std::nullopt)->longString(),
              "v.0.0.0 (build (null))");
}

}  // namespace
