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
#include <map>
#include <regex>
#include <set>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace libpow_test;

namespace {

constexpr unsigned kAllLevels = 0x71;
constexpr unsigned kLevels[] = {1, 16, 32, 64};

/* Trace lines with the source line number blanked and semaphore handles
 * blanked, so a test states texts and not addresses. */
std::vector<std::string> normalised(const std::string& text)
{
    static const std::regex prefix(R"(^LIB_PowerService\.cpp\(\d+\):)");
    static const std::regex handle(R"(pst_SemID=[^)]*)");
    std::vector<std::string> out;
    for (std::string line : lines(text)) {
        line = std::regex_replace(line, prefix, "LIB_PowerService.cpp(#):");
        out.push_back(std::regex_replace(line, handle, "pst_SemID=*"));
    }
    return out;
}

/* Runs `op` once with every level shown, for the order, and once per single
 * level, to learn each line's level; `prepare` puts the area back before
 * each run. Each line comes back as "LEVEL text". A line printed at two
 * levels would come back with the lowest. */
std::vector<std::string> leveled(const std::function<void()>& prepare,
                                 const std::function<void()>& op)
{
    prepare();
    LIB_POW_setLogLevel(kAllLevels);
    std::vector<std::string> ordered = normalised(captureStdout(op));
    std::vector<std::string> out;
    std::map<unsigned, std::vector<std::string>> perLevel;
    for (unsigned level : kLevels) {
        prepare();
        LIB_POW_setLogLevel(level);
        perLevel[level] = normalised(captureStdout(op));
    }
    LIB_POW_setLogLevel(3);
    for (const std::string& line : ordered) {
        std::string tagged = "? " + line;
        for (unsigned level : kLevels) {
            auto& seen = perLevel[level];
            auto it = std::find(seen.begin(), seen.end(), line);
            if (it != seen.end()) {
                seen.erase(it);
                tagged = std::to_string(level) + " " + line;
                break;
            }
        }
        out.push_back(tagged);
    }
    return out;
}

/* Keeps only the lines printed by the named functions. */
std::vector<std::string> only(const std::vector<std::string>& in,
                              std::initializer_list<const char*> functions)
{
    std::vector<std::string> out;
    for (const std::string& line : in)
        for (const char* fn : functions)
            if (line.find(std::string("):") + fn + " ") != std::string::npos)
                out.push_back(line);
    return out;
}

std::string L(const char* fn, const std::string& message)
{
    return std::string("LIB_PowerService.cpp(#):") + fn + " " + message;
}

/* Raw little views of the area at the documented offsets, independent of
 * the struct the library uses. */
struct Raw {
    uint8_t* b;
    int16_t total() const { int16_t v; memcpy(&v, b + 0, 2); return v; }
    void setTotal(int16_t v) { memcpy(b + 0, &v, 2); }
    int32_t pid(int i) const { int32_t v; memcpy(&v, b + 4 + 4 * i, 4); return v; }
    void setPid(int i, int32_t v) { memcpy(b + 4 + 4 * i, &v, 4); }
    int16_t count(int i) const { int16_t v; memcpy(&v, b + 1028 + 2 * i, 2); return v; }
    void setCount(int i, int16_t v) { memcpy(b + 1028 + 2 * i, &v, 2); }
    uint16_t freeNum() const { uint16_t v; memcpy(&v, b + 1540, 2); return v; }
    void setFreeNum(uint16_t v) { memcpy(b + 1540, &v, 2); }
    uint16_t freeAt(int n) const { uint16_t v; memcpy(&v, b + 1542 + 2 * n, 2); return v; }
    void setFreeAt(int n, uint16_t v) { memcpy(b + 1542 + 2 * n, &v, 2); }
    uint8_t& timer() { return b[2056]; }
    uint8_t& noneReserved() { return b[2057]; }
    uint8_t& hddSleepDelay() { return b[2058]; }
    uint8_t& hddReady() { return b[2059]; }
    std::vector<uint8_t> image() const { return std::vector<uint8_t>(b, b + kPwrAreaSize); }
    /* Stack as listed bottom to top. */
    void setStack(std::initializer_list<uint16_t> entries)
    {
        int n = 0;
        for (uint16_t e : entries)
            setFreeAt(n++, e);
        setFreeNum(static_cast<uint16_t>(n));
    }
};

/* Counting and failing stand-ins for the seam. Plain functions, so they
 * read their settings from these globals. */
std::atomic<int> g_takes{0};
std::atomic<int> g_gives{0};
std::atomic<int> g_kills{0};
std::vector<pid_t> g_killedPids;
std::set<pid_t> g_deadPids; /* answered as ended by fakeKill */
std::function<void()> g_onFirstKill;

int countingTake(SemId id, int timeout)
{
    ++g_takes;
    return PLAT_semTake(id, timeout);
}
int countingGive(SemId id)
{
    ++g_gives;
    return PLAT_semGive(id);
}
int failingTake(SemId, int)
{
    ++g_takes;
    errno = EIO;
    return -1;
}
int fakeKill(pid_t pid, int sig)
{
    ++g_kills;
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

class PowerTest : public LibPowTest {
protected:
    void SetUp() override
    {
        device.createAreas();
        raw.b = reinterpret_cast<uint8_t*>(device.pwr());
        g_takes = g_gives = g_kills = 0;
        g_killedPids.clear();
        g_deadPids.clear();
        g_onFirstKill = nullptr;
    }
    void countSemaphore()
    {
        g_libPowSys.semTake = countingTake;
        g_libPowSys.semGive = countingGive;
    }
    /* The stack of the worked example: 5 then 9, 9 on top, nothing held. */
    void twoFreeIndices()
    {
        memset(raw.b, 0, kPwrAreaSize);
        raw.setStack({5, 9});
    }
    Raw raw{};
    const pid_t self = getpid();
};

/* ---------------------------------------------------------------------
 * Status flags
 * --------------------------------------------------------------------- */

TEST_F(PowerTest, EachFlagCallTouchesOnlyItsOwnByte)
{
    /* Everything else, the never-used bytes included, is a pattern that a
     * write at a wrong offset would disturb. */
    memset(raw.b, 0xA5, kPwrAreaSize);
    raw.timer() = 0;
    raw.hddSleepDelay() = 1;
    raw.noneReserved() = 1;
    raw.hddReady() = 0;
    std::vector<uint8_t> expect = raw.image();

    LIB_POW_putResetAutoSleepTimer();
    expect[2056] = 2;
    EXPECT_EQ(raw.image(), expect);

    LIB_POW_setHddReady(true);
    expect[2059] = 1;
    EXPECT_EQ(raw.image(), expect);

    LIB_POW_setPowerSaveDelayForService();
    expect[2058] = 0;
    EXPECT_EQ(raw.image(), expect);

    EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true));
    expect[2057] = 0;
    EXPECT_EQ(raw.image(), expect);

    EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 2);
    expect[2056] = 0;
    EXPECT_EQ(raw.image(), expect);

    LIB_POW_setHddReady(false);
    expect[2059] = 0;
    EXPECT_EQ(raw.image(), expect);

    /* Queries change nothing. */
    LIB_POW_isHddReady();
    LIB_POW_IsPowerSaveDelay();
    LIB_POW_getDelayPowerSaveTaskNoneReserved(false);
    LIB_POW_getResetAutoSleepTimer(false);
    EXPECT_EQ(raw.image(), expect);
}

TEST_F(PowerTest, FlagGettersReadTheirOwnOffsets)
{
    raw.hddReady() = 1;
    EXPECT_TRUE(LIB_POW_isHddReady());
    raw.hddReady() = 0;
    raw.noneReserved() = 1;
    EXPECT_FALSE(LIB_POW_isHddReady());
    EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false));
    raw.noneReserved() = 0;
    raw.timer() = 7; /* a value from outside the library passes through */
    EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false));
    EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(false), 7);
    raw.hddSleepDelay() = 1;
    EXPECT_TRUE(LIB_POW_IsHddSleepDelay());
    raw.hddSleepDelay() = 0;
    EXPECT_FALSE(LIB_POW_IsHddSleepDelay());

    EXPECT_FALSE(LIB_POW_IsPowerSaveDelay());
    raw.setTotal(1);
    EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());
    raw.setTotal(-3); /* a negative total is outstanding too */
    EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());
    raw.setTotal(0x100); /* only the high byte set: a one-byte read would miss it */
    EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());
}

TEST_F(PowerTest, ResetAutoSleepTimerRequestIsTakenOnceWithTraceAt64)
{
    getPwrShm();
    LIB_POW_putResetAutoSleepTimer();
    EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(false), 2);
    EXPECT_EQ(raw.timer(), 2);
    std::vector<std::string> got =
        leveled([&] { raw.timer() = 2; }, [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 2); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_getResetAutoSleepTimer", "Start(b_Delete=1)"),
                       "64 " + L("LIB_POW_getResetAutoSleepTimer", "End(uc_Ret=0x2)"),
                   }));
    EXPECT_EQ(raw.timer(), 0);
    EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 0);

    got = leveled([&] { raw.timer() = 0; }, [] { LIB_POW_putResetAutoSleepTimer(); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "16 " + L("LIB_POW_putResetAutoSleepTimer", "Start"),
                       "16 " + L("LIB_POW_putResetAutoSleepTimer", "End"),
                   }));
}

TEST_F(PowerTest, HddReadyEndLevelIs64WhenReadyAnd16WhenNot)
{
    getPwrShm(); /* keep the first attach's lines out */
    std::vector<std::string> got = leveled([] {}, [] { LIB_POW_setHddReady(true); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_setHddReady", "Start(b_Ready=1)"),
                       "16 " + L("LIB_POW_setHddReady", "End(b_Ready=1)"),
                   }));
    EXPECT_EQ(raw.hddReady(), 1);
    got = leveled([] {}, [] { EXPECT_TRUE(LIB_POW_isHddReady()); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_isHddReady", "Start"),
                       "64 " + L("LIB_POW_isHddReady", "End(b_Ret=1)"),
                   }));
    LIB_POW_setHddReady(false);
    EXPECT_EQ(raw.hddReady(), 0);
    got = leveled([] {}, [] { EXPECT_FALSE(LIB_POW_isHddReady()); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_isHddReady", "Start"),
                       "16 " + L("LIB_POW_isHddReady", "End(b_Ret=0)"),
                   }));
}

TEST_F(PowerTest, NoneReservedNoteEndLevelIs16WhenRaisedAnd64WhenNot)
{
    getPwrShm();
    std::vector<std::string> got = leveled([&] { raw.noneReserved() = 1; }, [] {
        EXPECT_TRUE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true));
    });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_getDelayPowerSaveTaskNoneReserved", "Start(b_Delete=1)"),
                       "16 " + L("LIB_POW_getDelayPowerSaveTaskNoneReserved", "End(b_Ret=1)"),
                   }));
    EXPECT_EQ(raw.noneReserved(), 0);
    got = leveled([] {}, [] { EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(false)); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "64 " + L("LIB_POW_getDelayPowerSaveTaskNoneReserved", "Start(b_Delete=0)"),
                       "64 " + L("LIB_POW_getDelayPowerSaveTaskNoneReserved", "End(b_Ret=0)"),
                   }));
}

TEST_F(PowerTest, DelayQueryAndServiceClearTraceAtTheirLevels)
{
    getPwrShm();
    std::vector<std::string> got = leveled([&] { raw.setTotal(2); }, [] {
        EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());
    });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "32 " + L("LIB_POW_IsPowerSaveDelay", "Start"),
                       "32 " + L("LIB_POW_IsPowerSaveDelay", "End(b_Ret=1)"),
                   }));
    got = leveled([&] { raw.hddSleepDelay() = 1; }, [] { LIB_POW_setPowerSaveDelayForService(); });
    EXPECT_EQ(got, (std::vector<std::string>{
                       "32 " + L("LIB_POW_setPowerSaveDelayForService", "Start"),
                       "16 " + L("LIB_POW_setPowerSaveDelayForService", "End"),
                   }));
    EXPECT_EQ(raw.hddSleepDelay(), 0);
    EXPECT_FALSE(LIB_POW_IsHddSleepDelay());
}

TEST_F(PowerTest, FirstAttachLinesStandBetweenStartAndEnd)
{
    resetLibrary(); /* not attached yet */
    LIB_POW_setLogLevel(kAllLevels);
    std::vector<std::string> got = normalised(captureStdout([] { LIB_POW_isHddReady(); }));
    LIB_POW_setLogLevel(3);
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0], L("LIB_POW_isHddReady", "Start"));
    EXPECT_EQ(got[1], L("lock", "Start(Name=sem_POW_Shm_SemName)"));
    EXPECT_EQ(got[3], L("GetShm", "Start(Key=/shm_PWR_SharedArea, size=2060, mode=0x1b6)"));
    EXPECT_EQ(got[6], L("unlock", "End"));
    EXPECT_EQ(got[7], L("LIB_POW_isHddReady", "End(b_Ret=0)"));
}

/* A take that read the byte and then cleared it with a separate store
 * would wipe a request written in between; the writer would then have to
 * request again and the two tallies would part. */
void expectNoRequestLost(const std::function<void()>& raise,
                         const std::function<bool()> take, const std::function<bool()> raised)
{
    constexpr int kRequests = 4000;
    auto* taken = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(taken, MAP_FAILED);
    new (taken) std::atomic<int>(0);
    std::atomic<int>* stop = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(stop, MAP_FAILED);
    new (stop) std::atomic<int>(0);
    Gate gate;
    pid_t reader = startChild([&] {
        gate.wait();
        int got = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
        while (std::chrono::steady_clock::now() < deadline) {
            bool finished = stop->load() != 0;
            if (take())
                ++got;
            else if (finished)
                break;
        }
        taken->store(got);
        return 0;
    });
    pid_t writer = startChild([&] {
        gate.wait();
        int raisedCount = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (raisedCount < kRequests && std::chrono::steady_clock::now() < deadline) {
            if (raised())
                continue; /* wait until the reader has taken the last one */
            raise();
            ++raisedCount;
        }
        return raisedCount == kRequests ? 0 : 1;
    });
    gate.open();
    EXPECT_EQ(waitChild(writer), 0);
    stop->store(1);
    EXPECT_EQ(waitChild(reader), 0);
    EXPECT_EQ(taken->load(), kRequests);
    munmap(taken, sizeof *taken);
    munmap(stop, sizeof *stop);
}

TEST_F(PowerTest, TakingTheTimerRequestNeverLosesOneWrittenMeanwhile)
{
    expectNoRequestLost([] { LIB_POW_putResetAutoSleepTimer(); },
                        [] { return LIB_POW_getResetAutoSleepTimer(true) == 2; },
                        [] { return LIB_POW_getResetAutoSleepTimer(false) != 0; });
}

TEST_F(PowerTest, TakingTheNoneReservedNoteNeverLosesOneRaisedMeanwhile)
{
    expectNoRequestLost(
        [] {
            /* Counting on an index nobody holds needs no pop and no sweep. */
            short index = LIB_POW_setPowerSaveDelay(3);
            LIB_POW_resetPowerSaveDelay(index);
        },
        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(true); },
        [] { return LIB_POW_getDelayPowerSaveTaskNoneReserved(false); });
}

/* ---------------------------------------------------------------------
 * Without the area or the semaphore
 * --------------------------------------------------------------------- */

TEST_F(LibPowTest, WithoutTheAreaQueriesAnswerNothingAndEveryCallTracesStartAndEnd)
{
    /* No createAreas: the object does not exist. */
    struct Case {
        const char* fn;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"LIB_POW_getResetAutoSleepTimer", [] { EXPECT_EQ(LIB_POW_getResetAutoSleepTimer(true), 0); }},
        {"LIB_POW_putResetAutoSleepTimer", [] { LIB_POW_putResetAutoSleepTimer(); }},
        {"LIB_POW_setHddReady", [] { LIB_POW_setHddReady(true); }},
        {"LIB_POW_isHddReady", [] { EXPECT_FALSE(LIB_POW_isHddReady()); }},
        {"LIB_POW_getDelayPowerSaveTaskNoneReserved",
         [] { EXPECT_FALSE(LIB_POW_getDelayPowerSaveTaskNoneReserved(true)); }},
        {"LIB_POW_IsPowerSaveDelay", [] { EXPECT_FALSE(LIB_POW_IsPowerSaveDelay()); }},
        {"LIB_POW_setPowerSaveDelayForService", [] { LIB_POW_setPowerSaveDelayForService(); }},
        {"LIB_POW_setPowerSaveDelay", [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); }},
        {"LIB_POW_resetPowerSaveDelay", [] { LIB_POW_resetPowerSaveDelay(3); }},
        {"LIB_POW_IsHddSleepDelay", [] { EXPECT_FALSE(LIB_POW_IsHddSleepDelay()); }},
    };
    g_libPowSys.kill = fakeKill;
    g_kills = 0;
    for (const Case& c : cases) {
        LIB_POW_setLogLevel(kAllLevels);
        std::vector<std::string> got = normalised(captureStdout(c.call));
        LIB_POW_setLogLevel(3);
        std::vector<std::string> mine = only(got, {c.fn});
        ASSERT_EQ(mine.size(), 2u) << c.fn;
        EXPECT_EQ(mine[0].rfind(L(c.fn, "Start"), 0), 0u) << mine[0];
        EXPECT_EQ(mine[1].rfind(L(c.fn, "End"), 0), 0u) << mine[1];
        EXPECT_EQ(only(got, {"GetShm"}).size(), 3u) << c.fn << ": attach retried each call";
    }
    EXPECT_EQ(g_kills.load(), 0) << "no sweep without the area";

    device.createAreas();
    device.pwr()->b_HddReady = 1;
    EXPECT_TRUE(LIB_POW_isHddReady()) << "the next call attaches once the object exists";
}

TEST_F(PowerTest, WithoutTheSemaphoreNothingIsCountedOrGivenBack)
{
    getPwrShm(); /* attached already: only the reservation's own take fails */
    g_libPowSys.semTake = failingTake;
    g_libPowSys.semGive = countingGive;
    raw.setCount(1, 2);
    raw.setTotal(2);
    std::vector<uint8_t> before = raw.image();
    std::string out = captureStdout([] {
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1);
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(1), -1);
        LIB_POW_resetPowerSaveDelay(1);
    });
    EXPECT_EQ(lines(out).size(), 3u) << "only the failed takes, at level 1:\n" << out;
    LIB_POW_setLogLevel(16);
    std::vector<std::string> got = normalised(captureStdout([] { LIB_POW_setPowerSaveDelay(4); }));
    LIB_POW_setLogLevel(3);
    EXPECT_EQ(got, (std::vector<std::string>{
                       L("setPowerSaveDelayPid", "End(DelayTaskNum=0 [index=4, count=0])")}));
    EXPECT_EQ(raw.image(), before);
    EXPECT_EQ(g_takes.load(), 4);
    EXPECT_EQ(g_gives.load(), 0);
}

/* ---------------------------------------------------------------------
 * Reservations in one process
 * --------------------------------------------------------------------- */

TEST_F(PowerTest, FirstRequestPopsTopIndexRecordsHolderAndCounts)
{
    getPwrShm();
    std::vector<std::string> got = leveled([&] { twoFreeIndices(); raw.noneReserved() = 1; },
                                           [] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 9); });
    const std::string me = std::to_string(self);
    EXPECT_EQ(got, (std::vector<std::string>{
                       "32 " + L("LIB_POW_setPowerSaveDelay", "Start(ss_Index=-1)"),
                       "32 " + L("setPowerSaveDelayPid", "Start(ss_Index=-1)"),
                       "64 " + L("lock", "Start(Name=sem_POW_Shm_SemName)"),
                       "64 " + L("lock", "End(pst_SemID=*)"),
                       "16 " + L("setPowerSaveDelayPid", "get index [pid=" + me + ", index=9]"),
                       "64 " + L("unlock", "Start(pst_SemID=*)"),
                       "64 " + L("unlock", "End"),
                       "16 " + L("setPowerSaveDelayPid", "End(DelayTaskNum=1 [index=9, count=1])"),
                       "32 " + L("LIB_POW_setPowerSaveDelay", "End(ss_Index=-1)"),
                   }));
    EXPECT_EQ(raw.pid(9), self);
    EXPECT_EQ(raw.count(9), 1);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.freeNum(), 1);
    EXPECT_EQ(raw.noneReserved(), 0);
    EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());
    /* Nothing else moved. */
    EXPECT_EQ(raw.pid(5), 0);
    EXPECT_EQ(raw.freeAt(0), 5);
}

TEST_F(PowerTest, CountsUpAndDownOnTheHeldIndexAndRaisesTheNoteAtZero)
{
    twoFreeIndices();
    ASSERT_EQ(LIB_POW_setPowerSaveDelay(-1), 9);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(9), 9);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(9), 9);
    EXPECT_EQ(raw.count(9), 3);
    EXPECT_EQ(raw.total(), 3);
    EXPECT_EQ(raw.freeNum(), 1) << "a held index does not pop";

    LIB_POW_resetPowerSaveDelay(9);
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(raw.noneReserved(), 0);
    std::vector<std::string> got = leveled([] {}, [] { LIB_POW_resetPowerSaveDelay(9); });
    EXPECT_EQ(only(got, {"LIB_POW_resetPowerSaveDelay", "resetPowerSaveDelayPid"}),
              (std::vector<std::string>{
                  "32 " + L("LIB_POW_resetPowerSaveDelay", "Start(ss_Index=9)"),
                  "32 " + L("resetPowerSaveDelayPid", "Start(ss_Index=9, b_AllDelete=0)"),
                  "16 " + L("resetPowerSaveDelayPid", "End(DelayTaskNum=0 [index=9, count=0])"),
                  "32 " + L("LIB_POW_resetPowerSaveDelay", "End"),
              }));
    EXPECT_EQ(raw.count(9), 0);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.noneReserved(), 1);
    EXPECT_EQ(raw.pid(9), self) << "a count of 0 does not end the holding";

    raw.noneReserved() = 0;
    LIB_POW_resetPowerSaveDelay(9);
    EXPECT_EQ(raw.count(9), 0);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.noneReserved(), 1) << "every decrement to 0 raises the note again";

    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5);
    std::vector<uint8_t> before = raw.image();
    std::string out = captureStdout([] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); });
    EXPECT_EQ(normalised(out), (std::vector<std::string>{L(
                                   "setPowerSaveDelayPid",
                                   "ss_Index=-1 Failed! pid=" + std::to_string(self))}))
        << "printed at level 1, so at the default mask";
    EXPECT_EQ(raw.image(), before);
}

TEST_F(PowerTest, InvalidIndicesAreRefusedAndChangeNothing)
{
    twoFreeIndices();
    raw.setTotal(4);
    raw.setCount(255, 4);
    std::vector<uint8_t> before = raw.image();
    for (short bad : {256, -2, -32768, 1000}) {
        std::vector<std::string> got =
            leveled([] {}, [bad] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(bad), -1); });
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(got, {"setPowerSaveDelayPid"}),
                  (std::vector<std::string>{
                      "32 " + L("setPowerSaveDelayPid", "Start(ss_Index=" + b + ")"),
                      "1 " + L("setPowerSaveDelayPid",
                               "ss_Index=" + b + " Failed! pid=" + std::to_string(self)),
                      "16 " + L("setPowerSaveDelayPid",
                                "End(DelayTaskNum=0 [index=" + b + ", count=0])"),
                  }));
    }
    for (short bad : {256, -1, -256}) {
        std::vector<std::string> got = leveled([] {}, [bad] { LIB_POW_resetPowerSaveDelay(bad); });
        const std::string b = std::to_string(bad);
        EXPECT_EQ(only(got, {"resetPowerSaveDelayPid"}),
                  (std::vector<std::string>{
                      "32 " + L("resetPowerSaveDelayPid", "Start(ss_Index=" + b + ", b_AllDelete=0)"),
                      "16 " + L("resetPowerSaveDelayPid",
                                "End(DelayTaskNum=0 [index=" + b + ", count=0])"),
                  }));
    }
    EXPECT_EQ(raw.image(), before);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(255), 255) << "255 is the last valid index";
}

TEST_F(PowerTest, CountersWrapUpAndClampDownIndependently)
{
    /* A request on an index nobody holds is counted and records no pid. */
    twoFreeIndices();
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(7), 7);
    EXPECT_EQ(raw.count(7), 1);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.pid(7), 0);

    /* The end of a request on an index at 0 still lowers the total. */
    raw.setTotal(2);
    raw.setCount(7, 0);
    LIB_POW_resetPowerSaveDelay(7);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.count(7), 0);
    EXPECT_EQ(raw.noneReserved(), 0);

    /* 16-bit wrap on the way up, for both. */
    raw.setTotal(32767);
    raw.setCount(7, 32767);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(7), 7);
    EXPECT_EQ(raw.total(), -32768);
    EXPECT_EQ(raw.count(7), -32768);
    EXPECT_TRUE(LIB_POW_IsPowerSaveDelay());

    /* A negative value clamps to 0 on the way down. */
    LIB_POW_resetPowerSaveDelay(7);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.count(7), 0);
    EXPECT_EQ(raw.noneReserved(), 1);

    raw.setTotal(5);
    raw.setCount(7, -4);
    LIB_POW_resetPowerSaveDelay(7);
    EXPECT_EQ(raw.total(), 4);
    EXPECT_EQ(raw.count(7), 0);
}

TEST_F(PowerTest, PoppedEntriesAbove255AreDroppedWithAMessage)
{
    getPwrShm();
    twoFreeIndices();
    raw.setStack({5, 300});
    std::vector<std::string> got = leveled([&] { raw.setStack({5, 300}); }, [] {
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 5);
    });
    EXPECT_EQ(only(got, {"setPowerSaveDelayPid"})[1],
              "1 " + L("setPowerSaveDelayPid", "ss_Index=300 Failed!"));
    EXPECT_EQ(raw.freeNum(), 0);
    EXPECT_EQ(raw.pid(5), self);

    /* Only bad entries: each is dropped and the last one names the failure. */
    memset(raw.b, 0, kPwrAreaSize);
    raw.setStack({0xFFFF, 256});
    std::string out = captureStdout([] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), -1); });
    EXPECT_EQ(normalised(out), (std::vector<std::string>{
                                   L("setPowerSaveDelayPid", "ss_Index=256 Failed!"),
                                   L("setPowerSaveDelayPid", "ss_Index=-1 Failed!"),
                                   L("setPowerSaveDelayPid",
                                     "ss_Index=-1 Failed! pid=" + std::to_string(self)),
                               }));
    EXPECT_EQ(raw.freeNum(), 0);
    EXPECT_EQ(raw.total(), 0);
}

TEST_F(PowerTest, CorruptFreeCountNeverReachesPastTheStack)
{
    /* A count above 256 pops from the top slot of the stack, no further. */
    memset(raw.b, 0, kPwrAreaSize);
    raw.setFreeAt(255, 42);
    raw.setFreeNum(0xFFFF);
    raw.hddSleepDelay() = 0x5A; /* bytes past the stack stay as they are */
    raw.timer() = 0x5A;
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 42);
    EXPECT_EQ(raw.freeNum(), 255);
    EXPECT_EQ(raw.hddSleepDelay(), 0x5A);
    EXPECT_EQ(raw.timer(), 0x5A);

    /* And a push onto such a count is refused rather than written past it. */
    raw.setFreeNum(300);
    raw.setPid(42, 123456);
    g_libPowSys.kill = fakeKill;
    g_deadPids = {123456};
    std::string out = captureStdout([] { LIB_POW_IsHddSleepDelay(); });
    EXPECT_EQ(normalised(out), (std::vector<std::string>{
                                   L("resetPowerSaveDelayPid", "ss_Index=42 put Failed!")}));
    EXPECT_EQ(raw.freeNum(), 300);
    EXPECT_EQ(raw.pid(42), 0);
    EXPECT_EQ(raw.hddSleepDelay(), 0x5A);
    EXPECT_EQ(raw.timer(), 0x5A);
}

TEST_F(LibPowTest, Index0OwnerGetsIndex0WithoutAPop)
{
    device.createAreas({.reset = false, .index0Pid = getpid()});
    Raw raw{reinterpret_cast<uint8_t*>(device.pwr())};
    getPwrShm();
    LIB_POW_setLogLevel(kAllLevels);
    std::vector<std::string> got =
        normalised(captureStdout([] { EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 0); }));
    LIB_POW_setLogLevel(3);
    EXPECT_TRUE(only(got, {"setPowerSaveDelayPid"}).size() == 2u) << "no get index line";
    EXPECT_EQ(raw.freeNum(), 255);
    EXPECT_EQ(raw.count(0), 1);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.pid(0), getpid());
}

/* ---------------------------------------------------------------------
 * The sweep
 * --------------------------------------------------------------------- */

TEST_F(PowerTest, SweepReleasesAnEndedHolderWithEverythingItCounts)
{
    getPwrShm();
    const pid_t gone = endedPid();
    auto prepare = [&] {
        twoFreeIndices();
        raw.setStack({5});
        raw.setPid(9, gone);
        raw.setCount(9, 2);
        raw.setTotal(2);
    };
    std::vector<std::string> got = leveled(prepare, [] { EXPECT_FALSE(LIB_POW_IsHddSleepDelay()); });
    const std::string g = std::to_string(gone);
    EXPECT_EQ(only(got, {"LIB_POW_IsHddSleepDelay", "checkPowerSaveDelayPid", "resetPowerSaveDelayPid"}),
              (std::vector<std::string>{
                  "32 " + L("LIB_POW_IsHddSleepDelay", "Start"),
                  "64 " + L("checkPowerSaveDelayPid", "Start(2)"),
                  "32 " + L("resetPowerSaveDelayPid", "Start(ss_Index=9, b_AllDelete=1)"),
                  "16 " + L("resetPowerSaveDelayPid", "release index [pid=" + g + ", index=9]"),
                  "16 " + L("resetPowerSaveDelayPid", "End(DelayTaskNum=0 [index=9, count=0])"),
                  "64 " + L("checkPowerSaveDelayPid", "End(0)"),
                  "32 " + L("LIB_POW_IsHddSleepDelay", "End(b_Ret=0)"),
              }));
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.noneReserved(), 1);
    EXPECT_EQ(raw.pid(9), 0);
    EXPECT_EQ(raw.count(9), 0);
    EXPECT_EQ(raw.freeNum(), 2);
    EXPECT_EQ(raw.freeAt(1), 9);
    EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 9) << "the released index is on top";
}

TEST_F(PowerTest, SweepThatReleasesNothingTakesNoSemaphoreAndSkipsIndex0)
{
    getPwrShm();
    countSemaphore();
    g_libPowSys.kill = fakeKill;
    raw.setPid(0, 111); /* ended, but index 0 is never examined */
    raw.setPid(3, 222);
    raw.setPid(200, 333);
    raw.setCount(3, 1);
    raw.setTotal(1);
    g_deadPids = {111};
    std::vector<uint8_t> before = raw.image();
    raw.hddSleepDelay() = 1;
    std::vector<std::string> got = leveled([] {}, [] { EXPECT_TRUE(LIB_POW_IsHddSleepDelay()); });
    EXPECT_EQ(got.back(), "16 " + L("LIB_POW_IsHddSleepDelay", "End(b_Ret=1)"));
    raw.hddSleepDelay() = 0;
    EXPECT_EQ(raw.image(), before) << "live holders are left alone";
    EXPECT_EQ(g_takes.load(), 0);
    /* leveled() ran the query five times; each sweep asks about 3 and 200. */
    std::vector<pid_t> expected;
    for (int run = 0; run < 5; ++run)
        expected.insert(expected.end(), {222, 333});
    EXPECT_EQ(g_killedPids, expected);
}

TEST_F(PowerTest, SweepTakesTheSemaphoreOncePerRelease)
{
    getPwrShm();
    countSemaphore();
    g_libPowSys.kill = fakeKill;
    g_deadPids = {1001, 1002, 1003};
    raw.setStack({});
    raw.setPid(10, 1001);
    raw.setPid(20, 1002);
    raw.setPid(30, 1003);
    raw.setPid(40, self);
    raw.setCount(20, 3);
    raw.setCount(40, 1);
    raw.setTotal(4);
    EXPECT_FALSE(LIB_POW_IsHddSleepDelay());
    EXPECT_EQ(g_takes.load(), 3);
    EXPECT_EQ(g_gives.load(), 3);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.noneReserved(), 0) << "the live holder still counts one";
    /* Pushed in ascending order of index. */
    uint16_t n = raw.freeNum();
    ASSERT_EQ(n, 3);
    EXPECT_EQ(raw.freeAt(n - 3), 10);
    EXPECT_EQ(raw.freeAt(n - 2), 20);
    EXPECT_EQ(raw.freeAt(n - 1), 30);
}

TEST_F(PowerTest, ReleaseOfAnIndexCountingNothingLeavesTheNoteAlone)
{
    g_libPowSys.kill = fakeKill;
    g_deadPids = {1001};
    raw.setPid(10, 1001);
    raw.setTotal(0);
    raw.noneReserved() = 0;
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.pid(10), 0);
    EXPECT_EQ(raw.noneReserved(), 0);
}

TEST_F(PowerTest, AnyFailureOfKillCountsAsTheHolderEnded)
{
    g_libPowSys.kill = [](pid_t, int) {
        errno = EPERM;
        return -1;
    };
    raw.setPid(10, 1); /* init: alive, but not ours to signal */
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.pid(10), 0);
}

TEST_F(PowerTest, ReleaseOnAFullStackDropsTheIndex)
{
    g_libPowSys.kill = fakeKill;
    g_deadPids = {1001};
    for (int n = 0; n < 256; ++n)
        raw.setFreeAt(n, static_cast<uint16_t>(n));
    raw.setFreeNum(256);
    raw.setPid(9, 1001);
    raw.setCount(9, 2);
    raw.setTotal(2);
    std::string out = captureStdout([] { LIB_POW_IsHddSleepDelay(); });
    EXPECT_EQ(normalised(out), (std::vector<std::string>{
                                   L("resetPowerSaveDelayPid", "ss_Index=9 put Failed!")}));
    EXPECT_EQ(raw.pid(9), 0);
    EXPECT_EQ(raw.count(9), 0);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.freeNum(), 256);
    EXPECT_EQ(raw.freeAt(255), 255);
}

/* Two sweeps that see the same ended holder: the other one releases the
 * index while ours is between its scan and its release. */
TEST_F(PowerTest, TwoSweepsOfTheSameEndedHolderPushItsIndexOnce)
{
    getPwrShm();
    const pid_t gone = endedPid();
    raw.setStack({});
    for (int i = 255; i >= 1; --i)
        if (i != 9)
            raw.setFreeAt(raw.freeNum(), static_cast<uint16_t>(i)), raw.setFreeNum(raw.freeNum() + 1);
    raw.setPid(9, gone);
    raw.setCount(9, 2);
    raw.setTotal(2);
    countSemaphore();
    g_libPowSys.kill = fakeKill;
    g_deadPids = {gone};
    g_onFirstKill = [] {
        int rc = runChild([] {
            g_libPowSys.kill = kLibPowRealSys.kill; /* a plain process of the device */
            LIB_POW_setLogLevel(0); /* its stdout is our capture */
            LIB_POW_IsHddSleepDelay();
            return 0;
        });
        EXPECT_EQ(rc, 0);
    };
    LIB_POW_setLogLevel(16);
    std::string out = captureStdout([] { LIB_POW_IsHddSleepDelay(); });
    LIB_POW_setLogLevel(3);
    EXPECT_EQ(out.find("release index"), std::string::npos) << "ours found it released already";
    EXPECT_EQ(raw.total(), 0) << "the counts are not taken off twice";
    int onStack = 0;
    for (int n = 0; n < raw.freeNum(); ++n)
        onStack += raw.freeAt(n) == 9;
    EXPECT_EQ(onStack, 1);
    EXPECT_EQ(raw.freeNum(), 255);
    EXPECT_EQ(g_takes.load(), 1) << "the stale release looked under the semaphore";
    EXPECT_EQ(g_gives.load(), 1);
}

TEST_F(PowerTest, StaleReleaseLeavesANewHolderOfTheIndexAlone)
{
    getPwrShm();
    const pid_t gone = endedPid();
    raw.setPid(1, gone); /* 1 is the top of the fresh stack once released */
    raw.setStack({});
    for (int n = 0; n < 254; ++n)
        raw.setFreeAt(n, static_cast<uint16_t>(255 - n));
    raw.setFreeNum(254);
    raw.setCount(1, 1);
    raw.setTotal(1);
    g_libPowSys.kill = fakeKill;
    g_deadPids = {gone};
    /* Meanwhile: another sweep releases 1, and a new job gets it. */
    g_onFirstKill = [&] {
        resetPowerSaveDelayPid(1, true, gone);
        EXPECT_EQ(LIB_POW_setPowerSaveDelay(-1), 1);
    };
    LIB_POW_IsHddSleepDelay();
    EXPECT_EQ(raw.pid(1), self);
    EXPECT_EQ(raw.count(1), 1);
    EXPECT_EQ(raw.total(), 1);
    EXPECT_EQ(raw.freeNum(), 254);
}

/* ---------------------------------------------------------------------
 * Real processes
 * --------------------------------------------------------------------- */

/* A one-way pipe for small values from a child. */
class Channel {
public:
    Channel() { EXPECT_EQ(pipe(fds_), 0); }
    ~Channel() { close(fds_[0]); close(fds_[1]); }
    void send(int value) { EXPECT_EQ(write(fds_[1], &value, sizeof value), (ssize_t)sizeof value); }
    int receive()
    {
        int value = -999;
        EXPECT_EQ(read(fds_[0], &value, sizeof value), (ssize_t)sizeof value);
        return value;
    }

private:
    int fds_[2];
};

/* A child that attaches like a process of its own. */
int asNewProcess(const std::function<int()>& fn)
{
    return runChild([&] {
        resetLibrary();
        return fn();
    });
}

TEST_F(PowerTest, EndedJobIsReclaimedByAnyProcessAndLiveJobIsNot)
{
    Channel reserved;
    Gate finish;
    pid_t job = startChild([&] {
        resetLibrary();
        short index = LIB_POW_setPowerSaveDelay(-1);
        LIB_POW_setPowerSaveDelay(index);
        reserved.send(index);
        finish.wait();
        return 0; /* ends without a reset */
    });
    int index = reserved.receive();
    ASSERT_EQ(index, 1) << "top of a fresh stack";
    EXPECT_EQ(raw.pid(1), job);

    /* Another process sees the delay, and its sweep leaves the live job be. */
    EXPECT_EQ(asNewProcess([] { return LIB_POW_IsPowerSaveDelay() ? 0 : 1; }), 0);
    EXPECT_EQ(asNewProcess([] {
                  LIB_POW_IsHddSleepDelay();
                  return LIB_POW_IsPowerSaveDelay() ? 0 : 1;
              }),
              0);
    EXPECT_EQ(raw.pid(1), job);
    EXPECT_EQ(raw.count(1), 2);

    finish.open();
    EXPECT_EQ(waitChild(job), 0);
    EXPECT_EQ(asNewProcess([] {
                  LIB_POW_IsHddSleepDelay();
                  bool quiet = !LIB_POW_IsPowerSaveDelay();
                  bool note = LIB_POW_getDelayPowerSaveTaskNoneReserved(true);
                  return quiet && note ? 0 : 1;
              }),
              0);
    EXPECT_EQ(raw.pid(1), 0);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.freeNum(), 255);
    EXPECT_EQ(raw.freeAt(254), 1);
}

TEST_F(PowerTest, Index0OwnerProcessIsNeverSweptEvenAfterItEnds)
{
    Gate go;
    pid_t owner = startChild([&] {
        go.wait();
        resetLibrary();
        int first = LIB_POW_setPowerSaveDelay(-1);
        int again = LIB_POW_setPowerSaveDelay(-1);
        return first == 0 && again == 0 ? 0 : 1;
    });
    raw.setPid(0, owner);
    go.open();
    EXPECT_EQ(waitChild(owner), 0);
    EXPECT_EQ(raw.count(0), 2);
    EXPECT_EQ(raw.freeNum(), 255) << "no pop for the index-0 owner";
    EXPECT_EQ(asNewProcess([] { return LIB_POW_IsHddSleepDelay() ? 1 : 0; }), 0);
    EXPECT_EQ(raw.pid(0), owner);
    EXPECT_EQ(raw.count(0), 2);
    EXPECT_EQ(raw.total(), 2);
}

TEST_F(PowerTest, EndedJobOnAFullStackIsClearedButDropped)
{
    EXPECT_EQ(asNewProcess([] { return LIB_POW_setPowerSaveDelay(-1) == 1 ? 0 : 1; }), 0);
    raw.setFreeAt(255, 77); /* the owner's stack has filled up meanwhile */
    raw.setFreeNum(256);
    EXPECT_EQ(asNewProcess([] {
                  std::string out = captureStdout([] { LIB_POW_IsHddSleepDelay(); });
                  return out.find("ss_Index=1 put Failed!") != std::string::npos ? 0 : 1;
              }),
              0);
    EXPECT_EQ(raw.pid(1), 0);
    EXPECT_EQ(raw.total(), 0);
    EXPECT_EQ(raw.freeNum(), 256);
}

/* Workers count up and down on their own indices, short-lived jobs reserve
 * and end without a reset, and sweepers reclaim them, all at once. No
 * count may be lost and no index may be lost or doubled. */
TEST_F(PowerTest, StressCountsAndSweepsLoseNothing)
{
    constexpr int kWorkers = 4;
    constexpr int kOpsPerWorker = 3000;
    constexpr int kJobs = 40;
    constexpr int kSweepers = 2;
    struct Shared {
        std::atomic<int> stop;
        std::atomic<int> finalCount[kWorkers];
        std::atomic<int> index[kWorkers];
    };
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    auto timeLeft = [deadline] { return std::chrono::steady_clock::now() < deadline; };

    Gate go;
    Gate release;
    std::vector<pid_t> workers, others;
    for (int w = 0; w < kWorkers; ++w) {
        workers.push_back(startChild([&, w] {
            resetLibrary();
            go.wait();
            short index = LIB_POW_setPowerSaveDelay(-1);
            if (index < 1)
                return 2;
            int count = 1;
            unsigned seed = static_cast<unsigned>(w) * 7919u + 1u;
            for (int op = 0; op < kOpsPerWorker && timeLeft(); ++op) {
                seed = seed * 1103515245u + 12345u;
                if (count > 0 && (seed >> 16) % 2 == 0) {
                    LIB_POW_resetPowerSaveDelay(index);
                    --count;
                } else if (LIB_POW_setPowerSaveDelay(index) == index) {
                    ++count;
                } else {
                    return 3;
                }
            }
            shared->index[w] = index;
            shared->finalCount[w] = count;
            release.wait(); /* stay alive until the parent has checked */
            return 0;
        }, 120));
    }
    others.push_back(startChild([&] {
        resetLibrary();
        go.wait();
        for (int j = 0; j < kJobs && timeLeft(); ++j) {
            int rc = runChild([] {
                resetLibrary();
                short index = LIB_POW_setPowerSaveDelay(-1);
                LIB_POW_setPowerSaveDelay(index);
                return index >= 1 ? 0 : 1;
            });
            if (rc != 0)
                return 4;
        }
        return 0;
    }, 120));
    for (int s = 0; s < kSweepers; ++s) {
        others.push_back(startChild([&] {
            resetLibrary();
            go.wait();
            while (shared->stop.load() == 0 && timeLeft())
                LIB_POW_IsHddSleepDelay();
            return 0;
        }, 120));
    }
    go.open();
    /* Wait until each worker has published its result. */
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
    munmap(shared, sizeof *shared);
}

} // namespace
