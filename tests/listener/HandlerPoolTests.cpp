// HandlerPoolTests.cpp -- handler threads kept for reuse: reuse, no waiting behind busy threads, idle end, close and end, module locks.
#include "ListenerTestSupport.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "HandlerPool.h"
#include "ModuleLock.h"

using namespace kvtest;

namespace {

// The threads items ran on and workers ended on; items wait for `release` while it is reset.
std::mutex gLock;
std::vector<DWORD> gServedOn;
std::vector<DWORD> gEndedOn;
HANDLE gRelease = nullptr;

size_t Count(const std::vector<DWORD>& threads) {
    std::lock_guard<std::mutex> hold(gLock);
    return threads.size();
}

class RecordingWorker final : public PooledWorker {
public:
    void Serve(void* item) override {
        delete static_cast<int*>(item);
        {
            std::lock_guard<std::mutex> hold(gLock);
            gServedOn.push_back(GetCurrentThreadId());
        }
        WaitForSingleObject(gRelease, 20000);
    }
    ~RecordingWorker() override {
        std::lock_guard<std::mutex> hold(gLock);
        gEndedOn.push_back(GetCurrentThreadId());
    }
};

std::unique_ptr<PooledWorker> MakeRecordingWorker() {
    return std::unique_ptr<PooledWorker>(new (std::nothrow) RecordingWorker());
}

class HandlerPoolTest : public testing::Test {
protected:
    void SetUp() override {
        gServedOn.clear();
        gEndedOn.clear();
        gRelease = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        mLocksBefore = ModuleLockCount();
    }
    void TearDown() override { CloseHandle(gRelease); }
    LONG mLocksBefore = 0;
};

}  // namespace

TEST_F(HandlerPoolTest, IdleThreadsServeAgainBusyOnesNeverMakeAnItemWait) {
    // An item that finds a thread idle runs there; while every thread is busy, a new item gets a
    // new thread at once. A thread idle for its idle time ends, its worker with it on that
    // thread, and gives its module lock back.
    HandlerPool pool(&MakeRecordingWorker, 500, 256 * 1024);
    pool.Open();
    ASSERT_TRUE(pool.Run(new int(1)));
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 1; }));
    ResetEvent(gRelease);
    ASSERT_TRUE(pool.Run(new int(2)));
    ASSERT_TRUE(pool.Run(new int(3)));
    ASSERT_TRUE(WaitFor([&] { return Count(gServedOn) == 3; })) << "an item waited behind a busy one";
    EXPECT_EQ(2, pool.Threads());
    EXPECT_EQ(mLocksBefore + 2, ModuleLockCount());
    EXPECT_EQ(2, std::count(gServedOn.begin(), gServedOn.end(), gServedOn[0])) << "the idle thread was passed over";
    SetEvent(gRelease);
    ASSERT_TRUE(WaitFor([&] { return pool.Threads() == 0; })) << "idle threads did not end";
    std::sort(gServedOn.begin(), gServedOn.end());
    gServedOn.erase(std::unique(gServedOn.begin(), gServedOn.end()), gServedOn.end());
    std::sort(gEndedOn.begin(), gEndedOn.end());
    EXPECT_EQ(gServedOn, gEndedOn) << "a worker ended on another thread";
    EXPECT_EQ(mLocksBefore, ModuleLockCount());
}

TEST_F(HandlerPoolTest, CloseAndEndAllEndIdleThreadsAtOnce) {
    // Closing ends the idle threads long before their idle time; closed, a thread ends after its
    // item. EndAll waits for a busy thread, up to its time-out.
    HandlerPool pool(&MakeRecordingWorker, 60000, 256 * 1024);
    pool.Open();
    ASSERT_TRUE(pool.Run(new int(1)));
    ASSERT_TRUE(WaitFor([&] { return pool.IdleThreads() == 1; }));
    pool.Close();
    EXPECT_TRUE(WaitFor([&] { return pool.Threads() == 0; }, 5000)) << "an idle thread outlived the close";
    ASSERT_TRUE(pool.Run(new int(2)));
    EXPECT_TRUE(WaitFor([&] { return pool.Threads() == 0; }, 5000)) << "a closed pool kept a thread waiting";

    pool.Open();
    ResetEvent(gRelease);
    ASSERT_TRUE(pool.Run(new int(3)));
    ASSERT_TRUE(WaitFor([&] { return Count(gServedOn) == 3; }));
    EXPECT_FALSE(pool.EndAll(100)) << "EndAll did not wait for the busy thread";
    SetEvent(gRelease);
    EXPECT_TRUE(pool.EndAll(10000));
    EXPECT_EQ(3u, gEndedOn.size());
    EXPECT_EQ(mLocksBefore, ModuleLockCount());
}
