#pragma once
// Takes over the codec libraries' console output: their lines go through platform::LogRelay.
// Every component that opens a codec, a converter or a container calls install() first.
#include <cstdarg>

namespace platform {

class CodecLog {
public:
    static void install();
    // The H.264 encoder's log callback: its lines take the same road.
    static void relayX264(void* opaque, int level, const char* format, va_list args);
};

}  // namespace platform
