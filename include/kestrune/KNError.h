#pragma once
// An error handed to the host or to a component's owner: a list of codes and a free message.
#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Names the error codes; the codes themselves are plain integers.
class KNSDKErrorCodes {};

class KNError {
public:
    // An empty list becomes [0]. The codes text is computed here, once.
    static std::shared_ptr<KNError> errorWithCodesMessage(std::vector<int64_t> codes,
                                                          std::optional<std::string> message);

    const std::vector<int64_t>& errorCodes() const { return errorCodes_; }
    // Does not refresh errors(): the stored text keeps describing the codes the error was made with.
    void setErrorCodes(std::vector<int64_t> codes) { errorCodes_ = std::move(codes); }
    const std::optional<std::string>& message() const { return message_; }
    void setMessage(std::optional<std::string> message) { message_ = std::move(message); }
    const std::string& errors() const { return errors_; }
    void setErrors(std::string errors) { errors_ = std::move(errors); }
    const std::any& userInfo() const { return userInfo_; }
    void setUserInfo(std::any userInfo) { userInfo_ = std::move(userInfo); }

    bool containsErrorCode(int64_t code) const;
    // "<message> -> <codes text>", "(null)" standing for a missing message.
    std::string description() const;
    // The codes text of the current list, e.g. "[TorchModeNotSupported, TorchModeNotAvailable]".
    std::string errorCodesString() const;

private:
    std::vector<int64_t> errorCodes_;
    std::optional<std::string> message_;
    std::string errors_;
    std::any userInfo_;
};

// The code's name, "GenericError" for a code the table doesn't hold.
std::string KNErrorCodeAsString(int64_t code);
