#pragma once
// The host's handle on the process-wide log. It keeps nothing itself: every settings object reads
// and writes the one shared log, so a change through one is seen through all.
#include <cstdint>
#include <memory>

// The lowest kind of line that is written.
enum KNLogLevel : int64_t {
    KNLogLevelInfo = 0,     // informational lines (subject to the scope), warnings and errors
    KNLogLevelWarning = 1,  // warnings and errors
    KNLogLevelError = 2,    // errors only
    KNLogLevelNone = 3,     // nothing: the default
};

// Where lines go; any other value writes nothing.
enum KNLogOutput : int64_t {
    KNLogOutputConsole = 0,
    KNLogOutputFile = 1,  // a file in the Documents folder, one per process
};

// Which informational lines pass; errors and warnings ignore it.
enum KNLogScope : int64_t {
    KNLogScopeAll = 0,
    KNLogScopeSending = 1,  // parameter sets stored, sequence headers and packets sent
    KNLogScopeQueue = 2,    // packets enqueued, dequeued or dropped
};

class KNLogSettings {
public:
    static std::shared_ptr<KNLogSettings> create() { return std::make_shared<KNLogSettings>(); }

    int64_t logLevel() const;
    void setLogLevel(int64_t level);
    int64_t logOutput() const;
    void setLogOutput(int64_t output);
    int64_t logScope() const;
    void setLogScope(int64_t scope);
};
