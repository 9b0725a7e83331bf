/*
 * LIB_POW_table.h - how the areas' words are read and written, and how the
 * reservation table of "/shm_PWR_SharedArea" is changed, written once for
 * the two writers that change it under POW: the client library (requests,
 * resets, the sweep's release) and the owner kit (release, repair; the
 * tools reach the areas only through the kit's calls). Not installed.
 *
 * The order of the stores here is the table's crash promise (see "Order of
 * stores" in LIB_POW_areas.h): whatever store a killed holder got to last,
 * the total stands at or above what the live holders count.
 */
#ifndef LIB_POW_TABLE_H
#define LIB_POW_TABLE_H

#include "LIB_POW_areas.h"

#include <stdint.h>

/* Every field of an area is read and written whole, with relaxed atomics:
 * no tearing, no value kept in a register across a call, no data race in
 * the C++ sense where processes or threads meet on a field without a lock.
 * On x86 and PowerPC these are plain loads and stores. */
template <typename T>
inline T loadWord(const T& word)
{
    return __atomic_load_n(&word, __ATOMIC_RELAXED);
}

template <typename T>
inline void storeWord(T& word, T value)
{
    __atomic_store_n(&word, value, __ATOMIC_RELAXED);
}

/* The counters are 16-bit: one more wraps from 32767 to -32768; lowering
 * by an amount stops at 0 and lifts a negative value to 0. */
inline int16_t countUp(int16_t value)
{
    return static_cast<int16_t>(static_cast<uint16_t>(value) + 1u);
}

inline int16_t countDown(int16_t value, int16_t amount)
{
    return value > amount ? static_cast<int16_t>(value - amount) : 0;
}

/* Where a change of the table can be cut, for the crash tests' hook. */
enum TableStep {
    kTableCountDown = 101, /* lowered: the index's count; the total not yet */
    kTableNoteUp,          /* the note raised for a total going to 0, not yet stored */
    kTableTotalDown,       /* the total lowered too */
    kTableCleared,         /* released: holder and count cleared, not pushed */
    kTablePushEntry,       /* the index written above the stack's top */
    kTablePushed,          /* the free count raised over it */
};
typedef void (*TableStepHook)(int step);

inline void tableStep(TableStepHook hook, int step)
{
    if (__builtin_expect(hook != nullptr, 0))
        hook(step);
}

/* Counts `amount` (> 0) requests off `index` and off the total. The count
 * goes first: cut between the two, the total stands above the counts,
 * which keeps the device awake until the owner's repair lowers it, never
 * below a live holder's count. A total that reaches 0 raises the note
 * before it is stored, so that no cut leaves a drop to none unannounced
 * (the repair raises it again when it lowers a total to 0), and once more
 * after, for a reader that took the note in between. The new total. */
inline int16_t lowerCounts(PwrSharedArea& a, int index, int16_t amount, TableStepHook hook)
{
    int16_t total = countDown(loadWord(a.DelayTaskNum), amount);
    storeWord(a.ss_DelayCount[index], countDown(loadWord(a.ss_DelayCount[index]), amount));
    tableStep(hook, kTableCountDown);
    if (total == 0) {
        storeWord(a.b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(1));
        tableStep(hook, kTableNoteUp);
    }
    storeWord(a.DelayTaskNum, total);
    tableStep(hook, kTableTotalDown);
    if (total == 0)
        storeWord(a.b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(1));
    return total;
}

/* Makes a held index free, after its counts are off the total: holder and
 * count cleared, then (when `push`) the index goes on top of the stack,
 * the entry before the free count, so a cut leaves it lost (the repair
 * pushes it back), never offered while held. False when the stack is full
 * and the index could not go back on it. */
inline bool freeIndex(PwrSharedArea& a, int index, bool push, TableStepHook hook)
{
    storeWord(a.sl_DelayPid[index], static_cast<int32_t>(0));
    storeWord(a.ss_DelayCount[index], static_cast<int16_t>(0));
    tableStep(hook, kTableCleared);
    if (!push)
        return true;
    uint16_t num = loadWord(a.us_FreeIndexNum);
    if (num >= LIB_POW_DELAY_INDEX_COUNT)
        return false;
    storeWord(a.us_FreeIndex[num], static_cast<uint16_t>(index));
    tableStep(hook, kTablePushEntry);
    storeWord(a.us_FreeIndexNum, static_cast<uint16_t>(num + 1));
    tableStep(hook, kTablePushed);
    return true;
}

#endif
