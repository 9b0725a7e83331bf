/*
 * LIB_POW_areas.h - the power service's three shared-memory objects: their
 * names, sizes and byte layouts, which semaphore guards which field, and
 * what the owner must have written before any client attaches.
 *
 * Both sides build on this one definition: the client library (libLIB_POW)
 * reads and changes the areas, the power service that owns them makes,
 * checks and mends them through libLIB_POW_owner (LIB_POW_owner.h).
 *
 * The layouts are fixed byte layouts without a header or a version word.
 * Integers are in the processor's own byte order (every user of an area runs
 * on the same machine), except the calendar words, which are little-endian
 * everywhere. Every multi-byte field sits on a multiple of its own size.
 */
#ifndef LIB_POW_AREAS_H
#define LIB_POW_AREAS_H

#include <stddef.h>
#include <stdint.h>

/* ---- Names and sizes ----------------------------------------------------
 * An object may be longer than its size below, never shorter: clients map
 * exactly this many bytes and a shorter object faults them (SIGBUS) on the
 * first access past its end. */
#define LIB_POW_PWR_AREA_NAME "/shm_PWR_SharedArea"
#define LIB_POW_NVD_AREA_NAME "/shm_NVD_SharedArea"
#define LIB_POW_SEMLOG_AREA_NAME "/shm_LIB_POW_SemLogArea"
#define LIB_POW_PWR_AREA_SIZE 2060
#define LIB_POW_NVD_AREA_SIZE 4756
#define LIB_POW_SEMLOG_AREA_SIZE 8004

/* The semaphores of the platform library (PLAT_semLib.h). */
#define LIB_POW_SEM_POW_NAME "sem_POW_Shm_SemName"
#define LIB_POW_SEM_NVD_NAME "sem_NVD_Shm_SemName"
#define LIB_POW_SEM_RDY_NAME "sem_POW_Shm_SemNameHddReady"

#define LIB_POW_DELAY_INDEX_COUNT 256
#define LIB_POW_SEMLOG_RECORD_COUNT 100
#define LIB_POW_CALENDAR_FIRST_YEAR 2000
#define LIB_POW_CALENDAR_YEARS 90

#ifdef __cplusplus
#define LIB_POW_LAYOUT_CHECK(condition) static_assert(condition, #condition)
#else
#define LIB_POW_LAYOUT_CHECK(condition) _Static_assert(condition, #condition)
#endif

/* ---- "/shm_PWR_SharedArea": power-save coordination ----------------------
 *
 * The reservation table: a total, a holder and a count per delay index
 * (0..255), and a stack of the indices nobody holds.
 *
 * Lock rules
 *   - DelayTaskNum, sl_DelayPid, ss_DelayCount, us_FreeIndexNum and
 *     us_FreeIndex change only while the POW semaphore is held, by any
 *     writer: the library, and the owner's reset and repair.
 *   - Read without POW: DelayTaskNum (LIB_POW_IsPowerSaveDelay) and
 *     sl_DelayPid (the sweep's scan for ended holders). A reader without POW
 *     may see a change half made; only a copy taken under POW is consistent.
 *   - The four flag bytes at the end are read and written one byte at a
 *     time with no semaphore. b_HddReady has the HddReady semaphore, which
 *     only callers take around their own use of it.
 *
 * Meaning
 *   - Index i is held while sl_DelayPid[i] is not 0; its holder counts its
 *     outstanding requests in ss_DelayCount[i], and DelayTaskNum is the
 *     total of all requests: power saving is delayed while it is not 0.
 *   - The free stack: entries 0 .. us_FreeIndexNum - 1 of us_FreeIndex are
 *     in use, the top is the last one. A request pops, a release pushes.
 *   - Index 0 belongs to the owner's chosen process (the power service):
 *     its requests come back to index 0 without a pop, and the sweep never
 *     releases it. The owner decides whether 0 is ever on the stack.
 *   - Counters are 16-bit: an increment past 32767 wraps to -32768, a
 *     decrement stops at 0.
 *
 * Order of stores
 *   A holder can be killed between any two stores of a change, and the
 *   next holder carries on from what it left. Every writer orders its
 *   stores so that what is left errs on the side of keeping the device
 *   awake: the total stays at or above what the live holders count.
 *   - Counting a request up: the total first, then the index's count.
 *   - Counting requests off (a reset, a release): the index's count first,
 *     then the total. A total that reaches 0 raises the note before it is
 *     stored (and again after), so a cut never hides a drop to none.
 *   - A pop: the free count first, then the index's count and holder.
 *   - A release: the counts off as above, then holder and count cleared,
 *     then the push: the entry above the top, then the free count.
 *   A cut therefore leaves at worst a total above the counts or an index
 *   that is neither held nor on the stack; the owner's repair mends both.
 *   A total below the counts is never left by a cut, only by a client's
 *   reset of an index that counts nothing. LIB_POW_table.h holds the
 *   decrement and the release that both writers use.
 *
 * Required before the first client attaches (LIB_POW_ownerInitPower
 * writes exactly this): us_FreeIndexNum at most 256; every stack entry in
 * use a delay index that nobody holds, none twice; the total equal to the
 * sum of the counts; every index with a count held by a process. */
typedef struct PwrSharedArea {
    int16_t DelayTaskNum;
    uint8_t reserved0[2]; /* not used by the library */
    int32_t sl_DelayPid[LIB_POW_DELAY_INDEX_COUNT];
    int16_t ss_DelayCount[LIB_POW_DELAY_INDEX_COUNT];
    uint16_t us_FreeIndexNum;
    uint16_t us_FreeIndex[LIB_POW_DELAY_INDEX_COUNT];
    uint8_t reserved1[2]; /* not used by the library */
    uint8_t uc_ResetAutoSleepTimer;          /* 2: reset requested; taken by the service */
    uint8_t b_DelayPowerSaveTaskNoneReserved; /* raised when the total drops to 0 */
    uint8_t b_HddSleepDelay;                 /* raised only by the owner */
    uint8_t b_HddReady;
} PwrSharedArea;
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, DelayTaskNum) == 0);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, sl_DelayPid) == 4);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, ss_DelayCount) == 1028);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, us_FreeIndexNum) == 1540);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, us_FreeIndex) == 1542);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, uc_ResetAutoSleepTimer) == 2056);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, b_DelayPowerSaveTaskNoneReserved) == 2057);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, b_HddSleepDelay) == 2058);
LIB_POW_LAYOUT_CHECK(offsetof(PwrSharedArea, b_HddReady) == 2059);
LIB_POW_LAYOUT_CHECK(sizeof(PwrSharedArea) == LIB_POW_PWR_AREA_SIZE);

/* ---- "/shm_NVD_SharedArea": the weekly power timer's calendar ------------
 *
 * One 32-bit word per month from January 2000 to December 2089, stored
 * little-endian on every processor: day d (1..31) of a month is bit d % 8
 * of byte d / 8 of its word; bit 0 and the bits after the month's last day
 * are never used. The head and the tail are the owner's own.
 *
 * Lock rule: the calendar words are read and written only while the NVD
 * semaphore is held (the first attach in a client also runs under it).
 * Required before the first client attaches: only that the object exists;
 * the days start as the owner leaves them (LIB_POW_ownerCreate: all off). */
typedef struct NvdSharedArea {
    uint8_t ownerHead[4];
    uint8_t ul_DateOnBits[LIB_POW_CALENDAR_YEARS * 12][4];
    uint8_t ownerTail[432];
} NvdSharedArea;
LIB_POW_LAYOUT_CHECK(offsetof(NvdSharedArea, ul_DateOnBits) == 4);
LIB_POW_LAYOUT_CHECK(sizeof(NvdSharedArea) == LIB_POW_NVD_AREA_SIZE);

/* ---- "/shm_LIB_POW_SemLogArea": the semaphore trace ----------------------
 *
 * Written by the owner only; clients list it (LIB_POW_showSemLog) without
 * any semaphore. Records are filled from position 0; the first record whose
 * PID and TID are both 0 ends the list. Count marks the record at position
 * Count - 1 (0: none). Text fields end in a NUL within their width.
 * Required before the first client attaches: the end mark after the last
 * record written (an all-zero area is an empty trace). */
typedef struct SemLogRecord {
    int32_t tic;
    int32_t PID;
    uint32_t TID;
    char SemName[52];
    uint32_t SemID;
    char Status[8];
    int32_t Value;
} SemLogRecord;
LIB_POW_LAYOUT_CHECK(sizeof(SemLogRecord) == 80);
LIB_POW_LAYOUT_CHECK(offsetof(SemLogRecord, SemName) == 12);
LIB_POW_LAYOUT_CHECK(offsetof(SemLogRecord, SemID) == 64);
LIB_POW_LAYOUT_CHECK(offsetof(SemLogRecord, Status) == 68);
LIB_POW_LAYOUT_CHECK(offsetof(SemLogRecord, Value) == 76);

typedef struct SemLogArea {
    SemLogRecord records[LIB_POW_SEMLOG_RECORD_COUNT];
    int32_t Count;
} SemLogArea;
LIB_POW_LAYOUT_CHECK(offsetof(SemLogArea, Count) == 8000);
LIB_POW_LAYOUT_CHECK(sizeof(SemLogArea) == LIB_POW_SEMLOG_AREA_SIZE);

#endif
