#pragma once
#include <cstdlib>
#include <optional>
#include <string>

namespace kntest {

// Sets or unsets one variable for a scope; the old value comes back afterwards.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        set(value);
    }
    ~ScopedEnv() { set(saved_); }
    void set(const std::optional<std::string>& value) { value ? setenv(name_, value->c_str(), 1) : unsetenv(name_); }
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace kntest
