#include "kestrune/KNError.h"

#include <algorithm>

#include "core/KNReportCodeTables.h"

std::shared_ptr<KNError> KNError::errorWithCodesMessage(std::vector<int64_t> codes,
                                                        std::optional<std::string> message) {
    auto error = std::make_shared<KNError>();
    error->errorCodes_ = codes.empty() ? std::vector<int64_t>{0} : std::move(codes);
    error->message_ = std::move(message);
    error->errors_ = error->errorCodesString();
    return error;
}

bool KNError::containsErrorCode(int64_t code) const {
    return std::find(errorCodes_.begin(), errorCodes_.end(), code) != errorCodes_.end();
}

std::string KNError::description() const { return KNReportDescription(message_, errors_); }

std::string KNError::errorCodesString() const { return KNErrorCodeTable().codesText(errorCodes_); }

std::string KNErrorCodeAsString(int64_t code) { return KNErrorCodeTable().nameForCode(code); }
