/* Threads of one process at once: the process cache is filled without a local lock, so this is mostly for
 * ThreadSanitizer (racing first attaches and first locks included); the checks also catch lost updates on any
 * build. */
#include "support.h"

#include <atomic>
#include <latch>
#include <set>
#include <thread>

using namespace libpow_test;

namespace {

constexpr int kThreads = 6;

void onThreads(const std::function<void(int)>& fn) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { start.arrive_and_wait(), fn(t); });
    for (std::thread& thread : threads)
        thread.join();
}

class ThreadsTest : public LibPowTest {
protected:
    void SetUp() override { device.createAreas(); }
};

/* Each thread reserves its own index and counts on it while a sweeper runs, switches four days of January
 * 2024 (one word of the calendar), and writes the ready flag under its lock while thread 0 changes the mask. */
TEST_F(ThreadsTest, ThreadsReservingSweepingSwitchingDaysAndFlagsLoseNoUpdate) {
    for (int round = 0; round < 20; ++round) { /* first, racing first locks of semaphores not made yet */
        resetLibrary(), PLAT_semRemove(device.names.semNvd.c_str()), PLAT_semRemove(device.names.semRdy.c_str());
        onThreads([](int) { bool on; EXPECT_EQ(LIB_POW_getWeeklyTimerDateOn(2024, 1, 1, &on), 0), LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag()); });
    }
    constexpr int kRounds = 200;
    short indices[kThreads] = {};
    long inside = 0; /* plain: the HddReady semaphore is what guards it */
    std::atomic<bool> done{false};
    std::thread sweeper([&] {
        while (!done.load()) { /* pausing, as valgrind's threads take turns */
            LIB_POW_IsHddSleepDelay(), LIB_POW_IsPowerSaveDelay();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    onThreads([&](int t) {
        indices[t] = LIB_POW_setPowerSaveDelay(-1);
        for (int n = 0; n < kRounds; ++n) {
            LIB_POW_setPowerSaveDelay(indices[t]), LIB_POW_setPowerSaveDelay(indices[t]);
            LIB_POW_resetPowerSaveDelay(indices[t]);
            for (int k = 0; k < 4; ++k) {
                unsigned char day = static_cast<unsigned char>(1 + t * 4 + k);
                bool on = n + 1 == kRounds ? day % 2 == 1 : (n + k) % 2 == 0, read = !on; /* the odd days end on */
                if (LIB_POW_setWeeklyTimerDateOn(2024, 1, day, on) != 0 || LIB_POW_getWeeklyTimerDateOn(2024, 1, day, &read) != 0 || read != on)
                    ADD_FAILURE() << "day " << int(day) << " did not read back";
            }
            if (t == 0)
                LIB_POW_setLogLevel(n % 2 ? 3 : 2);
            SemId held = LIB_POW_Lock_HddReadyFlag();
            ASSERT_NE(held, nullptr);
            LIB_POW_setHddReady((n + t) % 2 == 0);
            EXPECT_EQ(LIB_POW_isHddReady(), (n + t) % 2 == 0);
            ++inside;
            LIB_POW_UnLock_HddReadyFlag(held);
            LIB_POW_putResetAutoSleepTimer();
            unsigned char request = LIB_POW_getResetAutoSleepTimer(true);
            EXPECT_TRUE(request == 0 || request == 2);
            LIB_POW_getDelayPowerSaveTaskNoneReserved(true);
        }
    });
    done = true;
    sweeper.join();

    PwrSharedArea* area = device.pwr();
    EXPECT_EQ(std::set<short>(indices, indices + kThreads).size(), size_t(kThreads)) << "two threads were given one index";
    for (short index : indices) {
        ASSERT_GE(index, 1);
        EXPECT_EQ(loadWord(area->sl_DelayPid[index]), getpid());
        EXPECT_EQ(loadWord(area->ss_DelayCount[index]), 1 + kRounds);
    }
    EXPECT_EQ(loadWord(area->DelayTaskNum), kThreads * (1 + kRounds));
    EXPECT_EQ(loadWord(area->us_FreeIndexNum), 255 - kThreads);
    const uint8_t* word = device.nvd()->ul_DateOnBits[(2024 - 2000) * 12];
    uint32_t bits = word[0] | word[1] << 8 | word[2] << 16 | uint32_t(word[3]) << 24, expected = 0;
    for (int day = 1; day <= kThreads * 4; day += 2)
        expected |= 1u << day;
    EXPECT_EQ(bits, expected);
    EXPECT_EQ(inside, kThreads * kRounds);
}

} // namespace
