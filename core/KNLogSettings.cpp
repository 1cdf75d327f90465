#include "kestrune/KNLogSettings.h"

#include "core/KNLog.h"

int64_t KNLogSettings::logLevel() const { return KNLog::sharedInstance()->logLevel(); }
void KNLogSettings::setLogLevel(int64_t level) { KNLog::sharedInstance()->setLogLevel(level); }
int64_t KNLogSettings::logOutput() const { return KNLog::sharedInstance()->logOutput(); }
void KNLogSettings::setLogOutput(int64_t output) { KNLog::sharedInstance()->setLogOutput(output); }
int64_t KNLogSettings::logScope() const { return KNLog::sharedInstance()->logScope(); }
void KNLogSettings::setLogScope(int64_t scope) { KNLog::sharedInstance()->setLogScope(scope); }
