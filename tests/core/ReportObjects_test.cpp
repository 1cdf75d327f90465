// The three report kinds: factories, codes texts, descriptions and the code tables.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/KNReportCodeTables.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNWarning.h"

namespace {

// One face over the three kinds, so each behaviour is checked once for all of them.
struct ErrorKind {
    using Report = KNError;
    static constexpr const char* generic = "GenericError";
    static auto make(std::vector<int64_t> codes, std::optional<std::string> message) {
        return KNError::errorWithCodesMessage(std::move(codes), std::move(message));
    }
    static const std::vector<int64_t>& codes(const KNError& r) { return r.errorCodes(); }
    static void setCodes(KNError& r, std::vector<int64_t> codes) { r.setErrorCodes(std::move(codes)); }
    static const std::string& text(const KNError& r) { return r.errors(); }
    static bool contains(const KNError& r, int64_t code) { return r.containsErrorCode(code); }
    static std::string currentText(const KNError& r) { return r.errorCodesString(); }
    static std::string name(int64_t code) { return KNErrorCodeAsString(code); }
};

struct WarningKind {
    using Report = KNWarning;
    static constexpr const char* generic = "GenericWarning";
    static auto make(std::vector<int64_t> codes, std::optional<std::string> message) {
        return KNWarning::warningWithCodesMessage(std::move(codes), std::move(message));
    }
    static const std::vector<int64_t>& codes(const KNWarning& r) { return r.warningCodes(); }
    static void setCodes(KNWarning& r, std::vector<int64_t> codes) { r.setWarningCodes(std::move(codes)); }
    static const std::string& text(const KNWarning& r) { return r.warnings(); }
    static bool contains(const KNWarning& r, int64_t code) { return r.containsWarningCode(code); }
    static std::string currentText(const KNWarning& r) { return r.warningCodesString(); }
    static std::string name(int64_t code) { return KNWarningCodeAsString(code); }
};

struct InfoKind {
    using Report = KNInfo;
    static constexpr const char* generic = "GenericInfo";
    static auto make(std::vector<int64_t> codes, std::optional<std::string> message) {
        return KNInfo::infoWithCodesMessage(std::move(codes), std::move(message));
    }
    static const std::vector<int64_t>& codes(const KNInfo& r) { return r.infoCodes(); }
    static void setCodes(KNInfo& r, std::vector<int64_t> codes) { r.setInfoCodes(std::move(codes)); }
    static const std::string& text(const KNInfo& r) { return r.infos(); }
    static bool contains(const KNInfo& r, int64_t code) { return r.containsInfoCode(code); }
    static std::string currentText(const KNInfo& r) { return r.infoCodesString(); }
    static std::string name(int64_t code) { return KNInfoCodeAsString(code); }
};

template <class Kind>
class ReportKinds : public ::testing::Test {};
using Kinds = ::testing::Types<ErrorKind, WarningKind, InfoKind>;
TYPED_TEST_SUITE(ReportKinds, Kinds);

TYPED_TEST(ReportKinds, EmptyCodesBecomeTheGenericCode) {
    using K = TypeParam;
    auto report = K::make({}, std::nullopt);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(K::codes(*report), std::vector<int64_t>{0});
    EXPECT_EQ(K::text(*report), std::string("[") + K::generic + "]");
    EXPECT_FALSE(report->message().has_value());
    // A missing message prints as the host's formatting prints nil.
    EXPECT_EQ(report->description(), std::string("(null) -> [") + K::generic + "]");
}

TYPED_TEST(ReportKinds, CodesTextListsEveryCodeInOrderAndClosesOnce) {
    using K = TypeParam;
    const std::string g = K::generic;
    EXPECT_EQ(K::text(*K::make({-1}, "m")), "[Unknown]");
    EXPECT_EQ(K::text(*K::make({0, -1, 0}, "m")), "[" + g + ", Unknown, " + g + "]");
    // Codes outside the table read as the generic name.
    EXPECT_EQ(K::text(*K::make({987654321, INT64_MIN}, "m")), "[" + g + ", " + g + "]");
}

TYPED_TEST(ReportKinds, StoredTextStaysWhenCodesAreReplaced) {
    using K = TypeParam;
    auto report = K::make({-1, -1}, "m");
    EXPECT_TRUE(K::contains(*report, -1));
    EXPECT_FALSE(K::contains(*report, 0));

    K::setCodes(*report, {0});
    EXPECT_TRUE(K::contains(*report, 0));
    EXPECT_FALSE(K::contains(*report, -1));
    EXPECT_EQ(K::text(*report), "[Unknown, Unknown]");
    EXPECT_EQ(report->description(), "m -> [Unknown, Unknown]");
    EXPECT_EQ(K::currentText(*report), std::string("[") + K::generic + "]");
}

TEST(ReportObjects, ErrorTextsAndDescriptions) {
    auto offline = KNError::errorWithCodesMessage({11004}, "There is no internet connection");
    EXPECT_EQ(offline->description(), "There is no internet connection -> [NoInternetConnection]");

    // An empty message is a message, not a missing one.
    EXPECT_EQ(KNError::errorWithCodesMessage({0}, "")->description(), " -> [GenericError]");

    // Codes the system raises without a name of their own.
    for (int64_t code : {30000, 30003, 40004, 50002, 101001, 110006}) {
        EXPECT_EQ(KNErrorCodeAsString(code), "GenericError") << code;
    }
    EXPECT_EQ(KNWarningCodeAsString(3001), "GenericWarning");
}

// The tables typed out as the system documents them; any entry added, lost or renamed fails here.
TEST(ReportObjects, CodeTablesHoldExactlyTheDocumentedNames) {
    const std::map<int64_t, std::string> errors{
        {-1, "Unknown"},
        {0, "GenericError"},
        {1001, "NeedsAccessToMicrophone"},
        {1002, "NeedsAccessToCamera"},
        {2001, "CameraNotPresent"},
        {2002, "CameraUnavailable"},
        {3001, "TorchModeNotSupported"},
        {3002, "TorchModeNotAvailable"},
        {3003, "TorchLevelNotAvailable"},
        {4001, "KeyFrameIntervalLocked"},
        {5001, "BitrateCannotChange"},
        {5002, "AudioSampleRateIsLocked"},
        {6001, "ResolutionIsLocked"},
        {6002, "ResolutionNotSupported"},
        {10001, "CaptureSessionError"},
        {11001, "StreamingError"},
        {11002, "StreamerNotReady"},
        {11003, "LostServerConnection"},
        {11004, "NoInternetConnection"},
        {11005, "StreamingAlreadyRunning"},
        {60001, "AudioEncodingFailure"},
        {70001, "VideoEncodingFailure"},
        {80001, "RTMPConnectionFailure"},
        {90001, "LocalSaveFailure"},
        {100001, "PostToPhotosFailure"},
    };
    const std::map<int64_t, std::string> warnings{{-1, "Unknown"}, {0, "GenericWarning"}};
    const std::map<int64_t, std::string> infos{
        {-1, "Unknown"},
        {0, "GenericInfo"},
        {1001, "CaptureSessionDidStartRunning"},
        {1002, "CaptureSessionDidStopRunning"},
        {1003, "StreamerIsReady"},
    };

    EXPECT_EQ(KNErrorCodeTable().names, errors);
    EXPECT_EQ(KNWarningCodeTable().names, warnings);
    EXPECT_EQ(KNInfoCodeTable().names, infos);

    // The exported functions read the same tables.
    for (const auto& [code, name] : errors) EXPECT_EQ(KNErrorCodeAsString(code), name);
    for (const auto& [code, name] : warnings) EXPECT_EQ(KNWarningCodeAsString(code), name);
    for (const auto& [code, name] : infos) EXPECT_EQ(KNInfoCodeAsString(code), name);
}

}  // namespace
