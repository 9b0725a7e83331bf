/*
 * LIB_PowerService.cpp - the power service client library.
 *
 * The file runs from the bottom layer up: the trace print, the three
 * semaphores, the attach of the areas and the trace-area viewer, then the
 * power flags and delay reservations, the weekly timer (dates, then the
 * day flags), and last the per-process log of pending socket sends.
 */
#include "LIB_PowerService_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

/* Trace lines name this file by its own name, never by a build path. */
static const char kSrcFile[] = "LIB_PowerService.cpp";

/* Prints one trace line "LIB_PowerService.cpp(LINE):FUNCTION message".
 * The mask test sits in front of the call so that a message outside the
 * mask costs one load, one AND and one branch. */
#define POW_LOG(level, format, ...)                                                     \
    do {                                                                                \
        if (IsLogLevel(level))                                                          \
            LogPrint((level), "%s(%d):%s " format, kSrcFile, __LINE__,                  \
                     __func__ __VA_OPT__(, ) __VA_ARGS__);                              \
    } while (0)

/* The one shape of a failed system or platform call: the call with its
 * arguments, then the error number and its text. */
#define POW_LOG_CALL_FAILED(err, call, ...)                                             \
    POW_LOG(1, call " Failed! errno=%d[%s]\n" __VA_OPT__(, ) __VA_ARGS__, (err),        \
            strerror(err))

static int realGettimeofday(struct timeval* tv)
{
    return gettimeofday(tv, nullptr);
}

const LibPowSys kLibPowRealSys = {
    shm_open, mmap64, close, getpid, kill, realGettimeofday,
    PLAT_semBCreate, PLAT_semTake, PLAT_semGive, PLAT_semShow, PLAT_errnoGet,
    nullptr,
};

LibPowSys g_libPowSys = kLibPowRealSys;

LibPowProcessState g_libPowState;

/* ======================================================================
 * Diagnostic log
 * ====================================================================== */

unsigned int g_libPowLogMask = 3;

bool IsLogLevel(unsigned int level)
{
    return (level & loadWord(g_libPowLogMask)) != 0;
}

void LIB_POW_setLogLevel(unsigned int ui_Mask)
{
    storeWord(g_libPowLogMask, ui_Mask);
}

void LogPrint(unsigned int level, const char* format, ...)
{
    if (!IsLogLevel(level))
        return;
    /* A fresh buffer per message keeps concurrent threads apart. */
    char* buffer = static_cast<char*>(malloc(1025));
    if (buffer == nullptr)
        return;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, 1024, format, args);
    va_end(args);
    if (length > 0)
        fputs(buffer, stdout);
    free(buffer);
}

void LIB_POW_setwSemLog(int sl_Code, const char* pc_Label, int sl_Arg, int sl_Value)
{
    (void)sl_Code;
    (void)pc_Label;
    (void)sl_Arg;
    (void)sl_Value;
}

/* ======================================================================
 * Named semaphores
 * ====================================================================== */

SemId g_semPowID = 0;
SemId g_semNvdID = 0;
SemId g_semRdyID = 0;

SemId lock(const char* Name, SemId cached)
{
    POW_LOG(64, "Start(Name=%s)\n", Name);
    SemId handle = cached;
    if (handle == 0) {
        handle = g_libPowSys.semBCreate(0, SEM_FULL, const_cast<char*>(Name));
        if (handle == 0) {
            int err = g_libPowSys.errnoGet();
            POW_LOG_CALL_FAILED(err, "PLAT_semBCreate(Name=%s)", Name);
        }
    }
    if (handle != 0 && g_libPowSys.semTake(handle, PLAT_WAIT_FOREVER) != 0) {
        int err = g_libPowSys.errnoGet();
        POW_LOG_CALL_FAILED(err, "PLAT_semTake()");
        /* Not held, so the caller must not touch the area. Returning 0 also
         * drops the cached handle: the next lock asks the platform afresh. */
        handle = 0;
    }
    POW_LOG(64, "End(pst_SemID=%p)\n", static_cast<void*>(handle));
    return handle;
}

void unlock(SemId pst_SemID)
{
    POW_LOG(64, "Start(pst_SemID=%p)\n", static_cast<void*>(pst_SemID));
    if (pst_SemID != 0 && g_libPowSys.semGive(pst_SemID) != 0) {
        int err = g_libPowSys.errnoGet();
        printf("### LIB_POW SEM_POST ERR %d[%s]\n", err, strerror(err));
    }
    POW_LOG(64, "End\n");
}

/* Locks one of the three semaphores and publishes the outcome, 0 included,
 * in its cache member and its exported global. */
static SemId lockAndPublish(const char* name, SemId& cache, SemId& global)
{
    SemId handle = lock(name, loadCached(cache));
    storeCached(cache, handle);
    storeCached(global, handle);
    return handle;
}

/* The lock paths are a handful of instructions around the platform's own
 * take and give; flatten folds lock() and unlock() into them so that the
 * calls themselves do not cost as much as the work. */
#define LIBPOW_HOT __attribute__((flatten))

LIBPOW_HOT SemId lockPowShm(void)
{
    return lockAndPublish(LIBPOW_SEM_POW, g_libPowState.pst_SemPowID, g_semPowID);
}

LIBPOW_HOT SemId lockNvdShm(void)
{
    return lockAndPublish(LIBPOW_SEM_NVD, g_libPowState.pst_SemNvdID, g_semNvdID);
}

LIBPOW_HOT SemId LIB_POW_Lock_HddReadyFlag(void)
{
    return lockAndPublish(LIBPOW_SEM_RDY, g_libPowState.pst_SemRdyID, g_semRdyID);
}

LIBPOW_HOT void LIB_POW_UnLock_HddReadyFlag(SemId pst_SemID)
{
    unlock(pst_SemID);
}

void LIB_POW_dbgSemLock(int sl_Select)
{
    switch (sl_Select) {
    case 1: lockPowShm(); break;
    case 2: lockNvdShm(); break;
    case 3: LIB_POW_Lock_HddReadyFlag(); break;
    default: printf("invalid value %d\n", sl_Select); break;
    }
}

void LIB_POW_dbgSemUnLock(int sl_Select)
{
    switch (sl_Select) {
    case 1: unlock(loadCached(g_semPowID)); break;
    case 2: unlock(loadCached(g_semNvdID)); break;
    case 3: unlock(loadCached(g_semRdyID)); break;
    default: printf("invalid value %d\n", sl_Select); break;
    }
}

/* The dump prints a handle as a 32-bit word, its full width on the device. */
static unsigned int handleWord(SemId id)
{
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(id));
}

static void showOneSemaphore(const char* label, SemId& global)
{
    printf("- %s[0x%x] ---\n", label, handleWord(loadCached(global)));
    g_libPowSys.semShow(loadCached(global), 0);
    g_libPowSys.semShow(loadCached(global), 1);
}

void LIB_POW_semShow(void)
{
    printf("----PowerLibSemShow Start\n\n");
    showOneSemaphore("semPowID", g_semPowID);
    printf("---\n\n");
    showOneSemaphore("semNvdID", g_semNvdID);
    printf("---\n\n");
    showOneSemaphore("semRdyID", g_semRdyID);
    printf("----PowerLibSemShow End \n\n");
}

/* ======================================================================
 * Shared-area attach
 * ====================================================================== */

void* GetShm(const char* Key, int size, unsigned int mode)
{
    POW_LOG(32, "Start(Key=%s, size=%d, mode=0x%x)\n", Key, size, mode);
    void* pv_ShmAddr = nullptr;
    /* Open only: the power service makes the objects, never this library. */
    int fd = g_libPowSys.shm_open(Key, O_RDWR, static_cast<mode_t>(mode));
    if (fd == -1) {
        int err = errno;
        POW_LOG_CALL_FAILED(err, "shm_open(Key=%s)", Key);
    } else {
        void* addr = g_libPowSys.mmap64(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                                        MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            int err = errno;
            POW_LOG_CALL_FAILED(err, "mmap(Key=%s, size=%d)", Key, size);
        } else {
            pv_ShmAddr = addr;
        }
        g_libPowSys.close(fd);
    }
    POW_LOG(32, "End(pv_ShmAddr=%p)\n", pv_ShmAddr);
    return pv_ShmAddr;
}

NvdSharedArea* getNvdShm(void)
{
    NvdSharedArea* area = loadCached(g_libPowState.pst_NvdShm);
    if (area != nullptr)
        return area;
    area = static_cast<NvdSharedArea*>(GetShm(LIBPOW_SHM_NVD, kNvdAreaSize, 0666));
    storeCached(g_libPowState.pst_NvdShm, area);
    return area;
}

/* First attach of the power area, under the POW semaphore. Kept out of
 * line so that the attached path of getPwrShm stays one load and a test. */
static __attribute__((noinline)) PwrSharedArea* attachPwrShm(void)
{
    SemId handle = lockPowShm();
    if (handle != 0) {
        void* addr = GetShm(LIBPOW_SHM_PWR, kPwrAreaSize, 0666);
        storeCached(g_libPowState.pst_PwrShm, static_cast<PwrSharedArea*>(addr));
    }
    unlock(handle);
    return loadCached(g_libPowState.pst_PwrShm);
}

PwrSharedArea* getPwrShm(void)
{
    PwrSharedArea* area = loadCached(g_libPowState.pst_PwrShm);
    if (area != nullptr)
        return area;
    return attachPwrShm();
}

/* ======================================================================
 * Semaphore trace viewer
 * ====================================================================== */

/* Silent on purpose, unlike GetShm: the viewer is a debugging aid and a
 * device without the trace area is normal. */
void* LIB_POW_getLogShmPtr(void)
{
    SemLogArea* area = loadCached(g_libPowState.pst_SemLogArea);
    if (area != nullptr)
        return area;
    int fd = g_libPowSys.shm_open(LIBPOW_SHM_SEMLOG, O_RDWR, 0666);
    if (fd == -1)
        return nullptr;
    void* addr = g_libPowSys.mmap64(nullptr, kSemLogAreaSize, PROT_READ | PROT_WRITE, MAP_SHARED,
                                    fd, 0);
    if (addr != MAP_FAILED)
        storeCached(g_libPowState.pst_SemLogArea, static_cast<SemLogArea*>(addr));
    g_libPowSys.close(fd);
    return loadCached(g_libPowState.pst_SemLogArea);
}

/* Copies a text field of a trace record that another process may be
 * writing, byte by byte, into `out` (width + 1 bytes). The copy always ends
 * in a NUL, so a field that lacks one prints as its full width and the
 * listing never reads past the field. */
static void copyTraceText(char* out, const char* field, size_t width)
{
    size_t n = 0;
    for (; n < width; ++n) {
        char c = loadWord(field[n]);
        if (c == '\0')
            break;
        out[n] = c;
    }
    out[n] = '\0';
}

void LIB_POW_showSemLog(void)
{
    SemLogArea* area = static_cast<SemLogArea*>(LIB_POW_getLogShmPtr());
    if (area == nullptr)
        return;
    printf("\n");
    printf(" LIB_POW_showSemLog "
           "--------------------------------------------------------------------------\n");
    printf(" No   tic         PID   TID         SemName                      SemID       Status  Value\n");
    printf(" ----------------------------------------------------------------------------------------"
           "-----\n");
    for (int i = 0; i < kSemLogRecordCount; ++i) {
        const SemLogRecord& record = area->records[i];
        int32_t pid = loadWord(record.PID);
        uint32_t tid = loadWord(record.TID);
        if (pid == 0 && tid == 0)
            break;
        char semName[sizeof record.SemName + 1];
        char status[sizeof record.Status + 1];
        copyTraceText(semName, record.SemName, sizeof record.SemName);
        copyTraceText(status, record.Status, sizeof record.Status);
        printf(" %04d ", i + 1);
        printf(" %010d ", static_cast<int>(loadWord(record.tic)));
        printf(" %d ", static_cast<int>(pid));
        printf(" 0x%08lx ", static_cast<unsigned long>(tid));
        printf(" %s ", semName);
        printf(" 0x%08lx ", static_cast<unsigned long>(loadWord(record.SemID)));
        printf(" %s ", status);
        printf(" %d ", static_cast<int>(loadWord(record.Value)));
        /* Compared as Count == i + 1: Count - 1 would overflow for the most
         * negative Count a broken writer could leave. */
        int32_t count = loadWord(area->Count);
        if (count != 0 && count == i + 1)
            printf("    ***");
        printf("\n");
    }
    printf(" LogEnd --------------------------------------------------------------------- \n");
    printf("\n");
}


/* ======================================================================
 * Power status flags
 * ====================================================================== */

/* A take of a request byte must not drop a request written between the
 * look and the clear, so the clear is one exchange, not a load then a store. */
static inline uint8_t readFlagByte(uint8_t& flag, bool b_Delete)
{
    if (b_Delete)
        return __atomic_exchange_n(&flag, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    return loadWord(flag);
}

unsigned char LIB_POW_getResetAutoSleepTimer(bool b_Delete)
{
    POW_LOG(64, "Start(b_Delete=%d)\n", b_Delete);
    unsigned char uc_Ret = 0;
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        uc_Ret = readFlagByte(area->uc_ResetAutoSleepTimer, b_Delete);
    POW_LOG(64, "End(uc_Ret=0x%x)\n", uc_Ret);
    return uc_Ret;
}

void LIB_POW_putResetAutoSleepTimer(void)
{
    POW_LOG(16, "Start\n");
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        storeWord(area->uc_ResetAutoSleepTimer, static_cast<uint8_t>(2));
    POW_LOG(16, "End\n");
}

void LIB_POW_setHddReady(bool b_Ready)
{
    POW_LOG(64, "Start(b_Ready=%d)\n", b_Ready);
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        storeWord(area->b_HddReady, static_cast<uint8_t>(b_Ready ? 1 : 0));
    POW_LOG(16, "End(b_Ready=%d)\n", b_Ready);
}

bool LIB_POW_isHddReady(void)
{
    POW_LOG(64, "Start\n");
    LIB_POW_setwSemLog(10, "LIB_POW_isHddReady 1", 0, 0);
    LIB_POW_setwSemLog(10, "LIB_POW_isHddReady 1-1", 0, 0);
    bool b_Ret = false;
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        b_Ret = loadWord(area->b_HddReady) != 0;
    /* A ready disk is the ordinary answer; a disk that is not ready is news. */
    POW_LOG(b_Ret ? 64 : 16, "End(b_Ret=%d)\n", b_Ret);
    return b_Ret;
}

bool LIB_POW_getDelayPowerSaveTaskNoneReserved(bool b_Delete)
{
    POW_LOG(64, "Start(b_Delete=%d)\n", b_Delete);
    bool b_Ret = false;
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        b_Ret = readFlagByte(area->b_DelayPowerSaveTaskNoneReserved, b_Delete) != 0;
    POW_LOG(b_Ret ? 16 : 64, "End(b_Ret=%d)\n", b_Ret);
    return b_Ret;
}

bool LIB_POW_IsPowerSaveDelay(void)
{
    POW_LOG(32, "Start\n");
    bool b_Ret = false;
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        b_Ret = loadWord(area->DelayTaskNum) != 0;
    POW_LOG(32, "End(b_Ret=%d)\n", b_Ret);
    return b_Ret;
}

void LIB_POW_setPowerSaveDelayForService(void)
{
    POW_LOG(32, "Start\n");
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr)
        storeWord(area->b_HddSleepDelay, static_cast<uint8_t>(0));
    POW_LOG(16, "End\n");
}


/* ======================================================================
 * Power-save delay reservations
 * ====================================================================== */

/* A delay index is usable when its low 16 bits, unsigned, are 0..255; this
 * rejects every negative value. */
static inline bool isDelayIndex(int16_t ss_Index)
{
    return static_cast<uint16_t>(ss_Index) < kDelayIndexCount;
}

/* Lets a crash test stop the process between two stores of a table change;
 * in service the hook is null and this is one load and a branch not taken. */
static inline void crashPoint(LibPowCrashPoint point)
{
    tableStep(g_libPowSys.crashPoint, point);
}

int16_t setPowerSaveDelayPid(int16_t ss_Index)
{
    POW_LOG(32, "Start(ss_Index=%d)\n", ss_Index);
    LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 1", 0, ss_Index);
    int16_t ss_Ret = -1;
    int ss_Shown = ss_Index; /* the index named by the End line */
    int16_t ss_Total = 0;
    int16_t ss_Count = 0;
    PwrSharedArea* area = getPwrShm();
    SemId sem = area != nullptr ? lockPowShm() : 0;
    if (sem != 0) {
        LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 2", 0, 0);
        int index = -1;
        int failValue = ss_Index;
        if (ss_Index == -1) {
            pid_t pid = g_libPowSys.getpid();
            LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 3", 0, pid);
            if (pid == loadWord(area->sl_DelayPid[0])) {
                index = 0;
            } else {
                uint16_t num = loadWord(area->us_FreeIndexNum);
                LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 4", 0, num);
                /* The owner never writes a count above 256; should one appear,
                 * the pop still starts inside the stack. */
                if (num > kDelayIndexCount)
                    num = kDelayIndexCount;
                while (index < 0 && num > 0) {
                    --num;
                    storeWord(area->us_FreeIndexNum, num);
                    LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 5", 0, num);
                    uint16_t entry = loadWord(area->us_FreeIndex[num]);
                    crashPoint(kCrashAfterPop);
                    int16_t ss_Entry = static_cast<int16_t>(entry);
                    LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 6", 0, ss_Entry);
                    if (entry >= kDelayIndexCount) {
                        POW_LOG(1, "ss_Index=%d Failed!\n", ss_Entry);
                        failValue = ss_Entry;
                        continue;
                    }
                    index = entry;
                    storeWord(area->ss_DelayCount[index], static_cast<int16_t>(0));
                    storeWord(area->sl_DelayPid[index], static_cast<int32_t>(pid));
                    crashPoint(kCrashAfterHolderStore);
                    POW_LOG(16, "get index [pid=%d, index=%d]\n", pid, index);
                }
            }
        } else if (isDelayIndex(ss_Index)) {
            index = ss_Index;
        }
        if (index >= 0) {
            LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 7", 0, index);
            ss_Total = countUp(loadWord(area->DelayTaskNum));
            ss_Count = countUp(loadWord(area->ss_DelayCount[index]));
            storeWord(area->DelayTaskNum, ss_Total);
            crashPoint(kCrashAfterTotalUp);
            storeWord(area->ss_DelayCount[index], ss_Count);
            crashPoint(kCrashAfterCountUp);
            LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 8", 0, ss_Total);
            LIB_POW_setwSemLog(11, "setPowerSaveDelayPid 9", 0, ss_Count);
            storeWord(area->b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(0));
            unlock(sem);
            ss_Ret = static_cast<int16_t>(index);
            ss_Shown = index;
        } else {
            POW_LOG(1, "ss_Index=%d Failed! pid=%d\n", failValue, g_libPowSys.getpid());
            unlock(sem);
            ss_Shown = failValue;
        }
    }
    LIB_POW_setwSemLog(10, "setPowerSaveDelayPid 10", 0, ss_Ret);
    POW_LOG(16, "End(DelayTaskNum=%d [index=%d, count=%d])\n", ss_Total, ss_Shown, ss_Count);
    return ss_Ret;
}

void resetPowerSaveDelayPid(int16_t ss_Index, bool b_AllDelete, pid_t expectedHolder)
{
    POW_LOG(32, "Start(ss_Index=%d, b_AllDelete=%d)\n", ss_Index, b_AllDelete);
    int16_t ss_Total = 0;
    int16_t ss_Count = 0;
    PwrSharedArea* area = getPwrShm();
    SemId sem = area != nullptr ? lockPowShm() : 0;
    if (sem != 0 && isDelayIndex(ss_Index)) {
        int index = ss_Index;
        ss_Total = loadWord(area->DelayTaskNum);
        ss_Count = loadWord(area->ss_DelayCount[index]);
        /* A sweep names the holder it found dead. Another sweep may have
         * released the index since (and someone may hold it anew); a second
         * release would push it twice or cut off its new holder. */
        int32_t holder = loadWord(area->sl_DelayPid[index]);
        if (expectedHolder == 0 || holder == expectedHolder) {
            int16_t amount = b_AllDelete ? ss_Count : static_cast<int16_t>(1);
            if (amount > 0) {
                ss_Total = lowerCounts(*area, index, amount, g_libPowSys.crashPoint);
                ss_Count = loadWord(area->ss_DelayCount[index]);
            }
            if (b_AllDelete) {
                POW_LOG(16, "release index [pid=%d, index=%d]\n", holder, index);
                if (!freeIndex(*area, index, true, g_libPowSys.crashPoint))
                    POW_LOG(1, "ss_Index=%d put Failed!\n", ss_Index);
            }
        }
    }
    if (sem != 0)
        unlock(sem);
    POW_LOG(16, "End(DelayTaskNum=%d [index=%d, count=%d])\n", ss_Total, ss_Index, ss_Count);
}

void checkPowerSaveDelayPid(PwrSharedArea* pst_PwrShm)
{
    POW_LOG(64, "Start(%d)\n", loadWord(pst_PwrShm->DelayTaskNum));
    /* Index 0 belongs to the owner's chosen process for good. */
    for (int i = 1; i < kDelayIndexCount; ++i) {
        pid_t pid = loadWord(pst_PwrShm->sl_DelayPid[i]);
        if (pid != 0 && g_libPowSys.kill(pid, 0) != 0)
            resetPowerSaveDelayPid(static_cast<int16_t>(i), true, pid);
    }
    POW_LOG(64, "End(%d)\n", loadWord(pst_PwrShm->DelayTaskNum));
}

/* The request path runs once per job step on every process of the device:
 * let the compiler fold the internal steps (and the lock and unlock, whose
 * traces are off by default) into the exported entry. */
LIBPOW_HOT short LIB_POW_setPowerSaveDelay(short ss_Index)
{
    POW_LOG(32, "Start(ss_Index=%d)\n", ss_Index);
    LIB_POW_setwSemLog(10, "LIB_POW_setPowerSaveDelay 1", 0, ss_Index);
    short ss_Ret = setPowerSaveDelayPid(ss_Index);
    LIB_POW_setwSemLog(10, "LIB_POW_setPowerSaveDelay 2", 0, ss_Index);
    POW_LOG(32, "End(ss_Index=%d)\n", ss_Index);
    return ss_Ret;
}

LIBPOW_HOT void LIB_POW_resetPowerSaveDelay(short ss_Index)
{
    POW_LOG(32, "Start(ss_Index=%d)\n", ss_Index);
    resetPowerSaveDelayPid(ss_Index, false);
    POW_LOG(32, "End\n");
}

bool LIB_POW_IsHddSleepDelay(void)
{
    POW_LOG(32, "Start\n");
    bool b_Ret = false;
    PwrSharedArea* area = getPwrShm();
    if (area != nullptr) {
        b_Ret = loadWord(area->b_HddSleepDelay) != 0;
        checkPowerSaveDelayPid(area);
    }
    POW_LOG(b_Ret ? 16 : 32, "End(b_Ret=%d)\n", b_Ret);
    return b_Ret;
}


/* ======================================================================
 * Calendar arithmetic
 * ====================================================================== */

/* February is stored as 28; the leap day is added by rule. */
static const uint8_t kDaysPerMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

/* The year and month tests are done on wrapped unsigned differences, so a
 * year below 2000 or month 0 fail the same single comparison as one that is
 * too large. */
static inline bool calendarYearMonthValid(unsigned short us_Year, unsigned char uc_Month)
{
    return static_cast<uint16_t>(us_Year - 2000) <= 89 &&
           static_cast<uint8_t>(uc_Month - 1) <= 11;
}

signed char LIB_POW_getWeeklyTimerFirstWeek(unsigned short us_Year, unsigned char uc_Month,
                                            unsigned char* puc_Week)
{
    POW_LOG(64, "Start(us_Year=%d, uc_Month=%d, puc_Week=%p)\n", us_Year, uc_Month,
            static_cast<void*>(puc_Week));
    signed char sc_Result = -2;
    if (puc_Week != nullptr && calendarYearMonthValid(us_Year, uc_Month)) {
        /* January and February count as months 13 and 14 of the year before,
         * which moves the leap day to the end of the counted year. */
        unsigned int year = us_Year;
        unsigned int month = uc_Month;
        if (month <= 2) {
            year -= 1;
            month += 12;
        }
        unsigned int sum = year + 1 + year / 4 + year / 400 + (13 * month + 8) / 5 - year / 100;
        unsigned char weekday = static_cast<unsigned char>(sum % 7);
        *puc_Week = weekday;
        POW_LOG(64, "FirstWeek(*puc_Week=%d)\n", weekday);
        sc_Result = 0;
    }
    POW_LOG(64, "End(sc_Result=%d)\n", sc_Result);
    return sc_Result;
}

/* The month length without the trace; 0 and the length in *days, or -2
 * with *days untouched. */
static inline signed char monthLength(unsigned short us_Year, unsigned char uc_Month,
                                      unsigned char* days)
{
    if (days == nullptr || !calendarYearMonthValid(us_Year, uc_Month))
        return -2;
    unsigned char length = kDaysPerMonth[uc_Month - 1];
    bool leap = (us_Year % 4 == 0 && us_Year % 100 != 0) || us_Year % 400 == 0;
    if (uc_Month == 2 && leap)
        length += 1;
    *days = length;
    return 0;
}

signed char LIB_POW_getWeeklyTimerLastDate(unsigned short us_Year, unsigned char uc_Month,
                                           unsigned char* puc_Date)
{
    POW_LOG(64, "Start(us_Year=%d, uc_Month=%d, puc_Date=%p)\n", us_Year, uc_Month,
            static_cast<void*>(puc_Date));
    signed char sc_Result = monthLength(us_Year, uc_Month, puc_Date);
    if (sc_Result == 0)
        POW_LOG(64, "LastDate(*puc_Date=%d)\n", *puc_Date);
    POW_LOG(64, "End(sc_Result=%d)\n", sc_Result);
    return sc_Result;
}

/* ======================================================================
 * Weekly timer day bitmap
 * ====================================================================== */

/* A month's word is little-endian on every processor that shares the area:
 * it is put together from its four bytes, lowest first, and written back
 * the same way, whatever the processor's own byte order. Bit d is day d
 * (1 .. 31); the date is already checked against the calendar.
 * The word is only touched while the NVD semaphore is held, so plain byte
 * accesses do: unlike the relaxed atomics used elsewhere, they let the
 * compiler turn the four loads and the four stores into one each. */
static inline uint8_t* monthWord(NvdSharedArea* area, unsigned short us_Year, unsigned char uc_Month)
{
    return area->ul_DateOnBits[(us_Year - 2000) * 12 + (uc_Month - 1)];
}

static inline uint32_t readMonthWord(const uint8_t* word)
{
    return uint32_t{word[0]} | uint32_t{word[1]} << 8 | uint32_t{word[2]} << 16 | uint32_t{word[3]} << 24;
}

/* All four bytes go back, those that did not change too: the word is the
 * unit that other users of the area read and write. */
static inline void writeMonthWord(uint8_t* word, uint32_t bits)
{
    word[0] = static_cast<uint8_t>(bits);
    word[1] = static_cast<uint8_t>(bits >> 8);
    word[2] = static_cast<uint8_t>(bits >> 16);
    word[3] = static_cast<uint8_t>(bits >> 24);
}

/* Every switch and query checks the date with LIB_POW_getWeeklyTimerLastDate.
 * While its lines are masked out the same answer is worked out in place:
 * the out-of-line call was a noticeable part of the cost of a call that is
 * otherwise little more than a semaphore take and give. */
static inline signed char lastDateOfMonth(unsigned short us_Year, unsigned char uc_Month,
                                          unsigned char* days)
{
    if (IsLogLevel(64))
        return LIB_POW_getWeeklyTimerLastDate(us_Year, uc_Month, days);
    return monthLength(us_Year, uc_Month, days);
}

LIBPOW_HOT signed char LIB_POW_setWeeklyTimerDateOn(unsigned short us_Year, unsigned char uc_Month,
                                         unsigned char uc_Date, bool b_On)
{
    POW_LOG(64, "Start(us_Year=%d, uc_Month=%d, uc_Date=%d, b_On=%d)\n", us_Year, uc_Month,
            uc_Date, b_On);
    unsigned char lastDate = 0;
    signed char sc_Result = lastDateOfMonth(us_Year, uc_Month, &lastDate);
    if (sc_Result == 0 && (uc_Date == 0 || uc_Date > lastDate))
        sc_Result = -2;
    if (sc_Result == 0) {
        /* The attach happens under the semaphore too: whoever holds it is
         * the only one touching the calendar. */
        SemId handle = lockNvdShm();
        NvdSharedArea* area = handle != 0 ? getNvdShm() : nullptr;
        if (area == nullptr) {
            sc_Result = -1;
        } else {
            uint8_t* word = monthWord(area, us_Year, uc_Month);
            uint32_t day = 1u << uc_Date;
            uint32_t bits = readMonthWord(word);
            writeMonthWord(word, b_On ? bits | day : bits & ~day);
        }
        if (handle != 0)
            unlock(handle);
    }
    POW_LOG(64, "End(sc_Result=%d)\n", sc_Result);
    return sc_Result;
}

LIBPOW_HOT signed char LIB_POW_getWeeklyTimerDateOn(unsigned short us_Year, unsigned char uc_Month,
                                         unsigned char uc_Date, bool* pb_On)
{
    POW_LOG(64, "Start(us_Year=%d, uc_Month=%d, uc_Date=%d, pb_On=%p)\n", us_Year, uc_Month,
            uc_Date, static_cast<void*>(pb_On));
    unsigned char lastDate = 0;
    signed char sc_Result = lastDateOfMonth(us_Year, uc_Month, &lastDate);
    if (sc_Result == 0 && (pb_On == nullptr || uc_Date == 0 || uc_Date > lastDate))
        sc_Result = -2;
    if (sc_Result == 0) {
        SemId handle = lockNvdShm();
        NvdSharedArea* area = handle != 0 ? getNvdShm() : nullptr;
        if (area == nullptr) {
            sc_Result = -1;
        } else {
            bool on = (readMonthWord(monthWord(area, us_Year, uc_Month)) >> uc_Date & 1u) != 0;
            *pb_On = on;
            POW_LOG(64, "GetDateOn(*pb_On=%d)\n", on);
        }
        if (handle != 0)
            unlock(handle);
    }
    POW_LOG(64, "End(sc_Result=%d)\n", sc_Result);
    return sc_Result;
}

/* ======================================================================
 * Socket-send jam log
 * ====================================================================== */

/* Rows come four per service, in channel order a, f, n, s. */
#define LIBPOW_SOCK_ROWS(code)                                                                \
    "/var/spool/sockets/a_" code, "/var/spool/sockets/f_" code, "/var/spool/sockets/n_" code, \
        "/var/spool/sockets/s_" code

const char SocketPathTable[kSockPathCount][kSockPathLength + 1] = {
    LIBPOW_SOCK_ROWS("adrm"), LIBPOW_SOCK_ROWS("appm"), LIBPOW_SOCK_ROWS("autm"),
    LIBPOW_SOCK_ROWS("chrm"), LIBPOW_SOCK_ROWS("devm"), LIBPOW_SOCK_ROWS("ntfm"),
    LIBPOW_SOCK_ROWS("prfm"), LIBPOW_SOCK_ROWS("resm"), LIBPOW_SOCK_ROWS("srvm"),
    LIBPOW_SOCK_ROWS("usrm"), LIBPOW_SOCK_ROWS("winm"), LIBPOW_SOCK_ROWS("adps"),
    LIBPOW_SOCK_ROWS("auts"), LIBPOW_SOCK_ROWS("bass"), LIBPOW_SOCK_ROWS("chrs"),
    LIBPOW_SOCK_ROWS("dcms"), LIBPOW_SOCK_ROWS("devs"), LIBPOW_SOCK_ROWS("exts"),
    LIBPOW_SOCK_ROWS("faxs"), LIBPOW_SOCK_ROWS("icvs"), LIBPOW_SOCK_ROWS("jobs"),
    LIBPOW_SOCK_ROWS("mnts"), LIBPOW_SOCK_ROWS("pwrs"), LIBPOW_SOCK_ROWS("ssts"),
    LIBPOW_SOCK_ROWS("strs"), LIBPOW_SOCK_ROWS("wsds"),
};
#undef LIBPOW_SOCK_ROWS

static_assert(sizeof g_libPowState.SockSendLogTable / sizeof(SockSendLogEntry) == kSockPathCount);

/* The lookup is written as switches whose every case is a constant, so the
 * compiler turns each into a bounds check and one table load instead of a
 * chain of jumps; that keeps a lookup at a few nanoseconds whatever the
 * path. Codes that share their first and last letter come back as a group
 * (a value above the last service) and the second letter settles them. */
constexpr int kSockGroupA_M = 100; /* adrm appm autm */
constexpr int kSockGroupA_S = 101; /* adps auts */
constexpr int kSockGroupD_S = 102; /* dcms devs */
constexpr int kSockGroupS_S = 103; /* ssts strs */

static int sockChannelNumber(char letter)
{
    switch (letter) {
    case 'a': return 0;
    case 'f': return 1;
    case 'n': return 2;
    case 's': return 3;
    default: return -1;
    }
}

/* Service (or group) of a code ending in m, from its first letter. */
static int sockServiceEndingM(char first)
{
    switch (first) {
    case 'a': return kSockGroupA_M;
    case 'c': return 3;  /* chrm */
    case 'd': return 4;  /* devm */
    case 'n': return 5;  /* ntfm */
    case 'p': return 6;  /* prfm */
    case 'r': return 7;  /* resm */
    case 's': return 8;  /* srvm */
    case 'u': return 9;  /* usrm */
    case 'w': return 10; /* winm */
    default: return -1;
    }
}

/* Service (or group) of a code ending in s, from its first letter. */
static int sockServiceEndingS(char first)
{
    switch (first) {
    case 'a': return kSockGroupA_S;
    case 'b': return 13; /* bass */
    case 'c': return 14; /* chrs */
    case 'd': return kSockGroupD_S;
    case 'e': return 17; /* exts */
    case 'f': return 18; /* faxs */
    case 'i': return 19; /* icvs */
    case 'j': return 20; /* jobs */
    case 'm': return 21; /* mnts */
    case 'p': return 22; /* pwrs */
    case 's': return kSockGroupS_S;
    case 'w': return 25; /* wsds */
    default: return -1;
    }
}

/* The member of a group that the second letter (position 22) names. */
static int sockServiceInGroup(int group, char second)
{
    switch (group) {
    case kSockGroupA_M:
        return second == 'd' ? 0 : second == 'p' ? 1 : second == 'u' ? 2 : -1;
    case kSockGroupA_S:
        return second == 'd' ? 11 : second == 'u' ? 12 : -1;
    case kSockGroupD_S:
        return second == 'c' ? 15 : second == 'e' ? 16 : -1;
    case kSockGroupS_S:
        return second == 's' ? 23 : second == 't' ? 24 : -1;
    default:
        return -1;
    }
}

int SockSendIndexSearch(char* pc_Path)
{
    /* strnlen never looks past the NUL nor past 26 bytes, so a short or
     * unterminated-looking argument is never over-read. */
    if (pc_Path == nullptr || strnlen(pc_Path, kSockPathLength + 1) != kSockPathLength)
        return -1;
    int channel = sockChannelNumber(pc_Path[19]);
    int service;
    switch (pc_Path[24]) {
    case 'm': service = sockServiceEndingM(pc_Path[21]); break;
    case 's': service = sockServiceEndingS(pc_Path[21]); break;
    default: return -1;
    }
    if (service >= kSockGroupA_M)
        service = sockServiceInGroup(service, pc_Path[22]);
    if (service < 0 || channel < 0)
        return -1;
    return 4 * service + channel;
}

/* The time stamp of a recording: milliseconds since midnight (UTC) of the
 * time of day, 0 .. 86399999. The one millisecond at midnight would read
 * as 0, which marks a free slot, so it is stored as 1 instead. */
static int32_t jamLogTime(const struct timeval& tv)
{
    long long secOfDay = static_cast<long long>(tv.tv_sec % 86400);
    if (secOfDay < 0)
        secOfDay += 86400;
    long long ms = (secOfDay * 1000 + static_cast<long long>(tv.tv_usec) / 1000) % 86400000;
    if (ms < 0)
        ms += 86400000;
    return ms == 0 ? 1 : static_cast<int32_t>(ms);
}

void LIB_POW_setSockSendLog(char* pc_DstPath, char* pc_SrcPath, unsigned long ul_KindId,
                            unsigned long ul_ReqSeqId)
{
    if (pc_DstPath == nullptr || pc_SrcPath == nullptr) {
        printf("########## LIB_POW_setSockSendLog Arg NULL !!!\n");
        return;
    }
    struct timeval tv = {};
    (void)g_libPowSys.gettimeofday(&tv);
    int row = SockSendIndexSearch(pc_DstPath);
    if (row < 0)
        return;
    SockSendLogEntry& slot = g_libPowState.SockSendLogTable[row];
    if (slot.time != 0)
        return; /* the first record for a destination stands */
    memcpy(slot.dstName, &SocketPathTable[row][kSockNamePos], kSockNameLength);
    /* The source name starts at position 19; a shorter path gives a shorter
     * (or empty) name, and nothing past its NUL is read. */
    size_t srcLength = strnlen(pc_SrcPath, kSockNamePos + kSockNameLength);
    size_t nameLength = srcLength > kSockNamePos ? srcLength - kSockNamePos : 0;
    memset(slot.srcName, 0, kSockNameLength);
    if (nameLength > 0)
        memcpy(slot.srcName, pc_SrcPath + kSockNamePos, nameLength);
    slot.kindid = static_cast<uint32_t>(ul_KindId);
    slot.reqseqid = static_cast<uint32_t>(ul_ReqSeqId);
    slot.time = jamLogTime(tv);
}

void LIB_POW_clearSockSendLog(char* pc_DstPath)
{
    if (pc_DstPath == nullptr) {
        printf("########## LIB_POW_clearSockSendLog Arg NULL !!!\n");
        return;
    }
    int row = SockSendIndexSearch(pc_DstPath);
    if (row < 0)
        return;
    SockSendLogEntry& slot = g_libPowState.SockSendLogTable[row];
    if (slot.time != 0)
        slot.time = 0;
}

void LIB_POW_getSockSendJamLog(void)
{
    bool printed = false;
    for (const SockSendLogEntry& slot : g_libPowState.SockSendLogTable) {
        if (slot.time == 0)
            continue;
        printf("sock_send [%s]->[%s]    time:[%d (ms)]    kindid:[0x%lx]    reqseqid:[0x%lx]\n",
               slot.srcName, slot.dstName, static_cast<int>(slot.time),
               static_cast<unsigned long>(slot.kindid), static_cast<unsigned long>(slot.reqseqid));
        printed = true;
    }
    if (!printed)
        printf("########## no jam log.  SockSendJamLog\n");
}

