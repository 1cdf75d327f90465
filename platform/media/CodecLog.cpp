#include "platform/media/CodecLog.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

extern "C" {
#include <libavutil/log.h>
}
#include <x264.h>

#include "platform/LogRelay.h"

namespace platform {

namespace {

std::optional<LogRelay::Level> levelOfAv(int level) {
    if (level <= AV_LOG_ERROR) return LogRelay::Level::Error;
    if (level <= AV_LOG_WARNING) return LogRelay::Level::Warning;
    if (level <= AV_LOG_INFO) return LogRelay::Level::Info;
    return std::nullopt;  // verbose and debug chatter
}

std::optional<LogRelay::Level> levelOfX264(int level) {
    if (level <= X264_LOG_ERROR) return LogRelay::Level::Error;
    if (level == X264_LOG_WARNING) return LogRelay::Level::Warning;
    if (level == X264_LOG_INFO) return LogRelay::Level::Info;
    return std::nullopt;
}

std::string withoutNewline(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// The codec library writes a line in pieces; each thread gathers its own until the line ends.
void relayAv(void* context, int level, const char* format, va_list args) {
    auto relayed = levelOfAv(level);
    if (!relayed) return;
    thread_local std::string pending;
    thread_local int printPrefix = 1;
    char piece[1024];
    av_log_format_line2(context, level, format, args, piece, sizeof piece, &printPrefix);
    pending += piece;
    if (pending.empty() || pending.back() != '\n') return;
    LogRelay::relay(*relayed, withoutNewline(std::move(pending)));
    pending.clear();
}

}  // namespace

void CodecLog::install() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(relayAv); });
}

void CodecLog::relayX264(void*, int level, const char* format, va_list args) {
    auto relayed = levelOfX264(level);
    if (!relayed) return;
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    LogRelay::relay(*relayed, withoutNewline(line));
}

}  // namespace platform
