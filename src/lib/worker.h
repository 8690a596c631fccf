// The blocks of a signal made on several threads and handed to one caller in index
// order. Whoever makes a block, the caller sees the same blocks in the same order, so
// anything it adds up over them (the power sums) keeps its order of additions and the
// output does not depend on the number of threads.
#ifndef SONVEL_WORKER_H
#define SONVEL_WORKER_H

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The processors this process may run on (its affinity mask), at least 1.
int usableProcessors();

// Blocks 0 .. blocks - 1, each made by make(context, block, slot) into slot
// block % slots of the caller's storage. Up to threads - 1 worker threads make blocks
// ahead of the caller, at most `slots` blocks beyond the last one released; the caller
// makes blocks itself while the one it waits for is not ready. Workers sleep on a
// condition variable while nothing may be made; none spins. make must be safe to call
// from several threads for different blocks.
class BlockPipeline {
public:
    typedef void (*MakeFn)(void *context, int block, int slot);

    // Where threads cannot be started, fewer work; with one, the caller makes every
    // block in take().
    BlockPipeline(int threads, int blocks, int slots, MakeFn make, void *context);
    // Stops the workers after the blocks they are making and joins them.
    ~BlockPipeline();
    BlockPipeline(const BlockPipeline &) = delete;
    BlockPipeline &operator=(const BlockPipeline &) = delete;

    // The slot of block `block`, once made. Blocks are taken in index order, each
    // after the one before it was released.
    int take(int block);
    // The caller is done with block `block`: its slot may take another block.
    void release(int block);

    int threads() const { return static_cast<int>(workers_.size()) + 1; }

private:
    bool mayMake() const;
    void makeNext(std::unique_lock<std::mutex> &lock);
    void work();

    const int blocks_, slots_;
    // A worker that has filled the slots sleeps until this many are free again, so that
    // it is woken once for several blocks, not once a block.
    const int wakeFree_;
    const MakeFn make_;
    void *const context_;
    std::mutex mutex_;
    std::condition_variable spaceFree_;  // workers wait here for free slots
    std::condition_variable blockMade_;  // the caller waits here for its block
    std::vector<int> made_;              // per slot: the block made there, or -1
    int next_ = 0;                       // the next block to make
    int released_ = 0;                   // blocks below this one have been released
    int idleWorkers_ = 0;
    bool callerWaits_ = false, stop_ = false;
    std::vector<std::thread> workers_;
};

#endif
