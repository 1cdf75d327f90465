#pragma once
// A home video of the media library: its title and where its file lies.
#include <memory>
#include <optional>
#include <string>

#include "kestrune/platform/URL.h"

class KNMovie {
public:
    static std::shared_ptr<KNMovie> create() { return std::make_shared<KNMovie>(); }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    const std::optional<platform::URL>& url() const { return url_; }
    void setUrl(std::optional<platform::URL> url) { url_ = std::move(url); }

private:
    std::string title_;
    std::optional<platform::URL> url_;
};
