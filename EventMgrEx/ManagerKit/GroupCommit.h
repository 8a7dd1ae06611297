// GroupCommit.h -- work done once for many waiting threads: a leader does a whole batch, followers wait for the batch that holds them.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

// For work whose cost hardly grows with what it carries, such as a flush to disk that costs
// milliseconds for one file or for fifty. A caller joins the batch being gathered; if no batch is
// being worked on, it leads: it takes the batch and does its work while the next batch gathers.
// Batches are worked on one at a time, in order, and each holds only callers that joined before
// its work began, in the order they joined.
template <class Item>
class GroupCommit {
public:
    // Works on a batch: sets errors[i] (ERROR_SUCCESS when given) to the error that failed
    // items[i]. A throw fails every item of the batch.
    using Work = std::function<void(const std::vector<Item*>& items, std::vector<DWORD>& errors)>;

    explicit GroupCommit(Work work) : mWork(std::move(work)) {}
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    // Returns once the work of the batch holding `item` is done: true, or false with the error
    // that failed `item` as the thread's last error. `item` stays the caller's; the work may
    // change it meanwhile.
    bool Commit(Item& item) {
        Waiter self(&item);
        std::unique_lock<std::mutex> hold(mLock);
        // The list never keeps `self` past this call: the work of its batch is done, and the batch
        // taken out of the list, before the loop below lets it go.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
        *mTail = &self;
        mTail = &self.next;
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
        while (!self.done) {
            if (mWorking) {
                self.wake.wait(hold);
            } else {
                // Nobody works, so this caller is still in the batch being gathered.
                WorkOnGatheredBatch(hold);
            }
        }
        hold.unlock();
        if (self.error == ERROR_SUCCESS) return true;
        SetLastError(self.error);
        return false;
    }

private:
    struct Waiter {
        explicit Waiter(Item* joining) : item(joining) {}
        Item* item;
        Waiter* next = nullptr;
        bool done = false;
        DWORD error = ERROR_SUCCESS;
        // Its own, so that the end of a batch wakes the callers it held and one caller of the next
        // batch to lead it, not every thread that waits.
        std::condition_variable wake;
    };

    // Called with the lock held and returns with it held; the lock is free while the work runs.
    void WorkOnGatheredBatch(std::unique_lock<std::mutex>& hold) {
        mWorking = true;
        Waiter* batch = mHead;
        mHead = nullptr;
        mTail = &mHead;
        hold.unlock();
        // Nothing after the work may fail, so that every caller learns how its batch went.
        std::vector<DWORD> errors;
        try {
            std::vector<Item*> items;
            for (Waiter* waiter = batch; waiter; waiter = waiter->next) items.push_back(waiter->item);
            errors.assign(items.size(), ERROR_SUCCESS);
            mWork(items, errors);
        } catch (...) {
            errors.clear();
        }
        hold.lock();
        size_t i = 0;
        for (Waiter* waiter = batch; waiter; waiter = waiter->next, ++i) {
            // A batch that threw, or could not even be listed, fails whole.
            waiter->error = i < errors.size() ? errors[i] : ERROR_NOT_ENOUGH_MEMORY;
            waiter->done = true;
            waiter->wake.notify_one();  // it cannot leave before the lock is free again
        }
        mWorking = false;
        if (mHead) mHead->wake.notify_one();
    }

    const Work mWork;
    std::mutex mLock;
    // The batch being gathered, in joining order. Each waiter lives on its caller's stack, and its
    // caller stays in Commit until a batch that held it is done.
    Waiter* mHead = nullptr;
    Waiter** mTail = &mHead;
    bool mWorking = false;
};
