#include "core/KNVersionsHelper.h"

#include "platform/MachineModel.h"

std::string KNVersionsHelper::deviceName() { return platform::MachineModel::name(); }

std::map<std::string, int64_t> KNVersionsHelper::deviceStrings() {
    return {
        {"i386", 0},        {"x86_64", 0},

        {"iPhone1,1", 1},   {"iPhone1,2", 2},   {"iPhone2,1", 3},   {"iPhone3,1", 4},
        {"iPhone3,3", 4},   {"iPhone4,1", 5},   {"iPhone5,1", 6},   {"iPhone5,2", 6},
        {"iPhone5,3", 7},   {"iPhone5,4", 7},   {"iPhone6,1", 8},   {"iPhone6,2", 8},
        {"iPhone7,2", 9},   {"iPhone7,1", 10},  {"iPhone8,1", 11},  {"iPhone8,2", 12},
        {"iPhone8,4", 13},  {"iPhone9,1", 14},  {"iPhone9,3", 14},  {"iPhone9,2", 15},
        {"iPhone9,4", 15},

        {"iPad1,1", 100},   {"iPad2,1", 101},   {"iPad2,2", 101},   {"iPad2,3", 101},
        {"iPad2,4", 101},   {"iPad2,5", 102},   {"iPad2,6", 102},   {"iPad2,7", 102},
        {"iPad3,1", 103},   {"iPad3,2", 103},   {"iPad3,3", 103},   {"iPad3,4", 104},
        {"iPad3,5", 104},   {"iPad3,6", 104},   {"iPad4,1", 105},   {"iPad4,2", 105},
        {"iPad4,3", 105},   {"iPad4,4", 106},   {"iPad4,5", 106},   {"iPad4,6", 106},
        {"iPad4,7", 107},   {"iPad4,8", 107},   {"iPad4,9", 107},   {"iPad5,1", 108},
        {"iPad5,2", 108},   {"iPad5,3", 109},   {"iPad5,4", 109},   {"iPad6,3", 110},
        {"iPad6,4", 110},   {"iPad6,7", 111},   {"iPad6,8", 111},

        {"iPod1,1", 200},   {"iPod2,1", 200},   {"iPod3,1", 200},   {"iPod4,1", 200},
        {"iPod7,1", 200},
    };
}

bool KNVersionsHelper::isIphone5sOrLower() {
    const auto table = deviceStrings();
    const auto found = table.find(deviceName());
    const int64_t code = found == table.end() ? 0 : found->second;
    return code != 0 && code < 9;
}
