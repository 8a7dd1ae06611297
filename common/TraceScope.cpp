// TraceScope.cpp -- paired ENTER/EXIT lines, tied together by a fresh GUID per call.
#include "Logging.h"

TraceScope::TraceScope(const char* function, const char* file, int line) : mFunction(function), mFile(file) {
    mScopeId[0] = 0;
    GUID id = {};
    if (SUCCEEDED(CoCreateGuid(&id))) StringFromGUID2(id, mScopeId, 255);
    KVLOG(5, "ENTER %s on line %d in file %s @%S@", mFunction, line, mFile, mScopeId);
}

TraceScope::~TraceScope() { KVLOG(5, "EXIT: %s @%S@", mFunction, mScopeId); }
