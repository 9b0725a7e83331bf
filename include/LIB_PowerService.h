/*
 * LIB_PowerService.h - client library of the device power service (LIB_POW).
 *
 * Read this first
 * ---------------
 * - No init call and no daemon in the call path: every function runs to
 *   completion on the caller's thread. The first use of an area attaches it
 *   (POSIX shared memory made by the power service); handles and mappings
 *   are kept until the process ends. Until the service has made the areas,
 *   queries answer false/0, setters do nothing, delay requests return -1
 *   and calendar calls -1; the next call simply tries again.
 * - Reserving a power-save delay: call LIB_POW_setPowerSaveDelay(-1) once
 *   and keep the index it returns; pass that index to every later
 *   LIB_POW_setPowerSaveDelay and to one LIB_POW_resetPowerSaveDelay per
 *   counted request. The index stays the process's until it ends; then the
 *   next sweep (LIB_POW_IsHddSleepDelay, any process) releases it with all
 *   it still counts. The index is tied to the pid: a forked child inherits
 *   the parent's mappings and handles but must reserve its own index.
 * - Three device-wide binary semaphores guard the shared state:
 *     POW  "sem_POW_Shm_SemName"          the delay-reservation table and the
 *                                         first attach of the power area
 *     NVD  "sem_NVD_Shm_SemName"          the weekly timer calendar words
 *     RDY  "sem_POW_Shm_SemNameHddReady"  never taken by the library itself;
 *                                         callers bracket their own use of the
 *                                         HDD ready flag with it
 *   Each function's comment says which of them it may take.
 *   They are not recursive: never call a function that may take a
 *   semaphore your thread already holds (e.g. a POW-taking call between
 *   LIB_POW_dbgSemLock(1) and LIB_POW_dbgSemUnLock(1)); the thread would
 *   wait on itself for ever. No function holds two at once. Give a
 *   semaphore back from the thread that took it: the platform refuses a
 *   give from any other thread.
 * - A process that dies while holding a semaphore does not wedge the device:
 *   the platform recovers the semaphore for the next taker (given the
 *   kernel's robust futexes). A kill in the middle of a reservation change
 *   can still leave that one change half done (an index neither held nor
 *   free, a total off by the dead holder's count); the power service mends
 *   that with the owner kit on its next tick (docs/owner.md).
 * - Who may sweep: the sweep inside LIB_POW_IsHddSleepDelay counts any
 *   failed kill(pid, 0) as the end of a holder, so a process that may not
 *   signal a holder (another user, without CAP_KILL) releases that
 *   holder's index while it still runs. Every process that calls
 *   LIB_POW_IsHddSleepDelay must be able to signal every holder: run the
 *   participants as one user, or sweep with CAP_KILL.
 * - Access: the service may make the areas and semaphores for a group
 *   (mode 0660); a process outside it then gets "Permission denied" from
 *   its first lock (PLAT_semBCreate), which the first attach of the power
 *   and calendar areas takes too, and from the trace area's shm_open
 *   (LIB_POW_getLogShmPtr takes no semaphore), and changes nothing
 *   (docs/threat-model.md).
 * - The status flags are single bytes read and written without a semaphore.
 * - Threads: every call may be made from any thread, except that the jam log
 *   calls take no lock (serialise them yourself). The delay index and the
 *   log mask belong to the process, shared by its threads.
 * - Tracing: every traced step prints "LIB_PowerService.cpp(LINE):FUNCTION ..."
 *   on stdout when its level (1, 16, 32 or 64) is in the process's log mask.
 *   The mask starts at 3: only failures print until LIB_POW_setLogLevel.
 * - Results: calendar calls return 0, -1 (semaphore or area not obtained) or
 *   -2 (bad argument, decided before any semaphore is taken); delay requests
 *   return the index or -1; queries answer false / 0 without the area.
 * - More: docs/integration.md (protocol, semaphore rules, threads and fork,
 *   cross build, linking) and docs/troubleshooting.md (trace, powctl).
 */
#ifndef LIB_POWERSERVICE_H
#define LIB_POWERSERVICE_H

#include <PLAT_semLib.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define LIB_POW_API __attribute__((visibility("default")))
#else
#define LIB_POW_API
#endif

/* ---- Diagnostic log -------------------------------------------------- */

/* Replaces this process's log mask (all 32 bits). 0 silences the trace,
 * failures included; 0x71 shows everything. Level bits: 1 failures, 16
 * power-save decisions, 32 entry/exit of requests and attaches, 64 locks,
 * calendar, sweep, flags. No result. Takes: none. */
LIB_POW_API void LIB_POW_setLogLevel(unsigned int ui_Mask);

/* Trace hook called at fixed steps of the power-save operations. Accepts
 * any arguments (a null label too) and does nothing. Takes: none. */
LIB_POW_API void LIB_POW_setwSemLog(int sl_Code, const char* pc_Label, int sl_Arg, int sl_Value);

/* ---- Named semaphores ------------------------------------------------ */

/* Handles of the three semaphores once this process has locked them; 0
 * before. Written by the lock operations after every attempt. */
LIB_POW_API extern SemId g_semPowID;
LIB_POW_API extern SemId g_semNvdID;
LIB_POW_API extern SemId g_semRdyID;

/* Takes the HDD ready semaphore, waiting without limit. Returns the handle
 * to pass to LIB_POW_UnLock_HddReadyFlag, or 0 when it could not be taken
 * (then do not unlock, or unlock 0, which is harmless). Takes: RDY. */
LIB_POW_API SemId LIB_POW_Lock_HddReadyFlag(void);

/* Gives back exactly the handle passed (0 gives nothing); call it from the
 * thread that locked. A give that the platform refuses (another thread, a
 * semaphore not held) prints "### LIB_POW SEM_POST ERR ..." whatever the
 * mask. No result. Takes: none (gives RDY). */
LIB_POW_API void LIB_POW_UnLock_HddReadyFlag(SemId pst_SemID);

/* Debugging: lock (1 POW, 2 NVD, 3 RDY) without returning the handle, and
 * unlock by the exported global. Other selectors print "invalid value N".
 * While a lock is held, calls that take the same semaphore wait for ever.
 * No result. Takes: the selected semaphore (the lock). */
LIB_POW_API void LIB_POW_dbgSemLock(int sl_Select);
LIB_POW_API void LIB_POW_dbgSemUnLock(int sl_Select);

/* Prints this process's three handles (0x0 for one it has not locked yet)
 * and the platform's view of each semaphore: free, or held by which pid.
 * No result. Takes: none. */
LIB_POW_API void LIB_POW_semShow(void);

/* ---- Semaphore trace viewer ---------------------------------------- */

/* Address of the device's semaphore trace area, attached on the first
 * successful call and kept; NULL while it cannot be attached (nothing is
 * printed; the next call tries again). Never creates it. Takes: none. */
LIB_POW_API void* LIB_POW_getLogShmPtr(void);

/* Prints the trace area's records as a table on stdout, whatever the log
 * mask; prints nothing when the area cannot be attached. Takes: none. */
LIB_POW_API void LIB_POW_showSemLog(void);


/* ---- Power status flags ---------------------------------------------- */

/* Auto-sleep timer reset request byte as read (0 none, 2 requested; 0
 * without the area). With b_Delete true the byte is taken: read and zeroed
 * in one atomic step, so a request made meanwhile is never lost. Takes POW
 * only on this process's first attach of the power area. */
LIB_POW_API unsigned char LIB_POW_getResetAutoSleepTimer(bool b_Delete);

/* Requests an auto-sleep timer reset (the byte becomes 2). Takes POW only
 * on first attach. */
LIB_POW_API void LIB_POW_putResetAutoSleepTimer(void);

/* Stores the hard disk's ready state. Does not take RDY: bracket with
 * LIB_POW_Lock_HddReadyFlag yourself. Takes POW only on first attach. */
LIB_POW_API void LIB_POW_setHddReady(bool b_Ready);

/* The hard disk's ready state; false without the area. Does not take RDY.
 * Takes POW only on first attach. */
LIB_POW_API bool LIB_POW_isHddReady(void);

/* True when the reservations have dropped to none since the note was last
 * cleared; false without the area. b_Delete true takes the note (atomic
 * read-and-zero). Takes POW only on first attach. */
LIB_POW_API bool LIB_POW_getDelayPowerSaveTaskNoneReserved(bool b_Delete);

/* True while any power-save delay is outstanding (total not 0, negative
 * included); false without the area. Takes POW only on first attach. */
LIB_POW_API bool LIB_POW_IsPowerSaveDelay(void);

/* Clears the HDD sleep delay flag (raised by the power service). No
 * result. Takes POW only on first attach. */
LIB_POW_API void LIB_POW_setPowerSaveDelayForService(void);


/* ---- Power-save delay reservations ----------------------------------- */

/* Counts one power-save delay request. Pass -1 the first time: the result
 * is the delay index this process then keeps (0..255) and passes on every
 * later request; -1 means nothing was counted (no area, no semaphore, bad
 * index, no free index). Takes: POW. */
LIB_POW_API short LIB_POW_setPowerSaveDelay(short ss_Index);

/* Counts off the end of one request on the caller's index and on the
 * device total (each never below 0). The index stays the caller's. Invalid
 * indices change nothing. No result. Takes: POW. */
LIB_POW_API void LIB_POW_resetPowerSaveDelay(short ss_Index);

/* The HDD sleep delay flag (false without the area). Also sweeps the table:
 * each index 1..255 whose holder has ended is released with everything it
 * still counts. "Ended" is any failure of kill(pid, 0), EPERM included: call
 * it only from a process that may signal every holder (see the notes at the
 * top). Takes: POW once per index released, none otherwise. */
LIB_POW_API bool LIB_POW_IsHddSleepDelay(void);


/* ---- Weekly timer calendar ------------------------------------------- */

/* Weekday (0 Sunday .. 6 Saturday) of day 1 of a month of 2000..2089, written
 * to *puc_Week. Returns 0, or -2 (null pointer, year or month out of range:
 * nothing written). Takes: nothing. */
LIB_POW_API signed char LIB_POW_getWeeklyTimerFirstWeek(unsigned short us_Year,
                                                        unsigned char uc_Month,
                                                        unsigned char* puc_Week);

/* Number of days (28..31) of a month of 2000..2089, written to *puc_Date.
 * Returns 0, or -2 (null pointer, year or month out of range: nothing
 * written). Takes: nothing. */
LIB_POW_API signed char LIB_POW_getWeeklyTimerLastDate(unsigned short us_Year,
                                                       unsigned char uc_Month,
                                                       unsigned char* puc_Date);

/* Switches the weekly timer's flag of one day on (b_On true) or off. Returns
 * 0; -1 when the semaphore or the calendar area is not available; -2 for a
 * date outside 1.1.2000..31.12.2089 or not in the calendar. Takes: NVD. */
LIB_POW_API signed char LIB_POW_setWeeklyTimerDateOn(unsigned short us_Year,
                                                     unsigned char uc_Month,
                                                     unsigned char uc_Date, bool b_On);

/* Reads the weekly timer's flag of one day into *pb_On. Returns 0; -1 when
 * the semaphore or the calendar area is not available (*pb_On untouched);
 * -2 for a null pb_On or a bad date. Takes: NVD. */
LIB_POW_API signed char LIB_POW_getWeeklyTimerDateOn(unsigned short us_Year,
                                                     unsigned char uc_Month,
                                                     unsigned char uc_Date, bool* pb_On);


/* ---- Socket-send jam log --------------------------------------------- */

/* Row (0..103) of a "/var/spool/sockets/<channel>_<service>" path in the
 * jam log, or -1 for a path it does not know or a NULL. No output. Takes:
 * none. Exported under its C++ name, so it lives outside the C linkage. */
#ifdef __cplusplus
extern "C++" LIB_POW_API int SockSendIndexSearch(char* pc_Path);
#endif

/* Records a pending send to pc_DstPath in this process's jam log. A slot
 * already in use keeps its older entry (clear it first); unknown
 * destinations are ignored. A NULL path prints an "Arg NULL" line. Takes:
 * none. */
LIB_POW_API void LIB_POW_setSockSendLog(char* pc_DstPath, char* pc_SrcPath, unsigned long ul_KindId,
                                        unsigned long ul_ReqSeqId);

/* Frees the jam log slot of pc_DstPath (no-op when free or unknown). A NULL
 * path prints an "Arg NULL" line. Takes: none. */
LIB_POW_API void LIB_POW_clearSockSendLog(char* pc_DstPath);

/* Prints every pending send of this process in row order, or a "no jam
 * log" line when there is none, whatever the log mask. Takes: none. */
LIB_POW_API void LIB_POW_getSockSendJamLog(void);


#ifdef __cplusplus
}
#endif

#endif
