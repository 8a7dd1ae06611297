// TraceScope.cpp -- paired ENTER/EXIT lines, tied together by a fresh GUID per call.
#include "Logging.h"

namespace {
const BYTE kTraceLevel = 5;
}  // namespace

// The identifier exists only to pair lines: while the trace is off, none is drawn, and a scope
// that outlives a rise of the level draws its own when it writes its EXIT line.
TraceScope::TraceScope(const char* function, const char* file, int line) : mFunction(function), mFile(file) {
    mScopeId[0] = 0;
    if (LogLevel() < kTraceLevel) return;
    DrawScopeId();
    LogMessage(kTraceLevel, "ENTER %s on line %d in file %s @%S@", mFunction, line, mFile, mScopeId);
}

TraceScope::~TraceScope() {
    if (LogLevel() < kTraceLevel) return;
    if (!mScopeId[0]) DrawScopeId();
    LogMessage(kTraceLevel, "EXIT: %s @%S@", mFunction, mScopeId);
}

void TraceScope::DrawScopeId() {
    // Diagnostics leave the thread's last error as they found it.
    DWORD lastError = GetLastError();
    GUID id = {};
    if (SUCCEEDED(CoCreateGuid(&id))) StringFromGUID2(id, mScopeId, 255);
    SetLastError(lastError);
}
