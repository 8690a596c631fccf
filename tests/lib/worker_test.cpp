// The work pipeline on its own: every item made once, into a slot nobody else is using,
// and handed over in index order, whatever the number of threads and slots.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "worker.h"

namespace {

struct Blocks {
    std::vector<std::atomic<int>> timesMade;
    std::vector<int> slot;  // the block each slot holds
    Blocks(int blocks, int slots)
        : timesMade(static_cast<size_t>(blocks)), slot(static_cast<size_t>(slots), -1)
    {
    }
};

// Writes the block's number into its slot; every seventh block takes a while, so that
// blocks finish out of order.
void makeBlock(void *context, int block, int slot)
{
    Blocks *b = static_cast<Blocks *>(context);
    b->timesMade[static_cast<size_t>(block)]++;
    if (block % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(200));
    b->slot[static_cast<size_t>(slot)] = block;
}

}  // namespace

TEST(WorkPipeline, EveryBlockOnceInOrderInItsOwnSlot)
{
    const int BLOCKS = 300;
    EXPECT_GE(usableProcessors(), 1);
    for (int threads : {1, 2, 4}) {
        for (int slots : {1, 3, 8}) {
            Blocks b(BLOCKS, slots);
            {
                WorkPipeline pipeline(threads, BLOCKS, slots, makeBlock, &b);
                EXPECT_LE(pipeline.threads(), threads);
                for (int k = 0; k < BLOCKS; k++) {
                    const int slot = pipeline.take(k);
                    ASSERT_EQ(slot, k % slots);
                    ASSERT_EQ(b.slot[static_cast<size_t>(slot)], k) << threads << " threads";
                    pipeline.release(k);
                }
            }
            for (int k = 0; k < BLOCKS; k++) ASSERT_EQ(b.timesMade[static_cast<size_t>(k)], 1) << k;
        }
    }
}

TEST(WorkPipeline, StoppingEarlyMakesNothingBeyondTheSlots)
{
    const int BLOCKS = 1000, SLOTS = 4;
    Blocks b(BLOCKS, SLOTS);
    {
        WorkPipeline pipeline(3, BLOCKS, SLOTS, makeBlock, &b);
        for (int k = 0; k < 10; k++) {
            pipeline.take(k);
            pipeline.release(k);
        }
    }
    int made = 0;
    for (auto &t : b.timesMade) made += t;
    EXPECT_GE(made, 10);
    EXPECT_LE(made, 10 + SLOTS);
}
