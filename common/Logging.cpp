// Logging.cpp -- the process-wide log: configuration, line layout, the shared file and its trim.
#include "Logging.h"

#include "NeverDestroyed.h"
#include "UniqueHandle.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>

#ifndef _WIN32
#include <errno.h>
#include <locale.h>
#endif

namespace kvlog {

std::atomic<BYTE> gLevel{0};
// The level of the configured target (the file, the console or the debugger output), and the level
// up to which lines are also written to standard error (the host's choice, KVLUMEN_LOG_STDERR):
// gLevel is the higher of the two.
std::atomic<BYTE> gTargetLevel{0};
std::atomic<BYTE> gEchoLevel{0};

namespace {

// Target codes: where lines go.
enum : DWORD {
    kTargetNone = 0,     // logging off: only a level-0 message writes (to the fallback file)
    kTargetConsole = 1,  // standard output
    kTargetDebug = 2,    // debugger output
    kTargetFile = 4,     // log file, unlimited
    kTargetFileLimited = 8,  // log file, trimmed to limitKB when the log closes
};

const char kConfigKey[] = "SOFTWARE\\Korvane\\KVLumen";
const char kConfigSubkey[] = "SOFTWARE\\Korvane\\KVLumen\\Logging";
const char kConfigValue[] = "Logging";
const char kFallbackName[] = "kvr-event.log";
const char kMutexPrefix[] = "KV_RLN_LOGGING_MUTEX-";
const char kLongFormatWarning[] = "WARNING!!! LogMessage() format string > 512 chars:";

const size_t kConfigSize = 260;
const size_t kMutexNameSize = 520;
const size_t kLineSize = 1152;
const size_t kFormatLimit = 511;  // only this much of a caller's format is ever used
const DWORD kTrimBlock = 260;
const DWORD kWriteWaitMs = 500;
const DWORD kCloseWaitMs = 1000;
const ULONGLONG kRetryWriteMs = 1000;

// The working format holds the line prefix, the tag, the warning and the rewritten format. Its
// worst case (a 259-character tag and a 511-character format full of "%s") is well below this.
const size_t kWorkingFormatSize = 4096;

struct LogState {
    std::atomic<LONG> refCount{0};
    std::atomic<DWORD> target{kTargetNone};
    LONG limitKB = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE mutex = nullptr;
    // When the last write to the file failed (0: it did not). Lines then go to the debugger output,
    // and the file is tried again a second later: a full disk that gets room again, or a file moved
    // away and reopened, gets its lines again.
    std::atomic<ULONGLONG> writeFailedAt{0};
    char tag[kConfigSize] = {};
#ifndef _WIN32
    char path[kConfigSize] = {};          // the file's name, to open it again after a rotation
    std::atomic<LONG> reopenGeneration{0};  // the rotation request the file was opened under
#endif
};

// Never destroyed: threads the process does not wait for (connection handlers) may still log
// while the process exits and runs its static destructors.
NeverDestroyed<LogState> gStateStorage;
LogState& gState = gStateStorage.get();

// Opening and closing change the file, the mutex and the tag; writers only read them. Writers
// share this lock, opening and closing take it alone, so a line is never written through a
// handle that is being closed.
NeverDestroyed<std::shared_mutex> gStateLockStorage;
std::shared_mutex& gStateLock = gStateLockStorage.get();

bool SameTextIgnoringCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? char(*a - 'A' + 'a') : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? char(*b - 'A' + 'a') : *b;
        if (ca != cb) return false;
    }
    return *a == *b;
}

// Decimal in the manner of atol: blanks skipped, optional sign, digits up to the first other
// character, none gives 0. Wraps instead of overflowing, so every input has a defined value.
LONG ParseNumber(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = (*text++ == '-');
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + uint32_t(*text - '0');
    return static_cast<LONG>(negative ? 0u - value : value);
}

// Appends text to a fixed buffer, never past its end.
struct FixedText {
    char* data;
    size_t size;
    size_t length = 0;

    void Append(const char* text, size_t count) {
        size_t room = size - 1 - length;
        if (count > room) count = room;
        memcpy(data + length, text, count);
        length += count;
        data[length] = '\0';
    }
    void Append(const char* text) { Append(text, strlen(text)); }
    void Append(char c) { Append(&c, 1); }
    void AppendUnsigned(unsigned long value) {
        char digits[24];
        snprintf(digits, sizeof(digits), "%lu", value);
        Append(digits);
    }
    // Text that becomes part of a format: a '%' in it must print as itself.
    void AppendLiteral(const char* text) {
        for (; *text; ++text) {
            if (*text == '%') Append('%');
            Append(*text);
        }
    }
};

void BuildMutexName(const char* path, char* name, size_t size) {
    FixedText out{name, size};
    out.Append(kMutexPrefix);
    out.Append(path);
    for (size_t i = 0; i < out.length; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || strchr("_-#.~()[]{}", c) != nullptr;
        name[i] = keep ? c : '_';
    }
}

// The caller holds gStateLock exclusively.
BYTE OpenLog(BYTE level, DWORD target, const char* path, LONG limitKB, DWORD extraFileFlags = 0) {
    DWORD current = gState.target.load();
    if (current != kTargetNone) {
        if (current != target) return 0;
        gState.refCount.fetch_add(1);
        return LogLevel();
    }
    if (target == kTargetNone) return 0;
    gTargetLevel.store(level);
    gLevel.store(level > gEchoLevel.load() ? level : gEchoLevel.load());
    gState.target.store(target);
    if (target == kTargetFile || target == kTargetFileLimited) {
        gState.limitKB = (target == kTargetFileLimited) ? limitKB : 0;

        // Inheritable handles with an open access list, so that every user's process can share
        // the file and its mutex.
        SECURITY_DESCRIPTOR descriptor;
        SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, TRUE};
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
            OutputDebugStringA("Logging - warning: unable to set security on log file.\n");
        }
        HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | extraFileFlags, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            gState.target.store(kTargetNone);
            return 0;
        }
        char mutexName[kMutexNameSize];
        BuildMutexName(path, mutexName, sizeof(mutexName));
        SetFilePointer(file, 0, nullptr, FILE_END);
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutexName);
        if (!mutex) mutex = CreateMutexA(&attributes, FALSE, mutexName);
        if (!mutex) {
            OutputDebugStringA("KV Logging - unable to create mutex!!! \t--> ");
            OutputDebugStringA(mutexName);
            OutputDebugStringA("\n");
            CloseHandle(file);
            gState.target.store(kTargetNone);
            return 0;
        }
        gState.file = file;
        gState.mutex = mutex;
#ifndef _WIN32
        snprintf(gState.path, sizeof(gState.path), "%s", path);
        gState.reopenGeneration.store(KvFileReopenGeneration());
#endif
    }
    gState.refCount.fetch_add(1);
    return LogLevel();
}

// Only 1 to 1023 KB is a limit; anything else means none.
bool IsSizeLimit(LONG limitKB) { return limitKB >= 1 && limitKB <= 1023; }

// Cuts the file to the whole lines of its last limitKB kilobytes; true when it was cut. Runs
// with the log mutex held.
bool CutToNewestLines(HANDLE file, LONG limitKB) {
    if (!IsSizeLimit(limitKB)) return false;
    DWORD size = GetFileSize(file, nullptr);
    if (size == INVALID_FILE_SIZE) return false;
    DWORD keep = static_cast<DWORD>(limitKB) * 1024u;
    if (keep >= size) return false;
    if (!LockFile(file, 0, 0, size, 0)) return false;

    // Start behind the first line end of the kept range, so the file begins with a whole line.
    DWORD readPos = size - keep;
    SetFilePointer(file, static_cast<LONG>(readPos), nullptr, FILE_BEGIN);
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(file, &c, 1, &got, nullptr) || got == 0) break;
        ++readPos;
        if (c == '\n') break;
    }
    DWORD writePos = 0;
    char block[kTrimBlock];
    for (;;) {
        DWORD got = 0;
        SetFilePointer(file, static_cast<LONG>(readPos), nullptr, FILE_BEGIN);
        if (!ReadFile(file, block, sizeof(block), &got, nullptr) || got == 0) break;
        DWORD written = 0;
        SetFilePointer(file, static_cast<LONG>(writePos), nullptr, FILE_BEGIN);
        if (!WriteFile(file, block, got, &written, nullptr)) break;
        readPos += got;
        writePos += written;
    }
    SetFilePointer(file, static_cast<LONG>(writePos), nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    UnlockFile(file, 0, 0, size, 0);
    return true;
}

// The trim when the log closes: lines that other threads of the process log meanwhile go to
// the debugger output. Runs with the log mutex held.
bool TrimLogFile(LONG limitKB) {
    gState.refCount.fetch_add(1);
    DWORD previous = gState.target.exchange(kTargetDebug);
    bool cut = CutToNewestLines(gState.file, limitKB);
    gState.target.store(previous);
    gState.refCount.fetch_sub(1);
    return cut;
}

// The caller holds gStateLock exclusively (or is the only thread left, at process exit).
void ReleaseLog() {
    LONG count = gState.refCount.load();
    do {
        if (count <= 0) return;
    } while (!gState.refCount.compare_exchange_weak(count, count - 1));
    if (count - 1 > 0) return;

    if (gState.file != INVALID_HANDLE_VALUE) {
        DWORD wait = WaitForSingleObject(gState.mutex, kCloseWaitMs);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
            TrimLogFile(gState.limitKB);
            ReleaseMutex(gState.mutex);
        }
        CloseHandle(gState.file);
        gState.file = INVALID_HANDLE_VALUE;
    }
    if (gState.mutex) {
        CloseHandle(gState.mutex);
        gState.mutex = nullptr;
    }
    gTargetLevel.store(0);
    gLevel.store(gEchoLevel.load());
    gState.target.store(kTargetNone);
}

// The caller holds gStateLock exclusively. Returns the active level, or 0.
BYTE ParseLogSetting(const char* setting) {
    char text[kConfigSize];
    snprintf(text, sizeof(text), "%s", setting);

    char* comma = strchr(text, ',');
    if (!comma) return 0;
    *comma = '\0';
    const char* keyword = text;
    char* rest = comma + 1;

    DWORD target;
    const char* path = nullptr;
    LONG limitKB = 0;
    const char* levelText;
    if (SameTextIgnoringCase(keyword, "console")) {
        target = kTargetConsole;
        levelText = rest;
    } else if (SameTextIgnoringCase(keyword, "debug")) {
        target = kTargetDebug;
        levelText = rest;
    } else if (SameTextIgnoringCase(keyword, "file")) {
        char* second = strchr(rest, ',');
        if (!second) return 0;
        *second = '\0';
        path = rest;
        char* afterPath = second + 1;
        char* third = strchr(afterPath, ',');
        if (third) {
            *third = '\0';
            limitKB = ParseNumber(afterPath);
            levelText = third + 1;
            target = kTargetFileLimited;
        } else {
            levelText = afterPath;
            target = kTargetFile;
        }
    } else {
        return 0;
    }
    BYTE level = static_cast<BYTE>(ParseNumber(levelText));
    BYTE opened = OpenLog(level, target, path, limitKB);
    return opened ? LogLevel() : 0;
}

// Reads one configuration value of at most 259 characters; false when it is absent or too long.
bool ReadSetting(HKEY key, const char* name, char* text) {
    DWORD size = kConfigSize;
    memset(text, 0, kConfigSize + 1);
    return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS;
}

bool ReadConfiguration(const char* tag, char* text) {
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigSubkey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        return ReadSetting(key.get(), tag, text) || ReadSetting(key.get(), nullptr, text);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    return ReadSetting(key.get(), kConfigValue, text);
}

void FormatDateTime(FixedText& out) {
    char text[64];
    if (GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, nullptr, "M'/'d'/'yy", text, sizeof(text)) > 0) out.Append(text);
    out.Append('-');
    if (GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, nullptr, "HH':'mm':'ss", text, sizeof(text)) > 0) out.Append(text);
}

// Builds the working format: the prefix pieces, and the caller's format with every "%s"/"%S"
// bounded so that the strings together keep the message near 1024 characters.
void BuildWorkingFormat(BYTE level, DWORD target, const char* format, FixedText& out) {
    size_t fullLength = strlen(format);
    size_t length = fullLength < kFormatLimit ? fullLength : kFormatLimit;

    if (target == kTargetNone || target == kTargetFile || target == kTargetFileLimited) {
        FormatDateTime(out);
        out.Append(",[");
        out.AppendUnsigned(GetCurrentProcessId());
        out.Append(':');
        out.AppendUnsigned(GetCurrentThreadId());
        out.Append('/');
        out.AppendUnsigned(level);
        out.Append("] ");
    }
    out.AppendLiteral(gState.tag);
    out.Append("::");
    if (fullLength >= kFormatLimit + 1) out.Append(kLongFormatWarning);

    if (!strstr(format, "%s") && !strstr(format, "%S")) {
        out.Append(format, length);
    } else {
        size_t scanLimit = fullLength < 512 ? fullLength : 512;
        int conversions = 0;
        for (size_t i = 0; i + 1 < scanLimit; ++i) {
            if (format[i] == '%' && (format[i + 1] == 's' || format[i + 1] == 'S')) ++conversions;
        }
        char precision[16] = "";
        if (conversions > 0) {
            long bound = (1024L - 2L * conversions - static_cast<long>(length)) / conversions;
            snprintf(precision, sizeof(precision), ".%ld", bound);
        }
        for (size_t i = 0; i < length; ++i) {
            out.Append(format[i]);
            if (format[i] != '%') continue;
            if (i + 1 >= length) {
                // A conversion cut off by the length limit would be read past its end.
                --out.length;
                out.data[out.length] = '\0';
                break;
            }
            char next = format[++i];
            if (next == 's' || next == 'S') out.Append(precision);
            out.Append(next);
        }
    }
}

#ifndef _WIN32
// Wide strings ("%S") are written as UTF-8 whatever the process locale, so no wide character
// can make the formatting fail.
locale_t Utf8Locale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}
#endif

size_t FormatLine(const char* workingFormat, va_list args, char* line) {
    // Room for the CR LF and the terminator stays free whatever the arguments.
    const size_t room = kLineSize - 2;
#ifndef _WIN32
    locale_t previous = static_cast<locale_t>(0);
    if (Utf8Locale()) previous = uselocale(Utf8Locale());
#endif
    int n = vsnprintf(line, room, workingFormat, args);
#ifndef _WIN32
    if (previous) uselocale(previous);
#endif
    size_t length;
    bool cut = false;
    if (n < 0) {
        length = 0;
        line[0] = '\0';
    } else if (static_cast<size_t>(n) >= room) {
        length = room - 1;
        cut = true;
    } else {
        length = static_cast<size_t>(n);
    }
    if (cut || length == 0 || line[length - 1] != '\n') {
        line[length++] = '\r';
        line[length++] = '\n';
        line[length] = '\0';
    }
    return length;
}

// The caller holds gStateLock (shared or exclusive). Returns false when the write failed.
bool WriteToFile(const char* line, size_t length) {
    DWORD wait = WaitForSingleObject(gState.mutex, kWriteWaitMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return true;  // dropped, not failed
    DWORD end = SetFilePointer(gState.file, 0, nullptr, FILE_END);
    // A limited log is cut back as soon as a line would take it to twice its limit, as it is
    // when it closes, so a log that stays open for months keeps its size too. The end position
    // comes with the seek every line makes anyway: the check costs no call of its own.
    if (gState.target.load() == kTargetFileLimited && IsSizeLimit(gState.limitKB) && end != INVALID_SET_FILE_POINTER &&
        static_cast<ULONGLONG>(end) + length >= 2048ull * static_cast<ULONGLONG>(gState.limitKB) &&
        CutToNewestLines(gState.file, gState.limitKB))
        SetFilePointer(gState.file, 0, nullptr, FILE_END);
    DWORD written = 0;
    BOOL ok = WriteFile(gState.file, line, static_cast<DWORD>(length), &written, nullptr);
    ReleaseMutex(gState.mutex);
    return ok && written == length;
}

// A line for standard error, where a service manager's journal or the person who started the host
// reads it: the tag, the level and the message, without the file's time and thread prefix.
void EchoLine(BYTE level, const char* format, va_list args) {
    char message[kLineSize];
    int n = vsnprintf(message, sizeof(message), format, args);
    if (n < 0) return;
    size_t length = strlen(message);
    while (length && (message[length - 1] == '\n' || message[length - 1] == '\r')) message[--length] = '\0';
    fprintf(stderr, "%s[%u]: %s\n", gState.tag[0] ? gState.tag : "KVLUMEN", static_cast<unsigned>(level), message);
    fflush(stderr);
}

// The caller holds gStateLock (shared or exclusive).
void WriteMessageLocked(BYTE level, const char* format, va_list args) {
    if (level <= gEchoLevel.load()) {
        va_list copy;
        va_copy(copy, args);
        EchoLine(level, format, copy);
        va_end(copy);
    }
    if (level > gTargetLevel.load() && level != 0) return;
    DWORD target = gState.target.load();
    char working[kWorkingFormatSize];
    FixedText out{working, sizeof(working)};
    working[0] = '\0';
    BuildWorkingFormat(level, target, format, out);
    char line[kLineSize];
    size_t length = FormatLine(working, args, line);
    if (target == kTargetConsole) {
        fwrite(line, 1, length, stdout);
        fflush(stdout);
    } else if (target == kTargetNone || target == kTargetFile || target == kTargetFileLimited) {
        if (gState.file == INVALID_HANDLE_VALUE) return;
        ULONGLONG failedAt = gState.writeFailedAt.load();
        if (failedAt != 0 && GetTickCount64() - failedAt < kRetryWriteMs) {
            OutputDebugStringA(line);
        } else if (!WriteToFile(line, length)) {
            ULONGLONG now = GetTickCount64();
            gState.writeFailedAt.store(now ? now : 1);
            OutputDebugStringA(line);
        } else if (failedAt != 0) {
            gState.writeFailedAt.store(0);
        }
    } else {
        OutputDebugStringA(line);
    }
}

// The same with its arguments given directly.
void WriteLocked(BYTE level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteMessageLocked(level, format, args);
    va_end(args);
}

void WriteFallbackLine(BYTE level, const char* format, va_list args) {
    std::unique_lock<std::shared_mutex> exclusive(gStateLock);
    // Someone may have opened the log meanwhile; then this is an ordinary line.
    char path[MAX_PATH + 16];
    DWORD n = GetTempPathA(MAX_PATH, path);
    if (n == 0 || n >= MAX_PATH) return;
    snprintf(path + n, sizeof(path) - n, "%s", kFallbackName);
    bool openedHere = false;
    if (gState.target.load() == kTargetNone) {
#ifdef FILE_FLAG_POSIX_NOFOLLOW
        // Nobody may plant a link in the shared temporary folder to make us write elsewhere.
        OpenLog(0, kTargetFile, path, 0, FILE_FLAG_POSIX_NOFOLLOW);
#else
        OpenLog(0, kTargetFile, path, 0);
#endif
        openedHere = true;
    }
    if (gState.target.load() != kTargetNone) WriteMessageLocked(level, format, args);
    if (openedHere) ReleaseLog();
}

#ifndef _WIN32
// logrotate moves the file away and tells the host (SIGHUP), which asks every log of the process
// to open its file again by name: that happens here, before the next line. If the file cannot be
// opened, lines keep going to the old one rather than nowhere.
void ReopenIfRequested() {
    LONG wanted = KvFileReopenGeneration();
    if (wanted == gState.reopenGeneration.load()) return;
    std::unique_lock<std::shared_mutex> exclusive(gStateLock);
    if (gState.reopenGeneration.exchange(wanted) == wanted || gState.file == INVALID_HANDLE_VALUE) return;
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), &descriptor, TRUE};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    HANDLE file = CreateFileA(gState.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    CloseHandle(gState.file);
    gState.file = file;
    gState.writeFailedAt.store(0);
}
#endif

}  // namespace
}  // namespace kvlog

using namespace kvlog;

namespace kvlog {
namespace {
// The host asks for lines up to a level on standard error with KVLUMEN_LOG_STDERR (kvlisten does,
// so that failures reach the journal whatever the log setting says). Read once per module.
void StartEcho(const char* tag) {
    static std::once_flag once;
    std::call_once(once, [tag] {
        char value[16] = {};
        DWORD length = GetEnvironmentVariableA("KVLUMEN_LOG_STDERR", value, sizeof(value));
        if (length == 0 || length >= sizeof(value)) return;
        LONG level = ParseNumber(value);
        if (level <= 0) return;
        std::unique_lock<std::shared_mutex> exclusive(gStateLock);
        if (!gState.tag[0] && tag) snprintf(gState.tag, sizeof(gState.tag), "%s", tag);
        gEchoLevel.store(static_cast<BYTE>(level > 255 ? 255 : level));
        if (gEchoLevel.load() > gLevel.load()) gLevel.store(gEchoLevel.load());
    });
}
}  // namespace
}  // namespace kvlog

void LogMessageV(BYTE level, const char* format, va_list args) {
    if (LogLevel() < level || !format) return;
    DWORD lastError = GetLastError();
#ifndef _WIN32
    int savedErrno = errno;
#endif
    try {
        if (level == 0 && gState.target.load() == kTargetNone) {
            WriteFallbackLine(level, format, args);
        } else {
#ifndef _WIN32
            DWORD opened = gState.target.load();
            if (opened == kTargetFile || opened == kTargetFileLimited) ReopenIfRequested();
#endif
            std::shared_lock<std::shared_mutex> shared(gStateLock);
            WriteMessageLocked(level, format, args);
        }
    } catch (...) {
        // Diagnostics never fail their caller.
    }
#ifndef _WIN32
    errno = savedErrno;
#endif
    SetLastError(lastError);
}

void LogMessage(BYTE level, const char* format, ...) {
    if (LogLevel() < level) return;
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}

BYTE StartLogging(const char* tag, const char* settingName) {
    DWORD lastError = GetLastError();
    BYTE level = 0;
    bool announce = false;
    try {
        StartEcho(tag);
        char setting[kConfigSize + 1];
        if (tag && ReadConfiguration(settingName ? settingName : tag, setting)) {
            std::unique_lock<std::shared_mutex> exclusive(gStateLock);
            ParseLogSetting(setting);
            snprintf(gState.tag, sizeof(gState.tag), "%s", tag);
            level = LogLevel();
            announce = gState.refCount.load() == 1 && level >= 4;
        }
    } catch (...) {
    }
    if (announce) LogMessage(4, " ---Start Logging---");
    SetLastError(lastError);
    return level;
}

void EndLogging() {
    DWORD lastError = GetLastError();
    try {
        if (gState.refCount.load() == 1 && LogLevel() >= 4) LogMessage(4, " ---End Logging---");
        std::unique_lock<std::shared_mutex> exclusive(gStateLock);
        ReleaseLog();
    } catch (...) {
    }
    SetLastError(lastError);
}

void EndLoggingAtExit() {
    DWORD lastError = GetLastError();
    try {
        // No other thread is left to exclude. One that held the state lock to write a line left
        // the state as it was (the shared lock is still to be had); one that held it to open or
        // close the log may have left it half changed, and then the file is left to the system.
        std::shared_lock<std::shared_mutex> shared(gStateLock, std::try_to_lock);
        if (shared.owns_lock()) {
            if (gState.refCount.load() == 1 && LogLevel() >= 4) WriteLocked(4, " ---End Logging---");
            ReleaseLog();
        }
    } catch (...) {
    }
    SetLastError(lastError);
}
