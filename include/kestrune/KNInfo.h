#pragma once
// An informational event handed to the host: a list of codes and a free message.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Names the info codes; the codes themselves are plain integers.
class KNSDKInfoCodes {};

class KNInfo {
public:
    // An empty list becomes [0]. The codes text is computed here, once.
    static std::shared_ptr<KNInfo> infoWithCodesMessage(std::vector<int64_t> codes,
                                                        std::optional<std::string> message);

    const std::vector<int64_t>& infoCodes() const { return infoCodes_; }
    // Does not refresh infos().
    void setInfoCodes(std::vector<int64_t> codes) { infoCodes_ = std::move(codes); }
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message) { message_ = std::move(message); }
    const std::string& infos() const { return infos_; }
    void setInfos(std::string infos) { infos_ = std::move(infos); }

    bool containsInfoCode(int64_t code) const;
    // "<message> -> <codes text>", "(null)" standing for a missing message.
    std::string description() const;
    std::string infoCodesString() const;

private:
    std::vector<int64_t> infoCodes_;
    std::optional<std::string> message_;
    std::string infos_;
};

// The code's name, "GenericInfo" for a code the table doesn't hold.
std::string KNInfoCodeAsString(int64_t code);
