#include "kestrune/KNInfo.h"

#include <algorithm>

#include "core/KNReportCodeTables.h"

std::shared_ptr<KNInfo> KNInfo::infoWithCodesMessage(std::vector<int64_t> codes,
                                                     std::optional<std::string> message) {
    auto info = std::make_shared<KNInfo>();
    info->infoCodes_ = codes.empty() ? std::vector<int64_t>{0} : std::move(codes);
    info->message_ = std::move(message);
    info->infos_ = info->infoCodesString();
    return info;
}

bool KNInfo::containsInfoCode(int64_t code) const {
    return std::find(infoCodes_.begin(), infoCodes_.end(), code) != infoCodes_.end();
}

std::string KNInfo::description() const { return KNReportDescription(message_, infos_); }

std::string KNInfo::infoCodesString() const { return KNInfoCodeTable().codesText(infoCodes_); }

std::string KNInfoCodeAsString(int64_t code) { return KNInfoCodeTable().nameForCode(code); }
