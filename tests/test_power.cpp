/*
 * test_power.cpp - status flags of the power area and the power-save delay
 * reservations: byte layout, trace lines and levels, counting rules, the
 * sweep of ended holders, and real processes meeting on one table.
 */
#include "support.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <signal.h>
#include <unistd.h>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

constexpr unsigned kLevels[] = {1, 16, 32, 64};

/* Runs `op` once with every level shown, for the order, then once per
 * single level to learn each line's level ("LEVEL function message");
 * `prepare` puts the area back before each run. */
Lines leveled(const std::function<void()>& prepare, const std::function<void()>& op)
{
    prepare();
    Lines ordered = traceAt(0x71, op, true), out;
    std::vector<Lines> perLevel;
    for (unsigned level : kLevels) {
        prepare();
        perLevel.push_back(traceAt(level, op, true));
    }
    for (const std::string& line : ordered) {
        std::string tagged = "? " + line;
        for (size_t n = 0; n < perLevel.size(); ++n) {
            auto it = std::find(perLevel[n].begin(), perLevel[n].end(), line);
            if (it != perLevel[n].end()) {
                perLevel[n].erase(it);
                tagged = std::to_string(kLevels[n]) + " " + line;
                break;
            }
        }
        out.push_back(tagged);
    }
    return out;
}

/* Keeps only the lines printed by the named functions (after any level). */
Lines only(const Lines& in, std::initializer_list<const char*> functions)
{
    Lines out;
    for (const std::string& line : in) {
        size_t start = isdigit(static_cast<unsigned char>(line[0])) ? line.find(' ') + 1 : 0;
        std::string fn = line.substr(start, line.find(' ', start) - start);
        for (const char* wanted : functions)
            if (fn == wanted)
                out.push_back(line);
    }
    return out;
}

/* The area at the documented offsets, independent of the library's struct. */
struct Raw {
    uint8_t* b;
    template <typename T> T get(size_t at) const { T v; memcpy(&v, b + at, sizeof v); return v; }
    template <typename T> void put(size_t at, T v) { memcpy(b + at, &v, sizeof v); }
    int16_t total() const { return get<int16_t>(0); }
    void setTotal(int16_t v) { put<int16_t>(0, v); }
    int32_t pid(int i) const { return get<int32_t>(4 + 4 * i); }
    void setPid(int i, int32_t v) { put(4 + 4 * i, v); }
    int16_t count(int i) const { return get<int16_t>(1028 + 2 * i); }
    void setCount(int i, int16_t v) { put(1028 + 2 * i, v); }
    uint16_t freeNum() const { return get<uint16_t>(1540); }
    void setFreeNum(uint16_t v) { put(1540, v); }
    uint16_t freeAt(int n) const { return get<uint16_t>(1542 + 2 * n); }
    void setFreeAt(int n, uint16_t v) { put(1542 + 2 * n, v); }
    uint8_t& timer() { return b[2056]; }
    uint8_t& noneReserved() { return b[2057]; }
    uint8_t& hddSleepDelay() { return b[2058]; }
    uint8_t& hddReady() { return b[2059]; }
    std::vector<uint8_t> image() const { return std::vector<uint8_t>(b, b + kPwrAreaSize); }
    /* One index and the table's totals, as one text to compare. */
    std::string state(int i) const
    {
        return "pid=" + std::to_string(pid(i)) + " count=" + std::to_string(count(i)) + " total=" +
               std::to_string(total()) + " free=" + std::to_string(freeNum()) + " note=" + std::to_string(b[2057]);
    }
    void setStack(std::initializer_list<uint16_t> bottomToTop)
    {
        setFreeNum(0);
        for (uint16_t e : bottomToTop)
            setFreeAt(freeNum(), e), setFreeNum(freeNum() + 1);
    }
};

/* kill() stand-in: pids in g_deadPids have ended; a hook may run once,
 * between a sweep's scan and its release. */
std::vector<pid_t> g_killedPids;
std::set<pid_t> g_deadPids;
std::function<void()> g_onFirstKill;
int fakeKill(pid_t pid, int sig)
{
    g_killedPids.push_back(pid);
    if (g_onFirstKill) {
        auto hook = std::move(g_onFirstKill);
        g_onFirstKill = nullptr;
        hook();
    }
    if (sig == 0 && g_deadPids.count(pid)) {
        errno = ESRCH;
        return -1;
    }
    return 0;
}

/* A pid that belonged to a process which has ended and been reaped. */
pid_t endedPid()
{
    pid_t pid = startChild([] { return 0; });
    EXPECT_EQ(waitChild(pid), 0);
    return pid;
}

/* A child that attaches like a process of its own. */
int asNewProcess(const std::function<int()>& fn)
{
    return runChild([&] { resetLibrary(); return fn(); });
}

class PowerTest : public LibPowTest {
protected:
    void SetUp() override
    {
        device.createAreas();
        raw.b = reinterpret_cast<uint8_t*>(device.pwr());
        g_killedPids.clear();
        g_deadPids.clear();
        g_onFirstKill = nullptr;
    }
    /* The stack of the worked example: 5 then 9, 9 on top, nothing held. */
    void twoFreeIndices()
    {
        memset(raw.b, 0, kPwrAreaSize);
        raw.setStack({5, 9});
    }
    /* An ended holder at `index` counting `count`, index off the stack. */
    void endedHolder(int index, pid_t pid, int16_t count)
    {
        raw.setStack({});
        for (int i = 255; i >= 1; --i)
            if (i != index)
                raw.setFreeAt(raw.freeNum(), static_cast<uint16_t>(i)), raw.setFreeNum(raw.freeNum() + 1);
        raw.setPid(index, pid);
        raw.setCount(index, count);
        raw.setTotal(count);
    }
    Raw raw{};
    const pid_t self = getpid();
    const std::string me = std::to_string(getpid());
};

} // namespace

/* ---- Status flags -------------------------------------------------------- */

TEST_F(PowerTest, FlagCallsReadAndWriteOnlyTheirOwnByte)
{
    /* Everything else is a pattern a write at a wrong offset would disturb. */
    memset(raw.b, 0xA5, kPwrAreaSize);
    raw.timer() = 0, raw.hddSleepDelay() = 1, raw.noneReserved() = 1, raw.hddReady() = 0;
    std::vector<uint8_t> expect = raw.image();
    const struct {
        std::function<void()> op;
        size_t offset;
        uint8_t value;
    } writes[] = {
        {[] { LIB_POW_putResetAutoSleepTimer(); }, 2056, 2},
        {[] { LIB_POW_setHddReady(true); }, 2059, 1},
        {[] { LIB_POW_setPowerSaveDelayForService(); }, 2058, 0},
        {[] { EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); }, 2057, 0},
        {[] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 2); }, 2056, 0},
        {[] { LIB_POW_setHddReady(false); }, 2059, 0},
        {[] { LIB_POW_isHddReady(), LIB_POW_IsPowerSaveDelay(), LIB_POW_getResetAutoSleepTimer(false),
              LIB_POW_getDelayPowerSaveTaskNoneReserved(false); }, 2056, 0},
    };
    for (const auto& w : writes) {
        w.op();
        expect[w.offset] = w.value;
        EXPECT_EQ(differences(expect, raw.image()), Lines{}) << "offset " << w.offset;
    }

    memset(raw.b, 0, kPwrAreaSize);
    raw.hddReady() = 1;
    EXPECT_TRUE(LIB_POW_isHddReady());
    raw.hddReady() = 0, raw.noneReserved() = 1;
    EXPECT_FALSE(LIB_POW_isHddReady());
    EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false));
    raw.noneReserved() = 0, raw.timer() = 7; /* a value from outside passes through */
    EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false));
    EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(false), 7);
    raw.hddSleepDelay() = 1;
    EXPECT_TRUE(LIB_POW_IsHddSleepDelay());
    /* Negative, and only the high byte set: a one-byte read would miss it. */
    for (int16_t total : {0, 1, -3, 0x100}) {
        raw.setTotal(total);
        EXPECT_EQ(LIB_POW_IsPowerSaveDelay(), total != 0) << total;
    }
}

TEST_F(PowerTest, FlagTracesCarryTheirLevelsAndTheEndLevelFollowsTheAnswer)
{
    getPwrShm(); /* keep the first attach's lines out */
    const struct {
        std::function<void()> prepare, op;
        Lines expected;
    } cases[] = {
        {[&] { raw.timer() = 2; }, [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 2); },
         {"64 LIB_POW_getResetAutoSleepTimer Start(b_Delete=1)", "64 LIB_POW_getResetAutoSleepTimer End(uc_Ret=0x2)"}},
        {[&] { raw.timer() = 0; }, [] { LIB_POW_putResetAutoSleepTimer(); },
         {"16 LIB_POW_putResetAutoSleepTimer Start", "16 LIB_POW_putResetAutoSleepTimer End"}},
        {[] {}, [] { LIB_POW_setHddReady(true); },
         {"64 LIB_POW_setHddReady Start(b_Ready=1)", "16 LIB_POW_setHddReady End(b_Ready=1)"}},
        {[&] { raw.hddReady() = 1; }, [] { EXPECT_TRUE(LIB_POW_isHddReady()); },
         {"64 LIB_POW_isHddReady Start", "64 LIB_POW_isHddReady End(b_Ret=1)"}},
        {[&] { raw.hddReady() = 0; }, [] { EXPECT_FALSE(LIB_POW_isHddReady()); },
         {"64 LIB_POW_isHddReady Start", "16 LIB_POW_isHddReady End(b_Ret=0)"}},
        {[&] { raw.noneReserved() = 1; }, [] { EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); },
         {"64 LIB_POW_getDelayPowerSaveTaskNoneReserved Start(b_Delete=1)",
          "16 LIB_POW_getDelayPowerSaveTaskNoneReserved End(b_Ret=1)"}},
        {[&] { raw.noneReserved() = 0; }, [] { EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false)); },
         {"64 LIB_POW_getDelayPowerSaveTaskNoneReserved Start(b_Delete=0)",
          "64 LIB_POW_getDelayPowerSaveTaskNoneReserved End(b_Ret=0)"}},
        {[&] { raw.setTotal(2); }, [] { EXPECT_TRUE(LIB_POW_IsPowerSaveDelay()); },
         {"32 LIB_POW_IsPowerSaveDelay Start", "32 LIB_POW_IsPowerSaveDelay End(b_Ret=1)"}},
        {[&] { raw.hddSleepDelay() = 1; }, [] { LIB_POW_setPowerSaveDelayForService(); },
         {"32 LIB_POW_setPowerSaveDelayForService Start", "16 LIB_POW_setPowerSaveDelayForService End"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(leveled(c.prepare, c.op), c.expected);
}

/* A take that read the byte and then cleared it with a separate store
 * would wipe a request written in between: the tallies would part. */
void expectNoRequestLost(void (*raise)(), bool (*take)(), bool (*raised)())
{
    constexpr int kRequests = 4000;
    struct Shared {
        std::atomic<int> taken, stop;
    };
    Shared* shared = sharedBlock<Shared>();
    Gate gate;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    pid_t reader = startChild([&] {
        gate.wait();
        while (std::chrono::steady_clock::now() < deadline) {
            bool finished = shared->stop.load() != 0;
            if (take())
                ++shared->taken;
            else if (finished)
                break;
        }
        return 0;
    });
    pid_t writer = startChild([&] {
        gate.wait();
        int n = 0;
        while (n < kRequests && std::chrono::steady_clock::now() < deadline)
            if (!raised()) /* wait until the reader took the last one */
                raise(), ++n;
        return n == kRequests ? 0 : 1;
    });
    gate.open();
    EXPECT_EQ(waitChild(writer), 0);
    shared->stop = 1;
    EXPECT_EQ(waitChild(reader), 0);
    EXPECT_EQ(shared->taken.load(), kRequests);
}

TEST_F(PowerTest, ReadAndClearNeverLosesARequestWrittenMeanwhile)
{
    expectNoRequestLost([] { LIB_POW_putResetAutoSleepTimer(); },
                        [] { return LIB_POW_getResetAutoSleepTimer(true) == 2; },
                        [] { return LIB_POW_getResetAutoSleepTimer(false) != 0; });
    expectNoRequestLost([] { LIB_POW_resetPowerSaveDelay(LIB_POW_setPowerSaveDelay(3)); }, /* no pop, no sweep */
                        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(true); },
                        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(false); });
}

/* ---- Without the area or the semaphore ----------------------------------- */

TEST_F(LibPowTest, WithoutTheAreaCallsAnswerNothingAndStillTraceStartAndEnd)
{
    const std::pair<const char*, std::function<void()>> cases[] = {
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
        EXPECT_EQ(mine[0].rfind(std::string(fn) + " Start", 0), 0u) << mine[0];
        EXPECT_EQ(mine[1].rfind(std::string(fn) + " End", 0), 0u) << mine[1];
        EXPECT_EQ(only(got, {"GetShm"}).size(), 3u) << fn << ": attach retried each call";
    }
    EXPECT_TRUE(g_killedPids.empty()) << "no sweep without the area";
    device.createAreas();
    device.pwr()->b_HddReady = 1;
    EXPECT_TRUE(LIB_POW_isHddReady()) << "the next call attaches once the object exists";
}

TEST_F(PowerTest, WithoutTheSemaphoreNothingIsCountedOrGivenBack)
{
    getPwrShm(); /* attached already: only the reservation's own take fails */
    CountingSeam seam;
    g_libPowSys.semTake = [](SemId, int) { ++CountingSeam::calls.takes; errno = EIO; return -1; };
    raw.setCount(1, 2);
    raw.setTotal(2);
    std::vector<uint8_t> before = raw.image();
    std::string out = captureStdout([] {
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1);
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(1), -1);
        LIB_POW_resetPowerSaveDelay(1);
    });
    EXPECT_EQ(lines(out).size(), 3u) << "only the failed takes, at level 1:\n" << out;
    EXPECT_EQ(traceAt(16, [] { LIB_POW_setPowerSaveDelay(4); }),
              Lines{"setPowerSaveDelayPid End(DelayTaskNum=0 [index=4, count=0])"});
    EXPECT_EQ(raw.image(), before);
    EXPECT_EQ(CountingSeam::calls.takes, 4);
    EXPECT_EQ(CountingSeam::calls.gives, 0);
}

/* ---- Reservations in one process ----------------------------------------- */

TEST_F(PowerTest, FirstRequestPopsTheTopIndexRecordsTheHolderAndCounts)
{
    getPwrShm();
    Lines got = leveled([&] { twoFreeIndices(); raw.noneReserved() = 1; },
                        [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 9); });
    EXPECT_EQ(got, (Lines{
                       "32 LIB_POW_setPowerSaveDelay Start(ss_Index=-1)",
                       "32 setPowerSaveDelayPid Start(ss_Index=-1)",
                       "64 lock Start(Name=sem_POW_Shm_SemName)",
                       "64 lock End(pst_SemID=*)",
                       "16 setPowerSaveDelayPid get index [pid=" + me + ", index=9]",
                       "64 unlock Start(pst_SemID=*)",
                       "64 unlock End",
                       "16 setPowerSaveDelayPid End(DelayTaskNum=1 [index=9, count=1])",
                       "32 LIB_POW_setPowerSaveDelay End(ss_Index=-1)",
                   }));
    EXPECT_EQ(raw.state(9), "pid=" + me + " count=1 total=1 free=1 note=0");
    EXPECT_EQ(raw.freeAt(0), 5);
    EXPECT_EQ(raw.pid(5), 0);
}

TEST_F(PowerTest, CountsOnTheHeldIndexRaiseTheNoteAtEveryZeroAndAnEmptyStackRefuses)
{
    twoFreeIndices();
    ASSERT_EQ(LIB_POW_setPowerSaveDelay(-1), 9);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(9) + LIB_POW_setPowerSaveDelay(9), 18);
    EXPECT_EQ(raw.state(9), "pid=" + me + " count=3 total=3 free=1 note=0") << "a held index does not pop";
    LIB_POW_resetPowerSaveDelay(9);
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(raw.state(9), "pid=" + me + " count=1 total=1 free=1 note=0");
    EXPECT_EQ(only(leveled([] {}, [] { LIB_POW_resetPowerSaveDelay(9); }),
                   {"LIB_POW_resetPowerSaveDelay", "resetPowerSaveDelayPid"}),
              (Lines{"32 LIB_POW_resetPowerSaveDelay Start(ss_Index=9)",
                     "32 resetPowerSaveDelayPid Start(ss_Index=9, b_AllDelete=0)",
                     "16 resetPowerSaveDelayPid End(DelayTaskNum=0 [index=9, count=0])",
                     "32 LIB_POW_resetPowerSaveDelay End"}));
    EXPECT_EQ(raw.state(9), "pid=" + me + " count=0 total=0 free=1 note=1") << "a count of 0 does not end the holding";
    raw.noneReserved() = 0;
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(raw.noneReserved(), 1) << "every decrement to 0 raises the note again";

    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5);
    std::vector<uint8_t> before = raw.image();
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }),
              Lines{"setPowerSaveDelayPid ss_Index=-1 Failed! pid=" + me});
    EXPECT_EQ(raw.image(), before);
}

TEST_F(PowerTest, InvalidIndicesAreRefusedAtTheirLevelsAndChangeNothing)
{
    twoFreeIndices();
    raw.setTotal(4);
    raw.setCount(255, 4);
    std::vector<uint8_t> before = raw.image();
    for (short bad : {256, -2, -32768, 1000}) {
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(leveled([] {}, [bad] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(bad), -1); }), {"setPowerSaveDelayPid"}),
                  (Lines{"32 setPowerSaveDelayPid Start(ss_Index=" + b + ")",
                         "1 setPowerSaveDelayPid ss_Index=" + b + " Failed! pid=" + me,
                         "16 setPowerSaveDelayPid End(DelayTaskNum=0 [index=" + b + ", count=0])"}));
    }
    for (short bad : {256, -1, -256}) {
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(leveled([] {}, [bad] { LIB_POW_resetPowerSaveDelay(bad); }), {"resetPowerSaveDelayPid"}),
                  (Lines{"32 resetPowerSaveDelayPid Start(ss_Index=" + b + ", b_AllDelete=0)",
                         "16 resetPowerSaveDelayPid End(DelayTaskNum=0 [index=" + b + ", count=0])"}));
    }
    EXPECT_EQ(raw.image(), before);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(255), 255) << "255 is the last valid index";
}

TEST_F(PowerTest, CountersWrapAt16BitsUpAndClampAtZeroDown)
{
    twoFreeIndices();
    const struct {
        int16_t total, count;
        bool up;
        int16_t totalAfter, countAfter;
        uint8_t note;
    } cases[] = {
        {0, 0, true, 1, 1, 0},    /* an index nobody holds is counted, no pid recorded */
        {2, 0, false, 1, 0, 0},   /* ending at count 0 still lowers the total */
        {32767, 32767, true, -32768, -32768, 0},
        {-32768, -32768, false, 0, 0, 1},
        {5, -4, false, 4, 0, 0},
    };
    for (const auto& c : cases) {
        raw.setTotal(c.total), raw.setCount(7, c.count), raw.noneReserved() = 0;
        if (c.up)
            EXPECT_EQ(LIB_POW_setPowerSaveDelay(7), 7);
        else
            LIB_POW_resetPowerSaveDelay(7);
        EXPECT_EQ(raw.state(7), "pid=0 count=" + std::to_string(c.countAfter) + " total=" +
                                    std::to_string(c.totalAfter) + " free=2 note=" + std::to_string(c.note))
            << c.total << "/" << c.count;
    }
}

TEST_F(PowerTest, StackEntriesAbove255AreDroppedAndNoPushOrPopLeavesTheStack)
{
    getPwrShm();
    Lines got = leveled([&] { twoFreeIndices(); raw.setStack({5, 300}); },
                        [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5); });
    EXPECT_EQ(only(got, {"setPowerSaveDelayPid"}).at(1), "1 setPowerSaveDelayPid ss_Index=300 Failed!");
    EXPECT_EQ(raw.state(5), "pid=" + me + " count=1 total=1 free=0 note=0");
    /* Only bad entries: each is dropped and the last one names the failure. */
    memset(raw.b, 0, kPwrAreaSize);
    raw.setStack({0xFFFF, 256});
    EXPECT_EQ(traceAt(3, [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }),
              (Lines{"setPowerSaveDelayPid ss_Index=256 Failed!", "setPowerSaveDelayPid ss_Index=-1 Failed!",
                     "setPowerSaveDelayPid ss_Index=-1 Failed! pid=" + me}));
    EXPECT_EQ(raw.state(0), "pid=0 count=0 total=0 free=0 note=0");

    /* A free count above 256 pops from the top slot, no further. */
    memset(raw.b, 0, kPwrAreaSize);
    raw.setFreeAt(255, 42);
    raw.setFreeNum(0xFFFF);
    raw.hddSleepDelay() = raw.timer() = 0x5A; /* bytes past the stack */
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 42);
    EXPECT_EQ(raw.freeNum(), 255);
    /* A release onto a full (or overfull) stack clears the holder, drops the index. */
    g_libPowSys.kill = fakeKill;
    for (uint16_t freeNum : {256, 300}) {
        for (int n = 0; n < 256; ++n)
            raw.setFreeAt(n, static_cast<uint16_t>(n));
        raw.setFreeNum(freeNum);
        raw.setPid(42, 123456), raw.setCount(42, 2), raw.setTotal(2);
        g_deadPids = {123456};
        EXPECT_EQ(traceAt(3, [] { LIB_POW_IsHddSleepDelay(); }), Lines{"resetPowerSaveDelayPid ss_Index=42 put Failed!"});
        EXPECT_EQ(raw.state(42), "pid=0 count=0 total=0 free=" + std::to_string(freeNum) + " note=1");
        EXPECT_EQ(raw.freeAt(255), 255);
    }
    EXPECT_EQ(raw.hddSleepDelay(), 0x5A);
    EXPECT_EQ(raw.timer(), 0x5A);
}

/* ---- The sweep ----------------------------------------------------------- */

TEST_F(PowerTest, SweepReleasesAnEndedHolderWithEverythingItCounts)
{
    getPwrShm();
    const pid_t gone = endedPid();
    Lines got = leveled([&] { twoFreeIndices(); raw.setStack({5}); raw.setPid(9, gone), raw.setCount(9, 2), raw.setTotal(2); },
                        [] { EXPECT_FALSE(LIB_POW_IsHddSleepDelay()); });
    const std::string g = std::to_string(gone);
    EXPECT_EQ(only(got, {"LIB_POW_IsHddSleepDelay", "checkPowerSaveDelayPid", "resetPowerSaveDelayPid"}),
              (Lines{"32 LIB_POW_IsHddSleepDelay Start", "64 checkPowerSaveDelayPid Start(2)",
                     "32 resetPowerSaveDelayPid Start(ss_Index=9, b_AllDelete=1)",
                     "16 resetPowerSaveDelayPid release index [pid=" + g + ", index=9]",
                     "16 resetPowerSaveDelayPid End(DelayTaskNum=0 [index=9, count=0])",
                     "64 checkPowerSaveDelayPid End(0)", "32 LIB_POW_IsHddSleepDelay End(b_Ret=0)"}));
    EXPECT_EQ(raw.state(9), "pid=0 count=0 total=0 free=2 note=1");
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 9) << "the released index is on top";
}

TEST_F(PowerTest, SweepTakesTheSemaphoreOnlyPerReleaseAndNeverLooksAtIndex0)
{
    getPwrShm();
    CountingSeam seam;
    g_libPowSys.kill = fakeKill;
    raw.setPid(0, 111), raw.setPid(3, 222), raw.setPid(200, 333); /* 111 ended, but at index 0 */
    raw.setCount(3, 1), raw.setTotal(1);
    g_deadPids = {111};
    std::vector<uint8_t> before = raw.image();
    raw.hddSleepDelay() = 1;
    EXPECT_EQ(leveled([] {}, [] { EXPECT_TRUE(LIB_POW_IsHddSleepDelay()); }).back(),
              "16 LIB_POW_IsHddSleepDelay End(b_Ret=1)");
    raw.hddSleepDelay() = 0;
    EXPECT_EQ(raw.image(), before) << "live holders are left alone";
    EXPECT_EQ(CountingSeam::calls.takes, 0);
    std::vector<pid_t> asked; /* five runs of the query, each asks about 3 and 200 */
    for (int run = 0; run < 5; ++run)
        asked.insert(asked.end(), {222, 333});
    EXPECT_EQ(g_killedPids, asked);

    g_deadPids = {1001, 1002, 1003};
    raw.setStack({});
    raw.setPid(3, 0), raw.setPid(200, 0);
    raw.setPid(10, 1001), raw.setPid(20, 1002), raw.setPid(30, 1003), raw.setPid(40, self);
    raw.setCount(20, 3), raw.setCount(40, 1), raw.setTotal(4);
    EXPECT_FALSE(LIB_POW_IsHddSleepDelay());
    EXPECT_EQ(CountingSeam::calls.takes, 3);
    EXPECT_EQ(CountingSeam::calls.gives, 3);
    EXPECT_EQ(raw.state(40), "pid=" + me + " count=1 total=1 free=3 note=0") << "the live holder still counts one";
    EXPECT_EQ((std::vector<int>{raw.freeAt(0), raw.freeAt(1), raw.freeAt(2)}), (std::vector<int>{10, 20, 30}));

    /* An index counting nothing, with nothing outstanding: no note. */
    raw.setPid(50, 1001), raw.setTotal(0), raw.setPid(40, 0);
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.pid(50), 0);
    EXPECT_EQ(raw.noneReserved(), 0);
    /* Any failure of kill() counts as ended, EPERM included. */
    g_libPowSys.kill = [](pid_t, int) { errno = EPERM; return -1; };
    raw.setPid(60, 1);
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.pid(60), 0);
}

/* Two sweeps see the same ended holder: the other one releases the index
 * while ours is between its scan and its release. */
TEST_F(PowerTest, TwoSweepsOfTheSameEndedHolderPushItsIndexOnce)
{
    getPwrShm();
    const pid_t gone = endedPid();
    endedHolder(9, gone, 2);
    CountingSeam seam;
    g_libPowSys.kill = fakeKill;
    g_deadPids = {gone};
    g_onFirstKill = [] {
        EXPECT_EQ(runChild([] {
                      g_libPowSys.kill = kLibPowRealSys.kill; /* a plain process of the device */
                      LIB_POW_setLogLevel(0);                 /* its stdout is our capture */
                      LIB_POW_IsHddSleepDelay();
                      return 0;
                  }),
                  0);
    };
    EXPECT_EQ(traceAt(16, [] { LIB_POW_IsHddSleepDelay(); }),
              Lines{"resetPowerSaveDelayPid End(DelayTaskNum=0 [index=9, count=0])"})
        << "ours must find it released already: no second release line";
    EXPECT_EQ(raw.state(9), "pid=0 count=0 total=0 free=255 note=1") << "the counts are not taken off twice";
    int onStack = 0;
    for (int n = 0; n < raw.freeNum(); ++n)
        onStack += raw.freeAt(n) == 9;
    EXPECT_EQ(onStack, 1);
    EXPECT_EQ(CountingSeam::calls.takes, 1) << "the stale release looked under the semaphore";
    EXPECT_EQ(CountingSeam::calls.gives, 1);
}

TEST_F(PowerTest, StaleReleaseLeavesANewHolderOfTheIndexAlone)
{
    getPwrShm();
    const pid_t gone = endedPid();
    endedHolder(1, gone, 1); /* 1 goes on top when released */
    g_libPowSys.kill = fakeKill;
    g_deadPids = {gone};
    g_onFirstKill = [&] { /* meanwhile: another sweep releases 1, and a new job gets it */
        resetPowerSaveDelayPid(1, true, gone);
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 1);
    };
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.state(1), "pid=" + me + " count=1 total=1 free=254 note=0");
}

/* ---- Real processes ------------------------------------------------------ */

TEST_F(PowerTest, EndedJobIsReclaimedByAnyProcessAndALiveJobIsNot)
{
    Gate reserved, finish;
    pid_t job = startChild([&] {
        resetLibrary();
        LIB_POW_setPowerSaveDelay(LIB_POW_setPowerSaveDelay(-1));
        reserved.open();
        finish.wait();
        return 0; /* ends without a reset */
    });
    reserved.wait();
    ASSERT_EQ(raw.pid(1), job) << "top of a fresh stack";
    /* Another process sees the delay, and its sweep leaves the live job be. */
    EXPECT_EQ(asNewProcess([] { LIB_POW_IsHddSleepDelay(); return LIB_POW_IsPowerSaveDelay() ? 0 : 1; }), 0);
    EXPECT_EQ(raw.state(1), "pid=" + std::to_string(job) + " count=2 total=2 free=254 note=0");
    finish.open();
    EXPECT_EQ(waitChild(job), 0);
    EXPECT_EQ(asNewProcess([] {
                  LIB_POW_IsHddSleepDelay();
                  return !LIB_POW_IsPowerSaveDelay() && LIB_POW_getDelayPowerSaveTaskNoneReserved(true) ? 0 : 1;
              }),
              0);
    EXPECT_EQ(raw.state(1), "pid=0 count=0 total=0 free=255 note=0") << "the note was taken by the child";
    EXPECT_EQ(raw.freeAt(254), 1);
}

TEST_F(PowerTest, Index0OwnerGetsIndex0WithoutAPopAndIsNeverSweptEvenAfterItEnds)
{
    Gate go;
    pid_t owner = startChild([&] {
        go.wait();
        resetLibrary();
        int first = -9;
        Lines got = traceAt(0x71, [&] { first = LIB_POW_setPowerSaveDelay(-1); });
        bool noPop = only(got, {"setPowerSaveDelayPid"}).size() == 2; /* Start and End only */
        return first == 0 && noPop && LIB_POW_setPowerSaveDelay(-1) == 0 ? 0 : 1;
    });
    raw.setPid(0, owner);
    go.open();
    EXPECT_EQ(waitChild(owner), 0);
    EXPECT_EQ(asNewProcess([] { return LIB_POW_IsHddSleepDelay() ? 1 : 0; }), 0);
    EXPECT_EQ(raw.state(0), "pid=" + std::to_string(owner) + " count=2 total=2 free=255 note=0") << "no pop, no sweep";
}

/* Workers count up and down on their own indices, short-lived jobs reserve
 * and end without a reset, and sweepers reclaim them, all at once. No
 * count may be lost and no index may be lost or doubled. */
TEST_F(PowerTest, StressCountsAndSweepsLoseNothing)
{
    constexpr int kWorkers = 4, kOpsPerWorker = 3000, kJobs = 40, kSweepers = 2;
    struct Shared {
        std::atomic<int> stop, finalCount[kWorkers], index[kWorkers];
    };
    Shared* shared = sharedBlock<Shared>();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    auto timeLeft = [deadline] { return std::chrono::steady_clock::now() < deadline; };
    Gate go, release;
    std::vector<pid_t> workers, others;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(startChild([&, w] {
            resetLibrary();
            go.wait();
            short index = LIB_POW_setPowerSaveDelay(-1);
            int count = 1;
            unsigned seed = static_cast<unsigned>(w) * 7919u + 1u;
            for (int op = 0; index >= 1 && op < kOpsPerWorker && timeLeft(); ++op) {
                seed = seed * 1103515245u + 12345u;
                if (count > 0 && (seed >> 16) % 2 == 0)
                    LIB_POW_resetPowerSaveDelay(index), --count;
                else if (LIB_POW_setPowerSaveDelay(index) == index)
                    ++count;
                else
                    return 3;
            }
            shared->finalCount[w] = count;
            shared->index[w] = index;
            release.wait(); /* stay alive until the parent has checked */
            return index >= 1 ? 0 : 2;
        }, 120));
    }
    others.push_back(startChild([&] {
        go.wait();
        for (int j = 0; j < kJobs && timeLeft(); ++j)
            if (asNewProcess([] { return LIB_POW_setPowerSaveDelay(LIB_POW_setPowerSaveDelay(-1)) >= 1 ? 0 : 1; }) != 0)
                return 4;
        return 0;
    }, 120));
    for (int s = 0; s < kSweepers; ++s)
        others.push_back(startChild([&] {
            resetLibrary();
            go.wait();
            while (shared->stop.load() == 0 && timeLeft())
                LIB_POW_IsHddSleepDelay();
            return 0;
        }, 120));
    go.open();
    for (int w = 0; w < kWorkers; ++w)
        while (shared->index[w].load() == 0 && timeLeft())
            usleep(1000);
    EXPECT_EQ(waitChild(others[0]), 0);
    shared->stop = 1;
    for (size_t s = 1; s < others.size(); ++s)
        EXPECT_EQ(waitChild(others[s]), 0);
    LIB_POW_IsHddSleepDelay(); /* the last ended jobs */
    int sum = 0;
    for (int w = 0; w < kWorkers; ++w) {
        int index = shared->index[w];
        ASSERT_GE(index, 1);
        EXPECT_EQ(raw.pid(index), workers[w]);
        EXPECT_EQ(raw.count(index), shared->finalCount[w]) << "worker " << w;
        sum += shared->finalCount[w];
    }
    EXPECT_EQ(raw.total(), sum);
    release.open();
    for (pid_t w : workers)
        EXPECT_EQ(waitChild(w), 0);
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.noneReserved(), 1);
    std::array<int, 256> seen{};
    ASSERT_LE(raw.freeNum(), 256);
    for (int n = 0; n < raw.freeNum(); ++n)
        ++seen.at(raw.freeAt(n));
    for (int i = 1; i < 256; ++i) {
        EXPECT_EQ(raw.pid(i), 0) << i;
        EXPECT_EQ(seen[i], 1) << "index " << i << " on the stack";
    }
    EXPECT_EQ(seen[0], 0);
}
