// FuzzLogging.cpp -- the log as the fuzz targets see it: every message formatted, none written.
#include "Logging.h"

#include <stdio.h>

namespace kvlog {
// Everything up to the string buffer's level, so that every log call and its arguments run.
std::atomic<BYTE> gLevel{6};
}  // namespace kvlog

BYTE StartLogging(const char*) { return LogLevel(); }

void EndLogging() {}

void LogMessageV(BYTE, const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof(line), format, args);
}

void LogMessage(BYTE level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}

TraceScope::TraceScope(const char* function, const char* file, int line) : mFunction(function), mFile(file) {
    mScopeId[0] = 0;
    KVLOG(5, "ENTER %s on line %d in file %s", mFunction, line, mFile);
}

TraceScope::~TraceScope() { KVLOG(5, "EXIT: %s", mFunction); }
