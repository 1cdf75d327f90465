#pragma once
// Readable multi-line dumps of a recorder-settings object and of a stream destination, for the
// host's logs. The destination dump prints the password as stored and reads the custom URL through
// its getter, which may complete its scheme for good.
#include <memory>
#include <string>

class KNRecorderSettings;
class KNStreamInfo;

class KNDebug {
public:
    // A new object on every call; it has no state.
    static std::shared_ptr<KNDebug> debug();

    std::string stringFromRecorderSettings(const std::shared_ptr<KNRecorderSettings>& settings) const;
    std::string stringFromStreamInfo(const std::shared_ptr<KNStreamInfo>& streamInfo) const;
};
