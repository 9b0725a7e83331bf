/*
 * LIB_POW_owner.cpp - making, mapping and removing the power service's
 * shared objects, and the owner's semaphore takes.
 */
#include "LIB_POW_owner_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <pwd.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const OwnerSys kOwnerRealSys = {shm_open, ftruncate, fstat, fchown, fchmod, mmap, link, unlink, rmdir, pread, pwrite};
OwnerSys g_ownerSys = kOwnerRealSys;

namespace {

/* glibc keeps POSIX shared memory here; publishing by link() needs paths. */
const char kShmDir[] = "/dev/shm";

const LIB_POW_Names kDeviceNames = {
    LIB_POW_PWR_AREA_NAME, LIB_POW_NVD_AREA_NAME, LIB_POW_SEMLOG_AREA_NAME,
    LIB_POW_SEM_POW_NAME,  LIB_POW_SEM_NVD_NAME,  LIB_POW_SEM_RDY_NAME,
};

const LIB_POW_CreateOptions kDefaultCreate = {0, 0, -1, nullptr, 0, nullptr};

/* What a guarded call gives back when a fault ended it. */
constexpr int kFaulted = -1000;

std::string userName(uid_t uid)
{
    passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    group* gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

unsigned modeBits(const struct stat& st)
{
    return st.st_mode & 07777;
}

/* Owner, group and mode, as messages give them. */
std::string accessText(const struct stat& st)
{
    char text[200];
    return LIB_POW_ownerAccessText(st.st_uid, st.st_gid, modeBits(st), text, sizeof text);
}

/* What stands at a name, for messages: a link is itself, not its target. */
const char* kindOf(mode_t mode)
{
    return S_ISLNK(mode) ? "a symbolic link" : S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode)                  ? "a socket"
           : S_ISREG(mode)                   ? "a regular file"
                                             : "a device";
}

std::string shmPath(const std::string& name)
{
    return kShmDir + name;
}

/* The platform keeps semaphore `name` in this object. */
std::string semObjectName(const char* name)
{
    return std::string("/" PLAT_SEM_OBJECT_PREFIX) + name;
}

/* Every name in /dev/shm is opened as what it must be: a link is never
 * followed, and a FIFO never makes the open wait for a writer. */
int openName(const char* name, int flags)
{
    return g_ownerSys.shm_open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
}

/* One line for something other than a regular file standing at a name. */
int notAnObject(const char* name, const struct stat& st, LIB_POW_OwnerError* error)
{
    return ownerFail(error, EEXIST, "%s is %s, not a regular file (owner %s, mode %04o)", name,
                     kindOf(st.st_mode), userName(st.st_uid).c_str(), modeBits(st));
}

/* A refused open, told apart by its cause, with the object's owner and mode
 * when the refusal is a permission one. */
int openFailure(const char* name, int err, LIB_POW_OwnerError* error)
{
    if (err == ENOENT)
        return ownerFail(error, err, "%s does not exist", name);
    struct stat st;
    bool seen = lstat(shmPath(name).c_str(), &st) == 0;
    if ((err == EACCES || err == EPERM) && seen)
        return ownerFail(error, err, "%s: permission denied (%s)", name, accessText(st).c_str());
    if (seen && !S_ISREG(st.st_mode)) /* ELOOP, EISDIR, ENXIO: a link, a directory, a device */
        return notAnObject(name, st, error);
    return callFailed(error, err, "shm_open", name);
}

/* A squatted object we may not remove: /dev/shm is sticky, so only the
 * object's owner (or root) can, whatever the group says. */
int removalFailure(const char* what, const char* path, int err, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return ownerFail(error, err, "cannot remove %s: %s", what, strerror(err));
    std::string owner = userName(st.st_uid);
    if (err == ENOTEMPTY) /* Linux's word for it; POSIX also allows EEXIST */
        return ownerFail(error, err,
                         "cannot remove %s: a directory with entries in it (owner %s, mode %04o); look at "
                         "them and remove it by hand",
                         what, owner.c_str(), modeBits(st));
    if (err != EPERM && err != EACCES)
        return ownerFail(error, err, "cannot remove %s (%s): %s", what, kindOf(st.st_mode), strerror(err));
    return ownerFail(error, err,
                     "cannot remove %s (owner %s, mode %04o): in the sticky %s only its owner or root may; "
                     "remove it as root",
                     what, owner.c_str(), modeBits(st), kShmDir);
}

/* Removes whatever stands at `path`: an object, a link (not its target), a
 * FIFO, an empty directory. Nothing there is fine. */
int removeName(const char* what, const std::string& path, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : ownerFail(error, errno, "cannot look at %s: %s", what, strerror(errno));
    if ((S_ISDIR(st.st_mode) ? g_ownerSys.rmdir(path.c_str()) : g_ownerSys.unlink(path.c_str())) == 0 || errno == ENOENT)
        return 0;
    return removalFailure(what, path.c_str(), errno, error);
}

/* One line for an object shorter than its layout. */
int tooShort(const char* name, const struct stat& st, size_t size, LIB_POW_OwnerError* error)
{
    return ownerFail(error, EINVAL, "%s is %lld bytes, needs %zu", name, static_cast<long long>(st.st_size), size);
}

/* An object a client could not map without faulting: not a regular file,
 * or shorter than its layout. */
int checkShape(int fd, const char* name, size_t size, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (g_ownerSys.fstat(fd, &st) != 0)
        return callFailed(error, errno, "fstat", name);
    if (!S_ISREG(st.st_mode))
        return notAnObject(name, st, error);
    if (static_cast<size_t>(st.st_size) < size)
        return tooShort(name, st, size, error);
    return 0;
}

/* One of the six objects as a set-up sees it. */
struct Kind {
    unsigned object;   /* its LIB_POW_OBJ_ bit */
    const char* name;  /* as in LIB_POW_Names */
    size_t size;       /* an area's layout; 0 for a semaphore */
    const char* guard; /* the semaphore a rewrite of the area holds, or null */
    bool semaphore() const { return size == 0; }
};

/* Its name for shm_open, its path in /dev/shm, and its name in messages. */
std::string shmNameOf(const Kind& k)
{
    return k.semaphore() ? semObjectName(k.name) : k.name;
}

std::string pathOf(const Kind& k)
{
    return shmPath(shmNameOf(k));
}

std::string labelOf(const Kind& k)
{
    return k.semaphore() ? std::string("semaphore ") + k.name : k.name;
}

/* Maps `size` bytes of the object behind `fd` shared: the mapping, or null
 * with `error` set. */
void* mapShared(int fd, size_t size, bool writable, const char* what, LIB_POW_OwnerError* error)
{
    void* area = g_ownerSys.mmap(nullptr, size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    if (area != MAP_FAILED)
        return area;
    callFailed(error, errno, "mmap", what);
    return nullptr;
}

/* Writes the first content through a writable mapping of the whole
 * object, which it then unmaps. */
int fillObject(void* area, const Kind& kind, const LIB_POW_CreateOptions& options, const char* what,
               LIB_POW_OwnerError* error)
{
    int rc = guarded(-1, [&] {
        memset(area, 0, kind.size);
        if (kind.object == LIB_POW_OBJ_PWR)
            LIB_POW_ownerInitPower(static_cast<PwrSharedArea*>(area), options.index0Pid, options.policy);
        return 0;
    });
    munmap(area, kind.size);
    return rc == 0 ? 0 : ownerFail(error, EFAULT, "%s was cut short while being written", what);
}

/* The access one set-up gives every object it makes, and every object it
 * adopts when the caller asked for a group or a mode. */
struct Access {
    bool asked;
    gid_t group; /* (gid_t)-1: none asked */
    mode_t mode;
};

int resolveAccess(const LIB_POW_CreateOptions& o, Access& access, LIB_POW_OwnerError* error)
{
    access = {o.group != nullptr || o.mode != 0, static_cast<gid_t>(-1), static_cast<mode_t>(o.mode)};
    if (o.group != nullptr) {
        char* end = nullptr;
        unsigned long number = strtoul(o.group, &end, 10);
        group* gr = getgrnam(o.group);
        if (gr != nullptr)
            access.group = gr->gr_gid;
        else if (o.group[0] >= '0' && o.group[0] <= '9' && *end == '\0')
            access.group = static_cast<gid_t>(number);
        else
            return ownerFail(error, EINVAL, "group %s does not exist", o.group);
    }
    unsigned working = o.group != nullptr ? 0660 : 0666; /* the default, and the mode messages offer */
    if (access.mode == 0)
        access.mode = working;
    /* Every client opens every object read-write: a mode that takes that
     * from the owner or the group locks the device's own processes out. */
    if ((o.mode & ~0666u) != 0)
        return ownerFail(error, EINVAL, "mode %04o has bits other than read and write: give one like %04o", o.mode,
                         working);
    if ((access.mode & 0660) != 0660)
        return ownerFail(error, EINVAL,
                         "mode %04o locks clients out (each opens every object read-write, so owner and group "
                         "need both): give one like %04o",
                         static_cast<unsigned>(access.mode), working);
    if (o.group != nullptr && (access.mode & 0007) != 0)
        return ownerFail(error, EINVAL, "mode %04o lets other users in beside the group: give one like 0660",
                         static_cast<unsigned>(access.mode));
    return 0;
}

/* What an adopted object ends with: this user's, with the group and mode
 * asked, or those it has when none was asked. */
struct Wanted {
    uid_t owner;
    gid_t group;
    mode_t mode;
};

Wanted wantedFor(const struct stat& st, const Access& a)
{
    return {geteuid(), a.group != static_cast<gid_t>(-1) ? a.group : st.st_gid,
            a.asked ? a.mode : static_cast<mode_t>(st.st_mode & 07777)};
}

/* Gives the object behind `fd` the wanted owner, group and mode, on the
 * object itself, so whoever has it open keeps the very same one. `changes`
 * gets what changed ("" when nothing did). */
int applyWanted(int fd, const std::string& what, const struct stat& st, const Access& access, std::string& changes,
                LIB_POW_OwnerError* error)
{
    Wanted w = wantedFor(st, access);
    bool newOwner = st.st_uid != w.owner, newGroup = st.st_gid != w.group;
    unsigned mode = modeBits(st);
    if ((newOwner || newGroup) && g_ownerSys.fchown(fd, newOwner ? w.owner : static_cast<uid_t>(-1), w.group) != 0) {
        int err = errno; /* the look-up of the names may change it */
        return callFailed(error, err, "fchown", (what + ", " + userName(w.owner) + ":" + groupName(w.group)).c_str());
    }
    /* fchmod also after a change of owner, which drops set-id bits. */
    if ((mode != w.mode || newOwner || newGroup) && g_ownerSys.fchmod(fd, w.mode) != 0)
        return callFailed(error, errno, "fchmod", what.c_str());
    char modes[40];
    snprintf(modes, sizeof modes, "mode %04o -> %04o", mode, static_cast<unsigned>(w.mode));
    changes.clear();
    auto note = [&changes](const std::string& change) { changes += (changes.empty() ? "" : ", ") + change; };
    if (newOwner)
        note("owner " + userName(st.st_uid) + " -> " + userName(w.owner));
    if (newGroup)
        note("group " + groupName(st.st_gid) + " -> " + groupName(w.group));
    if (mode != w.mode)
        note(modes);
    return 0;
}

/* Gives a new object the access asked, before anyone can open it. */
int applyAccess(int fd, const char* what, const Access& a, LIB_POW_OwnerError* error)
{
    if (a.group != static_cast<gid_t>(-1) && g_ownerSys.fchown(fd, static_cast<uid_t>(-1), a.group) != 0) {
        int err = errno;
        return callFailed(error, err, "fchown", (std::string(what) + ", group " + std::to_string(a.group)).c_str());
    }
    if (g_ownerSys.fchmod(fd, a.mode) != 0) /* whatever our umask */
        return callFailed(error, errno, "fchmod", what);
    return 0;
}

/* Writes a new area whole under a private name, then links it into place.
 * Sets *exists when someone else published the name first. */
int publishArea(const Kind& kind, const Access& access, const LIB_POW_CreateOptions& options, bool* exists,
                LIB_POW_OwnerError* error)
{
    *exists = false;
    std::string tmpName = std::string(kind.name) + ".new." + std::to_string(getpid());
    std::string tmpPath = kShmDir + tmpName, path = kShmDir + std::string(kind.name);
    /* One left by an earlier process of our pid that ended halfway. */
    g_ownerSys.unlink(tmpPath.c_str());
    int fd = g_ownerSys.shm_open(tmpName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd == -1)
        return callFailed(error, errno, "shm_open", tmpName.c_str());
    int rc = applyAccess(fd, tmpName.c_str(), access, error);
    if (rc == 0 && g_ownerSys.ftruncate(fd, static_cast<off_t>(kind.size)) != 0)
        rc = callFailed(error, errno, "ftruncate", tmpName.c_str());
    void* area = rc == 0 ? mapShared(fd, kind.size, true, tmpName.c_str(), error) : nullptr;
    if (rc == 0)
        rc = area != nullptr ? fillObject(area, kind, options, tmpName.c_str(), error) : -1;
    close(fd);
    if (rc == 0 && g_ownerSys.link(tmpPath.c_str(), path.c_str()) != 0) {
        *exists = errno == EEXIST;
        rc = *exists ? -1 : callFailed(error, errno, "link", path.c_str());
    }
    g_ownerSys.unlink(tmpPath.c_str());
    return rc;
}

/* Makes a missing object: an area published whole, a semaphore by the
 * platform (which publishes it whole too, or hands back one another
 * process made meanwhile: the caller judges it next). */
int makeObject(const Kind& kind, const Access& access, const LIB_POW_CreateOptions& options, bool* exists,
               LIB_POW_OwnerError* error)
{
    *exists = false;
    if (!kind.semaphore())
        return publishArea(kind, access, options, exists, error);
    if (PLAT_semBCreateAccess(0, SEM_FULL, kind.name, access.group, access.mode) != 0)
        return 0;
    return callFailed(error, PLAT_errnoGet(), "PLAT_semBCreateAccess", kind.name);
}

/* One set-up: its options, the access it gives, where its failure goes. */
struct SetUp {
    const LIB_POW_SetUpOptions& o;
    Access access;
    LIB_POW_OwnerError* error;

    void report(const Kind& kind, LIB_POW_ObjectAction action, const std::string& text) const
    {
        if (o.report == nullptr)
            return;
        LIB_POW_ObjectReport r = {kind.object, kind.name, action, {}};
        snprintf(r.text, sizeof r.text, "%s", text.c_str());
        o.report(&r, o.context);
    }
    bool asked(const Kind& kind) const { return (o.remake & kind.object) != 0; }
    /* The calendar's days are about to go: the caller may keep them. */
    int calendarLost(const Kind& kind, int fd) const
    {
        if (kind.object != LIB_POW_OBJ_NVD || fd == -1 || o.beforeCalendarLost == nullptr ||
            o.beforeCalendarLost(fd, o.context) == 0)
            return 0;
        return ownerFail(error, ECANCELED, "%s left as it is: its days could not be kept first", kind.name);
    }
};

/* Why the object at a name cannot be adopted, naming it, its owner and
 * mode; "" when it can: a regular file this process may open, of its own
 * user, or of any user when it runs as root and every process that has
 * the object could still use it under the new access (taken over, it must
 * not stay in the hands of one that could not). */
std::string notAdoptable(const SetUp& run, const Kind& kind, int fd, int openErr, const struct stat& st)
{
    std::string what = labelOf(kind);
    if (!S_ISREG(st.st_mode))
        return what + " is " + kindOf(st.st_mode) + ", not a regular file (" + accessText(st) + ")";
    if (fd == -1)
        return what + ": " + strerror(openErr) + " (" + accessText(st) + ")";
    if (st.st_uid == geteuid())
        return "";
    if (geteuid() != 0)
        return what + " belongs to " + userName(st.st_uid) + ", not to this service's user " + userName(geteuid()) +
               " (" + accessText(st) + "), and only root may take it over";
    Wanted w = wantedFor(st, run.access);
    for (pid_t pid : processesUsing(st))
        if (!processMayUse(pid, w.owner, w.group, w.mode))
            return what + " belongs to " + userName(st.st_uid) + " (" + accessText(st) +
                   "), and a process the new access shuts out has it";
    return "";
}

/* Takes semaphore `name` for a rewrite when there is one to take. */
SemId takeGuard(const Kind& kind, const SetUp& run)
{
    return kind.guard != nullptr ? ownerTake(kind.guard, run.o.create.timeoutMs, run.error) : nullptr;
}

void giveGuard(SemId guard)
{
    if (guard != nullptr)
        guarded(0, [guard] { return PLAT_semGive(guard); });
}

/* Rewrites an area in place under its guard, so that clients that have it
 * mapped see the fresh content and never a half-written one; it gets the
 * wanted access, and a short one is lengthened (a longer one keeps its
 * tail). */
int rewriteArea(const SetUp& run, const Kind& kind, int fd, const struct stat& found, std::string& changes)
{
    SemId guard = takeGuard(kind, run);
    if (kind.guard != nullptr && guard == nullptr)
        return -1;
    /* Mapped before it is lengthened: a failure leaves it as it was. */
    int rc = run.calendarLost(kind, fd);
    if (rc == 0)
        rc = applyWanted(fd, kind.name, found, run.access, changes, run.error);
    void* area = rc == 0 ? mapShared(fd, kind.size, true, kind.name, run.error) : nullptr;
    if (rc == 0 && area == nullptr)
        rc = -1;
    if (rc == 0 && static_cast<size_t>(found.st_size) < kind.size &&
        g_ownerSys.ftruncate(fd, static_cast<off_t>(kind.size)) != 0)
        rc = callFailed(run.error, errno, "ftruncate", kind.name);
    if (area != nullptr && rc == 0)
        rc = fillObject(area, kind, run.o.create, kind.name, run.error);
    else if (area != nullptr)
        munmap(area, kind.size);
    giveGuard(guard);
    return rc;
}

/* A whole object, or one to mend in place: adopted, kept or re-made. */
int adopt(const SetUp& run, const Kind& kind, int fd, const struct stat& st, bool justMade)
{
    std::string what = labelOf(kind), changes;
    auto outcome = [&](const char* found) {
        if (!changes.empty())
            run.report(kind, LIB_POW_OBJECT_ADOPTED, what + " adopted in place: " + changes);
        else
            run.report(kind, justMade ? LIB_POW_OBJECT_MADE : LIB_POW_OBJECT_KEPT,
                       what + (justMade ? " made (" : " kept: " + std::string(found) + " (") + accessText(st) + ")");
        return 0;
    };
    if (kind.semaphore()) {
        char why[200] = "";
        int verdict = PLAT_semCheck(kind.name, why, sizeof why);
        if (verdict < 0)
            return ownerFail(run.error, PLAT_errnoGet(), "%s cannot be checked: %s", what.c_str(),
                             strerror(PLAT_errnoGet()));
        if (applyWanted(fd, what, st, run.access, changes, run.error) != 0)
            return -1;
        if (verdict == 0)
            return outcome(run.asked(kind) ? "whole (a whole semaphore is never rewritten: it may be held)" : "whole");
        if (PLAT_semRemake(kind.name) != 0 && PLAT_errnoGet() != EBUSY) /* EBUSY: mended by someone else */
            return ownerFail(run.error, PLAT_errnoGet(), "%s %s and could not be re-made: %s", what.c_str(), why,
                             strerror(PLAT_errnoGet()));
        run.report(kind, LIB_POW_OBJECT_REMADE,
                   what + " " + why + ": re-made in its own file, free" + (changes.empty() ? "" : "; " + changes));
        return 0;
    }
    bool isShort = static_cast<size_t>(st.st_size) < kind.size;
    if (isShort && !run.o.create.reset && !run.asked(kind))
        return tooShort(kind.name, st, kind.size, run.error);
    if (!isShort && !run.asked(kind))
        return applyWanted(fd, what, st, run.access, changes, run.error) != 0 ? -1 : outcome("whole");
    if (rewriteArea(run, kind, fd, st, changes) != 0)
        return -1;
    std::string done = isShort ? " was " + std::to_string(st.st_size) + " bytes, needs " + std::to_string(kind.size) +
                                     ": lengthened and rewritten in place"
                               : " rewritten to its first content in place, as asked";
    run.report(kind, LIB_POW_OBJECT_REMADE, what + done + (changes.empty() ? "" : "; " + changes));
    return 0;
}

/* An object that cannot be adopted: refused, or with a reset removed and
 * made anew, under its guard, while nobody has it (or forced, naming who
 * does: they keep the old one until they restart). */
int replace(const SetUp& run, const Kind& kind, int fd, const struct stat& st, const std::string& why)
{
    if (!run.o.create.reset && !run.asked(kind))
        return ownerFail(run.error, EEXIST, "%s", why.c_str());
    /* The removal would be refused (the directory is sticky): say so before
     * anything is taken, so a refusal leaves every object as it was. */
    if (geteuid() != 0 && st.st_uid != geteuid())
        return removalFailure(labelOf(kind).c_str(), pathOf(kind).c_str(), EPERM, run.error);
    std::vector<pid_t> users = processesUsing(st);
    std::string list = processList(users);
    if (!users.empty() && !run.o.force)
        return ownerFail(run.error, EBUSY, "%s; in use by %s: left in place (stop them first: replaced by force, "
                                           "it would leave them on the old one)", why.c_str(), list.c_str());
    SemId guard = takeGuard(kind, run);
    if (kind.guard != nullptr && guard == nullptr)
        return -1;
    int rc = S_ISREG(st.st_mode) ? run.calendarLost(kind, fd) : 0;
    bool exists = false;
    if (rc == 0)
        rc = removeName(labelOf(kind).c_str(), pathOf(kind), run.error);
    if (rc == 0)
        rc = makeObject(kind, run.access, run.o.create, &exists, run.error);
    if (rc != 0 && exists)
        rc = ownerFail(run.error, EEXIST, "%s was made again by someone else while being replaced", kind.name);
    giveGuard(guard);
    if (rc == 0)
        run.report(kind, LIB_POW_OBJECT_REPLACED,
                   why + ": replaced" + (users.empty() ? "" : "; " + list + " still " +
                                                                   (users.size() == 1 ? "uses" : "use") +
                                                                   " the old one and must restart"));
    return rc;
}

int setUpObject(const SetUp& run, const Kind& kind)
{
    bool justMade = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openName(shmNameOf(kind).c_str(), O_RDWR);
        int openErr = errno;
        if (fd == -1 && openErr == ENOENT) {
            bool exists = false;
            if (makeObject(kind, run.access, run.o.create, &exists, run.error) != 0 && !exists)
                return -1;
            if (!exists && !kind.semaphore()) {
                struct stat st = {};
                stat(pathOf(kind).c_str(), &st);
                run.report(kind, LIB_POW_OBJECT_MADE, labelOf(kind) + " made (" + accessText(st) + ")");
                return 0;
            }
            justMade = !exists; /* a semaphore: judge what the platform handed back */
            continue;
        }
        struct stat st;
        /* A symbolic link or a directory in our place is judged as itself. */
        if (fd == -1 ? lstat(pathOf(kind).c_str(), &st) != 0 : g_ownerSys.fstat(fd, &st) != 0) {
            if (fd == -1 && errno == ENOENT)
                continue; /* gone meanwhile */
            int err = errno;
            if (fd != -1)
                close(fd);
            return callFailed(run.error, err, fd == -1 ? "lstat" : "fstat", labelOf(kind).c_str());
        }
        std::string why = notAdoptable(run, kind, fd, openErr, st);
        int rc = why.empty() ? adopt(run, kind, fd, st, justMade) : replace(run, kind, fd, st, why);
        if (fd != -1)
            close(fd);
        return rc;
    }
    return ownerFail(run.error, EAGAIN, "%s keeps appearing and vanishing", labelOf(kind).c_str());
}

/* The calendar under NVD, read or written through a descriptor: `work`
 * gets it and the object's length. */
int withCalendar(const LIB_POW_Names* names, bool writable, int timeoutMs, LIB_POW_OwnerError* error,
                 const std::function<int(int fd, size_t bytes)>& work)
{
    const LIB_POW_Names& n = ownerNames(names);
    int fd = LIB_POW_ownerOpen(n.nvdArea, writable ? sizeof(NvdSharedArea) : 0, writable, error);
    if (fd == -1)
        return -1;
    SemId nvd = ownerTake(n.semNvd, timeoutMs, error);
    struct stat st = {};
    int rc = nvd == 0 ? -1 : g_ownerSys.fstat(fd, &st) != 0 ? callFailed(error, errno, "fstat", n.nvdArea)
                                               : work(fd, static_cast<size_t>(st.st_size));
    if (nvd != 0)
        guarded(0, [nvd] { return PLAT_semGive(nvd); });
    close(fd);
    return rc;
}

constexpr off_t kDaysAt = offsetof(NvdSharedArea, ul_DateOnBits);
constexpr size_t kDaysSize = sizeof(NvdSharedArea::ul_DateOnBits);

} // namespace

int ownerFail(LIB_POW_OwnerError* error, int code, const char* format, ...)
{
    if (error != nullptr) {
        error->code = code;
        va_list args;
        va_start(args, format);
        vsnprintf(error->text, sizeof error->text, format, args);
        va_end(args);
    }
    return -1;
}

int callFailed(LIB_POW_OwnerError* error, int code, const char* call, const char* what)
{
    return ownerFail(error, code, "%s(%s) failed: %s", call, what, strerror(code));
}

const LIB_POW_Names& ownerNames(const LIB_POW_Names* names)
{
    return names != nullptr ? *names : kDeviceNames;
}

SemId ownerTake(const char* name, int timeoutMs, LIB_POW_OwnerError* error)
{
    SemId sem = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name));
    if (sem == 0) {
        callFailed(error, PLAT_errnoGet(), "PLAT_semBCreate", name);
        return 0;
    }
    int rc = guarded(kFaulted, [&] { return PLAT_semTake(sem, timeoutMs < 0 ? PLAT_WAIT_FOREVER : timeoutMs); });
    if (rc == 0)
        return sem;
    int err = PLAT_errnoGet();
    if (rc == kFaulted)
        ownerFail(error, EFAULT, "semaphore %s was cut short while being taken", name);
    else if (err == ETIMEDOUT || err == EAGAIN)
        ownerFail(error, ETIMEDOUT, "%s still held by pid %d after %d ms", name,
                  guarded(-1, [sem] { return PLAT_semHolder(sem); }), timeoutMs);
    else
        callFailed(error, err, "PLAT_semTake", name);
    return 0;
}

void LIB_POW_ownerInitPower(PwrSharedArea* area, pid_t index0Pid, const LIB_POW_Policy* policy)
{
    memset(area, 0, sizeof *area);
    area->sl_DelayPid[0] = index0Pid;
    /* The top of the stack is the last entry in use: 255, 254, ..., 1. */
    int num = 0;
    for (int i = LIB_POW_DELAY_INDEX_COUNT - 1; i >= 0; --i) {
        if (!keptOff(policy, static_cast<unsigned>(i)) && area->sl_DelayPid[i] == 0)
            area->us_FreeIndex[num++] = static_cast<uint16_t>(i);
    }
    area->us_FreeIndexNum = static_cast<uint16_t>(num);
}

int LIB_POW_ownerCreate(const LIB_POW_Names* names, const LIB_POW_CreateOptions* options,
                        LIB_POW_OwnerError* error)
{
    LIB_POW_SetUpOptions setUp = {};
    setUp.create = options != nullptr ? *options : kDefaultCreate;
    return LIB_POW_ownerSetUp(names, &setUp, error);
}

int LIB_POW_ownerSetUp(const LIB_POW_Names* names, const LIB_POW_SetUpOptions* options, LIB_POW_OwnerError* error)
{
    const LIB_POW_Names& n = ownerNames(names);
    SetUp run = {*options, {}, error};
    if (resolveAccess(options->create, run.access, error) != 0)
        return -1;
    /* Semaphores first: a rewrite of an area holds the one that guards it. */
    const Kind kinds[] = {{LIB_POW_OBJ_SEM_POW, n.semPow, 0, nullptr},
                          {LIB_POW_OBJ_SEM_NVD, n.semNvd, 0, nullptr},
                          {LIB_POW_OBJ_SEM_RDY, n.semRdy, 0, nullptr},
                          {LIB_POW_OBJ_PWR, n.pwrArea, LIB_POW_PWR_AREA_SIZE, n.semPow},
                          {LIB_POW_OBJ_NVD, n.nvdArea, LIB_POW_NVD_AREA_SIZE, n.semNvd},
                          {LIB_POW_OBJ_SEMLOG, n.semLogArea, LIB_POW_SEMLOG_AREA_SIZE, nullptr}};
    for (const Kind& kind : kinds)
        if ((options->remake == 0 || (options->remake & kind.object) != 0) && setUpObject(run, kind) != 0)
            return -1;
    return 0;
}

int LIB_POW_ownerCheckAccess(const LIB_POW_CreateOptions* options, LIB_POW_OwnerError* error)
{
    Access access;
    return resolveAccess(options != nullptr ? *options : kDefaultCreate, access, error);
}

int LIB_POW_ownerRemove(const LIB_POW_Names* names, LIB_POW_OwnerError* error)
{
    const LIB_POW_Names& n = ownerNames(names);
    for (const char* area : {n.pwrArea, n.nvdArea, n.semLogArea})
        if (removeName(area, shmPath(area), error) != 0)
            return -1;
    for (const char* sem : {n.semPow, n.semNvd, n.semRdy})
        if (removeName((std::string("semaphore ") + sem).c_str(), shmPath(semObjectName(sem)), error) != 0)
            return -1;
    return 0;
}

int LIB_POW_ownerOpen(const char* name, size_t size, int writable, LIB_POW_OwnerError* error)
{
    int fd = openName(name, writable ? O_RDWR : O_RDONLY);
    if (fd == -1)
        return openFailure(name, errno, error);
    if (checkShape(fd, name, size, error) == 0)
        return fd;
    close(fd);
    return -1;
}

void* LIB_POW_ownerMap(const char* name, size_t size, int writable, LIB_POW_OwnerError* error)
{
    int fd = LIB_POW_ownerOpen(name, size, writable, error);
    if (fd == -1)
        return nullptr;
    void* area = mapShared(fd, size, writable, name, error);
    close(fd);
    return area;
}

void copyPowerWords(const PwrSharedArea& a, PwrSharedArea& copy)
{
    memset(&copy, 0, sizeof copy);
    copy.DelayTaskNum = loadWord(a.DelayTaskNum);
    for (int i = 0; i < LIB_POW_DELAY_INDEX_COUNT; ++i) {
        copy.sl_DelayPid[i] = loadWord(a.sl_DelayPid[i]);
        copy.ss_DelayCount[i] = loadWord(a.ss_DelayCount[i]);
        copy.us_FreeIndex[i] = loadWord(a.us_FreeIndex[i]);
    }
    copy.us_FreeIndexNum = loadWord(a.us_FreeIndexNum);
    copy.uc_ResetAutoSleepTimer = loadWord(a.uc_ResetAutoSleepTimer);
    copy.b_DelayPowerSaveTaskNoneReserved = loadWord(a.b_DelayPowerSaveTaskNoneReserved);
    copy.b_HddSleepDelay = loadWord(a.b_HddSleepDelay);
    copy.b_HddReady = loadWord(a.b_HddReady);
}

namespace {

/* Maps the trace area and runs `work` on it under the SIGBUS guard. */
int withSemLog(const LIB_POW_Names* names, bool writable, LIB_POW_OwnerError* error,
               const std::function<void(SemLogArea&)>& work)
{
    const char* name = ownerNames(names).semLogArea;
    auto* area = static_cast<SemLogArea*>(LIB_POW_ownerMap(name, sizeof(SemLogArea), writable, error));
    if (area == nullptr)
        return -1;
    int rc = guarded(kFaulted, [&] {
        work(*area);
        return 0;
    });
    munmap(area, sizeof *area);
    return rc == 0 ? 0 : ownerFail(error, EFAULT, "%s was cut short while in use", name);
}

template <size_t N>
void copyText(const char (&from)[N], char (&to)[N])
{
    for (size_t n = 0; n < N; ++n)
        to[n] = loadWord(from[n]);
}

template <size_t N>
void storeText(char (&to)[N], const char (&from)[N])
{
    for (size_t n = 0; n < N; ++n)
        storeWord(to[n], from[n]);
}

/* The end mark, PID and TID, last. */
void storeRecord(SemLogRecord& to, const SemLogRecord& from)
{
    storeWord(to.tic, from.tic);
    storeText(to.SemName, from.SemName);
    storeWord(to.SemID, from.SemID);
    storeText(to.Status, from.Status);
    storeWord(to.Value, from.Value);
    storeWord(to.TID, from.TID);
    storeWord(to.PID, from.PID);
}

} // namespace

int LIB_POW_ownerCopyPower(const LIB_POW_Names* names, int tryPow, PwrSharedArea* copy, int* underPow,
                           pid_t* powHolder, LIB_POW_OwnerError* error)
{
    const LIB_POW_Names& n = ownerNames(names);
    auto* area = static_cast<const PwrSharedArea*>(LIB_POW_ownerMap(n.pwrArea, sizeof *copy, 0, error));
    if (area == nullptr)
        return -1;
    SemId pow = tryPow ? PLAT_semOpen(n.semPow) : 0;
    bool taken = false;
    pid_t holder = 0;
    int rc = guarded(kFaulted, [&] {
        taken = pow != 0 && PLAT_semTake(pow, PLAT_NO_WAIT) == 0;
        holder = pow != 0 && !taken ? PLAT_semHolder(pow) : 0;
        copyPowerWords(*area, *copy);
        return 0;
    });
    if (taken)
        guarded(0, [pow] { return PLAT_semGive(pow); });
    munmap(const_cast<PwrSharedArea*>(area), sizeof *area);
    if (underPow != nullptr)
        *underPow = taken ? 1 : 0;
    if (powHolder != nullptr)
        *powHolder = holder;
    return rc == 0 ? 0 : ownerFail(error, EFAULT, "%s was cut short while being read", n.pwrArea);
}

int LIB_POW_ownerCopySemLog(const LIB_POW_Names* names, SemLogArea* copy, LIB_POW_OwnerError* error)
{
    return withSemLog(names, false, error, [copy](SemLogArea& area) {
        for (int i = 0; i < LIB_POW_SEMLOG_RECORD_COUNT; ++i) {
            const SemLogRecord& from = area.records[i];
            SemLogRecord& to = copy->records[i];
            to = {loadWord(from.tic), loadWord(from.PID), loadWord(from.TID), {}, loadWord(from.SemID), {},
                  loadWord(from.Value)};
            copyText(from.SemName, to.SemName);
            copyText(from.Status, to.Status);
        }
        copy->Count = loadWord(area.Count);
    });
}

int LIB_POW_ownerAppendSemLog(const LIB_POW_Names* names, const SemLogRecord* record, LIB_POW_OwnerError* error)
{
    return withSemLog(names, true, error, [record](SemLogArea& area) {
        int32_t count = loadWord(area.Count);
        int position = count >= 0 && count < LIB_POW_SEMLOG_RECORD_COUNT ? count : 0;
        storeRecord(area.records[position], *record);
        storeWord(area.Count, static_cast<int32_t>(position + 1));
    });
}

int LIB_POW_ownerClearSemLog(const LIB_POW_Names* names, LIB_POW_OwnerError* error)
{
    return withSemLog(names, true, error, [](SemLogArea& area) {
        storeWord(area.Count, static_cast<int32_t>(0));
        for (SemLogRecord& r : area.records)
            storeRecord(r, SemLogRecord{});
    });
}

int withPowHeld(const LIB_POW_Names* names, bool writable, int timeoutMs, LIB_POW_OwnerError* error,
                const std::function<int(PwrSharedArea&)>& work)
{
    const LIB_POW_Names& n = ownerNames(names);
    auto* area = static_cast<PwrSharedArea*>(LIB_POW_ownerMap(n.pwrArea, sizeof(PwrSharedArea), writable, error));
    if (area == nullptr)
        return -1;
    SemId pow = ownerTake(n.semPow, timeoutMs, error);
    int result = -1;
    if (pow != 0) {
        result = guarded(kFaulted, [&] { return work(*area); });
        if (result == kFaulted)
            result = ownerFail(error, EFAULT, "%s was cut short while in use", n.pwrArea);
        guarded(0, [pow] { return PLAT_semGive(pow); });
    }
    munmap(area, sizeof *area);
    return result;
}

int LIB_POW_ownerClaimIndex0(const LIB_POW_Names* names, pid_t pid, int timeoutMs, LIB_POW_OwnerError* error)
{
    return LIB_POW_ownerKeepIndex0(names, nullptr, pid, 0, timeoutMs, nullptr, nullptr, nullptr, error) < 0 ? -1 : 0;
}

pid_t LIB_POW_ownerSemHolder(const char* semName)
{
    SemId sem = PLAT_semOpen(semName);
    return sem != 0 ? guarded(-1, [sem] { return PLAT_semHolder(sem); }) : -1;
}

int LIB_POW_ownerReadCalendar(const LIB_POW_Names* names, NvdSharedArea* copy, size_t* bytes, int timeoutMs,
                              LIB_POW_OwnerError* error)
{
    memset(copy, 0, sizeof *copy);
    return withCalendar(names, false, timeoutMs, error, [&](int fd, size_t length) {
        if (bytes != nullptr)
            *bytes = length;
        ssize_t got = g_ownerSys.pread(fd, copy, sizeof *copy, 0);
        return got < 0 ? callFailed(error, errno, "pread", ownerNames(names).nvdArea) : 0;
    });
}

int LIB_POW_ownerWriteCalendar(const LIB_POW_Names* names, const NvdSharedArea* image, int timeoutMs,
                               LIB_POW_OwnerError* error)
{
    return withCalendar(names, true, timeoutMs, error, [&](int fd, size_t) {
        if (g_ownerSys.pwrite(fd, image->ul_DateOnBits, kDaysSize, kDaysAt) == static_cast<ssize_t>(kDaysSize))
            return 0;
        return callFailed(error, errno != 0 ? errno : EIO, "pwrite", ownerNames(names).nvdArea);
    });
}

const char* LIB_POW_ownerAccessText(uid_t owner, gid_t group, unsigned mode, char* text, size_t size)
{
    if (size > 0)
        snprintf(text, size, "owner %s, group %s, mode %04o", userName(owner).c_str(), groupName(group).c_str(),
                 mode & 07777);
    return text;
}
