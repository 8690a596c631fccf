#include "worker.h"

#include <sched.h>

#include <algorithm>
#include <new>
#include <system_error>

int usableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int count = CPU_COUNT(&set);
    return count > 0 ? count : 1;
}

WorkPipeline::WorkPipeline(int threads, int items, int slots, MakeFn make, void *context)
    : items_(items), slots_(slots > 0 ? slots : 1), wakeFree_((slots_ + 1) / 2), make_(make),
      context_(context), made_(static_cast<size_t>(slots_), -1)
{
    // Workers beyond the items would have nothing to do. A thread that cannot be
    // started leaves the work to those that could: the items are the same.
    const int wanted = std::min(threads, items) - 1;
    try {
        workers_.reserve(static_cast<size_t>(wanted > 0 ? wanted : 0));
        for (int i = 0; i < wanted; i++) workers_.emplace_back(&WorkPipeline::work, this);
    } catch (const std::system_error &) {
    } catch (const std::bad_alloc &) {
    }
}

WorkPipeline::~WorkPipeline()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    spaceFree_.notify_all();
    for (std::thread &t : workers_) t.join();
}

bool WorkPipeline::mayMake() const { return next_ < items_ && next_ < released_ + slots_; }

// Claims the next item, makes it outside the lock and marks it made.
void WorkPipeline::makeNext(std::unique_lock<std::mutex> &lock)
{
    const int item = next_++;
    lock.unlock();
    make_(context_, item, item % slots_);
    lock.lock();
    made_[static_cast<size_t>(item % slots_)] = item;
    if (callerWaits_) itemMade_.notify_one();
}

void WorkPipeline::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (!stop_ && next_ < items_ && released_ + slots_ - next_ < wakeFree_) {
            idleWorkers_++;
            spaceFree_.wait(lock);
            idleWorkers_--;
        }
        if (stop_ || next_ >= items_) return;
        makeNext(lock);
    }
}

int WorkPipeline::take(int item)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t slot = static_cast<size_t>(item % slots_);
    while (made_[slot] != item) {
        // Rather than wait, the caller makes a later item (or this one, if no worker
        // has claimed it yet).
        if (mayMake()) {
            makeNext(lock);
            continue;
        }
        callerWaits_ = true;
        itemMade_.wait(lock);
        callerWaits_ = false;
    }
    return static_cast<int>(slot);
}

void WorkPipeline::release(int item)
{
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = item + 1;
    if (idleWorkers_ > 0 && released_ + slots_ - next_ == wakeFree_) spaceFree_.notify_all();
}
