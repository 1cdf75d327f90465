#pragma once
// Maps the device's machine identifier to a family code, to go easier on the oldest phones.
#include <cstdint>
#include <map>
#include <string>

class KNVersionsHelper {
public:
    KNVersionsHelper() = delete;

    // The machine identifier the platform reports ("x86_64" here; "iPhone6,2" on an old phone).
    static std::string deviceName();
    // Machine identifier -> family code: 0 simulator, 1-15 phones, 100-111 tablets, 200 players.
    static std::map<std::string, int64_t> deviceStrings();
    // True for the phones with codes 1 to 8; an identifier missing from the table counts as 0.
    static bool isIphone5sOrLower();
};
