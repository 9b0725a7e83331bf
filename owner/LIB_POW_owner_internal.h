/*
 * LIB_POW_owner_internal.h - what the owner kit's two sources share and its
 * tests reach: the seam, the failure helper, the semaphore take with a
 * limit and the crash hook of the repair and release. Not installed.
 */
#ifndef LIB_POW_OWNER_INTERNAL_H
#define LIB_POW_OWNER_INTERNAL_H

#include "LIB_POW_owner.h"
#include "LIB_POW_table.h"
#include "PLAT_semLib.h"

#include <functional>
#include <type_traits>
#include <string>
#include <sys/stat.h>
#include <vector>

/* The seam: every system call that makes, changes, maps, reads or removes
 * an object goes through this table, so that a test can make any one of
 * them fail and see that nothing is left half made. */
struct OwnerSys {
    int (*shm_open)(const char* name, int oflag, mode_t mode);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* st);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*fchmod)(int fd, mode_t mode);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*link)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*rmdir)(const char* path);
    ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void* buffer, size_t count, off_t offset);
};
extern OwnerSys g_ownerSys;
extern const OwnerSys kOwnerRealSys;

/* Fills `error` (when not null) with errno `code` and a printf-style line;
 * returns -1 so a failing path can end in one statement. */
int ownerFail(LIB_POW_OwnerError* error, int code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* ownerFail for a failed system call: "CALL(WHAT) failed: <strerror(code)>". */
int callFailed(LIB_POW_OwnerError* error, int code, const char* call, const char* what);

/* `names`, or the device's names for null. */
const LIB_POW_Names& ownerNames(const LIB_POW_Names* names);

/* Whether the owner keeps delay index `index` off the free stack: a null
 * policy keeps index 0 only. */
inline bool keptOff(const LIB_POW_Policy* policy, unsigned index)
{
    return policy != nullptr ? policy->keptOff[index] != 0 : index == 0;
}

/* Takes semaphore `name` (made when missing) within timeoutMs (-1: no
 * limit); the handle, or 0 with `error` set (ETIMEDOUT names the holder). */
SemId ownerTake(const char* name, int timeoutMs, LIB_POW_OwnerError* error);

/* A copy of the power area, each field read whole as its writers store it. */
void copyPowerWords(const PwrSharedArea& area, PwrSharedArea& copy);

/* Maps the power area (read-write, or read only), takes POW within
 * timeoutMs, runs `work` on the area and gives POW back: work's result, or
 * -1 with `error` set when the area or POW was not had. */
int withPowHeld(const LIB_POW_Names* names, bool writable, int timeoutMs, LIB_POW_OwnerError* error,
                const std::function<int(PwrSharedArea&)>& work);

/* work() under LIB_POW_ownerGuard: its result, or `faulted` when a SIGBUS
 * (an object cut short under a mapping) ended it. */
template <typename F>
int guarded(int faulted, F&& work)
{
    using Work = std::remove_reference_t<F>;
    return LIB_POW_ownerGuard([](void* context) { return (*static_cast<Work*>(context))(); }, &work, faulted);
}

/* The processes other than this one that have `object` (its device and
 * inode) open or mapped, as far as /proc lets this process see. */
std::vector<pid_t> processesUsing(const struct stat& object);
/* Whether process `pid` could open an object of that owner, group and
 * mode read-write (root, the owner, a member of the group where the group
 * may, anyone where others may); false when it cannot be looked at. */
bool processMayUse(pid_t pid, uid_t owner, gid_t group, mode_t mode);
/* "name" from /proc/PID/comm, "ended" when gone; "pid 1 (a), pid 2 (b)". */
std::string processName(pid_t pid);
std::string processList(const std::vector<pid_t>& pids);

/* Null except in crash tests: called after each store of a repair (an
 * OwnerRepairStep) or a release (a TableStep of LIB_POW_table.h), while
 * POW is held, so that a test can kill the process right there. */
enum OwnerRepairStep {
    kRepairFreeCountCut = 1, /* free count lowered to 256 */
    kRepairTopMoved,         /* the top entry copied into a bad entry's place */
    kRepairEntryDropped,     /* free count lowered by one */
    kRepairTotalLowered,     /* total set to the sum of the counts */
    kRepairNoteRaised,       /* none-reserved note raised */
    kRepairPushEntry,        /* lost index written above the top */
    kRepairPushed,           /* free count raised over it */
};
extern void (*g_ownerCrashPoint)(int step);

#endif
