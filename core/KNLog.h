#pragma once
// The process-wide log: lines filtered by level and (informational ones) by scope, written to the
// console or to a log file in the Documents folder. It never reports a failure and never throws:
// a line that can't be written is lost and the next one tries again.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "kestrune/KNLogSettings.h"

class KNLog {
public:
    // Created, and set up, on the first call from any thread; lives until the process ends.
    static std::shared_ptr<KNLog> sharedInstance();

    void setup();

    // "ERROR: <message>" when the level is below 3; the scope is ignored.
    void logErrorScope(const std::string& message, int64_t scope);
    // "WARNING: <message>" when the level is below 2; the scope is ignored.
    void logWarningScope(const std::string& message, int64_t scope);
    // "INFO: <message>" when the level is below 1 and the log's scope is 0 or the given one.
    void logInfoScope(const std::string& message, int64_t scope);
    void logDebug(const std::string& message);

    // Sends a finished line to the chosen output, under the log's lock.
    void writeLog(const std::string& line);
    // Appends a finished line to the log file, creating it with "Logs:\n" first.
    void writeToLogFile(const std::string& line);

    // "log_<d-MM-yyyy-HH:mm:ss>" of the current time in UTC.
    std::string nameForLogFile() const;
    static std::string nameForLogFileAtTime(std::time_t time);

    int64_t logLevel() const { return logLevel_.load(std::memory_order_relaxed); }
    void setLogLevel(int64_t level) { logLevel_.store(level, std::memory_order_relaxed); }
    int64_t logOutput() const { return logOutput_.load(std::memory_order_relaxed); }
    void setLogOutput(int64_t output) { logOutput_.store(output, std::memory_order_relaxed); }
    int64_t logScope() const { return logScope_.load(std::memory_order_relaxed); }
    void setLogScope(int64_t scope) { logScope_.store(scope, std::memory_order_relaxed); }
    // The name inside the Documents folder. When another process already made a file of that name
    // (two logs started in the same second), the log moves to a free suffixed name and says so here.
    std::string logFile() const;
    void setLogFile(std::string name);

private:
    void appendToLogFileLocked(const std::string& line);
    // The descriptor of the new file, its first line written; -1 when it can't be made.
    int createLogFileLocked(const std::string& directory);

    std::atomic<int64_t> logLevel_{KNLogLevelNone};
    std::atomic<int64_t> logOutput_{KNLogOutputConsole};
    std::atomic<int64_t> logScope_{KNLogScopeAll};
    mutable std::mutex lock_;
    std::string logFile_;
    // Whether this log made its file; until then an existing file of that name is someone else's.
    bool createdFile_ = false;
};
