// SpoolFolderTests.cpp -- the spool folder: order and wholeness across threads and processes, numbering, crash recovery, failures.
#include "../common/LogTestSupport.h"
#include "SystemMessage.h"
#include "SpoolFolder.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace kvtest;

namespace {

std::string Join(const std::string& folder, const std::string& name) {
#ifdef _WIN32
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

std::vector<std::string> Names(const std::string& folder, const char* pattern) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(Join(folder, pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (strcmp(data.cFileName, ".") != 0 && strcmp(data.cFileName, "..") != 0) names.push_back(data.cFileName);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// A message that says who it is and how long it must be: "<id>:<length>:" and filler up to the length.
std::string Describing(const std::string& id, size_t length) {
    std::string head = id + ":" + std::to_string(length) + ":";
    std::string message = head;
    while (message.size() < length) message += static_cast<char>('a' + message.size() % 26);
    return message;
}

bool IsWholeDescribing(const std::string& message) {
    size_t first = message.find(':');
    size_t second = first == std::string::npos ? first : message.find(':', first + 1);
    if (second == std::string::npos) return false;
    size_t length = strtoul(message.c_str() + first + 1, nullptr, 10);
    if (message.size() != length) return false;
    for (size_t i = second + 1; i < length; ++i)
        if (message[i] != static_cast<char>('a' + i % 26)) return false;
    return true;
}

// The i-th message of the writer `tag`: whole only with every one of its bytes, 20 bytes to 8 KiB.
std::string SeriesMessage(const std::string& tag, int i) {
    return Describing(tag + "-" + std::to_string(i), 20 + (static_cast<size_t>(i) * 2741u) % 8192u);
}

// Stores `count` messages of the writer `tag` and checks that its own names keep growing.
bool StoreSeries(const std::string& folder, const std::string& tag, int count) {
    std::shared_ptr<SpoolFolder> spool = SpoolFolder::Open(folder);
    std::string previous;
    for (int i = 0; i < count; ++i) {
        std::string name;
        if (!spool->Store(SeriesMessage(tag, i), &name) || BaseName(name) <= previous) return false;
        previous = BaseName(name);
    }
    return true;
}

}  // namespace

KV_TEST_CHILD(spool_store) {
    // folder tag count
    if (argc < 3) return 2;
    return StoreSeries(argv[0], argv[1], atoi(argv[2])) ? 0 : 1;
}

KV_TEST_CHILD(spool_store_forever) {
    // folder: four threads store messages of 256 KiB to 1 MiB until the process is killed.
    if (argc < 1) return 2;
    std::string folder = argv[0];
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([folder, t] {
            std::shared_ptr<SpoolFolder> spool = SpoolFolder::Open(folder);
            for (int i = 0;; ++i) {
                size_t length = (256u << 10) + ((static_cast<size_t>(i) * 7919u + t * 104729u) % (768u << 10));
                spool->Store(Describing(std::to_string(GetCurrentProcessId()) + "." + std::to_string(t) + "." +
                                            std::to_string(i), length));
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    return 0;
}

class SpoolFolderTest : public testing::Test {
protected:
    void SetUp() override {
        mLog = mDir.file("spool.log");
        ConfigureLog("file," + mLog + ",2");
        ASSERT_EQ(2, StartLogging(kLogTestTag));
        mSpool = mDir.file("spool");
        ASSERT_TRUE(CreateDirectoryA(mSpool.c_str(), nullptr));
    }
    void TearDown() override {
        SpoolFolder::ForgetAll();
        EndLogging();
        ConfigureLog("");
    }
    std::string In(const std::string& name) const { return Join(mSpool, name); }
    std::vector<std::string> LogLinesAt(int level) const {
        std::vector<std::string> found;
        std::string marker = "/" + std::to_string(level) + "] " + kLogTestTag + "::";
        for (const std::string& line : SplitLines(ReadWholeFile(mLog)))
            if (line.find(marker) != std::string::npos) found.push_back(MessageOf(line));
        return found;
    }

    ScopedTempDir mDir;
    std::string mLog;
    std::string mSpool;
};

TEST_F(SpoolFolderTest, ThreadsAndProcessesEachStoreWholeMessagesInOrder) {
    // Two processes and eight threads at once, so that messages are committed in batches: every
    // message exactly once and whole, each writer's names growing, and nothing temporary left.
    const int perWriter = 40;
    std::vector<HANDLE> children;
    for (const char* tag : {"p1", "p2"}) {
        HANDLE child = StartChild("spool_store", "\"" + mSpool + "\" " + tag + " " + std::to_string(perWriter));
        ASSERT_NE(nullptr, child);
        children.push_back(child);
    }
    std::vector<std::thread> threads;
    const int kThreads = 8;
    bool ok[kThreads] = {};
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { ok[t] = StoreSeries(mSpool, "t" + std::to_string(t), perWriter); });
    for (std::thread& thread : threads) thread.join();
    for (HANDLE child : children) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 60000));
        DWORD code = 99;
        GetExitCodeProcess(child, &code);
        EXPECT_EQ(0u, code) << "a child process saw its names out of order or failed to store";
        CloseHandle(child);
    }
    for (bool threadOk : ok) EXPECT_TRUE(threadOk) << "a thread saw its names out of order or failed to store";

    std::multiset<std::string> stored;
    std::vector<std::string> events = Names(mSpool, "event-*.xml");
    for (const std::string& name : events) stored.insert(ReadWholeFile(In(name)));
    std::multiset<std::string> expected;
    for (const char* tag : {"p1", "p2", "t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"})
        for (int i = 0; i < perWriter; ++i) expected.insert(SeriesMessage(tag, i));
    EXPECT_EQ(expected, stored);
    EXPECT_EQ(std::vector<std::string>({".sequence"}), Names(mSpool, ".*"));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().substr(6, 20), ReadWholeFile(In(".sequence")));
    EXPECT_TRUE(LogLinesAt(1).empty());
}

TEST_F(SpoolFolderTest, NumbersContinueAfterTheHighestNameAndAreNeverGivenTwice) {
    // Without .sequence (a recreated or copied folder), numbering goes on after the highest
    // event file; a counter behind the files is caught up by the next process.
    ASSERT_TRUE(WriteWholeFile(In("event-00000000000000000041.xml"), "old"));
    std::string name;
    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store("a", &name));
    EXPECT_EQ("event-00000000000000000042.xml", BaseName(name));

    ASSERT_TRUE(DeleteFileA(In(".sequence").c_str()));
    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store("b", &name));
    EXPECT_EQ("event-00000000000000000043.xml", BaseName(name));

    ASSERT_TRUE(WriteWholeFile(In(".sequence"), "7"));
    SpoolFolder::ForgetAll();  // as a new process would find it
    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store("c", &name));
    EXPECT_EQ("event-00000000000000000044.xml", BaseName(name));
    EXPECT_EQ("old", ReadWholeFile(In("event-00000000000000000041.xml")));
    EXPECT_EQ("c", ReadWholeFile(In("event-00000000000000000044.xml")));
}

TEST_F(SpoolFolderTest, TheFirstStoreFinishesWhatACrashLeft) {
    // A complete temporary file is stored in sequence, a short one and one of unknown length
    // become partial-<name> with a level-1 line, an empty unnamed one goes, a locked one stays.
    ASSERT_TRUE(WriteWholeFile(In(".incoming-4000000-1-len5"), "whole"));
    ASSERT_TRUE(WriteWholeFile(In(".incoming-4000000-2-len10"), "half"));
    ASSERT_TRUE(WriteWholeFile(In(".incoming-4000000-3-9"), "old style"));
    ASSERT_TRUE(WriteWholeFile(In(".creating-4000000-4"), ""));
    ASSERT_TRUE(WriteWholeFile(In(".incoming-4000000-5-len4"), "busy"));
    HANDLE busy = CreateFileA(In(".incoming-4000000-5-len4").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, busy);
    ASSERT_TRUE(LockFile(busy, 0, 0, 1, 0));

    std::string name;
    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store("next", &name));
    EXPECT_EQ("event-00000000000000000002.xml", BaseName(name));
    EXPECT_EQ("whole", ReadWholeFile(In("event-00000000000000000001.xml")));
    EXPECT_EQ("half", ReadWholeFile(In("partial-.incoming-4000000-2-len10")));
    EXPECT_EQ("old style", ReadWholeFile(In("partial-.incoming-4000000-3-9")));
    EXPECT_EQ(std::vector<std::string>({".incoming-4000000-5-len4", ".sequence"}), Names(mSpool, ".*"));

    std::vector<std::string> failures = LogLinesAt(1);
    ASSERT_EQ(2u, failures.size());
    EXPECT_NE(std::string::npos, failures[0].find("(4 of 10 bytes)")) << failures[0];
    EXPECT_NE(std::string::npos, failures[0].find("partial-.incoming-4000000-2-len10")) << failures[0];
    EXPECT_NE(std::string::npos, failures[1].find("unknown length (9 bytes found)")) << failures[1];
    CloseHandle(busy);
}

TEST_F(SpoolFolderTest, AProcessKilledWhileStoringLeavesNothingHidden) {
    // A writer killed during its deliveries leaves temporary files; the next process stores the
    // complete ones in sequence and keeps short ones as partial-<name>, so every message is whole.
    std::vector<std::string> left;
    for (int attempt = 0; attempt < 8 && left.empty(); ++attempt) {
        size_t before = Names(mSpool, "event-*.xml").size();
        HANDLE child = StartChild("spool_store_forever", "\"" + mSpool + "\"");
        ASSERT_NE(nullptr, child);
        for (int waited = 0; waited < 1000 && Names(mSpool, "event-*.xml").size() < before + 3; ++waited) Sleep(10);
        ASSERT_TRUE(TerminateProcess(child, 9));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child, 30000));
        CloseHandle(child);
        left = Names(mSpool, ".incoming-*");
    }
    ASSERT_FALSE(left.empty()) << "eight killed writers left no temporary file behind";
    size_t complete = 0;
    for (const std::string& name : left) {
        const std::string bytes = ReadWholeFile(In(name));
        complete += bytes.size() == strtoull(name.substr(name.rfind("-len") + 4).c_str(), nullptr, 10) ? 1 : 0;
    }
    size_t before = Names(mSpool, "event-*.xml").size();

    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store(Describing("after", 100)));
    EXPECT_EQ(std::vector<std::string>({".sequence"}), Names(mSpool, ".*"));
    std::vector<std::string> events = Names(mSpool, "event-*.xml");
    EXPECT_EQ(before + complete + 1, events.size());
    for (const std::string& name : events) EXPECT_TRUE(IsWholeDescribing(ReadWholeFile(In(name)))) << name;
    EXPECT_EQ(left.size() - complete, Names(mSpool, "partial-*").size());
    EXPECT_EQ(left.size() - complete, LogLinesAt(1).size());
}

TEST_F(SpoolFolderTest, DrainHandsOnOldestFirstAndRemovesOnlyWhatWasTaken) {
    // Messages come out in arrival order, in batches; what the sink takes is removed, the first
    // batch it does not take whole ends the drain, and nobody else drains meanwhile.
    std::shared_ptr<SpoolFolder> spool = SpoolFolder::Open(mSpool);
    for (const char* message : {"m1", "m2", "m3", "m4", "m5"}) ASSERT_TRUE(spool->Store(message));
    std::vector<std::string> handed;
    size_t otherDrain = 99;
    size_t removed = spool->Drain(2, [&](const std::vector<SpoolFolder::StoredMessage>& messages) -> size_t {
        for (const SpoolFolder::StoredMessage& message : messages) {
            handed.push_back(message.bytes);
            EXPECT_NE(0u, message.stored.dwHighDateTime) << message.name;
        }
        std::thread other([&] { otherDrain = spool->Drain(2, [](const std::vector<SpoolFolder::StoredMessage>&) -> size_t { return 99; }); });
        other.join();
        return handed.size() <= 2 ? messages.size() : 1;
    });
    EXPECT_EQ(3u, removed);
    EXPECT_EQ(std::vector<std::string>({"m1", "m2", "m3", "m4"}), handed);
    EXPECT_EQ(0u, otherDrain);
    std::vector<std::string> left = Names(mSpool, "event-*.xml");
    ASSERT_EQ(2u, left.size());
    EXPECT_EQ("m4", ReadWholeFile(In(left[0])));
    EXPECT_EQ("m5", ReadWholeFile(In(left[1])));
}

TEST_F(SpoolFolderTest, AMissingOrMovedFolderFailsWithTheReasonFolderAndSize) {
    // Store fails when the message is not stored, and the level-1 line says why, where and how much.
    std::string missing = mDir.file("missing");
    EXPECT_FALSE(SpoolFolder::Open(missing)->Store(std::string(1234, 'm')));
    ASSERT_TRUE(SpoolFolder::Open(mSpool)->Store("first"));
    std::string moved = mDir.file("moved");
    ASSERT_TRUE(MoveFileExA(mSpool.c_str(), moved.c_str(), 0));
    EXPECT_FALSE(SpoolFolder::Open(mSpool)->Store(std::string(4321, 'x')));

    std::vector<std::string> failures = LogLinesAt(1);
    ASSERT_EQ(2u, failures.size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(std::string::npos, failures[i].find(i == 0 ? missing : mSpool)) << failures[i];
        EXPECT_NE(std::string::npos, failures[i].find(i == 0 ? "1234 bytes" : "4321 bytes")) << failures[i];
        EXPECT_NE(std::string::npos, failures[i].find(ErrorText(ERROR_PATH_NOT_FOUND))) << failures[i];
    }
    EXPECT_EQ(1u, Names(moved, "event-*.xml").size());
    EXPECT_TRUE(Names(moved, ".incoming-*").empty());
}

// Folders the system refuses to write: prepared by constrained_folders.sh (a full file system, a
// read-only one) where the machine permits mounts, and skipped elsewhere.
TEST_F(SpoolFolderTest, AFullDiskFailsOnlyWhatDoesNotFitAndSaysWhy) {
    // On a full disk a message that does not fit fails with the system's reason and leaves no
    // temporary file; one that fits is still stored.
    const char* full = getenv("KV_TEST_FULL_FOLDER");
    if (!full || !*full) GTEST_SKIP() << "needs a small file system: run through tests/spool/constrained_folders.sh";
    // The script left it with about 16 KiB free.
    std::shared_ptr<SpoolFolder> spool = SpoolFolder::Open(full);
    EXPECT_FALSE(spool->Store(std::string(256 * 1024, 'b')));
    EXPECT_TRUE(spool->Store("small"));
    EXPECT_TRUE(Names(full, ".incoming-*").empty());
    EXPECT_TRUE(Names(full, ".creating-*").empty());
    std::vector<std::string> failures = LogLinesAt(1);
    ASSERT_EQ(1u, failures.size());
    EXPECT_NE(std::string::npos, failures[0].find(ErrorText(ERROR_DISK_FULL))) << failures[0];
    EXPECT_NE(std::string::npos, failures[0].find("262144 bytes")) << failures[0];
    EXPECT_NE(std::string::npos, failures[0].find(full)) << failures[0];
}

TEST_F(SpoolFolderTest, AnUnwritableFolderFailsAndSaysWhy) {
    // A folder the process may not write into fails every message with the system's reason.
    const char* readOnly = getenv("KV_TEST_READONLY_FOLDER");
    if (!readOnly || !*readOnly) GTEST_SKIP() << "needs a read-only folder: run through tests/spool/constrained_folders.sh";
    EXPECT_FALSE(SpoolFolder::Open(readOnly)->Store(std::string(77, 'r')));
    std::vector<std::string> failures = LogLinesAt(1);
    ASSERT_EQ(1u, failures.size());
    EXPECT_NE(std::string::npos, failures[0].find(ErrorText(ERROR_ACCESS_DENIED))) << failures[0];
    EXPECT_NE(std::string::npos, failures[0].find("77 bytes")) << failures[0];
}
