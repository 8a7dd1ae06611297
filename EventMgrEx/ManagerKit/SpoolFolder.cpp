// SpoolFolder.cpp -- storing messages as files durably and in arrival order, and finishing what a crash left.
#include "SpoolFolder.h"

#include "ByteText.h"
#include "UniqueHandle.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

#include "SystemMessage.h"
#include "Logging.h"
#include "NeverDestroyed.h"

namespace {

const char kSequenceFile[] = ".sequence";
const char kCreatingPrefix[] = ".creating-";
const char kIncomingPrefix[] = ".incoming-";
const char kPartialPrefix[] = "partial-";
const char kEventPrefix[] = "event-";
const size_t kNumberDigits = 20;
const DWORD kMutexWaitMs = 10000;
const int kNameAttempts = 16;

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

struct FolderTable {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<SpoolFolder>> folders;
};
NeverDestroyed<FolderTable> gTable;

// Objects shared by every process that uses the folder; the derivation is fixed, as processes of
// different versions may share a folder.
std::string ObjectName(const char* prefix, const std::string& folder) {
    std::string name = prefix;
    for (char c : folder) name += isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_';
    return name;
}

// Closes a handle on every path out of a scope.
using ScopedHandle = UniqueFile;

// Holds a mutex that was waited for; releases it when the scope ends.
class MutexHold {
public:
    explicit MutexHold(HANDLE mutex, DWORD waitMs) : mMutex(mutex) {
        DWORD wait = mutex ? WaitForSingleObject(mutex, waitMs) : WAIT_FAILED;
        mHeld = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        if (!mHeld) SetLastError(wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError());
    }
    ~MutexHold() {
        if (mHeld) ReleaseMutex(mMutex);
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    bool held() const { return mHeld; }

private:
    HANDLE mMutex;
    bool mHeld = false;
};

bool WriteAll(HANDLE file, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(bytes.size() - done > (1u << 30) ? (1u << 30) : bytes.size() - done);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        done += written;
    }
    return true;
}

// The names in the folder that match `pattern`, sorted; `listed` tells an empty result from a
// folder that could not be read.
std::vector<std::string> NamesMatching(const std::string& folderPattern, bool* listed = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(folderPattern.c_str(), &data);
    if (listed) *listed = find != INVALID_HANDLE_VALUE || GetLastError() == ERROR_FILE_NOT_FOUND;
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// The number of "event-<20 digits>.xml", or 0 when the name is not one.
unsigned long long EventNumber(const std::string& name) {
    const size_t prefix = sizeof(kEventPrefix) - 1;
    if (name.size() != prefix + kNumberDigits + 4 || name.compare(0, prefix, kEventPrefix) != 0 ||
        name.compare(prefix + kNumberDigits, 4, ".xml") != 0) {
        return 0;
    }
    unsigned long long number = 0;
    for (size_t i = prefix; i < prefix + kNumberDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return number;
}

// The expected length recorded in ".incoming-<pid>-<serial>-len<bytes>"; false when it has none.
bool ExpectedLength(const std::string& name, unsigned long long* length) {
    size_t at = name.rfind("-len");
    if (at == std::string::npos || at + 4 >= name.size()) return false;
    char* end = nullptr;
    *length = strtoull(name.c_str() + at + 4, &end, 10);
    return end && *end == '\0' && name[at + 4] >= '0' && name[at + 4] <= '9';
}

}  // namespace

std::shared_ptr<SpoolFolder> SpoolFolder::Open(const std::string& path) {
    FolderTable& table = gTable.get();
    std::lock_guard<std::mutex> hold(table.lock);
    std::shared_ptr<SpoolFolder>& folder = table.folders[path];
    if (!folder) folder.reset(new SpoolFolder(path));
    return folder;
}

std::string SpoolFolder::MessageBytes(BSTR message) {
    // Every unit the string carries, NULs included: a UTF-16 body is bytes with many NULs.
    return NarrowBytes(message);
}

void SpoolFolder::ForgetAll() {
    std::map<std::string, std::shared_ptr<SpoolFolder>> dropped;
    FolderTable& table = gTable.get();
    std::lock_guard<std::mutex> hold(table.lock);
    dropped.swap(table.folders);
}

SpoolFolder::SpoolFolder(const std::string& path)
    : mPath(path),
      mNaming([this](const std::vector<Pending*>& batch, std::vector<DWORD>& errors) { SyncAndName(batch, errors); }),
      mFlushing([this](const std::vector<Pending*>& batch, std::vector<DWORD>& errors) { FlushNamed(batch, errors); }) {
    // Without the mutex Store fails, and says why, for each message.
    mSequenceMutex = CreateMutexA(nullptr, FALSE, ObjectName("KV_SPOOL_SEQUENCE-", path).c_str());
    mDrainMutex = CreateMutexA(nullptr, FALSE, ObjectName("KV_SPOOL_DRAIN-", path).c_str());
}

SpoolFolder::~SpoolFolder() {
    if (mSequenceMutex) CloseHandle(mSequenceMutex);
    if (mDrainMutex) CloseHandle(mDrainMutex);
}

std::string SpoolFolder::PathOf(const std::string& name) const {
    if (!mPath.empty() && (mPath.back() == '/' || mPath.back() == '\\')) return mPath + name;
    return mPath + kSeparator + name;
}

void SpoolFolder::LogFailure(const char* operation, const char* step, const std::string& file, size_t size,
                             DWORD error) const {
    KVLOG(1, "SpoolFolder::%s: %s %s failed for a message of %lu bytes in %s: %s", operation, step, file.c_str(),
          static_cast<unsigned long>(size), mPath.c_str(), ErrorText(error).c_str());
}

bool SpoolFolder::Store(const std::string& bytes, std::string* finalName) {
    static std::atomic<unsigned long> serials{0};
    static const unsigned long processId = GetCurrentProcessId();
    const size_t size = bytes.size();
    RecoverInterrupted();

    // The file is created under a name that recovery only ever removes, locked, and only then
    // given the name that tells recovery "a message is being written here": so a name of that kind
    // without its lock always means that its writer is gone.
    ScopedHandle file;
    std::string incoming;
    for (int attempt = 0; attempt < kNameAttempts && !file.valid(); ++attempt) {
        char serial[64];
        snprintf(serial, sizeof(serial), "%lu-%lu", processId, ++serials);
        std::string creating = PathOf(std::string(kCreatingPrefix) + serial);
        file.reset(CreateFileA(creating.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;  // a dead process's serial
            LogFailure("Store", "creating", creating, size, error);
            return false;
        }
        char suffix[32];
        snprintf(suffix, sizeof(suffix), "-len%lu", static_cast<unsigned long>(size));
        incoming = PathOf(std::string(kIncomingPrefix) + serial + suffix);
        // Recovery in another process may have taken the empty file between the two steps;
        // then this one starts again under a new name.
        if (!LockFile(file.get(), 0, 0, 1, 0) || !MoveFileExA(creating.c_str(), incoming.c_str(), 0)) {
            DWORD error = GetLastError();
            file.reset();
            DeleteFileA(creating.c_str());
            if (error == ERROR_LOCK_VIOLATION || error == ERROR_FILE_NOT_FOUND) continue;
            LogFailure("Store", "naming", incoming, size, error);
            return false;
        }
    }
    if (!file.valid()) {
        LogFailure("Store", "creating a temporary file for", mPath, size, ERROR_FILE_EXISTS);
        return false;
    }
    if (!WriteAll(file.get(), bytes)) {
        LogFailure("Store", "writing", incoming, size, GetLastError());
        file.reset();
        DeleteFileA(incoming.c_str());
        return false;
    }
    // The lock stays until the file has its final name (the handle allows the rename).
    Pending pending{file.get(), incoming, size, "Store", std::string()};
    if (!Commit(pending)) {
        file.reset();
        DeleteFileA(incoming.c_str());
        return false;
    }
    if (finalName) *finalName = pending.finalName;
    return true;
}

bool SpoolFolder::Commit(Pending& pending) {
#ifndef KV_HAVE_FLUSH_FILES_TOGETHER
    // Without a flush of many files at once, one leader flushing file after file would be slower
    // than every delivery flushing its own file at the same time as the others.
    if (!FlushFileBuffers(pending.file)) {
        LogFailure(pending.operation, "syncing", pending.temporary, pending.size, GetLastError());
        return false;
    }
#endif
    // Two stages, so that the next batch is synced and named while this one's names are flushed.
    // Failures are logged by the stage that meets them.
    return mNaming.Commit(pending) && mFlushing.Commit(pending);
}

void SpoolFolder::SyncAndName(const std::vector<Pending*>& batch, std::vector<DWORD>& errors) {
#ifdef KV_HAVE_FLUSH_FILES_TOGETHER
    // The data first: a name must never stand for a file whose bytes a crash could still lose.
    std::vector<HANDLE> files;
    for (const Pending* pending : batch) files.push_back(pending->file);
    if (!KvFlushFilesTogether(files.data(), static_cast<DWORD>(files.size()))) {
        const DWORD error = GetLastError();
        for (size_t i = 0; i < batch.size(); ++i) {
            errors[i] = error;
            LogFailure(batch[i]->operation, "syncing", batch[i]->temporary, batch[i]->size, error);
        }
        return;
    }
#endif
    TakeNumbersAndRename(batch, errors);
}

void SpoolFolder::FlushNamed(const std::vector<Pending*>& batch, std::vector<DWORD>& errors) const {
    if (FlushNames()) return;
    const DWORD error = GetLastError();
    for (size_t i = 0; i < batch.size(); ++i) {
        errors[i] = error;
        LogFailure(batch[i]->operation, "flushing the folder for", batch[i]->finalName, batch[i]->size, error);
    }
}

void SpoolFolder::TakeNumbersAndRename(const std::vector<Pending*>& batch, std::vector<DWORD>& errors) {
    auto failAll = [&](const char* step, const std::string& file, DWORD error) {
        for (size_t i = 0; i < batch.size(); ++i) {
            errors[i] = error;
            LogFailure(batch[i]->operation, step, file, batch[i]->size, error);
        }
    };
    MutexHold sequence(mSequenceMutex, kMutexWaitMs);
    if (!sequence.held()) {
        failAll("waiting for the sequence of", mPath, mSequenceMutex ? GetLastError() : ERROR_INVALID_HANDLE);
        return;
    }
    const std::string sequencePath = PathOf(kSequenceFile);
    // Opened for each batch, never kept: a folder replaced meanwhile gets its own counter.
    bool existed = true;
    ScopedHandle counter(CreateFileA(sequencePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!counter.valid() && GetLastError() == ERROR_FILE_NOT_FOUND) {
        existed = false;
        counter.reset(CreateFileA(sequencePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!counter.valid()) {
        failAll("opening", sequencePath, GetLastError());
        return;
    }
    char text[32] = {};
    DWORD got = 0;
    ReadFile(counter.get(), text, sizeof(text) - 1, &got, nullptr);
    text[got] = '\0';
    unsigned long long last = strtoull(text, nullptr, 10);
    // A missing, empty or older counter (a recreated folder, a copy put back) continues after the
    // highest name present, so that no name is ever given twice.
    if (!existed || got == 0 || !mCounterChecked) {
        last = std::max(last, HighestNumber());
        mCounterChecked = true;
    }
    const unsigned long long first = last;
    for (size_t i = 0; i < batch.size(); ++i) {
        Pending& pending = *batch[i];
        errors[i] = ERROR_ALREADY_EXISTS;
        for (int attempt = 0; attempt < kNameAttempts && errors[i] == ERROR_ALREADY_EXISTS; ++attempt) {
            const unsigned long long number = last + 1;
            char name[64];
            snprintf(name, sizeof(name), "%s%0*llu.xml", kEventPrefix, static_cast<int>(kNumberDigits), number);
            std::string target = PathOf(name);
            if (MoveFileExA(pending.temporary.c_str(), target.c_str(), 0)) {
                pending.finalName = target;
                errors[i] = ERROR_SUCCESS;
                last = number;
                break;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
                last = std::max(number, HighestNumber());
            } else {
                errors[i] = error;
                LogFailure(pending.operation, "renaming", pending.temporary, pending.size, error);
            }
        }
        if (errors[i] == ERROR_ALREADY_EXISTS) {
            LogFailure(pending.operation, "finding a free name for", pending.temporary, pending.size, ERROR_ALREADY_EXISTS);
        }
    }
    if (last == first) return;
    // The counter has a fixed width, so writing it over the old one needs no truncation.
    char digits[32];
    int n = snprintf(digits, sizeof(digits), "%0*llu", static_cast<int>(kNumberDigits), last);
    DWORD written = 0;
    if (SetFilePointer(counter.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !WriteFile(counter.get(), digits, static_cast<DWORD>(n), &written, nullptr) || written != DWORD(n)) {
        // The messages are stored; the next batch finds their names taken and looks further.
        KVLOG(1, "SpoolFolder::TakeNumbersAndRename: advancing %s to %s failed in %s: %s", sequencePath.c_str(), digits,
              mPath.c_str(), ErrorText(GetLastError()).c_str());
    }
}

unsigned long long SpoolFolder::HighestNumber() const {
    unsigned long long highest = 0;
    for (const std::string& name : NamesMatching(PathOf("event-*.xml"))) highest = std::max(highest, EventNumber(name));
    return highest;
}

bool SpoolFolder::FlushNames() const {
    // A new name is on disk once the folder that holds it is.
    ScopedHandle folder(CreateFileA(mPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder.valid() && FlushFileBuffers(folder.get());
}

bool SpoolFolder::FlushFolder(size_t size, const char* operation) {
    if (!FlushNames()) {
        LogFailure(operation, "flushing the folder", mPath, size, GetLastError());
        return false;
    }
    return true;
}

void SpoolFolder::RecoverInterrupted() {
    std::lock_guard<std::mutex> hold(mRecoveryLock);
    if (mRecovered) return;
    bool listed = false;
    const std::vector<std::string> interrupted = NamesMatching(PathOf(std::string(kIncomingPrefix) + "*"), &listed);
    // A folder that is missing now is looked at again when a message next comes.
    if (!listed) return;
    mRecovered = true;

    // Empty files whose writer never named them: nothing was written into them yet.
    for (const std::string& name : NamesMatching(PathOf(std::string(kCreatingPrefix) + "*"))) {
        std::string path = PathOf(name);
        ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid() && LockFile(file.get(), 0, 0, 1, 0)) DeleteFileA(path.c_str());
    }

    for (const std::string& name : interrupted) {
        std::string path = PathOf(name);
        ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        // Not openable (shared with nobody, or gone) or locked: its writer is still at work.
        if (!file.valid() || !LockFile(file.get(), 0, 0, 1, 0)) continue;
        DWORD high = 0;
        DWORD low = GetFileSize(file.get(), &high);
        const unsigned long long found = (static_cast<unsigned long long>(high) << 32) | low;
        unsigned long long expected = 0;
        const bool known = ExpectedLength(name, &expected);
        if (known && found == expected) {
            Pending pending{file.get(), path, static_cast<size_t>(found), "RecoverInterrupted", std::string()};
            if (Commit(pending)) {
                KVLOG(2, "SpoolFolder::RecoverInterrupted: a message of %llu bytes interrupted by a crash is stored as %s",
                      found, pending.finalName.c_str());
            }
            continue;
        }
        std::string partial = PathOf(kPartialPrefix + name);
        if (!MoveFileExA(path.c_str(), partial.c_str(), 0)) {
            LogFailure("RecoverInterrupted", "renaming", path, static_cast<size_t>(found), GetLastError());
            continue;
        }
        FlushFolder(static_cast<size_t>(found), "RecoverInterrupted");
        if (known) {
            KVLOG(1, "SpoolFolder::RecoverInterrupted: a message cut short by a crash (%llu of %llu bytes) in %s is kept as %s",
                  found, expected, mPath.c_str(), partial.c_str());
        } else {
            KVLOG(1, "SpoolFolder::RecoverInterrupted: a message of unknown length (%llu bytes found) left by a crash in %s is kept as %s",
                  found, mPath.c_str(), partial.c_str());
        }
    }
}

size_t SpoolFolder::Count() const { return NamesMatching(PathOf("event-*.xml")).size(); }

size_t SpoolFolder::Drain(size_t batch, const std::function<size_t(const std::vector<StoredMessage>& messages)>& sink) {
    MutexHold drain(mDrainMutex, 0);
    if (!drain.held() || batch == 0) return 0;
    // A complete message a crash left under its temporary name is drained with the others.
    RecoverInterrupted();
    std::vector<StoredMessage> listed;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(PathOf("event-*.xml").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (EventNumber(data.cFileName) != 0) listed.push_back(StoredMessage{data.cFileName, std::string(), data.ftLastWriteTime});
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    std::sort(listed.begin(), listed.end(), [](const StoredMessage& a, const StoredMessage& b) { return a.name < b.name; });

    size_t removed = 0;
    bool stop = false;
    for (size_t first = 0; first < listed.size() && !stop; first += batch) {
        std::vector<StoredMessage> messages;
        for (size_t i = first; i < listed.size() && messages.size() < batch; ++i) {
            std::string path = PathOf(listed[i].name);
            ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.valid()) {
                DWORD error = GetLastError();
                if (error == ERROR_FILE_NOT_FOUND) continue;  // taken by someone else meanwhile
                LogFailure("Drain", "opening", path, 0, error);
                stop = true;
                break;
            }
            DWORD high = 0;
            DWORD size = GetFileSize(file.get(), &high);
            StoredMessage message = listed[i];
            message.bytes.assign(size == INVALID_FILE_SIZE ? 0 : size, '\0');
            DWORD got = 0;
            if (size == INVALID_FILE_SIZE || high != 0 ||
                (size > 0 && (!ReadFile(file.get(), &message.bytes[0], size, &got, nullptr) || got != size))) {
                LogFailure("Drain", "reading", path, size, high != 0 ? ERROR_INVALID_DATA : GetLastError());
                stop = true;
                break;
            }
            messages.push_back(std::move(message));
        }
        if (messages.empty()) continue;
        size_t taken = std::min(sink(messages), messages.size());
        for (size_t i = 0; i < taken; ++i) {
            // A message handed on and not removed would be handed on again: stop at the first that stays.
            std::string path = PathOf(messages[i].name);
            if (!DeleteFileA(path.c_str())) {
                LogFailure("Drain", "removing", path, messages[i].bytes.size(), GetLastError());
                stop = true;
                break;
            }
            ++removed;
        }
        if (taken < messages.size()) stop = true;
    }
    if (removed > 0) FlushFolder(0, "Drain");
    return removed;
}
