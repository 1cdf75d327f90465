#pragma once
// A warning handed to the host: a list of codes and a free message.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Names the warning codes; the codes themselves are plain integers.
class KNSDKWarningCodes {};

class KNWarning {
public:
    // An empty list becomes [0]. The codes text is computed here, once.
    static std::shared_ptr<KNWarning> warningWithCodesMessage(std::vector<int64_t> codes,
                                                              std::optional<std::string> message);

    const std::vector<int64_t>& warningCodes() const { return warningCodes_; }
    // Does not refresh warnings().
    void setWarningCodes(std::vector<int64_t> codes) { warningCodes_ = std::move(codes); }
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message) { message_ = std::move(message); }
    const std::string& warnings() const { return warnings_; }
    void setWarnings(std::string warnings) { warnings_ = std::move(warnings); }

    bool containsWarningCode(int64_t code) const;
    // "<message> -> <codes text>", "(null)" standing for a missing message.
    std::string description() const;
    std::string warningCodesString() const;

private:
    std::vector<int64_t> warningCodes_;
    std::optional<std::string> message_;
    std::string warnings_;
};

// The code's name, "GenericWarning" for a code the table doesn't hold.
std::string KNWarningCodeAsString(int64_t code);
