// HandlerPoolTests.cpp -- handler threads kept for reuse: reuse, no waiting behind busy threads, idle end, close and end, module locks.
#include "ListenerTestSupport.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "HandlerPool.h"
#include "ModuleLock.h"

using namespace kvtest;

namespace {

// What the test workers saw: the thread each item ran on, and the threads workers ended on.
struct Record {
    std::mutex lock;
    std::vector<DWORD> servedOn;
    std::vector<DWORD> endedOn;
    HANDLE release = nullptr;  // items wait for it when set

    size_t Served() {
        std::lock_guard<std::mutex> hold(lock);
        return servedOn.size();
    }
};
Record* gRecord = nullptr;

class RecordingWorker final : public PooledWorker {
public:
    void Serve(void* item) override {
        {
            std::lock_guard<std::mutex> hold(gRecord->lock);
            gRecord->servedOn.push_back(GetCurrentThreadId());
        }
        if (gRecord->release) WaitForSingleObject(gRecord->release, 20000);
        delete static_cast<int*>(item);
    }
    ~RecordingWorker() override {
        std::lock_guard<std::mutex> hold(gRecord->lock);
        gRecord->endedOn.push_back(GetCurrentThreadId());
    }
};

std::unique_ptr<PooledWorker> MakeRecordingWorker() {
    return std::unique_ptr<PooledWorker>(new (std::nothrow) RecordingWorker());
}

const SIZE_T kStack = 256 * 1024;

class HandlerPoolTest : public testing::Test {
protected:
    void SetUp() override {
        gRecord = &mRecord;
        mLocksBefore = ModuleLockCount();
    }
    void TearDown() override {
        if (mRecord.release) {
            SetEvent(mRecord.release);
            CloseHandle(mRecord.release);
        }
        gRecord = nullptr;
    }
    Record mRecord;
    LONG mLocksBefore = 0;
};

}  // namespace

TEST_F(HandlerPoolTest, IdleThreadTakesTheNextItemAndEndsAfterItsIdleTime) {
    // An item that finds a thread idle runs there: no new thread. A thread idle for its idle time
    // ends, its worker with it on that thread, and gives its module lock back.
    HandlerPool pool(&MakeRecordingWorker, 300, kStack);
    pool.Open();
    ASSERT_TRUE(pool.Run(new int(1)));
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 1; }));
    EXPECT_EQ(mLocksBefore + 1, ModuleLockCount());
    ASSERT_TRUE(pool.Run(new int(2)));
    ASSERT_TRUE(WaitFor([&] { return mRecord.Served() == 2 && pool.IdleThreads() == 1; }));
    EXPECT_EQ(1, pool.Threads());
    EXPECT_EQ(mRecord.servedOn[0], mRecord.servedOn[1]) << "the second item got a thread of its own";
    ASSERT_TRUE(WaitFor([&] { return pool.Threads() == 0; }, 5000)) << "the idle thread did not end";
    ASSERT_EQ(1u, mRecord.endedOn.size());
    EXPECT_EQ(mRecord.servedOn[0], mRecord.endedOn[0]) << "the worker ended on another thread";
    EXPECT_EQ(mLocksBefore, ModuleLockCount());
    pool.Close();
}

TEST_F(HandlerPoolTest, BusyThreadsNeverMakeAnItemWait) {
    // While every thread is busy, each new item gets a new thread at once; finished, they all
    // wait for more.
    mRecord.release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HandlerPool pool(&MakeRecordingWorker, 60000, kStack);
    pool.Open();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.Run(new int(i)));
    EXPECT_TRUE(WaitFor([&] { return mRecord.Served() == 3; })) << "an item waited behind a busy one";
    EXPECT_EQ(3, pool.Threads());
    EXPECT_EQ(0, pool.IdleThreads());
    SetEvent(mRecord.release);
    EXPECT_TRUE(WaitFor([&] { return pool.IdleThreads() == 3; }));
    EXPECT_EQ(mLocksBefore + 3, ModuleLockCount());
    pool.Close();
    EXPECT_TRUE(WaitFor([&] { return pool.Threads() == 0; }));
    EXPECT_EQ(mLocksBefore, ModuleLockCount());
}

TEST_F(HandlerPoolTest, CloseAndEndAllEndIdleThreadsAtOnce) {
    // Closing ends the idle threads long before their idle time; closed, a thread ends after its
    // item. EndAll waits for busy threads, up to its time-out.
    mRecord.release = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HandlerPool pool(&MakeRecordingWorker, 60000, kStack);
    pool.Open();
    ASSERT_TRUE(pool.Run(new int(1)));
    ASSERT_TRUE(pool.Run(new int(2)));
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 2; }));
    pool.Close();
    EXPECT_TRUE(WaitFor([&] { return pool.Threads() == 0; }, 5000)) << "idle threads outlived the close";
    EXPECT_EQ(2u, mRecord.endedOn.size());

    ASSERT_TRUE(pool.Run(new int(3)));
    EXPECT_TRUE(WaitFor([&] { return pool.Threads() == 0; }, 5000)) << "a closed pool kept a thread waiting";
    EXPECT_EQ(3u, mRecord.Served());

    ResetEvent(mRecord.release);
    pool.Open();
    ASSERT_TRUE(pool.Run(new int(4)));
    ASSERT_TRUE(WaitFor([&] { return mRecord.Served() == 4; }));
    EXPECT_FALSE(pool.EndAll(100)) << "EndAll did not wait for the busy thread";
    SetEvent(mRecord.release);
    EXPECT_TRUE(pool.EndAll(10000));
    EXPECT_EQ(0, pool.Threads());
    EXPECT_EQ(4u, mRecord.endedOn.size());
    EXPECT_EQ(mLocksBefore, ModuleLockCount());
}
