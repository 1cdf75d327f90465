#pragma once
// Sets or unsets one environment variable for a scope and puts the old value back afterwards.
#include <cstdlib>
#include <optional>
#include <string>

namespace kntest {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        set(value);
    }
    ~ScopedEnv() { set(saved_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void set(const std::optional<std::string>& value) { value ? setenv(name_, value->c_str(), 1) : unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace kntest
