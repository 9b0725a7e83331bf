/*
 * LIB_PowerService.cpp - the power service client library.
 *
 * Sections, in order: diagnostic log; named semaphores; shared-area attach;
 * semaphore trace viewer; power status flags; power-save delay
 * reservations; calendar arithmetic; weekly timer day bitmap; socket-send
 * jam log.
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
    SemId handle = lock(name, loadWord(cache));
    storeWord(cache, handle);
    storeWord(global, handle);
    return handle;
}

SemId lockPowShm(void)
{
    return lockAndPublish(LIBPOW_SEM_POW, g_libPowState.pst_SemPowID, g_semPowID);
}

SemId lockNvdShm(void)
{
    return lockAndPublish(LIBPOW_SEM_NVD, g_libPowState.pst_SemNvdID, g_semNvdID);
}

SemId LIB_POW_Lock_HddReadyFlag(void)
{
    return lockAndPublish(LIBPOW_SEM_RDY, g_libPowState.pst_SemRdyID, g_semRdyID);
}

void LIB_POW_UnLock_HddReadyFlag(SemId pst_SemID)
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
    case 1: unlock(loadWord(g_semPowID)); break;
    case 2: unlock(loadWord(g_semNvdID)); break;
    case 3: unlock(loadWord(g_semRdyID)); break;
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
    printf("- %s[0x%x] ---\n", label, handleWord(loadWord(global)));
    g_libPowSys.semShow(loadWord(global), 0);
    g_libPowSys.semShow(loadWord(global), 1);
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
    NvdSharedArea* area = loadWord(g_libPowState.pst_NvdShm);
    if (area != nullptr)
        return area;
    area = static_cast<NvdSharedArea*>(GetShm(LIBPOW_SHM_NVD, kNvdAreaSize, 0666));
    storeWord(g_libPowState.pst_NvdShm, area);
    return area;
}

/* First attach of the power area, under the POW semaphore. Kept out of
 * line so that the attached path of getPwrShm stays one load and a test. */
static __attribute__((noinline)) PwrSharedArea* attachPwrShm(void)
{
    SemId handle = lockPowShm();
    if (handle != 0) {
        void* addr = GetShm(LIBPOW_SHM_PWR, kPwrAreaSize, 0666);
        storeWord(g_libPowState.pst_PwrShm, static_cast<PwrSharedArea*>(addr));
    }
    unlock(handle);
    return loadWord(g_libPowState.pst_PwrShm);
}

PwrSharedArea* getPwrShm(void)
{
    PwrSharedArea* area = loadWord(g_libPowState.pst_PwrShm);
    if (area != nullptr)
        return area;
    return attachPwrShm();
}

/* ======================================================================
 * Semaphore trace viewer
 * ====================================================================== */


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

/* Counters are 16-bit: an increment wraps, a decrement stops at 0 (and
 * lifts a negative value to 0), so a stray end of a request can never
 * leave a total below nothing. */
static inline int16_t countUp(int16_t value)
{
    return static_cast<int16_t>(static_cast<uint16_t>(value) + 1u);
}

static inline int16_t countDown(int16_t value, int16_t amount)
{
    return value > amount ? static_cast<int16_t>(value - amount) : 0;
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
            storeWord(area->ss_DelayCount[index], ss_Count);
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
                ss_Total = countDown(ss_Total, amount);
                ss_Count = countDown(ss_Count, amount);
                storeWord(area->DelayTaskNum, ss_Total);
                storeWord(area->ss_DelayCount[index], ss_Count);
                if (ss_Total == 0)
                    storeWord(area->b_DelayPowerSaveTaskNoneReserved, static_cast<uint8_t>(1));
            }
            if (b_AllDelete) {
                POW_LOG(16, "release index [pid=%d, index=%d]\n", holder, index);
                storeWord(area->sl_DelayPid[index], static_cast<int32_t>(0));
                storeWord(area->ss_DelayCount[index], static_cast<int16_t>(0));
                uint16_t num = loadWord(area->us_FreeIndexNum);
                if (num >= kDelayIndexCount) {
                    POW_LOG(1, "ss_Index=%d put Failed!\n", ss_Index);
                } else {
                    storeWord(area->us_FreeIndex[num], static_cast<uint16_t>(index));
                    storeWord(area->us_FreeIndexNum, static_cast<uint16_t>(num + 1));
                }
            }
        }
    }
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
__attribute__((flatten)) short LIB_POW_setPowerSaveDelay(short ss_Index)
{
    POW_LOG(32, "Start(ss_Index=%d)\n", ss_Index);
    LIB_POW_setwSemLog(10, "LIB_POW_setPowerSaveDelay 1", 0, ss_Index);
    short ss_Ret = setPowerSaveDelayPid(ss_Index);
    LIB_POW_setwSemLog(10, "LIB_POW_setPowerSaveDelay 2", 0, ss_Index);
    POW_LOG(32, "End(ss_Index=%d)\n", ss_Index);
    return ss_Ret;
}

__attribute__((flatten)) void LIB_POW_resetPowerSaveDelay(short ss_Index)
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


/* ======================================================================
 * Weekly timer day bitmap
 * ====================================================================== */


/* ======================================================================
 * Socket-send jam log
 * ====================================================================== */

