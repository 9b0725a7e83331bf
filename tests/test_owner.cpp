/* The owner kit: what the audit finds in damaged tables and what one repair leaves, a repair killed after any
 * of its stores, and making objects over ones that are missing, short or guarded by a held semaphore. */
#include "support.h"

#include "LIB_POW_owner_internal.h"

#include <algorithm>
#include <csignal>
#include <random>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace libpow_test;
using Lines = std::vector<std::string>;

namespace {

constexpr pid_t kOwnerPid = 100, kJobPid = 1234;

/* A table as the owner first writes it, then damaged by hand. */
struct Table {
    PwrSharedArea a;
    Table() { LIB_POW_ownerInitPower(&a, kOwnerPid, nullptr); }
    /* Takes an index off the stack the way a pop leaves it: the top entry
     * fills its place and stays behind above the new top. */
    Table& unstack(int index) {
        for (int p = 0; p < a.us_FreeIndexNum && a.us_FreeIndexNum <= 256; ++p)
            if (a.us_FreeIndex[p] == index) {
                a.us_FreeIndex[p] = a.us_FreeIndex[--a.us_FreeIndexNum];
                break;
            }
        return *this;
    }
    Table& hold(int index, int count) {
        unstack(index);
        a.sl_DelayPid[index] = kJobPid;
        a.ss_DelayCount[index] = static_cast<int16_t>(count);
        a.DelayTaskNum = static_cast<int16_t>(a.DelayTaskNum + count);
        return *this;
    }
};

/* Index 3 comes to position 10 in place of 245, 7 is lost, 5 is held once while the total says 4, and a free
 * count of 300 shows stale entries 2 and 1 again and the owner's index 0 at position 255. */
void everythingAtOnce(Table& t) {
    t.unstack(7).hold(5, 1);
    t.a.DelayTaskNum = 4;
    t.a.us_FreeIndex[10] = 300;
    t.a.us_FreeIndexNum = 300;
}
const Lines kEverythingDamage = {"free-count-too-big", "stack-entry-invalid", "stack-entry-twice 2",
                                 "stack-entry-twice 1", "stack-entry-invalid 0", "total-above-counts",
                                 "lost-index 7", "lost-index 245"};

struct AuditCase {
    const char* name;
    void (*damage)(Table&);
    Lines damages, notes;
};
void PrintTo(const AuditCase& c, std::ostream* out) { *out << c.name; }

const AuditCase kAuditCases[] = {
    {"CleanTableWithAHolder", [](Table& t) { t.hold(5, 2); }, {}, {}},
    {"TotalAboveCounts", [](Table& t) { t.hold(5, 1).a.DelayTaskNum = 3; }, {"total-above-counts"}, {}},
    {"TotalAboveNoCountsAtAll", [](Table& t) { t.a.DelayTaskNum = 2; }, {"total-above-counts"}, {}},
    {"TotalWrappedAboveCountsThatDidNot", [](Table& t) { t.hold(5, 3).a.DelayTaskNum = -32000; }, {"total-above-counts"}, {}},
    {"LostIndex", [](Table& t) { t.unstack(7); }, {"lost-index 7"}, {}},
    {"FreeCountAbove256", [](Table& t) { t.a.us_FreeIndexNum = 300; }, {"free-count-too-big", "stack-entry-invalid 0"}, {}},
    {"EntryAbove255", [](Table& t) { t.a.us_FreeIndex[10] = 300; }, {"stack-entry-invalid", "lost-index 245"}, {}},
    {"EntryTwice", [](Table& t) { t.a.us_FreeIndex[10] = 3; }, {"stack-entry-twice 3", "lost-index 245"}, {}},
    {"HeldIndexOnTheStack", [](Table& t) { t.a.sl_DelayPid[9] = kJobPid; }, {"stack-entry-held 9"}, {}},
    {"OwnersIndexOnTheStack", [](Table& t) { t.a.us_FreeIndex[t.a.us_FreeIndexNum++] = 0; }, {"stack-entry-invalid 0"}, {}},
    {"EverythingAtOnce", everythingAtOnce, kEverythingDamage, {}},
    /* States the library's own calls leave: notes, never mended. */
    {"TotalBelowCountsIsANote", [](Table& t) { t.hold(5, 2).a.DelayTaskNum = 1; }, {}, {"total-below-counts"}},
    {"CountOnAFreeIndexIsANote", [](Table& t) { t.a.ss_DelayCount[9] = t.a.DelayTaskNum = 1; }, {}, {"count-not-held 9"}},
    {"WrappedCountMakesTheTotalIncomparable",
     [](Table& t) { t.hold(5, 1).a.ss_DelayCount[5] = -32768; }, {}, {"counts-wrapped"}},
    {"WrappedSumMakesTheTotalIncomparable",
     [](Table& t) { t.hold(5, 30000).hold(6, 30000).a.DelayTaskNum = 32000; }, {}, {"counts-wrapped"}},
};

class AuditCaseTest : public ::testing::TestWithParam<AuditCase> {};

/* Outside any guard a fault goes to the process's earlier action: its handler, plain (1) or SA_SIGINFO (2),
 * or for an ignored one (3) the default. Each in a child; first in this file, before any guard's install. */
TEST(OwnerGuard, AFaultOutsideAGuardGoesToTheEarlierAction) {
    static volatile sig_atomic_t reached;
    for (int kind : {1, 2, 3}) {
        int got = runChild([&]() -> int {
            struct sigaction earlier = {}, now = {};
            earlier.sa_flags = kind == 2 ? SA_SIGINFO : 0;
            earlier.sa_handler = kind == 1 ? [](int) { reached = 1; } : SIG_IGN;
            if (kind == 2) /* one that takes the signal's details */
                earlier.sa_sigaction = [](int, siginfo_t*, void*) { reached = 2; };
            sigaction(SIGBUS, &earlier, nullptr);
            LIB_POW_ownerGuard([](void*) { return 0; }, nullptr, -1);
            if (sigaction(SIGBUS, nullptr, &now) == 0 && now.sa_handler == earlier.sa_handler)
                return 77; /* a guard ran in this process before: the kit's handler came first */
            raise(SIGBUS);
            sigaction(SIGBUS, nullptr, &now);
            return reached != 0 ? reached : now.sa_handler == SIG_DFL ? 3 : 4;
        });
        if (got == 77)
            GTEST_SKIP() << "the kit's handler is in already (the whole program runs in one process)";
        EXPECT_EQ(got, kind);
    }
}

TEST_P(AuditCaseTest, AuditNamesTheDamageAndOneRepairMendsItLeavingHoldersAndCountsAlone) {
    const AuditCase& c = GetParam();
    Table t;
    c.damage(t);
    AuditView before = auditOf(&t.a);
    EXPECT_EQ(before.damage, c.damages);
    EXPECT_EQ(before.notes, c.notes);
    const PwrSharedArea original = t.a;
    LIB_POW_RepairReport report;
    int changes = LIB_POW_ownerRepairArea(&t.a, nullptr, &report);
    AuditView after = auditOf(&t.a);
    EXPECT_EQ(after.damage, Lines{});
    EXPECT_EQ(after.notes, c.notes);
    EXPECT_EQ(changes, report.changes);
    if (c.damages.empty()) {
        EXPECT_EQ(differences(bytesOf(&original), bytesOf(&t.a)), Lines{}) << "a clean table was written";
    }
    EXPECT_EQ(memcmp(original.sl_DelayPid, t.a.sl_DelayPid, sizeof original.sl_DelayPid), 0);
    EXPECT_EQ(memcmp(original.ss_DelayCount, t.a.ss_DelayCount, sizeof original.ss_DelayCount), 0);
    if (original.DelayTaskNum != 0 && t.a.DelayTaskNum == 0) {
        EXPECT_EQ(t.a.b_DelayPowerSaveTaskNoneReserved, 1) << "the total dropped to 0 without the note";
    }
    EXPECT_EQ(LIB_POW_ownerRepairArea(&t.a, nullptr, &report), 0) << "a second repair found more to do";
}

INSTANTIATE_TEST_SUITE_P(Each, AuditCaseTest, ::testing::ValuesIn(kAuditCases),
                         [](const ::testing::TestParamInfo<AuditCase>& info) { return std::string(info.param.name); });

TEST(OwnerRepair, ReportSaysWhatChangedInOneLine) {
    Table t;
    everythingAtOnce(t);
    LIB_POW_RepairReport report;
    LIB_POW_ownerRepairArea(&t.a, nullptr, &report);
    char text[256];
    EXPECT_STREQ(LIB_POW_ownerDescribeRepair(&report, text, sizeof text),
                 "free count 300 -> 256; 4 bad stack entries dropped: 0 1 2 300; total 4 -> 1 (the sum of the "
                 "counts); 2 lost indices pushed back: 7 245");
    EXPECT_STREQ(LIB_POW_ownerDescribeRepair(&report, text, 24), "free count 300 -> 25...");
    EXPECT_STREQ(LIB_POW_ownerDescribeRepair(&report, text, 4), "fre"); /* too short for "..." */
    EXPECT_EQ(LIB_POW_ownerDescribeRepair(&report, nullptr, 0), nullptr);
    LIB_POW_ownerRepairArea(&t.a, nullptr, &report);
    EXPECT_STREQ(LIB_POW_ownerDescribeRepair(&report, text, sizeof text), "nothing to mend");
}

TEST(OwnerRepair, PolicySaysWhichIndicesStayOffTheStack) {
    LIB_POW_Policy open = {}, keep9 = {};
    keep9.keptOff[0] = keep9.keptOff[9] = 1;
    for (const LIB_POW_Policy* policy : {&open, &keep9}) {
        PwrSharedArea first;
        LIB_POW_ownerInitPower(&first, policy == &open ? 0 : kOwnerPid, policy);
        EXPECT_EQ(auditOf(&first, policy).damage, Lines{}) << "the first content does not follow its policy";
        EXPECT_EQ(first.us_FreeIndexNum, policy == &open ? 256 : 254);
        EXPECT_EQ(first.us_FreeIndex[first.us_FreeIndexNum - 1], policy == &open ? 0 : 1) << "lowest not on top";
    }
    Table t;
    t.a.sl_DelayPid[0] = 0; /* nobody at index 0 */
    EXPECT_EQ(auditOf(&t.a, &open).damage, Lines{"lost-index 0"});
    EXPECT_EQ(auditOf(&t.a, &keep9).damage, Lines{"stack-entry-invalid 9"});
    LIB_POW_RepairReport report;
    LIB_POW_ownerRepairArea(&t.a, &open, &report);
    EXPECT_EQ(t.a.us_FreeIndex[t.a.us_FreeIndexNum - 1], 0) << "index 0 was not pushed back";
    EXPECT_EQ(auditOf(&t.a, &open).damage, Lines{});
}

/* A repair killed after any of its stores, while it holds POW: it leaves no more damage than before, never a
 * total of 0 beside a lowered note, holders and counts as they were, and the next repair ends the damage. */
int g_killAtStep = 0, g_stepsSeen = 0;

int stepsOfRepair(const Table& damaged) {
    Table counted = damaged;
    g_stepsSeen = 0;
    g_ownerCrashPoint = [](int) { ++g_stepsSeen; };
    LIB_POW_ownerRepairArea(&counted.a, nullptr, nullptr);
    g_ownerCrashPoint = nullptr;
    return g_stepsSeen;
}

size_t killRepairAfter(PrivateDevice& device, const Table& damaged, int step, size_t damageBefore) {
    SCOPED_TRACE("killed after store " + std::to_string(step));
    LIB_POW_Names names = device.names.kit();
    PwrSharedArea* area = device.pwr();
    *area = damaged.a;
    g_killAtStep = step;
    EXPECT_EQ(runChild([&] {
                  g_ownerCrashPoint = [](int) {
                      if (--g_killAtStep == 0)
                          raise(SIGKILL);
                  };
                  return LIB_POW_ownerRepair(&names, nullptr, -1, nullptr, nullptr);
              }),
              128 + SIGKILL);
    AuditView left = auditOf(device.names);
    EXPECT_EQ(left.error, "") << "POW was not recovered from the killed repair";
    EXPECT_LE(left.damage.size(), damageBefore) << "this store added damage";
    if (damaged.a.DelayTaskNum != 0 && area->DelayTaskNum == 0) {
        EXPECT_EQ(area->b_DelayPowerSaveTaskNoneReserved, 1) << "the total is 0 and nobody will raise the note";
    }
    EXPECT_EQ(memcmp(area->sl_DelayPid, damaged.a.sl_DelayPid, sizeof area->sl_DelayPid), 0);
    EXPECT_EQ(memcmp(area->ss_DelayCount, damaged.a.ss_DelayCount, sizeof area->ss_DelayCount), 0);
    EXPECT_GE(LIB_POW_ownerRepair(&names, nullptr, 1000, nullptr, nullptr), 0);
    EXPECT_EQ(auditOf(device.names).damage, Lines{});
    return left.damage.size();
}

/* A few holders, then random stores of the kinds a killed holder or a
 * stray writer leaves. */
Table randomlyDamaged(std::mt19937& rng) {
    Table t;
    for (int k = 0; k < 3; ++k)
        t.hold(1 + rng() % 255, static_cast<int>(rng() % 3));
    for (int k = 1 + rng() % 6; k > 0; --k) {
        uint16_t& num = t.a.us_FreeIndexNum;
        switch (rng() % 5) {
        case 0: t.unstack(1 + rng() % 255); break;
        case 1: t.a.DelayTaskNum = static_cast<int16_t>(t.a.DelayTaskNum + 1 + rng() % 3); break;
        case 2: if (num > 0) t.a.us_FreeIndex[rng() % std::min<unsigned>(num, 256)] = static_cast<uint16_t>(rng() % 300); break;
        case 3: num = static_cast<uint16_t>(240 + rng() % 30); break;
        case 4: t.a.DelayTaskNum = static_cast<int16_t>(-1 - rng() % 3); break;
        }
    }
    return t;
}

class OwnerRepairCrash : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PLAT_semRobustSupported())
            GTEST_SKIP() << "no robust futexes: a dead holder is never recovered here";
        device.createAreas();
    }
    PrivateDevice device;
};

TEST_F(OwnerRepairCrash, NoStoreAddsDamageAndAfterAKillAnywhereTheNextRepairEndsIt) {
    Table everything, nothingCounted;
    everythingAtOnce(everything);
    nothingCounted.unstack(7).a.DelayTaskNum = 3; /* the repair raises the note */
    for (const Table* damaged : {&everything, &nothingCounted}) {
        int steps = stepsOfRepair(*damaged);
        ASSERT_GE(steps, damaged == &everything ? 10 : 4);
        size_t damageBefore = auditOf(&damaged->a).damage.size();
        for (int step = 1; step <= steps; ++step)
            damageBefore = killRepairAfter(device, *damaged, step, damageBefore);
    }
}

TEST_F(OwnerRepairCrash, RandomTablesKilledAtRandomStores) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 60; ++round) {
        Table damaged = randomlyDamaged(rng);
        int steps = stepsOfRepair(damaged);
        size_t damageBefore = auditOf(&damaged.a).damage.size();
        ASSERT_EQ(steps == 0, damageBefore == 0) << "a repair wrote a clean table or left damage alone";
        if (steps > 0)
            killRepairAfter(device, damaged, 1 + static_cast<int>(rng() % steps), damageBefore);
        ASSERT_FALSE(HasFailure()) << "round " << round;
    }
}

class OwnerObjects : public LibPowTest {
protected:
    LIB_POW_Names names = device.names.kit();
    LIB_POW_OwnerError error = {};
    Lines reported; /* "action text" of the last set-up */
    int keeps = 0;  /* calls of beforeCalendarLost; refused while `refuseKeep` */
    bool refuseKeep = false;
    std::string kept;
    int create(bool reset, int timeoutMs = -1) { return setUp(reset, 0, timeoutMs); }
    int setUp(bool reset, unsigned remake, int timeoutMs = -1) {
        LIB_POW_SetUpOptions o = {{reset, kOwnerPid, timeoutMs, nullptr, 0, nullptr}, remake, 0, nullptr, nullptr, this};
        o.report = [](const LIB_POW_ObjectReport* r, void* self) {
            static const char* const kActions[] = {"", "made", "kept", "adopted", "remade", "replaced"};
            static_cast<OwnerObjects*>(self)->reported.push_back(std::string(kActions[r->action]) + " " + r->text);
        };
        o.beforeCalendarLost = [](int fd, void* self) {
            auto* me = static_cast<OwnerObjects*>(self);
            char days[2] = {}; /* the first month's first two bytes */
            me->kept = pread(fd, days, sizeof days, 4) == 2 ? std::string(days, 2) : "short";
            ++me->keeps;
            return me->refuseKeep ? -1 : 0;
        };
        reported.clear();
        return LIB_POW_ownerSetUp(&names, &o, &error);
    }
    void truncateTo(const std::string& name, off_t size) {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
    std::string action(const std::string& name) { /* the action reported for an object */
        for (const std::string& line : reported)
            if (line.find(" " + name + " ") != std::string::npos)
                return line.substr(0, line.find(' '));
        return "none";
    }
};

/* A short area is refused, never mapped; a reset re-makes only what is wrong, in place, and keeps every whole
 * object (the calendar's days first handed to the caller when it is the one re-made); a named object is
 * re-made alone, whole or not; nothing is lost when the days cannot be kept. */
TEST_F(OwnerObjects, ResetReMakesOnlyWhatIsWrongInPlaceAndTheCalendarOnlyAfterItsDaysAreKept) {
    ASSERT_EQ(create(false), 0) << error.text;
    device.pwr()->DelayTaskNum = 7; /* a live table, and a day on */
    device.nvd()->ul_DateOnBits[0][1] = 0x04;
    struct stat before, after;
    ASSERT_EQ(stat(("/dev/shm" + device.names.pwr).c_str(), &before), 0);
    for (off_t size : {0, 100}) {
        truncateTo(device.names.semLog, size);
        EXPECT_EQ(create(false), -1);
        EXPECT_EQ(error.code, EINVAL);
        EXPECT_EQ(std::string(error.text), device.names.semLog + " is " + std::to_string(size) + " bytes, needs 8004");
        EXPECT_EQ(LIB_POW_ownerMap(names.semLogArea, sizeof(SemLogArea), 0, &error), nullptr);
        EXPECT_EQ(error.code, EINVAL);
    }
    ASSERT_EQ(create(true), 0) << error.text;
    EXPECT_EQ((Lines{action(device.names.pwr), action(device.names.nvd), action(device.names.semLog),
                     action(device.names.semPow)}),
              (Lines{"kept", "kept", "remade", "kept"}));
    EXPECT_EQ((std::vector<int>{device.pwr()->DelayTaskNum, device.nvd()->ul_DateOnBits[0][1], keeps}),
              (std::vector<int>{7, 0x04, 0})) << "a whole object was rewritten";
    truncateTo(device.names.nvd, 6);
    refuseKeep = true; /* the days cannot be kept: the calendar stays as it is */
    EXPECT_EQ(create(true), -1);
    EXPECT_EQ(error.code, ECANCELED);
    EXPECT_EQ(keeps, 1);
    refuseKeep = false;
    ASSERT_EQ(create(true), 0) << error.text;
    EXPECT_EQ(kept, std::string("\0\x04", 2)) << "the days were handed over after they were lost";
    EXPECT_EQ(action(device.names.nvd), "remade");
    ASSERT_EQ(setUp(false, LIB_POW_OBJ_PWR | LIB_POW_OBJ_SEM_RDY), 0) << error.text;
    EXPECT_EQ(reported.size(), 2u) << "an object not named was set up";
    EXPECT_EQ(action(device.names.semRdy), "kept") << "a whole semaphore was rewritten";
    Table fresh;
    EXPECT_EQ(differences(bytesOf(&fresh.a), bytesOf(device.pwr())), Lines{}) << "the named area was not rewritten";
    ASSERT_EQ(stat(("/dev/shm" + device.names.pwr).c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "re-made as a new object";
    ASSERT_EQ(LIB_POW_ownerRemove(&names, &error), 0);
    EXPECT_EQ(LIB_POW_ownerMap(names.pwrArea, sizeof(PwrSharedArea), 0, &error), nullptr);
    EXPECT_EQ(std::string(error.text), device.names.pwr + " does not exist");
}

/* The made table follows the policy given: index 9 kept off the stack too. */
TEST_F(OwnerObjects, CreateFollowsItsPolicy) {
    LIB_POW_Policy keep9 = {};
    keep9.keptOff[0] = keep9.keptOff[9] = 1;
    LIB_POW_CreateOptions o = {0, kOwnerPid, -1, nullptr, 0, &keep9};
    ASSERT_EQ(LIB_POW_ownerCreate(&names, &o, &error), 0) << error.text;
    const PwrSharedArea& a = *device.pwr();
    EXPECT_EQ(std::count(a.us_FreeIndex, a.us_FreeIndex + a.us_FreeIndexNum, 9), 0);
    EXPECT_EQ(a.us_FreeIndexNum, 254);
}

TEST_F(OwnerObjects, ResetWaitsForPowAndNvdAndNamesTheHolderWhenTheLimitRunsOut) {
    ASSERT_EQ(create(false), 0) << error.text;
    for (const char* guard : {names.semPow, names.semNvd}) {
        SCOPED_TRACE(guard);
        bool pow = guard == names.semPow;
        device.pwr()->DelayTaskNum = 7;
        device.nvd()->ul_DateOnBits[3][0] = 0x40;
        Gate release;
        auto* taken = sharedBlock<int>();
        pid_t holder = startChild([&] {
            SemId sem = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(guard));
            *taken = PLAT_semTake(sem, PLAT_WAIT_FOREVER) == 0;
            release.wait();
            return PLAT_semGive(sem);
        });
        for (int n = 0; n < 500 && !__atomic_load_n(taken, __ATOMIC_SEQ_CST); ++n)
            usleep(10000);
        ASSERT_TRUE(*taken);
        EXPECT_EQ(LIB_POW_ownerSemHolder(guard), holder);
        EXPECT_EQ(setUp(true, LIB_POW_OBJ_PWR | LIB_POW_OBJ_NVD, 0), -1) << "a limit of 0 waited";
        EXPECT_EQ(setUp(true, LIB_POW_OBJ_PWR | LIB_POW_OBJ_NVD, 200), -1);
        EXPECT_EQ(error.code, ETIMEDOUT);
        EXPECT_EQ(std::string(error.text), std::string(guard) + " still held by pid " + std::to_string(holder) +
                                               " after 200 ms");
        EXPECT_EQ(device.pwr()->DelayTaskNum, pow ? 7 : 0) << "the table was rewritten without POW";
        EXPECT_EQ(device.nvd()->ul_DateOnBits[3][0], 0x40) << "the calendar was rewritten without NVD";
        release.open();
        EXPECT_EQ(waitChild(holder), 0);
        EXPECT_EQ(LIB_POW_ownerSemHolder(guard), 0);
        EXPECT_EQ(setUp(true, LIB_POW_OBJ_PWR | LIB_POW_OBJ_NVD, 1000), 0) << error.text;
        EXPECT_EQ(device.pwr()->DelayTaskNum, 0);
        EXPECT_EQ(device.nvd()->ul_DateOnBits[3][0], 0);
    }
}

TEST_F(OwnerObjects, ReleaseByIndexOrByHolderLowersTheTotalAndPushesAsTheSweepDoes) {
    ASSERT_EQ(create(false), 0) << error.text;
    Table t;
    t.hold(4, 2).hold(6, 1).hold(9, 3).hold(12, 2);
    t.a.sl_DelayPid[9] = kOwnerPid;
    t.a.sl_DelayPid[12] = 0; /* counted on by a process never given it, and still free */
    t.a.us_FreeIndex[t.a.us_FreeIndexNum++] = 12;
    *device.pwr() = t.a;
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, 12, 0, 1000, &error), 1) << "a count nobody holds stays";
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, 4, 0, 1000, &error), 1) << error.text;
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, 4, 0, 1000, &error), 0) << "released twice";
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, 6, kJobPid + 1, 1000, &error), 0) << "released for another pid";
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, -1, kJobPid, 1000, &error), 1) << error.text;
    EXPECT_EQ((std::vector<int>{device.pwr()->DelayTaskNum, device.pwr()->b_DelayPowerSaveTaskNoneReserved}),
              (std::vector<int>{3, 0}));
    EXPECT_EQ(LIB_POW_ownerRelease(&names, nullptr, -1, kOwnerPid, 1000, &error), 2) << "index 0 and 9";
    const PwrSharedArea& a = *device.pwr();
    EXPECT_EQ((std::vector<int>{a.DelayTaskNum, a.b_DelayPowerSaveTaskNoneReserved, a.sl_DelayPid[0], a.sl_DelayPid[9]}),
              (std::vector<int>{0, 1, 0, 0}));
    EXPECT_EQ(auditOf(&a).damage, Lines{}) << "released indices not all back on the stack, or 0 pushed";
}

/* The kit's calls judge their own input, whatever the tools check first:
 * each refusal names what is wrong and leaves the objects as they were. */
TEST_F(OwnerObjects, KitCallsRefuseInputsTheToolsNeverPassAndTouchNothing) {
    ASSERT_EQ(create(false), 0) << error.text;
    device.pwr()->DelayTaskNum = 3;
    auto before = bytesOf(device.pwr());
    auto access = [&](const char* group, unsigned mode) {
        LIB_POW_CreateOptions o = {0, 0, -1, group, mode, nullptr};
        return LIB_POW_ownerCheckAccess(&o, &error);
    };
    const std::pair<std::function<int()>, std::string> refused[] = {
        {[&] { return LIB_POW_ownerRelease(&names, nullptr, 256, 0, 1000, &error); }, "256 is not a delay index 0..255"},
        {[&] { return LIB_POW_ownerRelease(&names, nullptr, -2, 5, 1000, &error); }, "-2 is not a delay index 0..255"},
        {[&] { return LIB_POW_ownerRelease(&names, nullptr, -1, 0, 1000, &error); }, "neither an index nor a process"},
        {[&] { return LIB_POW_ownerKeepIndex0(&names, nullptr, 0, 1, 1000, 0, 0, 0, &error); }, "for pid 0 counting 1"},
        {[&] { return LIB_POW_ownerKeepIndex0(&names, nullptr, 9, -1, 1000, 0, 0, 0, &error); }, "pid 9 counting -1"},
        {[&] { return LIB_POW_ownerKeepIndex0(&names, nullptr, 9, 32768, 1000, 0, 0, 0, &error); }, "counting 32768"},
        {[&] { return access(nullptr, 0777); }, "mode 0777 has bits other than read and write"},
        {[&] { return access(nullptr, 0606); }, "mode 0606 locks clients out"},
        {[&] { return access("0", 0666); }, "mode 0666 lets other users in beside the group"},
        {[&] { return access("12x", 0); }, "group 12x does not exist"},
        {[&] { return access("-5", 0); }, "group -5 does not exist"}, /* which strtoul would take */
        {[&] { return access("nosuchgroup", 0); }, "group nosuchgroup does not exist"},
        {[&] { return LIB_POW_ownerOpen(names.pwrArea, sizeof(PwrSharedArea) + 1, 1, &error); }, " bytes, needs "},
    };
    for (const auto& [call, text] : refused) {
        error = {};
        EXPECT_EQ(call(), -1) << text;
        EXPECT_EQ(error.code, EINVAL) << text;
        EXPECT_NE(std::string(error.text).find(text), std::string::npos) << error.text;
    }
    EXPECT_EQ(LIB_POW_ownerCheckAccess(nullptr, &error), 0) << "the default access: " << error.text;
    std::string tooLong = "/" + std::string(300, 'n'); /* a name no system takes: the call that refused it is named */
    names.nvdArea = tooLong.c_str();
    EXPECT_TRUE(create(false) == -1 && strstr(error.text, "lstat(")) << error.text;
    EXPECT_TRUE(LIB_POW_ownerRemove(&names, &error) == -1 && strstr(error.text, "cannot look at")) << error.text;
    EXPECT_EQ(differences(before, bytesOf(device.pwr())), Lines{});
}

/* The table's calls over a missing area, a POW held here (no wait asked) or whose lock refuses
 * every take each fail, naming why; a missing semaphore is no damage; every finding has a name. */
TEST_F(OwnerObjects, TableCallsFailOverAMissingAreaAHeldOrBrokenPow) {
    ASSERT_EQ(LIB_POW_ownerCreate(&names, nullptr, &error), 0) << error.text; /* index 0 for pid 0 */
    LIB_POW_Names gone = {"/libpow_test_no_such_area", names.nvdArea, names.semLogArea, names.semPow, names.semNvd, names.semRdy};
    EXPECT_TRUE(LIB_POW_ownerClaimIndex0(&gone, 1, 0, &error) == -1 && error.code == ENOENT) << error.text;
    SemId pow = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semPow));
    ASSERT_EQ(PLAT_semTake(pow, PLAT_NO_WAIT), 0);
    EXPECT_TRUE(LIB_POW_ownerClaimIndex0(&names, 1, 0, &error) == -1 && error.code == ETIMEDOUT) << error.text;
    ASSERT_EQ(PLAT_semGive(pow), 0);
    int fd = open(("/dev/shm/PLAT_sem." + device.names.semPow).c_str(), O_WRONLY), noKind = 127;
    ASSERT_EQ(pwrite(fd, &noKind, sizeof noKind, 8 + offsetof(pthread_mutex_t, __data.__kind)), ssize_t(sizeof noKind));
    close(fd);
    EXPECT_TRUE(LIB_POW_ownerClaimIndex0(&names, 1, 0, &error) == -1 && strstr(error.text, "PLAT_semTake(")) << error.text;
    EXPECT_EQ(device.pwr()->sl_DelayPid[0], 0) << "claimed without POW";
    ASSERT_EQ(PLAT_semRemove(names.semRdy), 0);
    EXPECT_EQ(LIB_POW_ownerAuditSemaphores(&names, nullptr, nullptr, &error), 1) << "only POW is damage";
    for (int kind = 1; kind <= LIB_POW_HOLDER_NOT_SIGNALLABLE + 1; kind = kind == LIB_POW_AREA_UNUSABLE ? 100 : kind + 1)
        EXPECT_EQ(LIB_POW_ownerFindingName(static_cast<LIB_POW_FindingKind>(kind)) == std::string("unknown"),
                  kind > LIB_POW_HOLDER_NOT_SIGNALLABLE) << kind;
}

TEST_F(OwnerObjects, AuditOfTheDeviceNotesEndedHoldersIndexZeroIncluded) {
    ASSERT_EQ(create(false), 0) << error.text;
    pid_t gone = startChild([] { return 0; });
    waitChild(gone);
    ASSERT_EQ(LIB_POW_ownerClaimIndex0(&names, gone, 1000, &error), 0) << error.text;
    EXPECT_EQ(device.pwr()->sl_DelayPid[0], gone);
    Table job;
    job.hold(4, 1).hold(6, 1);
    job.a.sl_DelayPid[0] = job.a.sl_DelayPid[4] = gone;
    job.a.sl_DelayPid[6] = getpid();
    *device.pwr() = job.a;
    AuditView view = auditOf(device.names);
    EXPECT_EQ(view.damage, Lines{});
    EXPECT_EQ(view.notes, (Lines{"holder-ended 0", "holder-ended 4"}));
}

/* Index 0 is the service's own: garbage there (a pid that is no process, a count left by an earlier run) is
 * damage, reported once and set to the service's pid and count; a count raised goes into the total first. */
TEST_F(OwnerObjects, GarbageAtIndexZeroIsDamageSetToTheServicesPidAndCount) {
    ASSERT_EQ(create(false), 0) << error.text;
    Table t;
    t.hold(4, 1);
    t.a.sl_DelayPid[0] = -77;
    t.a.ss_DelayCount[0] = 32566;
    t.a.DelayTaskNum = 32567;
    *device.pwr() = t.a;
    AuditView found;
    auto collect = [](const LIB_POW_Finding* f, void* view) {
        static_cast<AuditView*>(view)->damage.push_back(std::string(LIB_POW_ownerFindingName(f->kind)) + " " +
                                                        std::to_string(f->value));
    };
    const PwrSharedArea& a = *device.pwr();
    for (int count : {0, 0, 2}) {
        found.damage.clear();
        int changes = LIB_POW_ownerKeepIndex0(&names, nullptr, 4242, count, 1000, collect, &found, nullptr, &error);
        EXPECT_EQ(changes > 0, !found.damage.empty()) << error.text;
        EXPECT_EQ((std::vector<int>{a.sl_DelayPid[0], a.ss_DelayCount[0], a.DelayTaskNum}),
                  (std::vector<int>{4242, count, 1 + count}));
        EXPECT_EQ(auditOf(device.names).damage, Lines{});
    }
    EXPECT_EQ(found.damage, Lines{"index0-not-owners 4242"});
    ASSERT_EQ(LIB_POW_ownerClaimIndex0(&names, 99, 1000, &error), 0) << error.text; /* a restarted service */
    EXPECT_EQ((std::vector<int>{a.sl_DelayPid[0], a.ss_DelayCount[0], a.DelayTaskNum}), (std::vector<int>{99, 0, 1}));
    EXPECT_GT(LIB_POW_ownerKeepIndex0(&names, nullptr, 99, 32767, 1000, nullptr, nullptr, nullptr, &error), 0)
        << "the largest count refused: " << error.text;
    EXPECT_EQ(a.ss_DelayCount[0], 32767);
}

/* A read past the end of an object cut short under its mapping ends the
 * guarded call, nested or not; outside a guard it still ends the process. */
TEST(OwnerGuard, AFaultEndsTheGuardedCallNotTheProcess) {
    std::string name = uniqueName("/libpow_guard");
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    static volatile char* page;
    page = static_cast<char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_EQ(ftruncate(fd, 0), 0);
    close(fd);
    shm_unlink(name.c_str());
    LIB_POW_GuardedFn touch = [](void*) { return page[10] + 1; };
    EXPECT_EQ(LIB_POW_ownerGuard(touch, nullptr, -5), -5);
    EXPECT_EQ(LIB_POW_ownerGuard([](void*) { return LIB_POW_ownerGuard([](void*) { return page[0] + 1; }, nullptr, 7) + 1; },
                                 nullptr, -5), 8) << "the inner guard did not end the inner call";
    int unguarded = runChild([] { return page[10]; }); /* valgrind delivers the fault as SIGSEGV */
    EXPECT_TRUE(unguarded == 128 + SIGBUS || unguarded == 128 + SIGSEGV) << "outside a guard the process ended with "
                                                                          << unguarded;
}

/* The kit names a damaged semaphore as damage and re-makes only that one. */
TEST_F(OwnerObjects, DamagedSemaphoreIsDamageAndOnlyItIsRemade) {
    ASSERT_EQ(create(false), 0) << error.text;
    ASSERT_EQ(truncate(("/dev/shm/PLAT_sem." + device.names.semNvd).c_str(), 3), 0);
    struct stat powBefore = {}, powAfter = {};
    ASSERT_EQ(stat(("/dev/shm/PLAT_sem." + device.names.semPow).c_str(), &powBefore), 0);
    std::vector<LIB_POW_Finding> found;
    auto collect = [](const LIB_POW_Finding* f, void* all) { static_cast<std::vector<LIB_POW_Finding>*>(all)->push_back(*f); };
    EXPECT_EQ(LIB_POW_ownerAuditSemaphores(&names, collect, &found, &error), 1) << error.text;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, LIB_POW_SEMAPHORE_DAMAGED);
    EXPECT_EQ(found[0].value, 1);
    EXPECT_NE(std::string(found[0].text).find("NVD (" + device.names.semNvd + ") is 3 bytes"), std::string::npos)
        << found[0].text;
    EXPECT_EQ(LIB_POW_ownerRepairSemaphores(&names, &error), 1) << error.text;
    EXPECT_EQ(LIB_POW_ownerAuditSemaphores(&names, nullptr, nullptr, &error), 0);
    EXPECT_EQ(LIB_POW_ownerRepairSemaphores(&names, &error), 0) << "a whole semaphore was rewritten";
    ASSERT_EQ(stat(("/dev/shm/PLAT_sem." + device.names.semPow).c_str(), &powAfter), 0);
    EXPECT_TRUE(powBefore.st_mtim.tv_sec == powAfter.st_mtim.tv_sec && powBefore.st_mtim.tv_nsec == powAfter.st_mtim.tv_nsec);
    EXPECT_EQ(LIB_POW_setWeeklyTimerDateOn(2030, 1, 1, true), 0) << "the client's calendar still fails";
}

} // namespace
