// GroupCommitTests.cpp -- group commit: every caller waits for the work of the batch that holds it, batches are shared, a failure reaches exactly the callers it concerns.
#include "GroupCommit.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

struct Job {
    int id;
    int batch = 0;  // set by the work
};

// What the work does with a batch: flush it, fail it whole (ERROR_DISK_FULL), fail every fourth
// job in it (ERROR_FILE_EXISTS), or throw.
enum class Outcome { Done, DiskFull, SomeJobs, Throws };

// Runs `threads` threads that each commit `perThread` jobs, with work that records which batch
// held each job and what became of it.
class Batches {
public:
    template <class Pick>
    void Run(int threads, int perThread, Pick pick) {
        GroupCommit<Job> commit([&](const std::vector<Job*>& jobs, std::vector<DWORD>& errors) {
            std::unique_lock<std::mutex> hold(mLock);
            const int batch = ++mBatches;
            const Outcome outcome = pick(batch);
            mOutcome[batch] = outcome;
            for (size_t i = 0; i < jobs.size(); ++i) {
                EXPECT_EQ(0, jobs[i]->batch) << "job " << jobs[i]->id << " was in two batches";
                EXPECT_EQ(DWORD(ERROR_SUCCESS), errors[i]);
                jobs[i]->batch = batch;
                if (outcome == Outcome::DiskFull) errors[i] = ERROR_DISK_FULL;
                if (outcome == Outcome::SomeJobs && jobs[i]->id % 4 == 0) errors[i] = ERROR_FILE_EXISTS;
            }
            hold.unlock();
            Sleep(1);  // long enough for others to gather behind this batch
            hold.lock();
            mFinished[batch] = true;
            if (outcome == Outcome::Throws) throw std::bad_alloc();
        });
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    Job job{t * perThread + i + 1};
                    SetLastError(0xdeadbeef);
                    const bool ok = commit.Commit(job);
                    const DWORD error = GetLastError();
                    std::lock_guard<std::mutex> hold(mLock);
                    mResults.push_back(Result{job, ok, error});
                }
            });
        }
        for (std::thread& worker : workers) worker.join();
    }

    // Each caller returned after the work of its batch had ended, with what that work made of its
    // job: success, or failure with the job's own error.
    void ExpectEveryCallerHadItsBatchsOutcome() {
        for (const Result& result : mResults) {
            const int batch = result.job.batch;
            ASSERT_NE(0, batch) << "job " << result.job.id << " returned without a batch";
            EXPECT_TRUE(mFinished[batch]) << "job " << result.job.id << " returned before its batch's work ended";
            const Outcome outcome = mOutcome[batch];
            const DWORD expected = outcome == Outcome::DiskFull                            ? DWORD(ERROR_DISK_FULL)
                                   : outcome == Outcome::Throws                            ? DWORD(ERROR_NOT_ENOUGH_MEMORY)
                                   : outcome == Outcome::SomeJobs && result.job.id % 4 == 0 ? DWORD(ERROR_FILE_EXISTS)
                                                                                           : DWORD(ERROR_SUCCESS);
            EXPECT_EQ(expected == ERROR_SUCCESS, result.ok) << "job " << result.job.id << " in batch " << batch;
            // Success promises nothing about the last error (the thread library may change it).
            if (!result.ok) {
                EXPECT_EQ(expected, result.error) << "job " << result.job.id << " in batch " << batch;
            }
        }
    }

    int batches() const { return mBatches; }
    size_t results() const { return mResults.size(); }

private:
    struct Result {
        Job job;
        bool ok;
        DWORD error;
    };
    std::mutex mLock;
    int mBatches = 0;
    std::map<int, Outcome> mOutcome;
    std::map<int, bool> mFinished;
    std::vector<Result> mResults;
};

}  // namespace

TEST(GroupCommit, EveryCallerWaitsForTheWorkOfItsBatchAndBatchesAreShared) {
    // Eight threads committing at once: each returns only after the work of a batch that held its
    // job has ended, no job is in two batches, and batches hold several jobs.
    Batches batches;
    batches.Run(8, 40, [](int) { return Outcome::Done; });
    ASSERT_EQ(320u, batches.results());
    batches.ExpectEveryCallerHadItsBatchsOutcome();
    EXPECT_LT(batches.batches(), 320) << "no batch held more than one job";
}

TEST(GroupCommit, AFailureReachesExactlyTheCallersItConcerns) {
    // A batch failed whole fails all its callers with its error, a batch that throws fails all
    // with ERROR_NOT_ENOUGH_MEMORY, a job failed alone fails only its caller; the rest succeed.
    Batches batches;
    batches.Run(8, 30, [](int batch) {
        if (batch % 3 == 0) return Outcome::DiskFull;
        if (batch % 5 == 0) return Outcome::Throws;
        return batch % 2 == 0 ? Outcome::SomeJobs : Outcome::Done;
    });
    ASSERT_EQ(240u, batches.results());
    batches.ExpectEveryCallerHadItsBatchsOutcome();
}
