// LogCaught.cpp -- one way to log a caught exception: its operation's line at level 1, what it was at the trace level.
#include <exception>
#include <new>

#include "HResultError.h"
#include "Logging.h"

void LogCaughtException(const char* text) noexcept {
    if (LogLevel() < 1) return;
    LogMessage(1, "%s", text);
    if (LogLevel() < 5 || !std::current_exception()) return;
    try {
        throw;
    } catch (const HResultError& error) {
        LogMessage(5, "%s (hr: %#x)", text, (unsigned)error.hr);
    } catch (const std::bad_alloc&) {
        LogMessage(5, "%s (out of memory)", text);
    } catch (const std::exception& error) {
        LogMessage(5, "%s (%s)", text, error.what());
    } catch (...) {
    }
}
