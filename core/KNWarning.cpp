#include "kestrune/KNWarning.h"

#include <algorithm>

#include "core/KNReportCodeTables.h"

std::shared_ptr<KNWarning> KNWarning::warningWithCodesMessage(std::vector<int64_t> codes,
                                                              std::optional<std::string> message) {
    auto warning = std::make_shared<KNWarning>();
    warning->warningCodes_ = codes.empty() ? std::vector<int64_t>{0} : std::move(codes);
    warning->message_ = std::move(message);
    warning->warnings_ = warning->warningCodesString();
    return warning;
}

bool KNWarning::containsWarningCode(int64_t code) const {
    return std::find(warningCodes_.begin(), warningCodes_.end(), code) != warningCodes_.end();
}

std::string KNWarning::description() const { return KNReportDescription(message_, warnings_); }

std::string KNWarning::warningCodesString() const { return KNWarningCodeTable().codesText(warningCodes_); }

std::string KNWarningCodeAsString(int64_t code) { return KNWarningCodeTable().nameForCode(code); }
