/*
 * PLAT_semLib.h - device-wide named binary semaphores.
 *
 * This is the platform's semaphore service as the power library sees it.
 * On the device the platform vendor ships it; this implementation stands in
 * for it on any glibc Linux and can be replaced at link time by a library
 * that exports the same functions (PLAT_semRobustSupported below is this
 * implementation's own extension, for its tests).
 *
 * What every call promises
 * ------------------------
 * Naming     A semaphore is named by a plain string (no '/', 1..200 bytes).
 *            Any process that uses a given name gets the very same
 *            semaphore. Creation is race-free: when several processes
 *            create one name at the same moment, exactly one object is made
 *            and all of them get handles to it. A semaphore that already
 *            exists keeps its state (free or held). Within one process,
 *            every create of the same object returns the same handle (a
 *            new object made after PLAT_semRemove gets a new one). Only
 *            SEM_FULL (made
 *            free) is accepted: a mutex-backed semaphore that is "empty"
 *            would need an owner, and an empty one nobody holds could then
 *            be given by anyone, breaking the Give rule below; SEM_EMPTY
 *            fails with EINVAL. Objects are made with mode 0666 so that
 *            processes of any user on the device can share them, unless
 *            the owner made them first with PLAT_semBCreateAccess; a
 *            process that may not open an existing one fails with EACCES
 *            and never makes another in its place.
 * Binary     At most one holder at any time. Not recursive: a second take by
 *            the holder waits like anyone else's.
 * Timeouts   PLAT_semTake(id, -1) waits for ever, (id, 0) tries once and
 *            fails with EAGAIN when the semaphore is held, (id, ms > 0)
 *            waits up to ms milliseconds and then fails with ETIMEDOUT.
 * Robust     A holder that dies (a thread that exits, a process that is
 *            killed, SIGKILL included) does not wedge the semaphore: the
 *            next take by anyone, on any of the three paths, succeeds at
 *            once and counts one recovery. This needs the kernel's robust
 *            futex list; PLAT_semShow level 1 says when the process runs
 *            without it (user-mode emulators lack it), and then a dead
 *            holder is never recovered. A waiting take looks at the lock
 *            at least every 50 ms, so a wake-up the kernel loses (older
 *            kernels can, when the process it went to dies first) delays a
 *            waiter by at most that much.
 * Give       Only the holder may give. A give by a thread that does not hold
 *            the semaphore fails with EPERM and changes nothing (this
 *            includes giving a free semaphore).
 * Errors     A failing call returns 0 (create) or -1 (take, give) and leaves
 *            the reason in PLAT_errnoGet(), per thread (errno is set too):
 *            EINVAL for a null or unusable name, bad options or initial
 *            state, a negative timeout other than -1, a null handle, or a
 *            /dev/shm object of that name that is not one of ours (a FIFO
 *            or device there is never waited on); ELOOP for a symbolic link
 *            there (never followed), EISDIR for a directory; ENAMETOOLONG for a name that is too long; EAGAIN / ETIMEDOUT
 *            for takes as above; EPERM for a give by a non-holder;
 *            ENOTRECOVERABLE for a semaphore whose state was lost; or the
 *            errno of the failed system call. A successful call leaves
 *            PLAT_errnoGet() unchanged.
 * Lifetime   Handles stay valid for the life of the process; nothing is ever
 *            closed. The objects live in /dev/shm as "PLAT_sem.<name>" and
 *            survive every process until they are removed with
 *            PLAT_semRemove (used by the area owner's tools only).
 * Show       PLAT_semShow(id, 0) prints one line: name, free or held and the
 *            holder's pid, marked "(dead)" when that process is gone.
 *            Level 1 prints only a details line: takes recovered from a
 *            dead holder, whether this process has robust futexes. A 0
 *            handle is accepted: level 0 prints "  sem: none (handle 0)",
 *            level 1 prints nothing. The holder shown is a snapshot taken
 *            without the lock, for diagnostics only.
 */
#ifndef PLAT_SEMLIB_H
#define PLAT_SEMLIB_H

#include <sys/stat.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a named semaphore; 0 means none. */
typedef struct PLAT_semObject* SemId;

/* Initial state for a semaphore that PLAT_semBCreate makes. */
typedef enum sem_b_state { SEM_EMPTY = 0, SEM_FULL = 1 } sem_b_state;

/* Wait values for PLAT_semTake. */
#define PLAT_WAIT_FOREVER (-1)
#define PLAT_NO_WAIT 0

/* The object of semaphore NAME is "/" PLAT_SEM_OBJECT_PREFIX NAME in
 * /dev/shm, for the owner who sets its access or removes it by hand. */
#define PLAT_SEM_OBJECT_PREFIX "PLAT_sem."

/* Finds or makes the semaphore `name`. options must be 0. Returns a handle,
 * or 0 with PLAT_errnoGet() set. */
SemId PLAT_semBCreate(int options, sem_b_state initialState, char* name);

/* Takes the semaphore; timeout as above. 0 when taken, -1 on failure. */
int PLAT_semTake(SemId semId, int timeout);

/* Gives the semaphore back. 0 when given, -1 on failure (EPERM: not held
 * by the calling thread). */
int PLAT_semGive(SemId semId);

/* Prints the semaphore's state to stdout; level 0 or 1. Returns 0, or -1
 * for a level other than 0 and 1. */
int PLAT_semShow(SemId semId, int level);

/* Error number of the calling thread's last failed PLAT_ call. */
int PLAT_errnoGet(void);

/* Removes the named semaphore object; processes that hold handles keep
 * using the old object. 0 on success, -1 with PLAT_errnoGet() set. */
int PLAT_semRemove(const char* name);

/* Platform extension: PLAT_semBCreate for the owner of a device that limits
 * who may use its semaphores: a semaphore made here gets group `group`
 * ((gid_t)-1: the caller's own) and permission bits `mode` from the start,
 * instead of 0666. One that exists already is returned as it is; check its
 * access with PLAT_semStat. */
SemId PLAT_semBCreateAccess(int options, sem_b_state initialState, const char* name, gid_t group, mode_t mode);

/* Platform extension: owner, group, mode and kind of the object behind
 * semaphore `name` (a symbolic link in its place is described, not
 * followed). 0, or -1 with PLAT_errnoGet() set (ENOENT: none). */
int PLAT_semStat(const char* name, struct stat* st);

/* Platform extension: the existing semaphore `name`, never made here; 0
 * with PLAT_errnoGet() ENOENT when there is none (or as for create). For
 * looking at a device without changing it. */
SemId PLAT_semOpen(const char* name);

/* Platform extension: the process that holds the semaphore now, 0 when it
 * is free; a holder thread that is gone shows as its own id. A snapshot
 * without the lock, for messages only. */
int PLAT_semHolder(SemId semId);

/* Platform extension: whether the record behind semaphore `name` is whole,
 * read without mapping it (so a file cut short cannot fault the caller):
 * 0 whole; 1 damaged, with the reason in `why` (its length, a record that
 * is not a semaphore's or names another one, a lock that is not ours, a
 * lock given up as not recoverable, or one held by a thread that is gone
 * and was never recovered: every take of it fails or waits for ever); -1
 * when it cannot be read, PLAT_errnoGet() set (ENOENT: none). A holder is
 * looked for in this process's view of /proc: run it in the PID namespace
 * of the semaphore's users. */
int PLAT_semCheck(const char* name, char* why, size_t whySize);

/* Platform extension: writes a fresh, free record over a damaged semaphore
 * in its own file (the same inode, its owner and mode kept), so every
 * process that has it mapped or opens it later meets the same mended
 * semaphore. A whole one is never rewritten (EBUSY): it may be held. 0, or
 * -1 with PLAT_errnoGet() set. */
int PLAT_semRemake(const char* name);

/* Platform extension: 1 when this process has the kernel's robust futex
 * list, so a dead holder is recovered; 0 when it runs without (dead holders
 * then wedge the semaphore). */
int PLAT_semRobustSupported(void);

#ifdef __cplusplus
}
#endif

#endif
