// Pieces of work done on several threads and handed to one caller in index order.
// Whoever makes a piece, the caller sees the same pieces in the same order, so anything
// it adds up over them keeps its order of additions: the engine's power sums, and with
// them the output, do not depend on the number of threads.
#ifndef SONVEL_WORKER_H
#define SONVEL_WORKER_H

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The processors this process may run on (its affinity mask), at least 1.
int usableProcessors();

// Items 0 .. items - 1, each made by make(context, item, slot) into slot item % slots
// of the caller's storage. Up to threads - 1 worker threads make items ahead of the
// caller, at most `slots` beyond the last one released; the caller makes items itself
// while the one it waits for is not ready. Workers sleep on a condition variable while
// there is nothing to make; none spins. make must be safe to call from several threads
// for different items; an item should take long enough (tens of microseconds) that
// waking a thread for it costs little.
class WorkPipeline {
public:
    typedef void (*MakeFn)(void *context, int item, int slot);

    // Where threads cannot be started, fewer work; with one, the caller makes every
    // item in take().
    WorkPipeline(int threads, int items, int slots, MakeFn make, void *context);
    // Stops the workers after the items they are making and joins them.
    ~WorkPipeline();
    WorkPipeline(const WorkPipeline &) = delete;
    WorkPipeline &operator=(const WorkPipeline &) = delete;

    // The slot of item `item`, once made. Items are taken in index order, each after
    // the one before it was released.
    int take(int item);
    // The caller is done with item `item`: its slot may take another item.
    void release(int item);

    int threads() const { return static_cast<int>(workers_.size()) + 1; }

private:
    bool mayMake() const;
    void makeNext(std::unique_lock<std::mutex> &lock);
    void work();

    const int items_, slots_;
    // A worker that has filled the slots sleeps until this many are free again, so that
    // it is woken once for several items, not once an item.
    const int wakeFree_;
    const MakeFn make_;
    void *const context_;
    std::mutex mutex_;
    std::condition_variable spaceFree_;  // workers wait here for free slots
    std::condition_variable itemMade_;   // the caller waits here for its item
    std::vector<int> made_;              // per slot: the item made there, or -1
    int next_ = 0;                       // the next item to make
    int released_ = 0;                   // items below this one have been released
    int idleWorkers_ = 0;
    bool callerWaits_ = false, stop_ = false;
    std::vector<std::thread> workers_;
};

#endif
