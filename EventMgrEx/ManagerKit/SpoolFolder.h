// SpoolFolder.h -- a folder of message files: stored durably, named in arrival order, recovered after a crash.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "GroupCommit.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Each stored message becomes one file "event-<20 digits>.xml" holding exactly its bytes. The
// numbers come from the folder's ".sequence" file, read and advanced under a named mutex shared
// by every process that stores there, and a file takes its number and its final name under that
// same mutex: names sort in arrival order, never collide, and appear in the order of their
// numbers. A message is written under a temporary name and renamed, so a reader never sees half
// of one, and Store returns only once the file and its name are on disk. Messages stored at the
// same time are committed together (GroupCommit): their data flushed at once where the system can
// (Linux; elsewhere each delivery flushes its own file), then named under one hold of the mutex;
// their names flushed at once, while the next batch is being synced and named.
//
// Temporary files are ".creating-<pid>-<serial>" (empty, just created) and then
// ".incoming-<pid>-<serial>-len<bytes>" while they are written; their writer holds a lock on them
// until they have their final name. One left unlocked was abandoned by a crash: the first Store
// of a process in the folder finishes it (the expected length complete: synced and renamed into
// the sequence; shorter: renamed to "partial-<its name>" and logged) and removes empty
// ".creating-" files.
//
// Failures are logged at level 1 with the system's reason, the folder and the message's size.
class SpoolFolder {
public:
    // This module's one object for `path`, shared by every delivery into that folder.
    static std::shared_ptr<SpoolFolder> Open(const std::string& path);
    // Drops every folder object (their handles) once the module may unload; users keep theirs.
    static void ForgetAll();

    ~SpoolFolder();
    SpoolFolder(const SpoolFolder&) = delete;
    SpoolFolder& operator=(const SpoolFolder&) = delete;

    // The bytes a delivered message stands for: each unit back to the byte it was widened from
    // (a unit above 0xFF, which no listener produces, becomes '?'), over the string's whole
    // recorded length, NULs included.
    static std::string MessageBytes(BSTR message);

    const std::string& Path() const { return mPath; }

    // Stores one message; true once it is durable under its final name (in `finalName`).
    bool Store(const std::string& bytes, std::string* finalName = nullptr);

    // A stored message as Drain hands it on.
    struct StoredMessage {
        std::string name;   // "event-<20 digits>.xml"
        std::string bytes;
        FILETIME stored;    // when it was written (UTC)
    };
    // Hands the stored messages to `sink` oldest first, up to `batch` at a time; `sink` returns how
    // many of them, from the first, it took, and those are removed. Stops at the first batch not
    // taken whole. One process drains a folder at a time: while another does, this returns 0 at
    // once. Messages a crash interrupted are finished first, as by Store. Returns the number of
    // messages removed.
    size_t Drain(size_t batch, const std::function<size_t(const std::vector<StoredMessage>& messages)>& sink);

    // The number of stored messages (files "event-<20 digits>.xml").
    size_t Count() const;

private:
    explicit SpoolFolder(const std::string& path);

    std::string PathOf(const std::string& name) const;
    void RecoverInterrupted();
    // A written temporary file on its way to its final name.
    struct Pending {
        HANDLE file;
        std::string temporary;
        size_t size;
        const char* operation;  // for the log
        std::string finalName;  // once it has it
    };
    bool Commit(Pending& pending);
    void SyncAndName(const std::vector<Pending*>& batch, std::vector<DWORD>& errors);
    void FlushNamed(const std::vector<Pending*>& batch, std::vector<DWORD>& errors) const;
    void TakeNumbersAndRename(const std::vector<Pending*>& batch, std::vector<DWORD>& errors);
    unsigned long long HighestNumber() const;
    bool FlushFolder(size_t size, const char* operation);
    bool FlushNames() const;
    void LogFailure(const char* operation, const char* step, const std::string& file, size_t size, DWORD error) const;

    const std::string mPath;
    HANDLE mSequenceMutex = nullptr;  // named; kept open so that it is not rebuilt for every message
    HANDLE mDrainMutex = nullptr;
    std::mutex mRecoveryLock;
    bool mRecovered = false;
    bool mCounterChecked = false;  // under mSequenceMutex

    // Every message stored in this process passes both on its way to its final name: the first
    // syncs the data of a batch and names it, the second flushes the folder for a batch of names.
    GroupCommit<Pending> mNaming;
    GroupCommit<Pending> mFlushing;
};
