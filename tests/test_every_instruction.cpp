/* Every change of the reservation table, and a calendar switch, killed after each instruction the compiler
 * emitted for it, not only at the steps the source names: the stores are relaxed atomics, and only the
 * machine code says in which order they reach the area.
 *
 * A scout run single-steps the victim (ptrace) through the whole change and notes every instruction after
 * which the shared state (both areas and the semaphores' records) differs from the one before: kill points
 * that leave the same bytes share one trial. Each trial then runs the change again, stops it at its point
 * with a breakpoint and SIGKILLs it; the next taker must get the semaphore at once, and after one repair and
 * one sweep the table must show exactly what the live holders count.
 *
 * Needs ptrace and robust futexes: skipped under a user-mode emulator, run on the host and on the PowerPC
 * kernel (whose emulated processor cannot single-step: there a step is a trap planted where the instruction
 * goes). */
#include "LIB_POW_owner_internal.h"
#include "support.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <map>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace libpow_test;

namespace {

#if defined(__x86_64__)
const long kProgramCounter = offsetof(struct user_regs_struct, rip);
const long kBreakpointPcOffset = 1; /* int3 stops past itself */
long withBreakpoint(long word) { return (word & ~0xffL) | 0xcc; }
bool isSystemCall(long word) { return (word & 0xffff) == 0x050f; }
#elif defined(__powerpc__) && !defined(__powerpc64__)
const long kProgramCounter = 32 * sizeof(long); /* PT_NIP; PT_CTR 35, PT_LNK 36 */
const long kBreakpointPcOffset = 0;                /* trap stops on itself */
long withBreakpoint(long) { return 0x7fe00008; }   /* tw 31,0,0 */
bool isSystemCall(long word) { return word == 0x44000002; }
#define LIBPOW_SOFTWARE_STEP 1
#else
const long kProgramCounter = -1;
const long kBreakpointPcOffset = 0;
long withBreakpoint(long word) { return word; }
bool isSystemCall(long) { return false; }
#endif

constexpr long kMaxSteps = 300000;  /* no change here runs half as long */
constexpr int kTakeLimitMs = 1000;  /* "at once" on a loaded machine */

/* The victim: stopped before the change by its own SIGSTOP, traced by us,
 * killed with us should we die first. */
struct Victim {
    pid_t pid = -1;
    bool exited = false;

    template <typename Prepare, typename Change>
    Victim(Prepare prepare, Change change) {
        fflush(stdout);
        pid = fork();
        if (pid == 0) {
            resetLibrary();
            prepare();
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
            raise(SIGSTOP);
            change();
            _exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
            ADD_FAILURE() << "the victim did not stop before its change";
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_EXITKILL);
    }
    ~Victim() {
        if (pid > 0 && !exited)
            killNow();
    }

    /* Runs the next instruction; false once the victim has exited. */
    bool step() {
#ifdef LIBPOW_SOFTWARE_STEP
        /* The emulated PowerPC kernel cannot single-step: a trap goes on
         * every address the instruction may go to next, and comes off again. */
        std::vector<std::pair<long, long>> planted;
        for (long at : nextAddresses(pc())) {
            planted.emplace_back(at, peek(at));
            poke(at, withBreakpoint(planted.back().second));
        }
        bool alive = resume(PTRACE_CONT);
        for (auto it = planted.rbegin(); alive && it != planted.rend(); ++it)
            poke(it->first, it->second);
        return alive;
#else
        return resume(PTRACE_SINGLESTEP);
#endif
    }
#ifndef LIBPOW_SOFTWARE_STEP
    bool arrives(long) const { return true; }
#else
    /* Past a store-conditional only a store that took counts as a pass: one that lost its reservation (any
     * interrupt can make it) loops back and comes by once more, in one run and not in the next. */
    bool arrives(long at) const {
        uint32_t before = uint32_t(peek(at - 4));
        unsigned xo = (before >> 1) & 0x3ff;
        bool afterStoreConditional = before >> 26 == 31 && (xo == 150 || xo == 694 || xo == 726);
        return !afterStoreConditional || (ptrace(PTRACE_PEEKUSER, pid, 38 * sizeof(long), nullptr) & 0x20000000) != 0;
    }
    /* Where the instruction at `pc` can go: past it, and a branch's target. A load-and-reserve runs with its
     * store-conditional as one step, since a trap between the two would break the reservation every time. */
    std::vector<long> nextAddresses(long pc) const {
        auto signExtended = [](uint32_t value, int bits) { return long(int32_t(value << (32 - bits)) >> (32 - bits)); };
        auto target = [&](long at, uint32_t insn, int bits, uint32_t mask) {
            return ((insn & 2) ? 0 : at) + signExtended(insn & mask, bits);
        };
        uint32_t insn = uint32_t(peek(pc));
        unsigned op = insn >> 26, xo = (insn >> 1) & 0x3ff;
        if (op == 18) /* b */
            return {target(pc, insn, 26, 0x03fffffc)};
        if (op == 16) /* bc */
            return {pc + 4, target(pc, insn, 16, 0xfffc)};
        if (op == 19 && (xo == 16 || xo == 528)) /* bclr, bcctr */
            return {pc + 4, ptrace(PTRACE_PEEKUSER, pid, (xo == 16 ? 36 : 35) * sizeof(long), nullptr) & ~3L};
        if (op == 31 && (xo == 20 || xo == 52 || xo == 116)) { /* lwarx, lbarx, lharx */
            std::vector<long> exits;
            for (long at = pc + 4; at < pc + 64; at += 4) {
                uint32_t next = uint32_t(peek(at));
                unsigned nextXo = (next >> 1) & 0x3ff;
                if (next >> 26 == 16 && (target(at, next, 16, 0xfffc) < pc || target(at, next, 16, 0xfffc) > at))
                    exits.push_back(target(at, next, 16, 0xfffc));
                if (next >> 26 == 31 && (nextXo == 150 || nextXo == 694 || nextXo == 726)) { /* st?cx. */
                    exits.push_back(at + 4);
                    return exits;
                }
            }
        }
        return {pc + 4};
    }
#endif
    /* Resumes (one instruction, or until a trap) and waits; false once it
     * has exited. */
    bool resume(enum __ptrace_request how) {
        int status = 0;
        if (ptrace(how, pid, nullptr, nullptr) != 0 || waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status))
            return !(exited = true);
        return true;
    }
    long pc() const { return ptrace(PTRACE_PEEKUSER, pid, kProgramCounter, nullptr); }
    long peek(long address) const { return ptrace(PTRACE_PEEKTEXT, pid, address, nullptr); }
    void poke(long address, long word) const { ptrace(PTRACE_POKETEXT, pid, address, word); }
    void setPc(long address) const { ptrace(PTRACE_POKEUSER, pid, kProgramCounter, address); }

    /* Runs on to the `occurrence`-th time the next instruction is at
     * `address`, by a breakpoint stepped over on every earlier pass. */
    bool runTo(long address, int occurrence) {
        long original = peek(address);
        for (int seen = pc() == address && arrives(address) ? 1 : 0; seen < occurrence; seen += arrives(address)) {
            if (pc() == address) { /* standing on it: step over with the original back */
                poke(address, original);
                if (!step())
                    return false;
            }
            poke(address, withBreakpoint(original));
            if (!resume(PTRACE_CONT))
                return false;
            setPc(pc() - kBreakpointPcOffset);
        }
        poke(address, original);
        return pc() == address;
    }
    int killNow() {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        exited = true;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    }
};

/* Our own read-only view of the bytes a kill can leave behind. */
struct SharedBytes {
    std::vector<std::pair<const uint8_t*, size_t>> parts;

    explicit SharedBytes(const AreaNames& names) {
        for (const std::string& name : {"/dev/shm/" + names.pwr, "/dev/shm/" + names.nvd,
                                        "/dev/shm/PLAT_sem." + names.semPow, "/dev/shm/PLAT_sem." + names.semNvd}) {
            int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st = {};
            void* p = fd >= 0 && fstat(fd, &st) == 0 ? mmap(nullptr, st.st_size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
            EXPECT_NE(p, MAP_FAILED) << name;
            if (p != MAP_FAILED)
                parts.emplace_back(static_cast<const uint8_t*>(p), size_t(st.st_size));
            close(fd);
        }
    }
    std::vector<uint8_t> now() const {
        std::vector<uint8_t> bytes;
        for (auto& part : parts)
            bytes.insert(bytes.end(), part.first, part.first + part.second);
        return bytes;
    }
};

/* Where a kill leaves a state no earlier kill point left: the instruction
 * that would run next, and its how-manieth run that is. */
struct KillPoint { long step, address; int occurrence; };

struct Walk { long steps = 0; std::vector<KillPoint> points; };

template <typename Prepare, typename Change>
Walk scout(const SharedBytes& shared, Prepare prepare, Change change) {
    Walk walk;
    Victim victim(prepare, change);
    std::map<long, int> runs;
    std::vector<uint8_t> before = shared.now();
    walk.points.push_back({0, victim.pc(), runs[victim.pc()] += victim.arrives(victim.pc())});
    for (long word = victim.peek(victim.pc()); walk.steps < kMaxSteps; word = victim.peek(victim.pc())) {
        if (!victim.step()) {
            EXPECT_TRUE(isSystemCall(word)) << "the victim ran off: it ended other than by its own exit call";
            break;
        }
        long pc = victim.pc();
        int occurrence = runs[pc] += victim.arrives(pc);
        std::vector<uint8_t> bytes = shared.now();
        ++walk.steps;
        if (bytes != before)
            walk.points.push_back({walk.steps, pc, occurrence});
        before.swap(bytes);
    }
    EXPECT_LT(walk.steps, kMaxSteps) << "the change never ended";
    return walk;
}

/* One change and the world it runs in: live holders on indices 1 and 2 counting 2 and 5 (or 0 and 0, for a
 * change that takes the total to 0), an ended holder that counted `ended` on index 3, and for the repair the
 * damage a kill used to leave: a total 4 too high and a lost index. */
struct Change {
    const char* name;
    int liveCount[2];
    int ended;
    bool damaged;
    void (*prepare)(); /* in the victim, before it is stopped */
    void (*run)(const AreaNames&);
    bool calendar;
};

void PrintTo(const Change& c, std::ostream* out) { *out << c.name; }

short g_mine = -1;
void warmPow() { LIB_POW_IsPowerSaveDelay(), unlock(lockPowShm()); }
void holdOne() { warmPow(), g_mine = LIB_POW_setPowerSaveDelay(-1); }
void holdTwo() { holdOne(), LIB_POW_setPowerSaveDelay(g_mine); }
void warmNvd() { SemId nvd = lockNvdShm(); getNvdShm(), unlock(nvd); }

const Change kChanges[] = {
    {"request -1", {2, 5}, 3, false, warmPow, [](const AreaNames&) { LIB_POW_setPowerSaveDelay(-1); }, false},
    {"request on its index", {2, 5}, 3, false, holdOne, [](const AreaNames&) { LIB_POW_setPowerSaveDelay(g_mine); }, false},
    {"reset", {2, 5}, 3, false, holdTwo, [](const AreaNames&) { LIB_POW_resetPowerSaveDelay(g_mine); }, false},
    {"reset to none", {0, 0}, 0, false, holdOne, [](const AreaNames&) { LIB_POW_resetPowerSaveDelay(g_mine); }, false},
    {"sweep", {2, 5}, 3, false, warmPow, [](const AreaNames&) { LIB_POW_IsHddSleepDelay(); }, false},
    {"sweep to none", {0, 0}, 3, false, warmPow, [](const AreaNames&) { LIB_POW_IsHddSleepDelay(); }, false},
    {"owner's release", {2, 5}, 3, false, [] {}, [](const AreaNames& n) {
         LIB_POW_Names kit = n.kit();
         LIB_POW_ownerRelease(&kit, nullptr, 3, 0, kTakeLimitMs, nullptr);
     }, false},
    {"owner's repair", {2, 5}, 3, true, [] {}, [](const AreaNames& n) {
         LIB_POW_Names kit = n.kit();
         LIB_POW_ownerRepair(&kit, nullptr, kTakeLimitMs, nullptr, nullptr);
     }, false},
    {"calendar switch", {2, 5}, 3, false, warmNvd, [](const AreaNames&) { LIB_POW_setWeeklyTimerDateOn(2026, 12, 7, true); }, true},
};

class EveryInstruction : public LibPowTest, public ::testing::WithParamInterface<Change> {
protected:
    void SetUp() override {
        if (!PLAT_semRobustSupported() || kProgramCounter < 0)
            GTEST_SKIP() << "no robust futexes or no ptrace for this machine: a kill is never recovered here";
        device.createAreas();
        ASSERT_NE(PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(device.names.semNvd.c_str())), nullptr);
    }
    void TearDown() override {
        for (pid_t pid : holders)
            kill(pid, SIGKILL), waitChild(pid);
    }
    std::vector<pid_t> holders;
};

TEST_P(EveryInstruction, KillAfterAnyInstructionLosesNoLiveRequestAndWedgesNoSemaphore) {
    const Change& c = GetParam();
    Holdings live;
    Gate leave;
    for (int k = 0; k < 2; ++k) {
        Gate counted;
        int want = c.liveCount[k];
        holders.push_back(startChild([&] {
            resetLibrary();
            short index = LIB_POW_setPowerSaveDelay(-1);
            for (int n = 1; n < want; ++n)
                LIB_POW_setPowerSaveDelay(index);
            if (want == 0)
                LIB_POW_resetPowerSaveDelay(index);
            counted.open();
            leave.wait();
            return 0;
        }, 600));
        counted.wait();
        live[k + 1] = {holders.back(), want};
    }
    int ended = c.ended;
    ASSERT_EQ(ended == 0 ? 0 : runChild([ended] {
                  resetLibrary();
                  int counted = LIB_POW_setPowerSaveDelay(-1) == 3;
                  for (int n = 1; n < ended; ++n)
                      counted += LIB_POW_setPowerSaveDelay(3) == 3;
                  return counted == ended ? 0 : 1;
              }),
              0) << "no ended holder counting " << ended << " on index 3";
    PwrSharedArea* pwr = device.pwr();
    if (c.damaged) {
        pwr->DelayTaskNum = static_cast<int16_t>(pwr->DelayTaskNum + 4);
        pwr->us_FreeIndexNum = static_cast<uint16_t>(pwr->us_FreeIndexNum - 1);
    }
    const PwrSharedArea basePwr = *pwr;
    const NvdSharedArea baseNvd = *device.nvd();
    SharedBytes shared(device.names);
    auto restore = [&] { *pwr = basePwr, *device.nvd() = baseNvd; };
    auto run = [&] { c.run(device.names); };

    auto start = std::chrono::steady_clock::now();
    restore();
    Walk walk = scout(shared, c.prepare, run);
    int trials = 0;
    for (const KillPoint& point : walk.points) {
        SCOPED_TRACE(std::string(c.name) + ", killed after instruction " + std::to_string(point.step));
        restore();
        Victim victim(c.prepare, run);
        ASSERT_TRUE(victim.runTo(point.address, point.occurrence))
            << "the trial did not reach the scout's point: run " << point.occurrence << " of 0x" << std::hex
            << point.address << ", stopped at 0x" << victim.pc() << (victim.exited ? " (exited)" : "");
        ASSERT_EQ(victim.killNow(), SIGKILL);
        ++trials;
        EXPECT_EQ(runChild([&] {
                      resetLibrary();
                      g_libPowSys.semTake = [](SemId id, int) { return PLAT_semTake(id, kTakeLimitMs); };
                      SemId held = c.calendar ? lockNvdShm() : lockPowShm();
                      unlock(held);
                      return held == 0;
                  }),
                  0) << "the next taker waited";
        LIB_POW_Names kit = device.names.kit();
        EXPECT_GE(LIB_POW_ownerRepair(&kit, nullptr, kTakeLimitMs, nullptr, nullptr), 0);
        EXPECT_EQ(runChild([] { return resetLibrary(), LIB_POW_IsHddSleepDelay(), 0; }), 0);
        ASSERT_EQ(tableAgainstLive(pwr, live), "");
        if (c.liveCount[0] + c.liveCount[1] == 0) {
            ASSERT_EQ(pwr->b_DelayPowerSaveTaskNoneReserved, 1) << "a drop to none went unannounced";
        }
        NvdSharedArea day = baseNvd;
        uint8_t& firstWeek = day.ul_DateOnBits[(2026 - 2000) * 12 + 11][0]; /* day 7 is its bit 7 */
        firstWeek = static_cast<uint8_t>((firstWeek & 0x7f) | (device.nvd()->ul_DateOnBits[(2026 - 2000) * 12 + 11][0] & 0x80));
        ASSERT_EQ(differences(bytesOf(&day), bytesOf(device.nvd())), std::vector<std::string>{});
    }
    leave.open();
    printf("every instruction: %s: %ld instructions, %zu kill points that leave distinct bytes, %d trials, %.1f s\n",
           c.name, walk.steps, walk.points.size(), trials,
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_GT(walk.points.size(), 2u) << "the scout saw no change";
}

INSTANTIATE_TEST_SUITE_P(EachChange, EveryInstruction, ::testing::ValuesIn(kChanges),
                         [](const ::testing::TestParamInfo<Change>& info) {
                             std::string name = info.param.name;
                             std::erase_if(name, [](char ch) { return !isalnum(static_cast<unsigned char>(ch)); });
                             return name;
                         });

} // namespace
