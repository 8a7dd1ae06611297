// RegistryStore.h -- the registry file: where it is, its cached parse, and atomic locked changes.
#pragma once

#include "RegistryTree.h"
#include "RegistryWatch.h"

#include <stdint.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <memory>
#include <shared_mutex>
#include <string>

namespace kvreg {

class RegistryStore {
public:
    // The one store of the process (never destroyed, so that late callers still find it).
    static RegistryStore& Instance();

    // Calls `reader` with the store's keys, parsed again only when the file changed since the
    // last parse. `lastWrite` is the file's modification time in 100 ns units since 1601 (0
    // when there is no file). The reader runs under the store's lock, shared with other
    // readers: it copies what it needs. While the kernel's watch has seen nothing happen to the
    // file, the file is not even looked at.
    using Reader = std::function<LSTATUS(const RegKey& top, ULONGLONG lastWrite)>;
    LSTATUS Read(const Reader& reader);

    // A number that changes whenever what readers see may have changed (a parse, a write, another
    // file): a reader may keep what it found for as long as the number stays the same.
    LSTATUS Generation(uint64_t* generation);

    // Under the cross-process lock: reads the file afresh, calls `writer`, and when it returns
    // ERROR_SUCCESS having set `changed`, replaces the file with the new content atomically.
    // A file that cannot be read completely is never replaced: ERROR_BADDB, until it is mended.
    using Writer = std::function<LSTATUS(RegKey& top, bool& changed)>;
    LSTATUS Write(const Writer& writer);

    // Whether the file can be read completely: ERROR_SUCCESS, or ERROR_BADDB with what is wrong
    // (the path and the first line that cannot be read) in `description`; the caller reports it.
    LSTATUS Check(std::string& description);

    void SetPathOverride(const char* path);
    std::string Path();

private:
    RegistryStore() = default;
    std::string ResolvePathLocked() const;
    // Whether the cache is the file at `path` as it is now, known without looking at the file:
    // the watch saw nothing happen since the last look, and that look is recent.
    bool FreshLocked(const std::string& path) const;
    // Brings mTop up to date with the file at `path`; `force` parses even an unchanged file.
    LSTATUS RefreshLocked(const std::string& path, bool force);
    LSTATUS ReplaceFileLocked(const std::string& path, const std::string& text, int& newFd);
    // Forgets the cached file and its parse; the watch stays (it was armed for the next look).
    void ForgetCachedFileLocked();
    // Forgets everything, the watch too.
    void ForgetCacheLocked();
    // Says once, on the debugger output, what is wrong with the file parsed last.
    void ReportDamageLocked();

    // Shared by readers of an unchanged store; taken alone to look at the file, parse or write.
    mutable std::shared_mutex mMutex;
    std::string mOverride;
    // The cache: the parsed tree of the file at mCachedPath as identified by mCachedStat. The file
    // is kept open (mCachedFd) so that its inode cannot be reused for a later version of the
    // store, which would make a change look like no change.
    std::unique_ptr<RegKey> mTop = std::make_unique<RegKey>();
    std::string mCachedPath;
    bool mCacheValid = false;
    bool mCachedMissing = false;
    struct stat mCachedStat = {};
    int mCachedFd = -1;
    // Armed before every look at the file. Where it cannot be armed for the cached path
    // (mWatchRefused), the file is looked at on every read, as it would be without it; a write,
    // which may create the folder, tries again.
    RegistryWatch mWatch;
    bool mWatchRefused = false;
    std::chrono::steady_clock::time_point mLastLook;
    // What is wrong with the cached file (empty: nothing), and what was said last: the same
    // damage is said once, however often the file is parsed again.
    std::string mDamage;
    std::string mReportedDamage;
    uint64_t mGeneration = 0;
};

}  // namespace kvreg
