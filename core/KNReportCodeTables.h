#pragma once
// The code-to-name tables of the three report kinds, and the codes text they share.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct KNReportCodeTable {
    std::map<int64_t, std::string> names;
    std::string genericName;

    const std::string& nameForCode(int64_t code) const;
    // "[Name, Name, ...]" in list order; "" for an empty list.
    std::string codesText(const std::vector<int64_t>& codes) const;
};

const KNReportCodeTable& KNErrorCodeTable();
const KNReportCodeTable& KNWarningCodeTable();
const KNReportCodeTable& KNInfoCodeTable();

// "(null)" for a missing message, as the host's string formatting prints it.
std::string KNReportDescription(const std::optional<std::string>& message, const std::string& codesText);
