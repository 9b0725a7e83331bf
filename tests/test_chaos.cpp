/*
 * Processes die at any moment on a device, SIGKILL included. These tests
 * kill library users in the middle of their work and check that the
 * semaphores come back at once and that the reservation table is left with
 * no damage other than what the interrupted step itself can leave.
 *
 * Both tests need the kernel's robust futexes to recover a dead holder, so
 * they skip where the process runs without them (user-mode qemu).
 */
#include "support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using namespace libpow_test;

namespace {

int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* ---- Table checker ----------------------------------------------------- */

/* What the reservation table looks like against the processes that may hold
 * an index. Index 0 is the owner's and is left out. */
struct TableDamage {
    /* What a kill inside a POW hold can leave. */
    std::vector<int> lost;        /* neither held nor on the free stack */
    long mismatch = 0;            /* DelayTaskNum minus the sum of the counts */
    /* What nothing but a defect leaves. */
    std::vector<int> stackTwice;  /* on the free stack more than once */
    std::vector<int> heldAndFree; /* held and on the free stack */
    std::vector<int> heldByEnded; /* holder is neither live nor a reused pid */
    std::vector<int> strayCount;  /* not held, yet counting */
    int badStackEntries = 0;      /* 0 or above 255 below the stack top */
    bool badFreeCount = false;    /* us_FreeIndexNum above 256 */
    /* Neither: a holder pid that the system has given to another process
     * since, so the sweep cannot know it ended. */
    std::vector<int> heldByReusedPid;

    bool defect() const
    {
        return !stackTwice.empty() || !heldAndFree.empty() || !heldByEnded.empty() ||
               !strayCount.empty() || badStackEntries != 0 || badFreeCount;
    }
};

std::string listOf(const std::vector<int>& v)
{
    std::ostringstream out;
    out << "[";
    for (size_t i = 0; i < v.size(); ++i)
        out << (i ? " " : "") << v[i];
    out << "]";
    return out.str();
}

std::string describe(const TableDamage& d)
{
    std::ostringstream out;
    out << "lost " << listOf(d.lost) << ", total-sum " << d.mismatch << ", stackTwice "
        << listOf(d.stackTwice) << ", heldAndFree " << listOf(d.heldAndFree) << ", heldByEnded "
        << listOf(d.heldByEnded) << ", strayCount " << listOf(d.strayCount) << ", badStackEntries "
        << d.badStackEntries << ", badFreeCount " << d.badFreeCount << ", heldByReusedPid "
        << listOf(d.heldByReusedPid);
    return out.str();
}

TableDamage checkTable(PwrSharedArea* a, const std::set<pid_t>& live)
{
    TableDamage d;
    uint16_t num = loadWord(a->us_FreeIndexNum);
    if (num > kDelayIndexCount) {
        d.badFreeCount = true;
        num = kDelayIndexCount;
    }
    int onStack[kDelayIndexCount] = {};
    for (int n = 0; n < num; ++n) {
        uint16_t entry = loadWord(a->us_FreeIndex[n]);
        if (entry == 0 || entry >= kDelayIndexCount)
            ++d.badStackEntries;
        else
            ++onStack[entry];
    }
    long sum = 0;
    for (int i = 0; i < kDelayIndexCount; ++i)
        sum += loadWord(a->ss_DelayCount[i]);
    d.mismatch = loadWord(a->DelayTaskNum) - sum;
    for (int i = 1; i < kDelayIndexCount; ++i) {
        pid_t pid = loadWord(a->sl_DelayPid[i]);
        if (onStack[i] > 1)
            d.stackTwice.push_back(i);
        if (pid == 0) {
            if (onStack[i] == 0)
                d.lost.push_back(i);
            if (loadWord(a->ss_DelayCount[i]) != 0)
                d.strayCount.push_back(i);
            continue;
        }
        if (onStack[i] != 0)
            d.heldAndFree.push_back(i);
        if (!live.count(pid))
            (kill(pid, 0) == 0 ? d.heldByReusedPid : d.heldByEnded).push_back(i);
    }
    return d;
}

/* ---- Seam wrappers shared by both tests --------------------------------- */

/* How long a take may wait when a dead holder is recovered at once: a
 * loaded machine can deschedule a holder for a while, never for this long. */
constexpr int kTakeLimitMs = 1000;

int timedTake(SemId id, int)
{
    return PLAT_semTake(id, kTakeLimitMs);
}

std::atomic<int> g_killAtPoint{0};

void killAtPoint(int point)
{
    if (point == g_killAtPoint.load())
        raise(SIGKILL);
}

/* Recoveries of a dead holder the platform has counted for a semaphore. */
unsigned recoveries(SemId id)
{
    std::string text = captureStdout([&] { PLAT_semShow(id, 1); });
    const char key[] = "recovered from dead holder: ";
    size_t at = text.find(key);
    return at == std::string::npos ? ~0u : static_cast<unsigned>(atoi(text.c_str() + at + sizeof key - 1));
}

/* ---- Deterministic crash points ----------------------------------------- */

enum class Operation { Request, Reset, Release };

struct CrashCase {
    const char* name;
    Operation operation;
    LibPowCrashPoint point;
    size_t lost;   /* indices the interrupted step leaves neither held nor free */
    long mismatch; /* what it leaves between the total and the counts */
};

/* The test process holds index 1 with one request throughout, so that a
 * total that drops too far is not hidden by the clamp at 0. The victim's
 * index is 2. */
const CrashCase kCrashCases[] = {
    {"RequestAfterPop", Operation::Request, kCrashAfterPop, 1, 0},
    {"RequestAfterHolderStore", Operation::Request, kCrashAfterHolderStore, 0, 0},
    {"RequestAfterTotalUp", Operation::Request, kCrashAfterTotalUp, 0, +1},
    {"RequestAfterCountUp", Operation::Request, kCrashAfterCountUp, 0, 0},
    {"ResetAfterTotalDown", Operation::Reset, kCrashAfterTotalDown, 0, -1},
    {"ResetAfterCountDown", Operation::Reset, kCrashAfterCountDown, 0, 0},
    {"ReleaseAfterTotalDown", Operation::Release, kCrashAfterTotalDown, 0, -1},
    {"ReleaseAfterCountDown", Operation::Release, kCrashAfterCountDown, 0, 0},
    {"ReleaseAfterClear", Operation::Release, kCrashAfterClear, 1, 0},
    {"ReleaseAfterPushEntry", Operation::Release, kCrashAfterPushEntry, 1, 0},
    {"ReleaseAfterPush", Operation::Release, kCrashAfterPush, 0, 0},
};

/* Names the case in test listings instead of dumping its bytes. */
void PrintTo(const CrashCase& c, std::ostream* out)
{
    *out << c.name;
}

class CrashPointTest : public ::testing::TestWithParam<CrashCase> {
protected:
    PrivateDevice device;
};

TEST_P(CrashPointTest, KillAtTheStepLeavesOnlyItsDamageAndTheNextTakeRecovers)
{
    if (!PLAT_semRobustSupported())
        GTEST_SKIP() << "no robust futexes: a dead holder is never recovered here";
    const CrashCase& c = GetParam();
    device.createAreas();
    PwrSharedArea* area = device.pwr();
    SemId pow = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(device.names.semPow.c_str()));
    ASSERT_NE(pow, nullptr);
    ASSERT_EQ(LIB_POW_setPowerSaveDelay(-1), 1);

    if (c.operation == Operation::Release) {
        /* A holder of index 2 with two requests ends without a word. */
        ASSERT_EQ(runChild([] {
                      resetLibrary();
                      return LIB_POW_setPowerSaveDelay(-1) == 2 && LIB_POW_setPowerSaveDelay(2) == 2
                                 ? 0 : 1;
                  }),
                  0);
    }
    unsigned before = recoveries(pow);
    g_killAtPoint = c.point;
    int victim = runChild([&] {
        resetLibrary();
        if (c.operation == Operation::Reset) {
            if (LIB_POW_setPowerSaveDelay(-1) != 2 || LIB_POW_setPowerSaveDelay(2) != 2)
                return 1;
        }
        g_libPowSys.crashPoint = killAtPoint;
        if (c.operation == Operation::Request)
            LIB_POW_setPowerSaveDelay(-1);
        else if (c.operation == Operation::Reset)
            LIB_POW_resetPowerSaveDelay(2);
        else
            LIB_POW_IsHddSleepDelay();
        return 2; /* the step was never reached */
    });
    ASSERT_EQ(victim, 128 + SIGKILL) << "the victim did not die at the step";

    /* The next process takes the semaphore within the limit, then sweeps. */
    int next = runChild([] {
        resetLibrary();
        g_libPowSys.semTake = timedTake;
        SemId held = lockPowShm();
        if (held == 0)
            return 1;
        unlock(held);
        LIB_POW_IsHddSleepDelay();
        return 0;
    });
    EXPECT_EQ(next, 0) << "the next take did not succeed within " << kTakeLimitMs << " ms";
    EXPECT_EQ(recoveries(pow), before + 1) << "the victim did not die holding the semaphore";

    TableDamage d = checkTable(area, {getpid()});
    EXPECT_FALSE(d.defect()) << describe(d);
    EXPECT_EQ(d.lost.size(), c.lost) << describe(d);
    if (c.lost == 1) {
        EXPECT_EQ(d.lost, std::vector<int>{2}) << describe(d);
    }
    EXPECT_EQ(d.mismatch, c.mismatch) << describe(d);
    /* The survivor's own reservation is untouched. */
    EXPECT_EQ(loadWord(area->sl_DelayPid[1]), getpid());
    EXPECT_EQ(loadWord(area->ss_DelayCount[1]), 1);
    printf("crash point %-24s lost %zu, total-sum %+ld\n", c.name, d.lost.size(), d.mismatch);
}

INSTANTIATE_TEST_SUITE_P(EachStep, CrashPointTest, ::testing::ValuesIn(kCrashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                             return std::string(info.param.name);
                         });

/* The crash tests would pass vacuously if a step were never reached; and a
 * hook that does not kill must change nothing. */
TEST(CrashPointSeam, EveryStepIsReachedAndAHookThatReturnsChangesNothing)
{
    PrivateDevice device;
    device.createAreas();
    int holder = runChild([] {
        resetLibrary();
        return LIB_POW_setPowerSaveDelay(-1) == 1 && LIB_POW_setPowerSaveDelay(1) == 1 ? 0 : 1;
    });
    ASSERT_EQ(holder, 0);
    g_libPowSys.crashPoint = [](int point) { g_killAtPoint = g_killAtPoint | (1 << point); };
    g_killAtPoint = 0;
    short mine = LIB_POW_setPowerSaveDelay(-1);
    LIB_POW_resetPowerSaveDelay(mine);
    LIB_POW_IsHddSleepDelay();
    g_libPowSys.crashPoint = nullptr;
    for (int point = kCrashAfterPop; point <= kCrashAfterPush; ++point)
        EXPECT_TRUE(g_killAtPoint & (1 << point)) << "step " << point << " is never reached";
    TableDamage d = checkTable(device.pwr(), {getpid()});
    EXPECT_FALSE(d.defect()) << describe(d);
    EXPECT_TRUE(d.lost.empty()) << describe(d);
    EXPECT_EQ(d.mismatch, 0);
}

/* ---- Random chaos ------------------------------------------------------- */

constexpr int kWorkers = 4;
constexpr int kMaxIndices = 3; /* indices one worker holds at most */
constexpr int kMaxCount = 3;   /* requests one worker counts on an index at most */
constexpr int kMaxKills = 20000;
constexpr long kAimedKillLimit = 400;

enum Held { kHeldNone, kHeldPow, kHeldNvd, kHeldRdy };
enum WorkerOp { kOpOther, kOpRequest, kOpCount, kOpReset, kOpSweep };

/* One worker's page of the shared scratch area. The worker writes it; the
 * parent reads it once the worker is dead or parked. */
struct WorkerSlot {
    int32_t pid;
    int32_t held;      /* Held: which semaphore the worker holds right now */
    int32_t op;        /* WorkerOp of the call in progress */
    int32_t point;     /* last crash point reached in the current POW hold */
    int32_t parked;
    int32_t nIndices;
    int16_t index[kMaxIndices];
    int16_t count[kMaxIndices];
    /* 32-bit words: the device's 32-bit ABI has no lock-free 64-bit ones. */
    int32_t ops;
    int32_t takes;
    int32_t maxWaitUs;
    int32_t failedTakes;
    int32_t defects;
    char defect[160];
};

struct ChaosScratch {
    int32_t park;
    int32_t leave;
    WorkerSlot slot[kWorkers];
};

ChaosScratch* g_scratch = nullptr;
WorkerSlot* g_me = nullptr;
SemId g_pow = 0, g_nvd = 0, g_rdy = 0;

template <typename T>
void put(T& word, T value)
{
    __atomic_store_n(&word, value, __ATOMIC_SEQ_CST);
}

template <typename T>
T get(const T& word)
{
    return __atomic_load_n(&word, __ATOMIC_SEQ_CST);
}

std::mt19937 g_workerRng;

/* A hold lasts a few hundred nanoseconds, far less than a kill takes to land.
 * Now and then a worker lingers inside one (after a take, at a step of a
 * table change) so that the killer's aimed kills hit every step. */
void widenSometimes()
{
    /* Requests and releases are rare next to counts: linger in them more. */
    int op = __atomic_load_n(&g_me->op, __ATOMIC_RELAXED);
    unsigned odds = op == kOpRequest || op == kOpSweep ? 4 : 16;
    if (g_workerRng() % odds != 0)
        return;
    int64_t until = nowNs() + 20000;
    while (nowNs() < until) {
    }
}

/* The hold marks bracket the library's table writes: set once the take has
 * returned, cleared before the give is called, so a kill found outside a
 * hold cannot have cut a change short. */
int chaosTake(SemId id, int timeout)
{
    int64_t start = nowNs();
    int rc = PLAT_semTake(id, timeout);
    int32_t waited = static_cast<int32_t>((nowNs() - start) / 1000);
    put(g_me->takes, get(g_me->takes) + 1);
    if (waited > get(g_me->maxWaitUs))
        put(g_me->maxWaitUs, waited);
    if (rc != 0) {
        put(g_me->failedTakes, get(g_me->failedTakes) + 1);
        return rc;
    }
    put(g_me->point, 0);
    put(g_me->held, static_cast<int32_t>(id == g_pow ? kHeldPow : id == g_nvd ? kHeldNvd
                                                                               : kHeldRdy));
    widenSometimes();
    return rc;
}

int chaosGive(SemId id)
{
    put(g_me->held, static_cast<int32_t>(kHeldNone));
    return PLAT_semGive(id);
}

void notePoint(int point)
{
    put(g_me->point, point);
    widenSometimes();
}

void workerDefect(const std::string& text)
{
    if (get(g_me->defects) == 0)
        snprintf(g_me->defect, sizeof g_me->defect, "%s", text.c_str());
    put(g_me->defects, get(g_me->defects) + 1);
}

/* One step of a worker on its own reservations: a new index now and then,
 * otherwise a count up or down on one it holds, checked against its tally. */
void reservationStep(std::mt19937& rng)
{
    int n = get(g_me->nIndices);
    if (n == 0 || (n < kMaxIndices && rng() % 20 == 0)) {
        put(g_me->op, static_cast<int32_t>(kOpRequest));
        short index = LIB_POW_setPowerSaveDelay(-1);
        if (index < 1 || index > 255) {
            workerDefect("request gave " + std::to_string(index));
            return;
        }
        put(g_me->index[n], static_cast<int16_t>(index));
        put(g_me->count[n], static_cast<int16_t>(1));
        put(g_me->nIndices, n + 1);
        return;
    }
    int k = static_cast<int>(rng() % n);
    short index = get(g_me->index[k]);
    int16_t count = get(g_me->count[k]);
    if (count < kMaxCount && (count == 0 || rng() % 2 == 0)) {
        put(g_me->op, static_cast<int32_t>(kOpCount));
        short got = LIB_POW_setPowerSaveDelay(index);
        if (got != index)
            workerDefect("count on " + std::to_string(index) + " gave " + std::to_string(got));
        put(g_me->count[k], static_cast<int16_t>(count + 1));
    } else {
        put(g_me->op, static_cast<int32_t>(kOpReset));
        LIB_POW_resetPowerSaveDelay(index);
        put(g_me->count[k], static_cast<int16_t>(count - 1));
    }
}

void chaosStep(std::mt19937& rng, int slot)
{
    unsigned dice = rng() % 100;
    if (dice < 35) {
        reservationStep(rng);
    } else if (dice < 40) {
        put(g_me->op, static_cast<int32_t>(kOpOther));
        LIB_POW_resetPowerSaveDelay(-1);
        if (LIB_POW_setPowerSaveDelay(300) != -1)
            workerDefect("index 300 was counted");
    } else if (dice < 55) {
        put(g_me->op, static_cast<int32_t>(kOpSweep));
        LIB_POW_IsHddSleepDelay();
    } else if (dice < 70) {
        put(g_me->op, static_cast<int32_t>(kOpOther));
        LIB_POW_putResetAutoSleepTimer();
        unsigned char request = LIB_POW_getResetAutoSleepTimer(rng() % 2 == 0);
        if (request != 0 && request != 2)
            workerDefect("timer request " + std::to_string(request));
        LIB_POW_getDelayPowerSaveTaskNoneReserved(false);
        LIB_POW_IsPowerSaveDelay();
    } else if (dice < 85) {
        /* Each slot owns one year of the calendar, so what it writes it
         * must read back. */
        put(g_me->op, static_cast<int32_t>(kOpOther));
        unsigned short year = static_cast<unsigned short>(2000 + slot);
        unsigned char month = static_cast<unsigned char>(1 + rng() % 12);
        unsigned char day = static_cast<unsigned char>(1 + rng() % 28);
        bool on = rng() % 2 == 0;
        bool read = !on;
        if (LIB_POW_setWeeklyTimerDateOn(year, month, day, on) != 0 ||
            LIB_POW_getWeeklyTimerDateOn(year, month, day, &read) != 0 || read != on)
            workerDefect("calendar day did not read back");
    } else {
        /* Every ready flag write in this test is made under its semaphore,
         * so what one holder wrote it reads back. */
        put(g_me->op, static_cast<int32_t>(kOpOther));
        SemId held = LIB_POW_Lock_HddReadyFlag();
        if (held == 0) {
            workerDefect("no HddReady lock");
            return;
        }
        bool ready = rng() % 2 == 0;
        LIB_POW_setHddReady(ready);
        if (LIB_POW_isHddReady() != ready)
            workerDefect("ready flag changed under its lock");
        LIB_POW_UnLock_HddReadyFlag(held);
    }
}

int runWorker(int slot, const AreaNames& names)
{
    resetLibrary();
    g_me = &g_scratch->slot[slot];
    g_pow = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semPow.c_str()));
    g_nvd = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semNvd.c_str()));
    g_rdy = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semRdy.c_str()));
    if (g_pow == 0 || g_nvd == 0 || g_rdy == 0) {
        workerDefect("no semaphore handles");
        return 1;
    }
    g_libPowSys.semTake = chaosTake;
    g_libPowSys.semGive = chaosGive;
    g_libPowSys.crashPoint = notePoint;
    LIB_POW_setLogLevel(0); /* the invalid requests would flood the log */
    std::mt19937 rng(static_cast<unsigned>(getpid() ^ nowNs()));
    g_workerRng.seed(rng());
    while (!get(g_scratch->park)) {
        chaosStep(rng, slot);
        put(g_me->op, static_cast<int32_t>(kOpOther));
        put(g_me->ops, get(g_me->ops) + 1);
    }
    put(g_me->parked, 1);
    while (!get(g_scratch->leave))
        usleep(1000);
    return 0;
}

int chaosSeconds()
{
    if (const char* text = getenv("LIBPOW_CHAOS_SECONDS"))
        return std::max(1, atoi(text));
#if defined(__SANITIZE_ADDRESS__)
    return 20;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 20;
#endif
#endif
    return 60;
}

struct ChaosFigures {
    long started = 0;
    long killed = 0;
    long killsInPowHold = 0;
    long killsInNvdHold = 0;
    long killsInRdyHold = 0;
    std::map<std::string, long> powHoldKillsBy; /* operation / last step reached */
    long allowedLost = 0;
    long allowedPlus = 0;
    long allowedMinus = 0;
    int64_t ops = 0;
    int64_t takes = 0;
    int64_t maxWaitUs = 0;
    int64_t failedTakes = 0;
    int64_t workerDefects = 0;
    std::string firstWorkerDefect;
    long pidReuses = 0;
};

const char* opName(int op)
{
    switch (op) {
    case kOpRequest: return "request";
    case kOpCount: return "count";
    case kOpReset: return "reset";
    case kOpSweep: return "release";
    default: return "attach/other";
    }
}

/* Takes in what a worker left in its slot, dead or parked. */
void collect(ChaosFigures& f, WorkerSlot& s)
{
    f.ops += get(s.ops);
    f.takes += get(s.takes);
    f.maxWaitUs = std::max(f.maxWaitUs, static_cast<int64_t>(get(s.maxWaitUs)));
    f.failedTakes += get(s.failedTakes);
    if (get(s.defects) != 0 && f.firstWorkerDefect.empty())
        f.firstWorkerDefect = s.defect;
    f.workerDefects += get(s.defects);
}

/* What a kill inside a POW hold may leave depends on the call it cut short
 * and on the last step that call reached: the kill may have landed on any
 * store between that step's hook and the next one.
 *   request: between the pop and the holder's store the popped index is
 *            lost; between the two increments the total is one up;
 *   count:   between the two increments the total is one up;
 *   reset:   between the two decrements the total is one down;
 *   release: between the two decrements the total is a whole count down
 *            (the holder is still recorded, so the next sweep releases it
 *            again); between the clear and the push the index is lost.
 * Any other kill, inside a hold or not, must leave nothing. */
void classifyKill(ChaosFigures& f, const WorkerSlot& s)
{
    ++f.killed;
    int held = get(s.held);
    if (held == kHeldNvd)
        ++f.killsInNvdHold;
    if (held == kHeldRdy)
        ++f.killsInRdyHold;
    if (held != kHeldPow)
        return;
    ++f.killsInPowHold;
    int op = get(s.op);
    int point = get(s.point);
    f.powHoldKillsBy[std::string(opName(op)) + "@" + std::to_string(point)]++;
    switch (op) {
    case kOpRequest:
        f.allowedLost += point == 0 || point == kCrashAfterPop;
        f.allowedPlus += point == kCrashAfterHolderStore || point == kCrashAfterTotalUp;
        break;
    case kOpCount:
        f.allowedPlus += point == 0 || point == kCrashAfterTotalUp;
        break;
    case kOpReset:
        f.allowedMinus += point == 0 || point == kCrashAfterTotalDown;
        break;
    case kOpSweep:
        /* A release of an index that counts nothing skips the decrements. */
        f.allowedMinus += (point == 0 || point == kCrashAfterTotalDown) ? kMaxCount : 0;
        f.allowedLost += point == 0 || point == kCrashAfterCountDown || point == kCrashAfterClear ||
                         point == kCrashAfterPushEntry;
        break;
    default:
        break;
    }
}

TEST(Chaos, RandomKillsLeaveOnlyDamageOfInterruptedHoldsAndNeverWedgeASemaphore)
{
    if (!PLAT_semRobustSupported())
        GTEST_SKIP() << "no robust futexes: a dead holder is never recovered here";
    PrivateDevice device;
    device.createAreas();
    void* page = mmap(nullptr, sizeof(ChaosScratch), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    g_scratch = new (page) ChaosScratch{};

    const int seconds = chaosSeconds();
    const unsigned childLimit = static_cast<unsigned>(seconds) + 60;
    ChaosFigures f;
    std::set<pid_t> usedPids, reusedPids;
    const AreaNames names = device.names;
    auto start = [&](int slot) {
        WorkerSlot& s = g_scratch->slot[slot];
        memset(static_cast<void*>(&s), 0, sizeof s);
        pid_t pid = startChild([slot, &names] { return runWorker(slot, names); }, childLimit);
        if (!usedPids.insert(pid).second) {
            reusedPids.insert(pid);
            ++f.pidReuses;
        }
        put(s.pid, static_cast<int32_t>(pid));
        ++f.started;
    };
    for (int slot = 0; slot < kWorkers; ++slot)
        start(slot);

    std::mt19937 rng(static_cast<unsigned>(getpid()));
    const int64_t deadline = nowNs() + static_cast<int64_t>(seconds) * 1000000000;
    long unexpectedExits = 0;
    /* Kills the worker in a slot, reaps it, reads from its slot where it
     * died, and starts a new worker there unless told not to. */
    auto killAndReplace = [&](int slot, bool restart) {
        WorkerSlot& s = g_scratch->slot[slot];
        kill(get(s.pid), SIGKILL);
        if (waitChild(get(s.pid)) != 128 + SIGKILL)
            ++unexpectedExits;
        classifyKill(f, s);
        collect(f, s);
        if (restart)
            start(slot);
    };
    /* Waits up to 3 ms for a worker (other than `skip`) in the given state;
     * its slot, or -1. */
    auto findWorker = [&](int aim, int skip, int only) {
        int64_t until = nowNs() + 3000000;
        while (nowNs() < until) {
            for (int k = 0; k < kWorkers; ++k) {
                if (k == skip || (only >= 0 && k != only))
                    continue;
                WorkerSlot& w = g_scratch->slot[k];
                int held = get(w.held);
                int op = get(w.op);
                bool step = held == kHeldPow && get(w.point) != 0;
                bool found = aim == kOpRequest ? step && op == kOpRequest
                             : aim == kOpSweep ? step && op == kOpSweep
                             : aim == kOpCount ? step
                                               : held == kHeldNvd || held == kHeldRdy;
                if (found)
                    return k;
            }
        }
        return -1;
    };
    /* Most kills land at random moments. Some are aimed, until enough have
     * landed inside POW holds (lost indices are never given back, and the
     * stack must not run dry): at a table change or another hold of any
     * worker; at the release that a kill sets off in the others' sweeps;
     * at the request a new worker starts with. */
    while (nowNs() < deadline && f.killed < kMaxKills) {
        usleep(static_cast<useconds_t>(rng() % 20000));
        int slot = static_cast<int>(rng() % kWorkers);
        bool aimed = rng() % 3 == 0 && f.killsInPowHold < kAimedKillLimit;
        const int aims[] = {kOpOther, kOpRequest, kOpCount, kOpSweep};
        int aim = aims[rng() % 4];
        if (aimed && (aim == kOpCount || aim == kOpOther)) {
            int found = findWorker(aim, -1, -1);
            slot = found >= 0 ? found : slot;
        }
        killAndReplace(slot, !(aimed && aim == kOpSweep));
        if (aimed && aim == kOpSweep) {
            int found = findWorker(kOpSweep, slot, -1);
            if (found >= 0)
                killAndReplace(found, true);
            start(slot);
        }
        if (aimed && aim == kOpRequest) {
            if (findWorker(kOpRequest, -1, slot) >= 0)
                killAndReplace(slot, true);
        }
    }

    /* Let the survivors finish their call and wait, then sweep once more. */
    put(g_scratch->park, 1);
    std::set<pid_t> live;
    bool allParked = true;
    for (WorkerSlot& s : g_scratch->slot) {
        int64_t until = nowNs() + 10 * int64_t(1000000000);
        while (!get(s.parked) && nowNs() < until)
            usleep(1000);
        allParked = allParked && get(s.parked);
        live.insert(get(s.pid));
    }
    resetLibrary();
    g_libPowSys.semTake = timedTake;
    LIB_POW_IsHddSleepDelay();
    PwrSharedArea* area = device.pwr();
    TableDamage d = checkTable(area, live);

    /* Every survivor holds exactly what its own tally says. */
    std::vector<std::string> tallyErrors;
    std::map<int, pid_t> tallied;
    for (WorkerSlot& s : g_scratch->slot) {
        for (int k = 0; k < get(s.nIndices); ++k) {
            int index = get(s.index[k]);
            tallied[index] = get(s.pid);
            if (loadWord(area->sl_DelayPid[index]) != get(s.pid) ||
                loadWord(area->ss_DelayCount[index]) != get(s.count[k]))
                tallyErrors.push_back("index " + std::to_string(index));
        }
    }
    for (int i = 1; i < kDelayIndexCount; ++i) {
        pid_t holder = loadWord(area->sl_DelayPid[i]);
        /* A reused pid may still name a dead predecessor's index. */
        if (live.count(holder) && tallied[i] != holder && !reusedPids.count(holder))
            tallyErrors.push_back("index " + std::to_string(i) + " held off the tally");
    }

    put(g_scratch->leave, 1);
    for (WorkerSlot& s : g_scratch->slot) {
        int status = waitChild(get(s.pid));
        if (status != 0)
            ++unexpectedExits;
        collect(f, s);
    }
    munmap(page, sizeof(ChaosScratch));

    printf("chaos: %d s, %d workers; started %ld, killed %ld; kills inside a hold: POW %ld, "
           "NVD %ld, HddReady %ld; operations %lld, takes %lld, max take wait %.3f ms, "
           "failed takes %lld; pid reuses %ld\n",
           seconds, kWorkers, f.started, f.killed, f.killsInPowHold, f.killsInNvdHold,
           f.killsInRdyHold, static_cast<long long>(f.ops), static_cast<long long>(f.takes),
           f.maxWaitUs / 1e3, static_cast<long long>(f.failedTakes), f.pidReuses);
    printf("chaos: POW-hold kills by operation@last step:");
    for (const auto& [what, n] : f.powHoldKillsBy)
        printf(" %s=%ld", what.c_str(), n);
    printf("\nchaos: damage found: lost %zu (allowed %ld), total-sum %+ld (allowed %+ld..%+ld); "
           "held by a reused pid %zu\n",
           d.lost.size(), f.allowedLost, d.mismatch, -f.allowedMinus, f.allowedPlus,
           d.heldByReusedPid.size());
    RecordProperty("killed", std::to_string(f.killed));
    RecordProperty("killsInPowHold", std::to_string(f.killsInPowHold));
    RecordProperty("operations", std::to_string(f.ops));
    RecordProperty("lost", std::to_string(d.lost.size()));
    RecordProperty("mismatch", std::to_string(d.mismatch));

    EXPECT_GT(f.killed, 0);
    EXPECT_GT(f.ops, 0);
    EXPECT_EQ(unexpectedExits, 0) << "a worker ended other than by our kill";
    EXPECT_TRUE(allParked) << "a survivor never came back from its call";
    EXPECT_EQ(f.failedTakes, 0) << "a take failed";
    EXPECT_LT(f.maxWaitUs, int64_t(kTakeLimitMs) * 1000) << "a take waited a second or more";
    EXPECT_EQ(f.workerDefects, 0) << f.firstWorkerDefect;
    EXPECT_FALSE(d.defect()) << describe(d);
    EXPECT_TRUE(tallyErrors.empty()) << (tallyErrors.empty() ? "" : tallyErrors.front());
    EXPECT_LE(static_cast<long>(d.lost.size()), f.allowedLost) << describe(d);
    EXPECT_LE(d.mismatch, f.allowedPlus) << describe(d);
    EXPECT_GE(d.mismatch, -f.allowedMinus) << describe(d);
}

} // namespace
