/*
 * LIB_PowerService_internal.h - what the library keeps to itself: the
 * layouts of the shared areas, the per-process cache, the internal services
 * and the seam through which every system and platform call passes.
 *
 * Not installed. The tools and the tests include it; the tests link the
 * library statically so that they can reach the hidden names.
 */
#ifndef LIB_POWERSERVICE_INTERNAL_H
#define LIB_POWERSERVICE_INTERNAL_H

#include "LIB_PowerService.h"
#include "LIB_POW_areas.h"
#include "LIB_POW_table.h"

#include <cstddef>
#include <cstdint>
#include <sys/time.h>
#include <sys/types.h>

/* ---- Word access ------------------------------------------------------
 * The log mask and every field of a shared area are single aligned words
 * read and written with relaxed atomics (loadWord, storeWord in
 * LIB_POW_table.h); cached handles and addresses with the ordered pair
 * below.
 *
 * A cached handle or address is handed from the thread that obtained it to
 * every other thread of the process, which then uses what it points to (a
 * semaphore record just built, a mapping just made). Relaxed order would let
 * a reader see the word before what it points to: the store releases and the
 * load acquires. On x86 both are plain moves; the later store still wins. */
template <typename T>
inline T loadCached(const T& word)
{
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}

template <typename T>
inline void storeCached(T& word, T value)
{
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}

/* ---- Shared-area layouts ---------------------------------------------
 * PwrSharedArea, NvdSharedArea and SemLogArea, with their lock rules, are
 * defined once for the library and the area owner in LIB_POW_areas.h.
 * Every field is read and written as one aligned word (loadWord,
 * storeWord), except the calendar words: they are touched only while the
 * NVD semaphore is held, so they alone are plain bytes, which lets the
 * compiler fold a month's four into one load and one store. */
#define LIBPOW_SHM_PWR LIB_POW_PWR_AREA_NAME
#define LIBPOW_SHM_NVD LIB_POW_NVD_AREA_NAME
#define LIBPOW_SHM_SEMLOG LIB_POW_SEMLOG_AREA_NAME
#define LIBPOW_SEM_POW LIB_POW_SEM_POW_NAME
#define LIBPOW_SEM_NVD LIB_POW_SEM_NVD_NAME
#define LIBPOW_SEM_RDY LIB_POW_SEM_RDY_NAME
enum {
    kPwrAreaSize = LIB_POW_PWR_AREA_SIZE,
    kNvdAreaSize = LIB_POW_NVD_AREA_SIZE,
    kSemLogAreaSize = LIB_POW_SEMLOG_AREA_SIZE,
    kDelayIndexCount = LIB_POW_DELAY_INDEX_COUNT,
};

/* ---- Per-process cache -------------------------------------------------
 * Zero at load, filled on first use, never released. One writer per member
 * (the operation named in its comment); threads that race on a first use
 * may both fill a member, and the later store wins. */
struct SockSendLogEntry {
    char dstName[7];
    char srcName[7];
    uint32_t kindid;
    uint32_t reqseqid;
    int32_t time; /* 0: slot free */
};

struct LibPowProcessState {
    SockSendLogEntry SockSendLogTable[104]; /* the jam log, this process only */
    SemLogArea* pst_SemLogArea;             /* LIB_POW_getLogShmPtr */
    SemId pst_SemPowID;                     /* lockPowShm */
    SemId pst_SemNvdID;                     /* lockNvdShm */
    SemId pst_SemRdyID;                     /* LIB_POW_Lock_HddReadyFlag */
    NvdSharedArea* pst_NvdShm;              /* getNvdShm */
    PwrSharedArea* pst_PwrShm;              /* getPwrShm */
};

extern LibPowProcessState g_libPowState;

/* ---- The seam -----------------------------------------------------------
 * Every call the library makes into the system or the platform goes through
 * this table, so that a test can make one fail with a chosen errno or point
 * the fixed object names at private ones. The shared library never changes
 * it; it is hidden like every other internal name. */
struct LibPowSys {
    int (*shm_open)(const char* name, int oflag, mode_t mode);
    void* (*mmap64)(void* addr, size_t len, int prot, int flags, int fd, off64_t off);
    int (*close)(int fd);
    pid_t (*getpid)(void);
    int (*kill)(pid_t pid, int sig);
    int (*gettimeofday)(struct timeval* tv);
    SemId (*semBCreate)(int options, sem_b_state initialState, char* name);
    int (*semTake)(SemId semId, int timeout);
    int (*semGive)(SemId semId);
    int (*semShow)(SemId semId, int level);
    int (*errnoGet)(void);
    /* Null except in crash tests: called with a LibPowCrashPoint or a
     * TableStep at each step of a change to the reservation table, while
     * POW is held, so a test can kill the process exactly there. */
    void (*crashPoint)(int point);
};

extern LibPowSys g_libPowSys;
extern const LibPowSys kLibPowRealSys;

/* ---- Internal services -------------------------------------------------- */

extern unsigned int g_libPowLogMask;

bool IsLogLevel(unsigned int level);
void LogPrint(unsigned int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

SemId lock(const char* Name, SemId cached);
void unlock(SemId pst_SemID);
SemId lockPowShm(void);
SemId lockNvdShm(void);

void* GetShm(const char* Key, int size, unsigned int mode);
NvdSharedArea* getNvdShm(void);
PwrSharedArea* getPwrShm(void);

/* Semaphore trace viewer */
constexpr int kSemLogRecordCount = LIB_POW_SEMLOG_RECORD_COUNT;


/* Power-save delay reservations */
/* Counts a request on ss_Index (-1: pop a new index); the index or -1.
 * Takes and gives POW. */
int16_t setPowerSaveDelayPid(int16_t ss_Index);
/* Counts off one request, or with b_AllDelete releases the index and all
 * it counts. A non-zero expectedHolder makes the call a no-op unless the
 * index still holds that pid when POW is held, so racing sweeps release an
 * index once. Takes and gives POW. */
void resetPowerSaveDelayPid(int16_t ss_Index, bool b_AllDelete, pid_t expectedHolder = 0);
/* Releases the indices 1..255 whose holders have ended. Takes POW once per
 * release only. */
void checkPowerSaveDelayPid(PwrSharedArea* pst_PwrShm);
/* The steps of a request where g_libPowSys.crashPoint is called, while POW
 * is held; a reset or release reports the TableStep values of
 * LIB_POW_table.h. Each names what has been stored so far. */
enum LibPowCrashPoint {
    kCrashAfterPop = 1,     /* free count lowered, entry taken */
    kCrashAfterHolderStore, /* new index's count zeroed, holder stored */
    kCrashAfterTotalUp,     /* total raised, index count not yet */
    kCrashAfterCountUp,     /* index count raised too */
};


/* Weekly timer calendar */


/* Socket-send jam log */
/* The known socket paths, 25 characters each; a path's row is its slot in
 * g_libPowState.SockSendLogTable: 4 x service number + channel (a f n s). */
constexpr int kSockPathCount = 104;
constexpr int kSockPathLength = 25;
constexpr int kSockNamePos = 19;    /* the name is the path's last six characters */
constexpr int kSockNameLength = 6;
extern const char SocketPathTable[kSockPathCount][kSockPathLength + 1];


#endif
