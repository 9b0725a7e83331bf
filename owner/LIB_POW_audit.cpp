/*
 * LIB_POW_audit.cpp - the owner's audit and repair of the reservation table.
 *
 * Damage and notes are as LIB_POW_FindingKind tells them apart. Notes are
 * left alone, since mending them would overrule the clients; the total
 * above the counts that a client can leave is mended all the same, since
 * left alone it can keep the device awake for ever.
 */
#include "LIB_POW_owner_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <array>
#include <initializer_list>
#include <sys/mman.h>
#include <unistd.h>

void (*g_ownerCrashPoint)(int step) = nullptr;

namespace {

constexpr int kIndices = LIB_POW_DELAY_INDEX_COUNT;
constexpr int kNotOnStack = kIndices; /* a first position past the stack */

/* One store of a repair: counted in its report, then a point where the
 * crash tests may kill the process. */
template <typename T>
void repairStore(T& word, T value, LIB_POW_RepairReport& r, OwnerRepairStep step)
{
    storeWord(word, value);
    ++r.changes;
    tableStep(g_ownerCrashPoint, step);
}

/* The stack positions in use that exist: a count above 256 is cut there. */
int stackInUse(const PwrSharedArea& a)
{
    int num = loadWord(a.us_FreeIndexNum);
    return num < kIndices ? num : kIndices;
}

/* firstAt[i]: the lowest stack position holding index i, or kNotOnStack. */
void findFirstPositions(const PwrSharedArea& a, int num, int16_t* firstAt)
{
    for (int i = 0; i < kIndices; ++i)
        firstAt[i] = kNotOnStack;
    for (int p = num - 1; p >= 0; --p) {
        unsigned entry = loadWord(a.us_FreeIndex[p]);
        if (entry < kIndices)
            firstAt[entry] = static_cast<int16_t>(p);
    }
}

enum EntryClass { kEntryGood, kEntryInvalid, kEntryTwice, kEntryHeld };

/* A stack entry is good when it is a delay index the owner lets on the
 * stack, nobody holds it, and no lower position holds it already. */
EntryClass classify(const PwrSharedArea& a, const LIB_POW_Policy* policy, int position, const int16_t* firstAt)
{
    unsigned entry = loadWord(a.us_FreeIndex[position]);
    if (entry >= kIndices || keptOff(policy, entry))
        return kEntryInvalid;
    if (firstAt[entry] < position)
        return kEntryTwice;
    if (loadWord(a.sl_DelayPid[entry]) != 0)
        return kEntryHeld;
    return kEntryGood;
}

/* The total against the counts, both as the library counts them: 16 bits
 * that wrap from 32767 to -32768 on an increment. A negative count, or a
 * sum above 32767, means some count wrapped: then nothing can be said. A
 * negative total beside counts that did not wrap went past 32767, so it is
 * above their sum however far it went. */
struct Totals {
    int total;
    long sum;
    bool countsWrapped;
    bool above() const { return !countsWrapped && (total < 0 || total > sum); }
};

Totals readTotals(const PwrSharedArea& a)
{
    Totals t = {loadWord(a.DelayTaskNum), 0, false};
    for (int i = 0; i < kIndices; ++i) {
        int16_t count = loadWord(a.ss_DelayCount[i]);
        t.sum += count;
        t.countsWrapped = t.countsWrapped || count < 0;
    }
    t.countsWrapped = t.countsWrapped || t.sum > INT16_MAX;
    return t;
}

/* Hands findings to the caller's function, damage in the first pass and
 * notes in the second, and keeps the summary. */
struct Reporter {
    LIB_POW_FindingFn fn;
    void* context;
    LIB_POW_AuditSummary* summary;
    bool damagePass;

    __attribute__((format(printf, 6, 7))) void add(LIB_POW_FindingKind kind, int index, int position, long value,
                                                   const char* format, ...)
    {
        bool damage = kind < LIB_POW_TOTAL_BELOW_COUNTS;
        if (damage != damagePass)
            return;
        ++(damage ? summary->damage : summary->notes);
        if (fn == nullptr)
            return;
        LIB_POW_Finding f = {kind, damage ? 1 : 0, index, position, value, {}};
        va_list args;
        va_start(args, format);
        vsnprintf(f.text, sizeof f.text, format, args);
        va_end(args);
        fn(&f, context);
    }
};

void examineStack(const PwrSharedArea& a, const LIB_POW_Policy* policy, Reporter& r, const int16_t* firstAt)
{
    int raw = loadWord(a.us_FreeIndexNum), num = stackInUse(a);
    if (raw > kIndices)
        r.add(LIB_POW_FREE_COUNT_TOO_BIG, -1, -1, raw, "free count %d is above %d, the size of the stack", raw,
              kIndices);
    for (int p = 0; p < num; ++p) {
        unsigned entry = loadWord(a.us_FreeIndex[p]);
        switch (classify(a, policy, p, firstAt)) {
        case kEntryGood:
            break;
        case kEntryInvalid:
            if (entry >= kIndices)
                r.add(LIB_POW_STACK_ENTRY_INVALID, -1, p, entry, "stack position %d holds %u, not a delay index",
                      p, entry);
            else
                r.add(LIB_POW_STACK_ENTRY_INVALID, static_cast<int>(entry), p, entry,
                      "stack position %d holds index %u, which the owner keeps off the stack", p, entry);
            break;
        case kEntryTwice:
            r.add(LIB_POW_STACK_ENTRY_TWICE, static_cast<int>(entry), p, entry,
                  "stack position %d holds index %u a second time (first at position %d)", p, entry,
                  firstAt[entry]);
            break;
        case kEntryHeld:
            r.add(LIB_POW_STACK_ENTRY_HELD, static_cast<int>(entry), p, loadWord(a.sl_DelayPid[entry]),
                  "stack position %d offers index %u, which pid %d holds", p, entry,
                  static_cast<int>(loadWord(a.sl_DelayPid[entry])));
            break;
        }
    }
}

void examine(const PwrSharedArea& a, const LIB_POW_Policy* policy, Reporter& r)
{
    int16_t firstAt[kIndices];
    findFirstPositions(a, stackInUse(a), firstAt);
    examineStack(a, policy, r, firstAt);
    Totals t = readTotals(a);
    if (t.countsWrapped)
        r.add(LIB_POW_COUNTS_WRAPPED, -1, -1, t.total,
              "a count has wrapped past 32767 (sum %ld): the total (%d) cannot be compared with the counts", t.sum,
              t.total);
    else if (t.above() && t.total < 0)
        r.add(LIB_POW_TOTAL_ABOVE_COUNTS, -1, -1, t.total,
              "total %d has wrapped past 32767, above the sum of the counts %ld: power saving stays delayed until "
              "a reset", t.total, t.sum);
    else if (t.above())
        r.add(LIB_POW_TOTAL_ABOVE_COUNTS, -1, -1, t.total,
              "total %d is above the sum of the counts %ld: power saving stays delayed for ever", t.total, t.sum);
    else if (t.total < t.sum) /* neither wrapped nor above: not negative */
        r.add(LIB_POW_TOTAL_BELOW_COUNTS, -1, -1, t.total,
              "total %d is below the sum of the counts %ld (a reset on an index that counted nothing does that)",
              t.total, t.sum);
    for (int i = 0; i < kIndices; ++i) {
        int32_t pid = loadWord(a.sl_DelayPid[i]);
        int16_t count = loadWord(a.ss_DelayCount[i]);
        if (pid == 0 && firstAt[i] == kNotOnStack && !keptOff(policy, static_cast<unsigned>(i)))
            r.add(LIB_POW_LOST_INDEX, i, -1, count, "index %d is lost: nobody holds it and it is not on the free stack",
                  i);
        if (pid == 0 && count != 0)
            r.add(LIB_POW_COUNT_NOT_HELD, i, -1, count, "index %d counts %d but nobody holds it", i, count);
    }
}

/* Whether each holder still runs, as a sweep in this process would see it. */
void examineHolders(const PwrSharedArea& a, Reporter& r)
{
    for (int i = 0; i < kIndices; ++i) {
        pid_t pid = loadWord(a.sl_DelayPid[i]);
        if (pid == 0)
            continue;
        int err = pid < 0 ? ESRCH : (kill(pid, 0) == 0 ? 0 : errno);
        if (err == EPERM)
            r.add(LIB_POW_HOLDER_NOT_SIGNALLABLE, i, -1, pid,
                  "index %d: holder pid %d runs, but this process may not signal it: a sweep run here would release it",
                  i, pid);
        else if (err != 0 && i == 0)
            r.add(LIB_POW_HOLDER_ENDED, i, -1, pid,
                  "index 0: holder pid %d has ended; the sweep never releases index 0, the owner claims it again", pid);
        else if (err != 0)
            r.add(LIB_POW_HOLDER_ENDED, i, -1, pid, "index %d: holder pid %d has ended; the next sweep releases it", i,
                  pid);
    }
}

void summarise(const PwrSharedArea& a, LIB_POW_AuditSummary& s)
{
    Totals t = readTotals(a);
    s.total = t.total;
    s.countSum = t.sum;
    s.freeCount = loadWord(a.us_FreeIndexNum);
    s.held = 0;
    for (int i = 0; i < kIndices; ++i)
        s.held += loadWord(a.sl_DelayPid[i]) != 0;
}

/* Takes the stack entries that are not free indices off, from the top
 * down: a bad entry below the top gets the top entry (good, since
 * everything above has been dealt with), then the count drops by one. A
 * kill between the two leaves the top index twice instead of the bad entry:
 * no more damage than before, and the next repair drops the copy. */
int dropBadEntries(PwrSharedArea& a, const LIB_POW_Policy* policy, int num, LIB_POW_RepairReport& r)
{
    int16_t firstAt[kIndices];
    findFirstPositions(a, num, firstAt);
    for (int p = num - 1; p >= 0; --p) {
        if (classify(a, policy, p, firstAt) == kEntryGood)
            continue;
        r.dropped[r.droppedCount++] = loadWord(a.us_FreeIndex[p]);
        int top = num - 1;
        if (p != top)
            repairStore(a.us_FreeIndex[p], loadWord(a.us_FreeIndex[top]), r, kRepairTopMoved);
        num = top;
        repairStore(a.us_FreeIndexNum, static_cast<uint16_t>(num), r, kRepairEntryDropped);
    }
    return num;
}

/* Lost indices go back as a release pushes: the entry above the top first,
 * then the count, so a kill between leaves the index lost, as before. */
void pushLostIndices(PwrSharedArea& a, const LIB_POW_Policy* policy, int num, LIB_POW_RepairReport& r)
{
    int16_t firstAt[kIndices];
    findFirstPositions(a, num, firstAt);
    for (int i = 0; i < kIndices && num < kIndices; ++i) {
        bool onStack = firstAt[i] != kNotOnStack;
        if (onStack || keptOff(policy, static_cast<unsigned>(i)) || loadWord(a.sl_DelayPid[i]) != 0)
            continue;
        repairStore(a.us_FreeIndex[num], static_cast<uint16_t>(i), r, kRepairPushEntry);
        repairStore(a.us_FreeIndexNum, static_cast<uint16_t>(++num), r, kRepairPushed);
        r.pushed[r.pushedCount++] = static_cast<uint16_t>(i);
    }
}

/* Releases a held index with everything it counts, with the stores of the
 * clients' sweep; an index the owner keeps off the stack is not pushed. */
void releaseIndex(PwrSharedArea& a, const LIB_POW_Policy* policy, int index)
{
    int16_t count = loadWord(a.ss_DelayCount[index]);
    if (count > 0)
        lowerCounts(a, index, count, g_ownerCrashPoint);
    freeIndex(a, index, !keptOff(policy, static_cast<unsigned>(index)), g_ownerCrashPoint);
}

/* Appends to a bounded text; a full buffer ends in "...". */
__attribute__((format(printf, 4, 5))) void append(char* text, size_t size, size_t& used, const char* format, ...)
{
    if (used + 1 >= size)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + used, size - used, format, args);
    va_end(args);
    used += static_cast<size_t>(std::max(n, 0)); /* a failed format adds nothing */
    if (used >= size) {
        used = size - 1;
        if (size > 4)
            memcpy(text + size - 4, "...", 4);
    }
}

void appendValues(char* text, size_t size, size_t& used, const uint16_t* values, int count)
{
    for (int k = 0; k < count; ++k)
        append(text, size, used, " %u", values[k]);
}

struct SemaphoreName {
    const char* label;
    const char* name;
};

std::array<SemaphoreName, 3> semaphoresOf(const LIB_POW_Names* names)
{
    const LIB_POW_Names& n = ownerNames(names);
    return {{{"POW", n.semPow}, {"NVD", n.semNvd}, {"HddReady", n.semRdy}}};
}

} // namespace

const char* LIB_POW_ownerFindingName(LIB_POW_FindingKind kind)
{
    switch (kind) {
    case LIB_POW_TOTAL_ABOVE_COUNTS: return "total-above-counts";
    case LIB_POW_LOST_INDEX: return "lost-index";
    case LIB_POW_FREE_COUNT_TOO_BIG: return "free-count-too-big";
    case LIB_POW_STACK_ENTRY_INVALID: return "stack-entry-invalid";
    case LIB_POW_STACK_ENTRY_TWICE: return "stack-entry-twice";
    case LIB_POW_STACK_ENTRY_HELD: return "stack-entry-held";
    case LIB_POW_SEMAPHORE_DAMAGED: return "semaphore-damaged";
    case LIB_POW_INDEX0_NOT_OWNERS: return "index0-not-owners";
    case LIB_POW_AREA_UNUSABLE: return "area-unusable";
    case LIB_POW_TOTAL_BELOW_COUNTS: return "total-below-counts";
    case LIB_POW_COUNTS_WRAPPED: return "counts-wrapped";
    case LIB_POW_COUNT_NOT_HELD: return "count-not-held";
    case LIB_POW_HOLDER_ENDED: return "holder-ended";
    case LIB_POW_HOLDER_NOT_SIGNALLABLE: return "holder-not-signallable";
    }
    return "unknown";
}

int LIB_POW_ownerAuditImage(const PwrSharedArea* image, const LIB_POW_Policy* policy, LIB_POW_FindingFn fn,
                            void* context, LIB_POW_AuditSummary* summary)
{
    LIB_POW_AuditSummary s = {};
    for (bool damagePass : {true, false}) {
        Reporter r = {fn, context, &s, damagePass};
        examine(*image, policy, r);
    }
    summarise(*image, s);
    if (summary != nullptr)
        *summary = s;
    return s.damage;
}

int LIB_POW_ownerAudit(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int timeoutMs,
                       LIB_POW_FindingFn fn, void* context, LIB_POW_AuditSummary* summary,
                       LIB_POW_OwnerError* error)
{
    /* Under POW only for the copy: the table is whole then, and the holders'
     * check below makes system calls that must not lengthen a holding. */
    PwrSharedArea copy;
    if (withPowHeld(names, false, timeoutMs, error, [&copy](PwrSharedArea& area) {
            copyPowerWords(area, copy);
            return 0;
        }) != 0)
        return -1;
    LIB_POW_AuditSummary s = {};
    LIB_POW_ownerAuditImage(&copy, policy, fn, context, &s);
    Reporter r = {fn, context, &s, false};
    examineHolders(copy, r);
    if (summary != nullptr)
        *summary = s;
    return s.damage;
}

int LIB_POW_ownerAuditSemaphores(const LIB_POW_Names* names, LIB_POW_FindingFn fn, void* context,
                                 LIB_POW_OwnerError* error)
{
    LIB_POW_AuditSummary s = {};
    Reporter r = {fn, context, &s, true};
    long which = 0;
    for (const SemaphoreName& sem : semaphoresOf(names)) {
        char why[200];
        int verdict = PLAT_semCheck(sem.name, why, sizeof why);
        if (verdict < 0 && PLAT_errnoGet() != ENOENT)
            return ownerFail(error, PLAT_errnoGet(), "semaphore %s (%s) cannot be read: %s", sem.label, sem.name,
                             strerror(PLAT_errnoGet()));
        if (verdict == 1)
            r.add(LIB_POW_SEMAPHORE_DAMAGED, -1, -1, which, "semaphore %s (%s) %s: every take of it fails or waits",
                  sem.label, sem.name, why);
        ++which;
    }
    return s.damage;
}

int LIB_POW_ownerAuditAreas(const LIB_POW_Names* names, LIB_POW_FindingFn fn, void* context)
{
    const LIB_POW_Names& n = ownerNames(names);
    const struct {
        const char* name;
        size_t size;
    } areas[] = {{n.pwrArea, LIB_POW_PWR_AREA_SIZE}, {n.nvdArea, LIB_POW_NVD_AREA_SIZE},
                 {n.semLogArea, LIB_POW_SEMLOG_AREA_SIZE}};
    LIB_POW_AuditSummary s = {};
    Reporter r = {fn, context, &s, true};
    long which = 0;
    for (const auto& area : areas) {
        LIB_POW_OwnerError error = {};
        int fd = LIB_POW_ownerOpen(area.name, area.size, 0, &error);
        if (fd != -1)
            close(fd);
        else if (error.code != EACCES && error.code != EPERM)
            r.add(LIB_POW_AREA_UNUSABLE, -1, -1, which, "%s", error.text);
        ++which;
    }
    return s.damage;
}

int LIB_POW_ownerRepairSemaphores(const LIB_POW_Names* names, LIB_POW_OwnerError* error)
{
    int remade = 0;
    for (const SemaphoreName& sem : semaphoresOf(names)) {
        if (PLAT_semCheck(sem.name, nullptr, 0) != 1)
            continue;
        if (PLAT_semRemake(sem.name) != 0)
            return ownerFail(error, PLAT_errnoGet(), "semaphore %s (%s) could not be re-made: %s", sem.label,
                             sem.name, strerror(PLAT_errnoGet()));
        ++remade;
    }
    return remade;
}

int LIB_POW_ownerRepairArea(PwrSharedArea* area, const LIB_POW_Policy* policy, LIB_POW_RepairReport* report)
{
    PwrSharedArea& a = *area;
    LIB_POW_RepairReport r = {};
    r.totalBefore = loadWord(a.DelayTaskNum);
    r.freeCountBefore = loadWord(a.us_FreeIndexNum);
    int num = r.freeCountBefore;
    if (num > kIndices) {
        num = kIndices;
        repairStore(a.us_FreeIndexNum, static_cast<uint16_t>(num), r, kRepairFreeCountCut);
    }
    num = dropBadEntries(a, policy, num, r);
    Totals t = readTotals(a);
    if (t.above()) {
        /* Lowered to 0, the total needs the note up, and the note goes up
         * first: a kill between the two leaves the total above the counts,
         * which the next repair mends again, never a total of 0 beside a
         * note that nobody will raise. It is raised once more after the
         * total, for a client that read and cleared it in between. */
        if (t.sum == 0) {
            r.noteRaised = 1;
            repairStore(a.b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(1), r, kRepairNoteRaised);
        }
        repairStore(a.DelayTaskNum, static_cast<int16_t>(t.sum), r, kRepairTotalLowered);
        if (t.sum == 0) {
            storeWord(a.b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(1));
            ++r.changes;
        }
    }
    pushLostIndices(a, policy, num, r);
    r.totalAfter = loadWord(a.DelayTaskNum);
    r.freeCountAfter = loadWord(a.us_FreeIndexNum);
    if (report != nullptr)
        *report = r;
    return r.changes;
}

int LIB_POW_ownerRepair(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int timeoutMs,
                        LIB_POW_RepairReport* report, LIB_POW_OwnerError* error)
{
    return withPowHeld(names, true, timeoutMs, error,
                       [&](PwrSharedArea& area) { return LIB_POW_ownerRepairArea(&area, policy, report); });
}

int LIB_POW_ownerKeepIndex0(const LIB_POW_Names* names, const LIB_POW_Policy* policy, pid_t pid, int count,
                            int timeoutMs, LIB_POW_FindingFn fn, void* context, LIB_POW_RepairReport* report,
                            LIB_POW_OwnerError* error)
{
    if (pid <= 0 || count < 0 || count > INT16_MAX)
        return ownerFail(error, EINVAL, "index 0 cannot be kept for pid %d counting %d", static_cast<int>(pid), count);
    return withPowHeld(names, true, timeoutMs, error, [&](PwrSharedArea& a) {
        pid_t holder = loadWord(a.sl_DelayPid[0]);
        int16_t had = loadWord(a.ss_DelayCount[0]), want = static_cast<int16_t>(count);
        int stores = 0;
        if (holder != pid || had != want) {
            LIB_POW_AuditSummary s = {};
            Reporter r = {fn, context, &s, true};
            r.add(LIB_POW_INDEX0_NOT_OWNERS, 0, -1, holder,
                  "index 0 holds pid %d counting %d, not the service's pid %d counting %d", static_cast<int>(holder),
                  had, static_cast<int>(pid), count);
            /* A count that goes up is counted in the total first, as a
             * request is; one that goes down leaves the total above the
             * counts, which the repair below lowers. */
            if (want > had) {
                int raised = loadWord(a.DelayTaskNum) + (want - had);
                storeWord(a.DelayTaskNum, static_cast<int16_t>(raised < INT16_MAX ? raised : INT16_MAX));
                ++stores;
            }
            if (had != want) {
                storeWord(a.ss_DelayCount[0], want);
                ++stores;
            }
            if (holder != pid) {
                storeWord(a.sl_DelayPid[0], static_cast<int32_t>(pid));
                ++stores;
            }
        }
        return stores + LIB_POW_ownerRepairArea(&a, policy, report);
    });
}

const char* LIB_POW_ownerDescribeRepair(const LIB_POW_RepairReport* report, char* text, size_t size)
{
    if (size == 0)
        return text;
    const LIB_POW_RepairReport& r = *report;
    size_t used = 0;
    text[0] = '\0';
    if (r.changes == 0) {
        append(text, size, used, "nothing to mend");
        return text;
    }
    /* Every part but the first follows a "; ". */
    auto sep = [&used] { return used > 0 ? "; " : ""; };
    if (r.freeCountBefore > kIndices)
        append(text, size, used, "free count %d -> %d", r.freeCountBefore, kIndices);
    if (r.droppedCount > 0) {
        append(text, size, used, "%s%d bad stack entr%s dropped:", sep(), r.droppedCount,
               r.droppedCount == 1 ? "y" : "ies");
        appendValues(text, size, used, r.dropped, r.droppedCount);
    }
    if (r.totalAfter != r.totalBefore)
        append(text, size, used, "%stotal %d -> %d (the sum of the counts)%s", sep(), r.totalBefore, r.totalAfter,
               r.noteRaised ? ", none-reserved note raised" : "");
    if (r.pushedCount > 0) {
        append(text, size, used, "%s%d lost %s pushed back:", sep(), r.pushedCount,
               r.pushedCount == 1 ? "index" : "indices");
        appendValues(text, size, used, r.pushed, r.pushedCount);
    }
    return text;
}

int LIB_POW_ownerRelease(const LIB_POW_Names* names, const LIB_POW_Policy* policy, int index, pid_t pid,
                         int timeoutMs, LIB_POW_OwnerError* error)
{
    if (index < -1 || index >= kIndices)
        return ownerFail(error, EINVAL, "%d is not a delay index 0..%d", index, kIndices - 1);
    if (index == -1 && pid <= 0)
        return ownerFail(error, EINVAL, "neither an index nor a process id to release");
    return withPowHeld(names, true, timeoutMs, error, [&](PwrSharedArea& area) {
        int released = 0;
        for (int i = 0; i < kIndices; ++i) {
            pid_t holder = loadWord(area.sl_DelayPid[i]);
            bool chosen = index >= 0 ? i == index && (pid <= 0 || holder == pid) : holder == pid;
            /* A count on an index nobody holds keeps the device awake: asked
             * for by number, it goes too, but the index stays where it is. */
            int16_t count = loadWord(area.ss_DelayCount[i]);
            bool countOnly = chosen && holder == 0 && count > 0; /* holder 0: chosen by number */
            if (countOnly)
                lowerCounts(area, i, count, g_ownerCrashPoint);
            else if (chosen && holder != 0)
                releaseIndex(area, policy, i);
            else
                continue;
            ++released;
        }
        return released;
    });
}
