// Logging.h -- the process-wide diagnostic log, and the trace scopes that mark entry and exit.
//
// One call writes: LogMessage(level, format, ...). A message is written when its level is not
// above the active level; call sites test the level first (KVLOG) so that a disabled message
// costs no argument evaluation. Logging never changes the thread's last-error value and never
// reports its own failures.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdarg>

namespace kvlog {
// The active level; read by every call site before it builds a message.
extern std::atomic<BYTE> gLevel;
}  // namespace kvlog

inline BYTE LogLevel() { return kvlog::gLevel.load(std::memory_order_relaxed); }

// Opens the log for `tag` from the registry configuration (reference counted). Returns the
// active level afterwards (0 when logging is off). A module that logs beside the listener passes
// the listener's tag as `settingName`: it follows the same setting and keeps its own tag.
BYTE StartLogging(const char* tag, const char* settingName = nullptr);
// Ends one successful StartLogging; the last one closes (and trims) the log.
void EndLogging();
// EndLogging for a process whose other threads have all been ended already, wherever they
// stood (Windows' process exit): it takes no lock that a dead thread may hold, and leaves the
// file to the system when a dead thread was opening or closing the log.
void EndLoggingAtExit();
// Writes one message. "%s" takes a narrow string, "%S" a wide one.
void LogMessage(BYTE level, const char* format, ...)
#if defined(__GNUC__) && !defined(_WIN32)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void LogMessageV(BYTE level, const char* format, va_list args);

// Test the level before evaluating the arguments.
#define KVLOG(level, ...)                                         \
    do {                                                          \
        if (LogLevel() >= (level)) LogMessage((level), __VA_ARGS__); \
    } while (0)

// In a catch block: writes `text` at level 1 -- a caught exception is a failure, whatever the
// operation's other lines are -- and, at the trace level, what was caught. Never throws.
void LogCaughtException(const char* text) noexcept;
#define KV_LOG_CAUGHT(text) LogCaughtException(text)

// The "<name> - Exiting (hr: %#x)" line that traced operations write before they return.
#define KVLOG_EXIT(level, name, value) KVLOG((level), "%s - Exiting (hr: %#x)", (name), (unsigned)(value))

// TraceScope: declared first in a traced operation; writes the ENTER line now and the EXIT line
// when the scope ends (also when an exception leaves it). Both carry one fresh GUID. While the
// trace level is off a scope costs a level test at each end and nothing else.
class TraceScope {
public:
    TraceScope(const char* function, const char* file, int line);
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    void DrawScopeId();

    WCHAR mScopeId[256];
    const char* mFunction;
    const char* mFile;
};

#define KV_TRACE_SCOPE(name) TraceScope kvTraceScope_(name, __FILE__, __LINE__)
