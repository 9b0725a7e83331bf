/*
 * LIB_POW_owner.cpp - making, mapping and removing the power service's
 * shared objects, and the owner's semaphore takes.
 */
#include "LIB_POW_owner_internal.h"

#include <cerrno>
#include <cstdarg>
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

namespace {

/* glibc keeps POSIX shared memory here; publishing by link() needs paths. */
const char kShmDir[] = "/dev/shm";

const LIB_POW_Names kDeviceNames = {
    LIB_POW_PWR_AREA_NAME, LIB_POW_NVD_AREA_NAME, LIB_POW_SEMLOG_AREA_NAME,
    LIB_POW_SEM_POW_NAME,  LIB_POW_SEM_NVD_NAME,  LIB_POW_SEM_RDY_NAME,
};

const LIB_POW_CreateOptions kDefaultCreate = {0, 0, -1, nullptr, 0, nullptr};

/* One area as create and reset see it. */
struct AreaKind {
    const char* name;
    size_t size;
    const char* guard; /* the semaphore a rewrite holds, or null */
    bool power;        /* the reservation table: has a first content of its own */
};

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

/* A process's name for messages, "ended" when it is gone. */
std::string processName(pid_t pid)
{
    char path[32], name[32] = {};
    snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    FILE* comm = fopen(path, "re");
    bool got = comm != nullptr && fgets(name, sizeof name, comm) != nullptr;
    if (comm != nullptr)
        fclose(comm);
    name[strcspn(name, "\n")] = '\0';
    return got ? name : "ended";
}

/* What stands at a name, for messages: a link is itself, not its target. */
const char* kindOf(mode_t mode)
{
    return S_ISLNK(mode) ? "a symbolic link" : S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode)                  ? "a socket"
           : S_ISREG(mode)                   ? "a regular file"
                                             : "a device";
}

std::string shmPath(const char* name)
{
    return kShmDir + std::string(name);
}

/* The platform keeps semaphore `name` in this file. */
std::string semPath(const char* name)
{
    return std::string(kShmDir) + "/PLAT_sem." + name;
}

/* Every name in /dev/shm is opened as what it must be: a link is never
 * followed, and a FIFO never makes the open wait for a writer. */
int openName(const char* name, int flags)
{
    return shm_open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
}

/* One line for something other than a regular file standing at a name. */
int notAnObject(const char* name, const struct stat& st, LIB_POW_OwnerError* error)
{
    return ownerFail(error, EEXIST, "%s is %s, not a regular file (owner %s, mode %04o)", name,
                     kindOf(st.st_mode), userName(st.st_uid).c_str(), static_cast<unsigned>(st.st_mode & 07777));
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
        return ownerFail(error, err, "%s: permission denied (owner %s, group %s, mode %04o)", name,
                         userName(st.st_uid).c_str(), groupName(st.st_gid).c_str(),
                         static_cast<unsigned>(st.st_mode & 07777));
    if (seen && !S_ISREG(st.st_mode)) /* ELOOP, EISDIR, ENXIO: a link, a directory, a device */
        return notAnObject(name, st, error);
    return ownerFail(error, err, "shm_open(%s) failed: %s", name, strerror(err));
}

/* A squatted object we may not remove: /dev/shm is sticky, so only the
 * object's owner (or root) can, whatever the group says. */
int removalFailure(const char* what, const char* path, int err, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return ownerFail(error, err, "cannot remove %s: %s", what, strerror(err));
    std::string owner = userName(st.st_uid);
    unsigned mode = static_cast<unsigned>(st.st_mode & 07777);
    if (err == ENOTEMPTY || err == EEXIST)
        return ownerFail(error, err,
                         "cannot remove %s: a directory with entries in it (owner %s, mode %04o); look at "
                         "them and remove it by hand",
                         what, owner.c_str(), mode);
    if (err != EPERM && err != EACCES)
        return ownerFail(error, err, "cannot remove %s (%s): %s", what, kindOf(st.st_mode), strerror(err));
    return ownerFail(error, err,
                     "cannot remove %s (owner %s, mode %04o): in the sticky %s only its owner or root may; "
                     "remove it as root",
                     what, owner.c_str(), mode, kShmDir);
}

/* Removes whatever stands at `path`: an object, a link (not its target), a
 * FIFO, an empty directory. Nothing there is fine. */
int removeName(const char* what, const std::string& path, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : ownerFail(error, errno, "cannot look at %s: %s", what, strerror(errno));
    if ((S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) == 0 || errno == ENOENT)
        return 0;
    return removalFailure(what, path.c_str(), errno, error);
}

/* An object a client could not map without faulting: not a regular file,
 * or shorter than its layout. */
int checkShape(int fd, const char* name, size_t size, LIB_POW_OwnerError* error)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return ownerFail(error, errno, "fstat(%s) failed: %s", name, strerror(errno));
    if (!S_ISREG(st.st_mode))
        return notAnObject(name, st, error);
    if (static_cast<size_t>(st.st_size) < size)
        return ownerFail(error, EINVAL, "%s is %lld bytes, shorter than its layout (%zu bytes)", name,
                         static_cast<long long>(st.st_size), size);
    return 0;
}

/* The first content, written over `size` bytes of a fresh mapping. */
void writeFirstContent(void* area, const AreaKind& kind, const LIB_POW_CreateOptions& options)
{
    memset(area, 0, kind.size);
    if (kind.power)
        LIB_POW_ownerInitPower(static_cast<PwrSharedArea*>(area), options.index0Pid, options.policy);
}

int fillObject(int fd, const AreaKind& kind, const LIB_POW_CreateOptions& options, const char* what,
               LIB_POW_OwnerError* error)
{
    void* area = mmap(nullptr, kind.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (area == MAP_FAILED)
        return ownerFail(error, errno, "mmap(%s) failed: %s", what, strerror(errno));
    writeFirstContent(area, kind, options);
    munmap(area, kind.size);
    return 0;
}

/* The access one create gives every object it makes, and holds existing
 * ones to when the caller asked for a group or a mode. */
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
    const char* working = o.group != nullptr ? "0660" : "0666";
    if (access.mode == 0)
        access.mode = o.group != nullptr ? 0660 : 0666;
    /* Every client opens every object read-write: a mode that takes that
     * from the owner or the group locks the device's own processes out. */
    if ((o.mode & ~0666u) != 0)
        return ownerFail(error, EINVAL, "mode %04o has bits other than read and write: give one like %s", o.mode,
                         working);
    if ((access.mode & 0660) != 0660)
        return ownerFail(error, EINVAL,
                         "mode %04o locks clients out (each opens every object read-write, so owner and group "
                         "need both): give one like %s",
                         static_cast<unsigned>(access.mode), working);
    if (o.group != nullptr && (access.mode & 0007) != 0)
        return ownerFail(error, EINVAL, "mode %04o lets other users in beside the group: give one like 0660",
                         static_cast<unsigned>(access.mode));
    return 0;
}

/* What keeps an existing object from being one this service made as asked,
 * naming it with its owner and mode; empty when nothing does. `size` 0
 * skips the length check (semaphores are the platform's own size). */
std::string whatIsWrong(const std::string& what, const struct stat& st, size_t size, const Access& a)
{
    char text[256];
    std::string owner = userName(st.st_uid), group = groupName(st.st_gid);
    unsigned mode = static_cast<unsigned>(st.st_mode & 07777);
    if (!S_ISREG(st.st_mode))
        snprintf(text, sizeof text, "%s is %s, not a regular file (owner %s, mode %04o)", what.c_str(),
                 kindOf(st.st_mode), owner.c_str(), mode);
    else if (st.st_uid != geteuid())
        snprintf(text, sizeof text, "%s belongs to %s, not to this service's user %s (group %s, mode %04o)",
                 what.c_str(), owner.c_str(), userName(geteuid()).c_str(), group.c_str(), mode);
    else if (a.asked && a.group != static_cast<gid_t>(-1) && st.st_gid != a.group)
        snprintf(text, sizeof text, "%s has group %s, not %s (owner %s, mode %04o)", what.c_str(), group.c_str(),
                 groupName(a.group).c_str(), owner.c_str(), mode);
    else if (a.asked && mode != a.mode)
        snprintf(text, sizeof text, "%s has mode %04o, not %04o (owner %s, group %s)", what.c_str(), mode,
                 static_cast<unsigned>(a.mode), owner.c_str(), group.c_str());
    else if (static_cast<size_t>(st.st_size) < size)
        snprintf(text, sizeof text, "%s is %lld bytes, shorter than its layout (%zu bytes)", what.c_str(),
                 static_cast<long long>(st.st_size), size);
    else
        return "";
    return text;
}

/* Gives a new object the access asked, before anyone can open it. */
int applyAccess(int fd, const char* what, const Access& a, LIB_POW_OwnerError* error)
{
    if (a.group != static_cast<gid_t>(-1) && fchown(fd, static_cast<uid_t>(-1), a.group) != 0)
        return ownerFail(error, errno, "fchown(%s, group %u) failed: %s", what, static_cast<unsigned>(a.group),
                         strerror(errno));
    if (fchmod(fd, a.mode) != 0) /* whatever our umask */
        return ownerFail(error, errno, "fchmod(%s) failed: %s", what, strerror(errno));
    return 0;
}

/* Rewrites an object of ours in place, under its guard, so that clients
 * that have it mapped see the fresh content and never a half-written one;
 * it gets the access asked, and a short one is lengthened (a longer one
 * keeps its tail). */
int resetObject(int fd, const AreaKind& kind, const Access& access, const LIB_POW_CreateOptions& options,
                LIB_POW_OwnerError* error)
{
    SemId guard = 0;
    if (kind.guard != nullptr && (guard = ownerTake(kind.guard, options.timeoutMs, error)) == 0)
        return -1;
    struct stat st;
    int rc = fstat(fd, &st) != 0 ? ownerFail(error, errno, "fstat(%s) failed: %s", kind.name, strerror(errno)) : 0;
    if (rc == 0 && access.asked)
        rc = applyAccess(fd, kind.name, access, error);
    if (rc == 0 && static_cast<size_t>(st.st_size) < kind.size && ftruncate(fd, static_cast<off_t>(kind.size)) != 0)
        rc = ownerFail(error, errno, "ftruncate(%s) failed: %s", kind.name, strerror(errno));
    if (rc == 0)
        rc = fillObject(fd, kind, options, kind.name, error);
    if (guard != 0)
        PLAT_semGive(guard);
    return rc;
}

/* Writes a new object whole under a private name, then links it into
 * place. Sets *exists when someone else published the name first. */
int publishObject(const AreaKind& kind, const Access& access, const LIB_POW_CreateOptions& options, bool* exists,
                  LIB_POW_OwnerError* error)
{
    *exists = false;
    std::string tmpName = std::string(kind.name) + ".new." + std::to_string(getpid());
    int fd = shm_open(tmpName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd == -1)
        return ownerFail(error, errno, "shm_open(%s) failed: %s", tmpName.c_str(), strerror(errno));
    int rc = applyAccess(fd, tmpName.c_str(), access, error);
    if (rc == 0 && ftruncate(fd, static_cast<off_t>(kind.size)) != 0)
        rc = ownerFail(error, errno, "ftruncate(%s) failed: %s", tmpName.c_str(), strerror(errno));
    if (rc == 0)
        rc = fillObject(fd, kind, options, tmpName.c_str(), error);
    close(fd);
    std::string tmpPath = kShmDir + tmpName, path = kShmDir + std::string(kind.name);
    if (rc == 0 && link(tmpPath.c_str(), path.c_str()) != 0) {
        *exists = errno == EEXIST;
        rc = *exists ? -1 : ownerFail(error, errno, "link(%s) failed: %s", path.c_str(), strerror(errno));
    }
    unlink(tmpPath.c_str());
    return rc;
}

/* Someone else's object in our place: unlinked and made anew, under its
 * guard. Clients that mapped the old one keep it until they restart. */
int replaceObject(const AreaKind& kind, const Access& access, const LIB_POW_CreateOptions& options,
                  LIB_POW_OwnerError* error)
{
    SemId guard = 0;
    if (kind.guard != nullptr && (guard = ownerTake(kind.guard, options.timeoutMs, error)) == 0)
        return -1;
    bool exists = false;
    int rc = removeName(kind.name, shmPath(kind.name), error);
    if (rc == 0)
        rc = publishObject(kind, access, options, &exists, error);
    if (rc != 0 && exists)
        rc = ownerFail(error, EEXIST, "%s was made again by someone else while being replaced", kind.name);
    if (guard != 0)
        PLAT_semGive(guard);
    return rc;
}

int ensureObject(const AreaKind& kind, const Access& access, const LIB_POW_CreateOptions& options,
                 LIB_POW_OwnerError* error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openName(kind.name, O_RDWR);
        int openErr = errno;
        if (fd == -1 && openErr == ENOENT) {
            bool exists = false;
            if (publishObject(kind, access, options, &exists, error) == 0)
                return 0;
            if (exists)
                continue; /* made by someone else meanwhile: check theirs */
            return -1;
        }
        struct stat st;
        /* A symbolic link, a directory in our place is judged, and with a
         * reset removed, as itself. */
        if (fd == -1 ? lstat(shmPath(kind.name).c_str(), &st) != 0 : fstat(fd, &st) != 0)
            return openFailure(kind.name, errno, error);
        std::string wrong = whatIsWrong(kind.name, st, kind.size, access);
        if (fd == -1 && wrong.empty())
            return openFailure(kind.name, openErr, error);
        bool ours = S_ISREG(st.st_mode) && st.st_uid == geteuid() && fd != -1;
        int rc = 0;
        if (!wrong.empty() && !options.reset)
            rc = ownerFail(error, EEXIST, "%s", wrong.c_str());
        else if (options.reset && ours)
            rc = resetObject(fd, kind, access, options, error);
        else if (options.reset)
            rc = replaceObject(kind, access, options, error);
        if (fd != -1)
            close(fd);
        return rc;
    }
    return ownerFail(error, EAGAIN, "%s keeps appearing and vanishing", kind.name);
}

/* The semaphores as the areas: made with the access asked when missing;
 * someone else's refused, or with a reset removed and made anew while the
 * old one is held, so no client is inside it at that moment. */
int ensureSemaphore(const char* name, const Access& access, const LIB_POW_CreateOptions& options,
                    LIB_POW_OwnerError* error)
{
    struct stat st;
    if (PLAT_semStat(name, &st) != 0 && PLAT_errnoGet() == ENOENT &&
        PLAT_semBCreateAccess(0, SEM_FULL, name, access.group, access.mode) == 0) {
        int err = PLAT_errnoGet();
        return ownerFail(error, err, "PLAT_semBCreateAccess(%s) failed: %s", name, strerror(err));
    }
    if (PLAT_semStat(name, &st) != 0)
        return ownerFail(error, PLAT_errnoGet(), "semaphore %s: %s", name, strerror(PLAT_errnoGet()));
    std::string wrong = whatIsWrong(std::string("semaphore ") + name, st, 0, access);
    SemId old = wrong.empty() || options.reset ? PLAT_semOpen(name) : 0;
    if (wrong.empty() && old == 0)
        wrong = std::string("semaphore ") + name + " is not a semaphore of this platform (" +
                strerror(PLAT_errnoGet()) + ")";
    if (wrong.empty())
        return 0;
    if (!options.reset)
        return ownerFail(error, EEXIST, "%s", wrong.c_str());
    /* Another user's semaphore may be held by its maker for ever: it is
     * waited for within bounds, and left alone while in use. */
    bool foreign = st.st_uid != geteuid();
    int waitMs = options.timeoutMs >= 0 ? options.timeoutMs : foreign ? LIB_POW_FOREIGN_WAIT_MS : PLAT_WAIT_FOREVER;
    if (old != 0 && PLAT_semTake(old, waitMs) != 0) {
        pid_t holder = PLAT_semHolder(old);
        if (!foreign)
            return ownerFail(error, ETIMEDOUT, "semaphore %s still held by pid %d after %d ms", name, holder, waitMs);
        return ownerFail(error, ETIMEDOUT,
                         "semaphore %s belongs to %s, not to this service, and pid %d (%s) still holds it after "
                         "%d ms: left in place; stop that process and reset again",
                         name, userName(st.st_uid).c_str(), holder, processName(holder).c_str(), waitMs);
    }
    std::string what = std::string("semaphore ") + name;
    int rc = removeName(what.c_str(), semPath(name), error);
    if (rc == 0 && PLAT_semBCreateAccess(0, SEM_FULL, name, access.group, access.mode) == 0)
        rc = ownerFail(error, PLAT_errnoGet(), "PLAT_semBCreateAccess(%s) failed: %s", name,
                       strerror(PLAT_errnoGet()));
    if (old != 0)
        PLAT_semGive(old);
    return rc;
}

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

const LIB_POW_Names& ownerNames(const LIB_POW_Names* names)
{
    return names != nullptr ? *names : kDeviceNames;
}

SemId ownerTake(const char* name, int timeoutMs, LIB_POW_OwnerError* error)
{
    SemId sem = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name));
    if (sem == 0) {
        int err = PLAT_errnoGet();
        ownerFail(error, err, "PLAT_semBCreate(%s) failed: %s", name, strerror(err));
        return 0;
    }
    if (PLAT_semTake(sem, timeoutMs < 0 ? PLAT_WAIT_FOREVER : timeoutMs) == 0)
        return sem;
    int err = PLAT_errnoGet();
    if (err == ETIMEDOUT || err == EAGAIN)
        ownerFail(error, ETIMEDOUT, "%s still held by pid %d after %d ms", name, PLAT_semHolder(sem), timeoutMs);
    else
        ownerFail(error, err, "PLAT_semTake(%s) failed: %s", name, strerror(err));
    return 0;
}

void LIB_POW_ownerInitPower(PwrSharedArea* area, pid_t index0Pid, const LIB_POW_Policy* policy)
{
    memset(area, 0, sizeof *area);
    area->sl_DelayPid[0] = index0Pid;
    /* The top of the stack is the last entry in use: 255, 254, ..., 1. */
    int num = 0;
    for (int i = LIB_POW_DELAY_INDEX_COUNT - 1; i >= 0; --i) {
        bool keptOff = policy != nullptr ? policy->keptOff[i] != 0 : i == 0;
        if (!keptOff && area->sl_DelayPid[i] == 0)
            area->us_FreeIndex[num++] = static_cast<uint16_t>(i);
    }
    area->us_FreeIndexNum = static_cast<uint16_t>(num);
}

int LIB_POW_ownerCreate(const LIB_POW_Names* names, const LIB_POW_CreateOptions* options,
                        LIB_POW_OwnerError* error)
{
    const LIB_POW_Names& n = ownerNames(names);
    const LIB_POW_CreateOptions& o = options != nullptr ? *options : kDefaultCreate;
    Access access;
    if (resolveAccess(o, access, error) != 0)
        return -1;
    /* Semaphores first: a reset of an area holds the one that guards it. */
    for (const char* sem : {n.semPow, n.semNvd, n.semRdy})
        if (ensureSemaphore(sem, access, o, error) != 0)
            return -1;
    const AreaKind kinds[] = {{n.pwrArea, LIB_POW_PWR_AREA_SIZE, n.semPow, true},
                              {n.nvdArea, LIB_POW_NVD_AREA_SIZE, n.semNvd, false},
                              {n.semLogArea, LIB_POW_SEMLOG_AREA_SIZE, nullptr, false}};
    for (const AreaKind& kind : kinds)
        if (ensureObject(kind, access, o, error) != 0)
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
        if (removeName((std::string("semaphore ") + sem).c_str(), semPath(sem), error) != 0)
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
    void* area = mmap(nullptr, size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    if (area == MAP_FAILED) {
        ownerFail(error, errno, "mmap(%s) failed: %s", name, strerror(errno));
        area = nullptr;
    }
    close(fd);
    return area;
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
        result = work(*area);
        PLAT_semGive(pow);
    }
    munmap(area, sizeof *area);
    return result;
}

int LIB_POW_ownerClaimIndex0(const LIB_POW_Names* names, pid_t pid, int timeoutMs, LIB_POW_OwnerError* error)
{
    return withPowHeld(names, true, timeoutMs, error, [pid](PwrSharedArea& area) {
        storeWord(area.sl_DelayPid[0], static_cast<int32_t>(pid));
        return 0;
    });
}

pid_t LIB_POW_ownerSemHolder(const char* semName)
{
    SemId sem = PLAT_semOpen(semName);
    return sem != 0 ? PLAT_semHolder(sem) : -1;
}
