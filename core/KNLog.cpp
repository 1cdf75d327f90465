#include "core/KNLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/Documents.h"
#include "platform/LogRelay.h"

namespace {

// Guards against a Documents folder full of same-second logs; past it the line is lost.
constexpr int kMaxLogFileSuffix = 1000;

// Writes all of `text`; false when the descriptor refuses.
bool writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// The console line: local time stamp and process prefix, then the line.
std::string consoleLine(const std::string& line) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[160];
    std::snprintf(prefix, sizeof prefix, "%s.%03lld %s[%d:%ld] ", stamp, static_cast<long long>(millis),
                  program_invocation_short_name, static_cast<int>(::getpid()),
                  static_cast<long>(::syscall(SYS_gettid)));
    return prefix + line + "\n";
}

}  // namespace

std::shared_ptr<KNLog> KNLog::sharedInstance() {
    // Never destroyed: queue threads may still log while the process exits.
    static std::shared_ptr<KNLog>* shared = [] {
        auto* log = new std::shared_ptr<KNLog>(std::make_shared<KNLog>());
        (*log)->setup();
        // The codecs' own lines follow the same level, output and scope.
        platform::LogRelay::setSink([raw = log->get()](platform::LogRelay::Level level, const std::string& line) {
            switch (level) {
                case platform::LogRelay::Level::Error: raw->logErrorScope(line, KNLogScopeAll); break;
                case platform::LogRelay::Level::Warning: raw->logWarningScope(line, KNLogScopeAll); break;
                case platform::LogRelay::Level::Info: raw->logInfoScope(line, KNLogScopeAll); break;
            }
        });
        return log;
    }();
    return *shared;
}

void KNLog::setup() {
    setLogFile(nameForLogFile());
    setLogLevel(KNLogLevelNone);
    setLogOutput(KNLogOutputConsole);
    setLogScope(KNLogScopeAll);
}

void KNLog::logErrorScope(const std::string& message, int64_t /*scope*/) {
    if (logLevel() < 3) writeLog("ERROR: " + message);
}

void KNLog::logWarningScope(const std::string& message, int64_t /*scope*/) {
    if (logLevel() < 2) writeLog("WARNING: " + message);
}

void KNLog::logInfoScope(const std::string& message, int64_t scope) {
    if (logLevel() >= 1) return;
    int64_t logScope = this->logScope();
    if (logScope == scope || logScope == KNLogScopeAll) writeLog("INFO: " + message);
}

void KNLog::logDebug(const std::string& /*message*/) {}

void KNLog::writeLog(const std::string& line) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        int64_t output = logOutput();
        if (output == KNLogOutputConsole) {
            writeAll(STDERR_FILENO, consoleLine(line));
        } else if (output == KNLogOutputFile) {
            appendToLogFileLocked(line);
        }
    } catch (...) {
        // Out of memory while building the line: the line is lost, the caller goes on.
    }
}

void KNLog::writeToLogFile(const std::string& line) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        appendToLogFileLocked(line);
    } catch (...) {
    }
}

void KNLog::appendToLogFileLocked(const std::string& line) {
    const std::string directory = platform::documentsDirectory() + "/";
    int fd = -1;
    if (createdFile_) {
        // Whatever took the file's place since (a link, a pipe) is not ours: the line is lost.
        fd = ::open((directory + logFile_).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0 && errno != ENOENT) return;
        struct stat info {};
        if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(fd);
            return;
        }
    }
    if (fd < 0) fd = createLogFileLocked(directory);
    if (fd < 0) return;
    writeAll(fd, line + "\n");
    ::close(fd);
}

int KNLog::createLogFileLocked(const std::string& directory) {
    // Made exclusively, so a file another process made under the same name (a log started in the
    // same second) is never truncated: this log takes the next free name instead. Once the log has
    // its file, a file that vanished is made again under that name only.
    std::string name = logFile_;
    for (int suffix = 2;; ++suffix) {
        int fd = ::open((directory + name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            logFile_ = name;
            createdFile_ = true;
            writeAll(fd, "Logs:\n");
            return fd;
        }
        if (errno != EEXIST || createdFile_ || suffix > kMaxLogFileSuffix) return -1;
        name = logFile_ + "_" + std::to_string(suffix);
    }
}

std::string KNLog::nameForLogFile() const { return nameForLogFileAtTime(std::time(nullptr)); }

std::string KNLog::nameForLogFileAtTime(std::time_t time) {
    std::tm utc{};
    gmtime_r(&time, &utc);
    char name[96];
    std::snprintf(name, sizeof name, "log_%d-%02d-%04d-%02d:%02d:%02d", utc.tm_mday, utc.tm_mon + 1,
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return name;
}

std::string KNLog::logFile() const {
    std::lock_guard<std::mutex> guard(lock_);
    return logFile_;
}

void KNLog::setLogFile(std::string name) {
    std::lock_guard<std::mutex> guard(lock_);
    logFile_ = std::move(name);
    createdFile_ = false;
}
