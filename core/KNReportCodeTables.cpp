#include "core/KNReportCodeTables.h"

const std::string& KNReportCodeTable::nameForCode(int64_t code) const {
    auto it = names.find(code);
    return it == names.end() ? genericName : it->second;
}

std::string KNReportCodeTable::codesText(const std::vector<int64_t>& codes) const {
    std::string text;
    for (size_t i = 0; i < codes.size(); ++i) {
        text += i == 0 ? "[" : ", ";
        text += nameForCode(codes[i]);
        if (i + 1 == codes.size()) text += "]";
    }
    return text;
}

const KNReportCodeTable& KNErrorCodeTable() {
    static const KNReportCodeTable table{{
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
                                         },
                                         "GenericError"};
    return table;
}

const KNReportCodeTable& KNWarningCodeTable() {
    static const KNReportCodeTable table{{{-1, "Unknown"}, {0, "GenericWarning"}}, "GenericWarning"};
    return table;
}

const KNReportCodeTable& KNInfoCodeTable() {
    static const KNReportCodeTable table{{
                                             {-1, "Unknown"},
                                             {0, "GenericInfo"},
                                             {1001, "CaptureSessionDidStartRunning"},
                                             {1002, "CaptureSessionDidStopRunning"},
                                             {1003, "StreamerIsReady"},
                                         },
                                         "GenericInfo"};
    return table;
}

std::string KNReportDescription(const std::optional<std::string>& message, const std::string& codesText) {
    return (message ? *message : std::string("(null)")) + " -> " + codesText;
}
