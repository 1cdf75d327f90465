#include <cstdio>

#include "core/KNUtils.h"

std::string KNUtils::nameForLocalFile() const { return nameForLocalFileAtTime(std::time(nullptr)); }

std::string KNUtils::nameForLocalFileAtTime(std::time_t time) {
    std::tm utc{};
    if (!gmtime_r(&time, &utc)) return "Stream rec ";
    char text[64];
    std::snprintf(text, sizeof text, "Stream rec %d-%02d-%04d-%02d:%02d:%02d", utc.tm_mday, utc.tm_mon + 1,
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}
