#pragma once
// Lines of the libraries under the platform layer (the codecs, the container writer) go where the
// library's own log goes, and nowhere while nobody has set that up: quiet by default.
#include <functional>
#include <string>

namespace platform {

class LogRelay {
public:
    enum class Level { Error, Warning, Info };
    using Sink = std::function<void(Level level, const std::string& line)>;

    // The log that takes the lines; an empty sink drops them.
    static void setSink(Sink sink);
    static void relay(Level level, const std::string& line);
};

}  // namespace platform
