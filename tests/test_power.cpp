/* Status flags and power-save delay reservations: bytes, trace levels,
 * counting, the sweep of ended holders, processes meeting on one table. */
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sched.h>
#include <set>
#include <unistd.h>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

constexpr unsigned kLevels[] = {1, 16, 32, 64};

/* op's trace as "LEVEL function message": run once at all levels for the
 * order, then once per level; `prepare` resets the area before each run. */
Lines leveled(const std::function<void()>& prepare, const std::function<void()>& op) {
    prepare();
    Lines ordered = traceAt(0x71, op, true), out;
    std::vector<Lines> perLevel;
    for (unsigned level : kLevels)
        prepare(), perLevel.push_back(traceAt(level, op, true));
    for (const std::string& line : ordered) {
        std::string tagged = "? " + line;
        for (size_t n = 0; n < perLevel.size() && tagged[0] == '?'; ++n) {
            auto it = std::find(perLevel[n].begin(), perLevel[n].end(), line);
            if (it != perLevel[n].end())
                perLevel[n].erase(it), tagged = std::to_string(kLevels[n]) + " " + line;
        }
        out.push_back(tagged);
    }
    return out;
}

/* Keeps only the lines printed by the named functions (after any level). */
Lines only(const Lines& in, std::initializer_list<std::string> functions) {
    Lines out;
    for (const std::string& line : in) {
        size_t start = isdigit(static_cast<unsigned char>(line[0])) ? line.find(' ') + 1 : 0;
        if (std::find(functions.begin(), functions.end(), line.substr(start, line.find(' ', start) - start)) != functions.end())
            out.push_back(line);
    }
    return out;
}

/* kill(): pids in g_deadPids have ended; the hook runs once, mid-sweep. */
std::vector<pid_t> g_killedPids;
std::set<pid_t> g_deadPids;
std::function<void()> g_onFirstKill;
int fakeKill(pid_t pid, int sig) {
    g_killedPids.push_back(pid);
    if (auto hook = std::exchange(g_onFirstKill, nullptr))
        hook();
    if (sig == 0 && g_deadPids.count(pid))
        return errno = ESRCH, -1;
    return 0;
}

int asNewProcess(const std::function<int()>& fn) { return runChild([&] { resetLibrary(); return fn(); }); }

class PowerTest : public LibPowTest {
protected:
    void SetUp() override {
        device.createAreas();
        a = device.pwr();
        g_killedPids.clear(), g_deadPids.clear(), g_onFirstKill = nullptr;
    }
    void setStack(std::initializer_list<uint16_t> bottomToTop) {
        a->us_FreeIndexNum = 0;
        for (uint16_t e : bottomToTop)
            a->us_FreeIndex[a->us_FreeIndexNum++] = e;
    }
    void twoFreeIndices() { memset(a, 0, kPwrAreaSize), setStack({5, 9}); }
    void endedHolder(int index, pid_t pid, int16_t count) {
        setStack({});
        for (int i = 255; i >= 1; --i)
            if (i != index)
                a->us_FreeIndex[a->us_FreeIndexNum++] = static_cast<uint16_t>(i);
        a->sl_DelayPid[index] = pid, a->ss_DelayCount[index] = count, a->DelayTaskNum = count;
    }
    std::string state(int i) {
        return "pid=" + std::to_string(a->sl_DelayPid[i]) + " count=" + std::to_string(a->ss_DelayCount[i]) +
               " total=" + std::to_string(a->DelayTaskNum) + " free=" + std::to_string(a->us_FreeIndexNum) +
               " note=" + std::to_string(a->b_DelayPowerSaveTaskNoneReserved);
    }
    PwrSharedArea* a = nullptr;
    const std::string me = std::to_string(getpid());
};

} // namespace

TEST_F(PowerTest, FlagCallsTouchOnlyTheirOwnByteAndTraceAtTheirLevels) {
    getPwrShm(); /* keep the first attach's lines out */
    const std::string R = " LIB_POW_getResetAutoSleepTimer ", P = " LIB_POW_putResetAutoSleepTimer ",
                      S = " LIB_POW_setHddReady ", H = " LIB_POW_isHddReady ", F = " LIB_POW_setPowerSaveDelayForService ",
                      N = " LIB_POW_getDelayPowerSaveTaskNoneReserved ", D = " LIB_POW_IsPowerSaveDelay ";
    const struct {
        size_t offset;
        uint8_t before, after;
        std::function<void()> op;
        Lines trace;
    } cases[] = {
        {2056, 7, 7, [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(false), 7); }, {"64" + R + "Start(b_Delete=0)", "64" + R + "End(uc_Ret=0x7)"}},
        {2056, 2, 0, [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 2); }, {"64" + R + "Start(b_Delete=1)", "64" + R + "End(uc_Ret=0x2)"}},
        {2056, 0, 2, [] { LIB_POW_putResetAutoSleepTimer(); }, {"16" + P + "Start", "16" + P + "End"}},
        {2059, 0, 1, [] { LIB_POW_setHddReady(true); }, {"64" + S + "Start(b_Ready=1)", "16" + S + "End(b_Ready=1)"}},
        {2059, 1, 0, [] { LIB_POW_setHddReady(false); }, {"64" + S + "Start(b_Ready=0)", "16" + S + "End(b_Ready=0)"}},
        {2059, 1, 1, [] { EXPECT_TRUE(LIB_POW_isHddReady()); }, {"64" + H + "Start", "64" + H + "End(b_Ret=1)"}},
        {2059, 0, 0, [] { EXPECT_FALSE(LIB_POW_isHddReady()); }, {"64" + H + "Start", "16" + H + "End(b_Ret=0)"}},
        {2057, 1, 1, [] { EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false)); }, {"64" + N + "Start(b_Delete=0)", "16" + N + "End(b_Ret=1)"}},
        {2057, 1, 0, [] { EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); }, {"64" + N + "Start(b_Delete=1)", "16" + N + "End(b_Ret=1)"}},
        {2057, 0, 0, [] { EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); }, {"64" + N + "Start(b_Delete=1)", "64" + N + "End(b_Ret=0)"}},
        {2058, 1, 0, [] { LIB_POW_setPowerSaveDelayForService(); }, {"32" + F + "Start", "16" + F + "End"}},
        {0, 2, 2, [] { EXPECT_TRUE(LIB_POW_IsPowerSaveDelay()); }, {"32" + D + "Start", "32" + D + "End(b_Ret=1)"}},
    };
    for (const auto& c : cases) {
        auto prepare = [&] { memset(a, 0xA5, kPwrAreaSize), reinterpret_cast<uint8_t*>(a)[c.offset] = c.before; };
        EXPECT_EQ(leveled(prepare, c.op), c.trace);
        std::vector<uint8_t> got = bytesOf(a), expect = (prepare(), bytesOf(a));
        expect[c.offset] = c.after;
        EXPECT_EQ(differences(expect, got), Lines{}) << c.trace[0];
    }
    memset(a, 0, kPwrAreaSize);
    for (int16_t total : {0, 1, -3, 0x100}) { /* the total is a signed 16-bit word */
        a->DelayTaskNum = total;
        EXPECT_EQ(LIB_POW_IsPowerSaveDelay(), total != 0) << total;
    }
}

/* A read then a separate clear would wipe a request written in between. With `repeats`, one raise may be
 * taken twice: a drop to none raises the note before the total of 0 is stored and again after it. */
void expectNoRequestLost(void (*raise)(), bool (*take)(), bool (*raised)(), bool repeats) {
    constexpr int kRequests = 4000;
    struct Shared { std::atomic<int> taken, stop; }* shared = sharedBlock<Shared>();
    Gate gate;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    pid_t reader = startChild([&] {
        gate.wait();
        for (bool finished = false; !finished && std::chrono::steady_clock::now() < deadline;) {
            finished = shared->stop.load() != 0;
            if (take())
                ++shared->taken, finished = false;
            else
                sched_yield(); /* on one CPU the writer runs now, not at the next tick */
        }
        return 0;
    });
    pid_t writer = startChild([&] {
        gate.wait();
        int n = 0;
        while (n < kRequests && std::chrono::steady_clock::now() < deadline)
            if (!raised()) /* wait until the reader took the last one */
                raise(), ++n;
            else
                sched_yield();
        return n == kRequests ? 0 : 1;
    });
    gate.open();
    EXPECT_EQ(waitChild(writer), 0);
    shared->stop = 1;
    EXPECT_EQ(waitChild(reader), 0);
    EXPECT_GE(shared->taken.load(), kRequests) << "a request was lost";
    EXPECT_LE(shared->taken.load(), repeats ? 2 * kRequests : kRequests);
}

TEST_F(PowerTest, ReadAndClearNeverLosesARequestWrittenMeanwhile) {
    expectNoRequestLost([] { LIB_POW_putResetAutoSleepTimer(); },
                        [] { return LIB_POW_getResetAutoSleepTimer(true) == 2; },
                        [] { return LIB_POW_getResetAutoSleepTimer(false) != 0; }, false);
    expectNoRequestLost([] { LIB_POW_resetPowerSaveDelay(LIB_POW_setPowerSaveDelay(3)); }, /* no pop, no sweep */
                        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(true); },
                        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(false); }, true);
}

TEST_F(LibPowTest, WithoutTheAreaCallsAnswerNothingAndStillTraceStartAndEnd) {
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"LIB_POW_getResetAutoSleepTimer", [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 0); }},
        {"LIB_POW_putResetAutoSleepTimer", [] { LIB_POW_putResetAutoSleepTimer(); }},
        {"LIB_POW_setHddReady", [] { LIB_POW_setHddReady(true); }},
        {"LIB_POW_isHddReady", [] { EXPECT_FALSE(LIB_POW_isHddReady()); }},
        {"LIB_POW_getDelayPowerSaveTaskNoneReserved", [] { EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); }},
        {"LIB_POW_IsPowerSaveDelay", [] { EXPECT_FALSE(LIB_POW_IsPowerSaveDelay()); }},
        {"LIB_POW_setPowerSaveDelayForService", [] { LIB_POW_setPowerSaveDelayForService(); }},
        {"LIB_POW_setPowerSaveDelay", [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }},
        {"LIB_POW_resetPowerSaveDelay", [] { LIB_POW_resetPowerSaveDelay(3); }},
        {"LIB_POW_IsHddSleepDelay", [] { EXPECT_FALSE(LIB_POW_IsHddSleepDelay()); }},
    };
    g_libPowSys.kill = fakeKill;
    g_killedPids.clear();
    for (const auto& [fn, call] : cases) {
        Lines got = traceAt(0x71, call), mine = only(got, {fn});
        ASSERT_EQ(mine.size(), 2u) << fn;
        EXPECT_EQ(mine[0].rfind(fn + " Start", 0), 0u) << mine[0];
        EXPECT_EQ(mine[1].rfind(fn + " End", 0), 0u) << mine[1];
        EXPECT_EQ(only(got, {"GetShm"}).size(), 3u) << fn << ": attach retried each call";
    }
    EXPECT_TRUE(g_killedPids.empty()) << "no sweep without the area";
    device.createAreas();
    device.pwr()->b_HddReady = 1;
    EXPECT_TRUE(LIB_POW_isHddReady()) << "the next call attaches once the object exists";
}

TEST_F(PowerTest, WithoutTheSemaphoreNothingIsCountedOrGivenBack) {
    getPwrShm(); /* attached already: only the reservation's own take fails */
    CountingSeam seam;
    g_libPowSys.semTake = [](SemId, int) { ++CountingSeam::calls.takes; return errno = EIO, -1; };
    a->ss_DelayCount[1] = a->DelayTaskNum = 2;
    std::vector<uint8_t> before = bytesOf(a);
    EXPECT_EQ(lines(captureStdout([] {
                  EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1) + LIB_POW_setPowerSaveDelay(1), -2);
                  LIB_POW_resetPowerSaveDelay(1);
              })).size(), 3u) << "only the failed takes, at level 1";
    EXPECT_EQ(traceAt(16, [] { LIB_POW_setPowerSaveDelay(4); }), Lines{"setPowerSaveDelayPid End(DelayTaskNum=0 [index=4, count=0])"});
    EXPECT_EQ(bytesOf(a), before);
    EXPECT_EQ(CountingSeam::calls.takes, 4);
    EXPECT_EQ(CountingSeam::calls.gives, 0);
}

TEST_F(PowerTest, RequestsPopTheTopIndexCountOnItRaiseTheNoteAtEveryZeroAndAnEmptyStackRefuses) {
    getPwrShm();
    EXPECT_EQ(leveled([&] { twoFreeIndices(), a->b_DelayPowerSaveTaskNoneReserved = 1, a->ss_DelayCount[9] = 5; /* stale */ },
                      [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 9); }),
              (Lines{"32 LIB_POW_setPowerSaveDelay Start(ss_Index=-1)", "32 setPowerSaveDelayPid Start(ss_Index=-1)",
                     "64 lock Start(Name=sem_POW_Shm_SemName)", "64 lock End(pst_SemID=*)",
                     "16 setPowerSaveDelayPid get index [pid=" + me + ", index=9]", "64 unlock Start(pst_SemID=*)",
                     "64 unlock End", "16 setPowerSaveDelayPid End(DelayTaskNum=1 [index=9, count=1])",
                     "32 LIB_POW_setPowerSaveDelay End(ss_Index=-1)"}));
    EXPECT_EQ(state(9), "pid=" + me + " count=1 total=1 free=1 note=0");
    EXPECT_EQ(a->us_FreeIndex[0], 5);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(9) + LIB_POW_setPowerSaveDelay(9), 18);
    EXPECT_EQ(state(9), "pid=" + me + " count=3 total=3 free=1 note=0") << "a held index does not pop";
    LIB_POW_resetPowerSaveDelay(9);
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(state(9), "pid=" + me + " count=1 total=1 free=1 note=0");
    EXPECT_EQ(only(leveled([] {}, [] { LIB_POW_resetPowerSaveDelay(9); }), {"LIB_POW_resetPowerSaveDelay", "resetPowerSaveDelayPid"}),
              (Lines{"32 LIB_POW_resetPowerSaveDelay Start(ss_Index=9)", "32 resetPowerSaveDelayPid Start(ss_Index=9, b_AllDelete=0)",
                     "16 resetPowerSaveDelayPid End(DelayTaskNum=0 [index=9, count=0])", "32 LIB_POW_resetPowerSaveDelay End"}));
    EXPECT_EQ(state(9), "pid=" + me + " count=0 total=0 free=1 note=1") << "a count of 0 does not end the holding";
    a->b_DelayPowerSaveTaskNoneReserved = 0;
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(state(9), "pid=" + me + " count=0 total=0 free=1 note=1") << "every decrement to 0 raises the note";
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5);
    std::vector<uint8_t> before = bytesOf(a);
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }), Lines{"setPowerSaveDelayPid ss_Index=-1 Failed! pid=" + me});
    EXPECT_EQ(bytesOf(a), before);
}

TEST_F(PowerTest, InvalidIndicesAreRefusedAtTheirLevelsAndChangeNothing) {
    twoFreeIndices();
    a->DelayTaskNum = a->ss_DelayCount[255] = 4;
    for (auto refuse : {+[] { LIB_POW_setPowerSaveDelay(256); }, +[] { LIB_POW_resetPowerSaveDelay(256); }}) {
        refuse();
        ASSERT_EQ(PLAT_semTake(g_semPowID, PLAT_NO_WAIT), 0) << "a refused call kept the semaphore";
        PLAT_semGive(g_semPowID);
    }
    std::vector<uint8_t> before = bytesOf(a);
    for (short bad : {256, -2, -32768, 1000}) {
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(leveled([] {}, [bad] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(bad), -1); }), {"setPowerSaveDelayPid"}),
                  (Lines{"32 setPowerSaveDelayPid Start(ss_Index=" + b + ")", "1 setPowerSaveDelayPid ss_Index=" + b + " Failed! pid=" + me,
                         "16 setPowerSaveDelayPid End(DelayTaskNum=0 [index=" + b + ", count=0])"}));
    }
    for (short bad : {256, -1, -256}) {
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(leveled([] {}, [bad] { LIB_POW_resetPowerSaveDelay(bad); }), {"resetPowerSaveDelayPid"}),
                  (Lines{"32 resetPowerSaveDelayPid Start(ss_Index=" + b + ", b_AllDelete=0)",
                         "16 resetPowerSaveDelayPid End(DelayTaskNum=0 [index=" + b + ", count=0])"}));
    }
    EXPECT_EQ(bytesOf(a), before);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(255), 255) << "255 is the last valid index";
}

TEST_F(PowerTest, CountersWrapAt16BitsUpAndClampAtZeroDown) {
    twoFreeIndices();
    const struct { int16_t total, count; bool up; const char* after; } cases[] = {
        {0, 0, true, "pid=0 count=1 total=1 free=2 note=0"}, /* an index nobody holds: counted, no pid */
        {2, 0, false, "pid=0 count=0 total=1 free=2 note=0"}, /* ending at count 0 still lowers the total */
        {32767, 32767, true, "pid=0 count=-32768 total=-32768 free=2 note=0"},
        {-32768, -32768, false, "pid=0 count=0 total=0 free=2 note=1"},
        {5, -4, false, "pid=0 count=0 total=4 free=2 note=0"},
    };
    for (const auto& c : cases) {
        a->DelayTaskNum = c.total, a->ss_DelayCount[7] = c.count, a->b_DelayPowerSaveTaskNoneReserved = 0;
        if (c.up)
            EXPECT_EQ(LIB_POW_setPowerSaveDelay(7), 7);
        else
            LIB_POW_resetPowerSaveDelay(7);
        EXPECT_EQ(state(7), c.after) << c.total << "/" << c.count;
    }
}

TEST_F(PowerTest, StackEntriesAbove255AreDroppedAndNoPushOrPopLeavesTheStack) {
    getPwrShm();
    EXPECT_EQ(only(leveled([&] { twoFreeIndices(), setStack({5, 300}); }, [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5); }),
                   {"setPowerSaveDelayPid"}).at(1),
              "1 setPowerSaveDelayPid ss_Index=300 Failed!");
    EXPECT_EQ(state(5), "pid=" + me + " count=1 total=1 free=0 note=0");
    memset(a, 0, kPwrAreaSize); /* only bad entries: each dropped, the last one names the failure */
    setStack({0xFFFF, 256});
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }),
              (Lines{"setPowerSaveDelayPid ss_Index=256 Failed!", "setPowerSaveDelayPid ss_Index=-1 Failed!",
                     "setPowerSaveDelayPid ss_Index=-1 Failed! pid=" + me}));
    EXPECT_EQ(state(0), "pid=0 count=0 total=0 free=0 note=0");
    memset(a, 0, kPwrAreaSize); /* a free count above 256 pops from the top slot, no further */
    a->us_FreeIndex[255] = 42, a->us_FreeIndexNum = 0xFFFF;
    a->b_HddSleepDelay = a->uc_ResetAutoSleepTimer = 0x5A; /* bytes past the stack */
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 42);
    EXPECT_EQ(a->us_FreeIndexNum, 255);
    g_libPowSys.kill = fakeKill; /* a release onto a full or overfull stack drops the index */
    for (uint16_t freeNum : {256, 300}) {
        for (int n = 0; n < 256; ++n)
            a->us_FreeIndex[n] = static_cast<uint16_t>(n);
        a->us_FreeIndexNum = freeNum;
        a->sl_DelayPid[42] = 123456, a->ss_DelayCount[42] = 2, a->DelayTaskNum = 2;
        g_deadPids = {123456};
        EXPECT_EQ(traceAt(3, [] { LIB_POW_IsHddSleepDelay(); }), Lines{"resetPowerSaveDelayPid ss_Index=42 put Failed!"});
        EXPECT_EQ(state(42), "pid=0 count=0 total=0 free=" + std::to_string(freeNum) + " note=1");
        EXPECT_EQ(a->us_FreeIndex[255], 255);
    }
    EXPECT_EQ(a->b_HddSleepDelay + a->uc_ResetAutoSleepTimer, 2 * 0x5A);
}

TEST_F(PowerTest, SweepTakesTheSemaphoreOnlyPerReleaseAndNeverLooksAtIndex0) {
    getPwrShm();
    CountingSeam seam;
    g_libPowSys.kill = fakeKill;
    g_deadPids = {111};
    a->sl_DelayPid[0] = 111, a->sl_DelayPid[3] = 222, a->sl_DelayPid[200] = 333; /* 111 ended, but at index 0 */
    a->ss_DelayCount[3] = a->DelayTaskNum = 1;
    std::vector<uint8_t> before = bytesOf(a);
    a->b_HddSleepDelay = 1;
    EXPECT_EQ(leveled([] {}, [] { EXPECT_TRUE(LIB_POW_IsHddSleepDelay()); }).back(), "16 LIB_POW_IsHddSleepDelay End(b_Ret=1)");
    a->b_HddSleepDelay = 0;
    EXPECT_EQ(bytesOf(a), before) << "live holders are left alone";
    EXPECT_EQ(CountingSeam::calls.takes, 0);
    EXPECT_EQ(g_killedPids, (std::vector<pid_t>{222, 333, 222, 333, 222, 333, 222, 333, 222, 333})) << "five runs, 3 and 200 each";

    g_deadPids = {1001, 1002, 1003};
    setStack({});
    a->sl_DelayPid[3] = a->sl_DelayPid[200] = 0;
    a->sl_DelayPid[10] = 1001, a->sl_DelayPid[20] = 1002, a->sl_DelayPid[255] = 1003, a->sl_DelayPid[40] = getpid();
    a->ss_DelayCount[20] = 3, a->ss_DelayCount[40] = 1, a->DelayTaskNum = 4;
    EXPECT_FALSE(LIB_POW_IsHddSleepDelay());
    EXPECT_EQ(CountingSeam::calls.takes + CountingSeam::calls.gives, 6);
    EXPECT_EQ(state(40), "pid=" + me + " count=1 total=1 free=3 note=0") << "the live holder still counts one";
    EXPECT_EQ((std::vector<int>{a->us_FreeIndex[0], a->us_FreeIndex[1], a->us_FreeIndex[2]}), (std::vector<int>{10, 20, 255}));

    a->sl_DelayPid[50] = 1001, a->DelayTaskNum = 0, a->sl_DelayPid[40] = 0; /* counting nothing, nothing outstanding */
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(state(50), "pid=0 count=0 total=0 free=4 note=0") << "no note for releasing nothing";
    g_libPowSys.kill = [](pid_t, int) { return errno = EPERM, -1; }; /* any failure counts as ended */
    a->sl_DelayPid[60] = 1;
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(a->sl_DelayPid[60], 0);
}

TEST_F(PowerTest, TwoSweepsOfTheSameEndedHolderReleaseItOnce) {
    getPwrShm();
    const pid_t gone = startChild([] { return 0; });
    EXPECT_EQ(waitChild(gone), 0);
    endedHolder(9, gone, 2);
    CountingSeam seam;
    g_libPowSys.kill = fakeKill;
    g_deadPids = {gone};
    g_onFirstKill = [] {
        EXPECT_EQ(runChild([] {
                      g_libPowSys.kill = kLibPowRealSys.kill; /* a plain process of the device */
                      LIB_POW_setLogLevel(0);                 /* its stdout is our capture */
                      return LIB_POW_IsHddSleepDelay();
                  }),
                  0);
    };
    EXPECT_EQ(traceAt(16, [] { LIB_POW_IsHddSleepDelay(); }), Lines{"resetPowerSaveDelayPid End(DelayTaskNum=0 [index=9, count=0])"})
        << "ours must find it released already: no second release line";
    EXPECT_EQ(state(9), "pid=0 count=0 total=0 free=255 note=1") << "the counts are not taken off twice";
    EXPECT_EQ(std::count(a->us_FreeIndex, a->us_FreeIndex + 255, 9), 1);
    EXPECT_EQ(CountingSeam::calls.takes + CountingSeam::calls.gives, 2) << "the stale release looked under the semaphore";

    /* And when a new job got the index meanwhile, the stale release leaves it be. */
    endedHolder(1, gone, 1); /* 1 goes on top when released */
    g_onFirstKill = [gone] {
        resetPowerSaveDelayPid(1, true, gone);
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 1);
    };
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(state(1), "pid=" + me + " count=1 total=1 free=254 note=0");
}

TEST_F(PowerTest, EndedJobIsReclaimedByAnyProcessALiveJobAndTheIndex0OwnerAreNot) {
    Gate reserved, finish;
    pid_t job = startChild([&] {
        resetLibrary();
        LIB_POW_setPowerSaveDelay(LIB_POW_setPowerSaveDelay(-1));
        reserved.open();
        finish.wait();
        return 0; /* ends without a reset */
    });
    reserved.wait();
    /* Another process sees the delay, and its sweep leaves the live job be. */
    EXPECT_EQ(asNewProcess([] { LIB_POW_IsHddSleepDelay(); return LIB_POW_IsPowerSaveDelay() ? 0 : 1; }), 0);
    EXPECT_EQ(state(1), "pid=" + std::to_string(job) + " count=2 total=2 free=254 note=0") << "top of a fresh stack";
    finish.open();
    EXPECT_EQ(waitChild(job), 0);
    EXPECT_EQ(asNewProcess([] {
                  LIB_POW_IsHddSleepDelay();
                  return !LIB_POW_IsPowerSaveDelay() && LIB_POW_getDelayPowerSaveTaskNoneReserved(true) ? 0 : 1;
              }),
              0);
    EXPECT_EQ(state(1), "pid=0 count=0 total=0 free=255 note=0") << "the note was taken by the child";
    EXPECT_EQ(a->us_FreeIndex[254], 1);

    Gate go; /* the index-0 owner gets 0 without a pop, and ended it is still not swept */
    pid_t owner = startChild([&] {
        go.wait();
        resetLibrary();
        int first = -9;
        Lines got = traceAt(0x71, [&] { first = LIB_POW_setPowerSaveDelay(-1); });
        return first == 0 && only(got, {"setPowerSaveDelayPid"}).size() == 2 && LIB_POW_setPowerSaveDelay(-1) == 0 ? 0 : 1;
    });
    a->sl_DelayPid[0] = owner;
    go.open();
    EXPECT_EQ(waitChild(owner), 0);
    EXPECT_EQ(asNewProcess([] { return LIB_POW_IsHddSleepDelay() ? 1 : 0; }), 0);
    EXPECT_EQ(state(0), "pid=" + std::to_string(owner) + " count=2 total=2 free=255 note=0");
}
