// PLAT_semLib.cpp - device-wide named binary semaphores over robust,
// process-shared pthread mutexes kept in POSIX shared memory.
//
// Each semaphore is one small file in /dev/shm. Its record is built whole
// in a private file and then link()ed to the public name, so a
// process that opens the public name always finds a finished record: there
// is no window in which a half-initialised mutex can be seen, and an object
// that already exists is never truncated or initialised again.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// Built with ThreadSanitizer (g++ says so with a macro, clang with a feature).
#if defined(__SANITIZE_THREAD__)
#define PLAT_WITH_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLAT_WITH_TSAN 1
#endif
#endif
#ifdef PLAT_WITH_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// The public header is included with default visibility so that exactly the
// functions it declares leave the library; everything else stays hidden.
#pragma GCC visibility push(default)
#include "PLAT_semLib.h"
#pragma GCC visibility pop
#include "PLAT_semLib_internal.h"

namespace {

int openTmpFile(const char* directory) {
    return open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
}

long getRobustList(int tid, void** head, size_t* length) {
    return syscall(SYS_get_robust_list, tid, head, length);
}

}  // namespace

const PlatSys kPlatRealSys = {
    shm_open, shm_unlink, openTmpFile, mkostemp, fchmod, fchown, ftruncate, fstat, mmap, linkat, unlink, pread,
    pwrite, malloc, pthread_mutexattr_init, pthread_mutexattr_setpshared, pthread_mutexattr_setrobust,
    pthread_mutex_init, getRobustList,
};
PlatSys g_platSys = kPlatRealSys;

namespace {

constexpr uint32_t kMagic = 0x504c5331;  // "PLS1"
constexpr size_t kNameMax = 200;
constexpr const char* kShmDir = "/dev/shm/";
constexpr const char* kPrefix = PLAT_SEM_OBJECT_PREFIX;
// A removal racing with our open can make the public name vanish between
// link()'s EEXIST and our shm_open; a few retries cover any real interleaving.
constexpr int kCreateAttempts = 8;

}  // namespace

// The shared record. Its layout is only ever shared between processes of the
// same build on the same machine; the size check on open rejects anything
// else (a 32-bit and a 64-bit build, say) instead of misreading it.
struct PLAT_semObject {
    uint32_t magic;
    uint32_t size;
    // glibc keeps the holder's thread id inside the mutex itself, and a
    // robust mutex refuses an unlock by anyone else; so the take and give
    // paths are the bare lock and unlock, and Show reads the holder there.
    pthread_mutex_t mutex;
    uint32_t recoveries;
    char name[kNameMax + 1];
};

namespace {

thread_local int t_lastError = 0;

pthread_once_t g_initOnce = PTHREAD_ONCE_INIT;

// Every object this process has mapped, by file identity. Creating a name
// twice must give back the same mapping: glibc on 32-bit targets keeps a
// thread's held robust mutexes on a singly linked list and finds one on
// unlock by its address, so a take through one mapping and a give through
// another would search that list for ever. Nothing is ever unmapped, so an
// inode in here stays alive and its number cannot be reused by a new object.
struct Mapped {
    dev_t dev;
    ino_t ino;
    PLAT_semObject* sem;
    Mapped* next;
};
Mapped* g_mapped = nullptr;
// Held across a whole create, so two threads of one process that create the
// same name at once also end up with one mapping.
pthread_mutex_t g_createLock = PTHREAD_MUTEX_INITIALIZER;

void lockCreateForFork() { pthread_mutex_lock(&g_createLock); }
void unlockCreateInParent() { pthread_mutex_unlock(&g_createLock); }
void unlockCreateInChild() { pthread_mutex_unlock(&g_createLock); }

// A kernel without the robust futex list (user-mode emulators) still lets the
// mutex lock and unlock, but a holder that dies is never marked dead, so the
// recovery promise cannot be kept. Asked of the kernel each time it is shown.
bool robustListSupported() {
    void* head = nullptr;
    size_t len = 0;
    int saved = errno;
    bool supported = g_platSys.getRobustList(0, &head, &len) == 0 || errno != ENOSYS;
    errno = saved;
    return supported;
}

void initProcess() {
    pthread_atfork(lockCreateForFork, unlockCreateInParent, unlockCreateInChild);
}

void ensureInit() { pthread_once(&g_initOnce, initProcess); }

__attribute__((noinline, cold)) int fail(int err) {
    t_lastError = err;
    errno = err;
    return -1;
}

SemId failCreate(int err) {
    fail(err);
    return nullptr;
}

// Name rules shared by create and remove; 0 when fine, else the errno.
int checkName(const char* name) {
    if (name == nullptr || name[0] == '\0') return EINVAL;
    size_t len = strnlen(name, kNameMax + 1);
    if (len > kNameMax) return ENAMETOOLONG;
    if (memchr(name, '/', len) != nullptr) return EINVAL;
    return 0;
}

// The process of a thread id, from /proc; 0 when the thread is gone.
pid_t processOfThread(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    FILE* status = fopen(path, "r");
    if (status == nullptr) return 0;
    pid_t pid = 0;
    char line[128];
    while (pid == 0 && fgets(line, sizeof line, status) != nullptr)
        sscanf(line, "Tgid: %d", &pid);
    fclose(status);
    return pid;
}

// The lock call returned something other than plain success. EOWNERDEAD means
// we now hold a mutex whose previous holder died: make it usable again and
// count it; whatever the dead holder was protecting is the caller's concern.
__attribute__((noinline, cold)) int finishTake(PLAT_semObject* sem, int rc) {
    if (rc == EOWNERDEAD) {
        if (pthread_mutex_consistent(&sem->mutex) != 0) {
            pthread_mutex_unlock(&sem->mutex);
            return fail(ENOTRECOVERABLE);
        }
        uint32_t n = __atomic_load_n(&sem->recoveries, __ATOMIC_RELAXED);
        __atomic_store_n(&sem->recoveries, n + 1, __ATOMIC_RELAXED);
        return 0;
    }
    if (rc == EBUSY) return fail(EAGAIN);
    return fail(rc);
}

// A sleeper is woken by the holder's give, or by the kernel when a holder
// dies. Older kernels can lose that wake-up when the process it went to is
// killed before it takes the lock: the other sleepers then stay asleep on
// a free semaphore until some other process happens to take it. So nobody
// sleeps longer than one slice at a time; each slice's end looks at the lock
// again, and a lost wake-up costs at most one slice instead of a wedge.
constexpr long kWakeSliceMs = 50;

struct timespec msAfter(struct timespec t, long ms) {
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

bool earlier(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec * 1000000000LL + a.tv_nsec < b.tv_sec * 1000000000LL + b.tv_nsec;
}

#ifdef PLAT_WITH_TSAN
// ThreadSanitizer follows pthread_mutex_lock and its kin but not (in the
// versions we build with) pthread_mutex_clocklock: tell it what the timed
// wait took, or it sees the holders of one semaphore racing.
int clockLock(pthread_mutex_t* mutex, const struct timespec* until) {
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
    int rc = pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, until);
    bool taken = rc == 0 || rc == EOWNERDEAD;
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | (taken ? 0 : __tsan_mutex_try_lock_failed), 0);
    return rc;
}
#else
int clockLock(pthread_mutex_t* mutex, const struct timespec* until) {
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, until);
}
#endif

// The waiting part of a take, out of line so that the common take keeps a
// minimal frame. Returns a pthread error code, not -1.
__attribute__((noinline)) int lockWithin(PLAT_semObject* sem, int ms) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const struct timespec deadline = msAfter(now, ms > 0 ? ms : 0); // unused for ever
    for (;;) {
        struct timespec until = msAfter(now, kWakeSliceMs);
        bool last = ms != PLAT_WAIT_FOREVER && !earlier(until, deadline);
        int rc = clockLock(&sem->mutex, last ? &deadline : &until);
        if (rc != ETIMEDOUT || last) return rc;
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
}

PLAT_semObject* findMapped(const struct stat& st) {
    for (Mapped* m = g_mapped; m != nullptr; m = m->next)
        if (m->dev == st.st_dev && m->ino == st.st_ino) return m->sem;
    return nullptr;
}

// Keeps the new mapping for later creates, or unmaps it and fails when
// there is no memory to remember it (an unremembered mapping could later be
// paired with a second one).
SemId remember(const struct stat& st, PLAT_semObject* sem) {
    // malloc, not new: the library needs nothing of the C++ runtime.
    auto* m = static_cast<Mapped*>(g_platSys.malloc(sizeof(Mapped)));
    if (m == nullptr) {
        munmap(sem, sizeof(PLAT_semObject));
        return failCreate(ENOMEM);
    }
    *m = Mapped{st.st_dev, st.st_ino, sem, g_mapped};
    g_mapped = m;
    return sem;
}

// Reads the record of semaphore `name` from its file through `fd`, never
// through a mapping, so a file cut short at that moment cannot fault us:
// 0 when the file holds that record, 1 with what is wrong in `why` (null
// with a size of 0 when not wanted) when it does not, -1 with errno set when
// it could not be read. `st` is the file's identity.
int readRecord(int fd, const char* name, struct stat& st, PLAT_semObject& record, char* why, size_t size) {
    if (g_platSys.fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return snprintf(why, size, "is not a regular file"), 1;
    if (st.st_size != static_cast<off_t>(sizeof record))
        return snprintf(why, size, "is %lld bytes, a semaphore record %zu", static_cast<long long>(st.st_size),
                        sizeof record), 1;
    ssize_t got = g_platSys.pread(fd, &record, sizeof record, 0);
    if (got != static_cast<ssize_t>(sizeof record)) return errno = got < 0 ? errno : EIO, -1;
    if (record.magic != kMagic || record.size != sizeof record)
        return snprintf(why, size, "is not a semaphore record"), 1;
    if (strncmp(record.name, name, sizeof record.name) != 0)
        return snprintf(why, size, "holds the record of \"%.60s\"", record.name), 1;
    return 0;
}

// Maps an object that is already in place once its record is one of ours.
// A file that is not is refused even when this process mapped it before: a
// handle to a file of the wrong length would fault its taker.
SemId mapExisting(int fd, const char* name) {
    struct stat st;
    PLAT_semObject record;
    int rc = readRecord(fd, name, st, record, nullptr, 0);
    if (rc != 0) return failCreate(rc < 0 ? errno : EINVAL);
    if (PLAT_semObject* known = findMapped(st)) return known;
    void* p = g_platSys.mmap(nullptr, sizeof(PLAT_semObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return failCreate(errno);
    return remember(st, static_cast<PLAT_semObject*>(p));
}

// Opens the public object if it exists. Sets *absent when it does not.
SemId openExisting(const char* shmName, const char* name, bool* absent) {
    *absent = false;
    // Whatever stands at the name is judged as itself: a link is not
    // followed, and a FIFO does not make the open wait.
    int fd = g_platSys.shm_open(shmName, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) {
        *absent = (errno == ENOENT);
        return failCreate(errno);
    }
    SemId sem = mapExisting(fd, name);
    int saved = errno;
    close(fd);
    errno = saved;
    return sem;
}

// A fresh, free record: 0, or the error of the mutex set-up.
int initRecord(PLAT_semObject* sem, const char* name) {
    pthread_mutexattr_t attr;
    int rc = g_platSys.mutexattr_init(&attr);
    if (rc != 0) return rc;
    rc = g_platSys.mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc == 0) rc = g_platSys.mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = g_platSys.mutex_init(&sem->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) return rc;
    sem->magic = kMagic;
    sem->size = sizeof(PLAT_semObject);
    strncpy(sem->name, name, kNameMax);
    return 0;
}

// Builds a complete, free semaphore in a private file and tries to publish
// it. Returns the mapping on success; on EEXIST sets *exists and returns null
// so the caller opens the winner's object instead. The private file has no
// name at all where the kernel offers O_TMPFILE, so a process killed halfway
// leaves nothing behind; elsewhere it is a named temporary file, which only
// such a kill can leave in /dev/shm.
SemId buildAndPublish(const char* publicPath, const char* name, gid_t group, mode_t mode, bool* exists) {
    *exists = false;
    // Named after its process, so a scrap left by a kill says whose it was.
    char tmpPath[sizeof "/dev/shm/PLAT_tmp..XXXXXX" + 12];
    snprintf(tmpPath, sizeof tmpPath, "%sPLAT_tmp.%d.XXXXXX", kShmDir, static_cast<int>(getpid()));
    // The unnamed file is published through /proc, so it needs /proc too.
    int fd = access("/proc/self/fd", X_OK) == 0 ? g_platSys.openTmpFile(kShmDir) : -1;
    bool named = fd < 0;
    if (named) fd = g_platSys.mkostemp(tmpPath, O_CLOEXEC);
    if (fd < 0) return failCreate(errno);
    // The access asked for (0666 by default: any user's process may need
    // it), whatever our umask; set before the record has a name, so nobody
    // can open it in between. A record without it is never published.
    void* p = MAP_FAILED;
    struct stat st;
    int err = 0;
    if (g_platSys.fchmod(fd, mode) != 0 ||
        (group != static_cast<gid_t>(-1) && g_platSys.fchown(fd, static_cast<uid_t>(-1), group) != 0) ||
        g_platSys.ftruncate(fd, sizeof(PLAT_semObject)) != 0 || g_platSys.fstat(fd, &st) != 0) {
        err = errno;
    } else {
        p = g_platSys.mmap(nullptr, sizeof(PLAT_semObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) err = errno;
    }
    if (err == 0) err = initRecord(static_cast<PLAT_semObject*>(p), name);
    if (err == 0) {
        // An unnamed file is reached for link() through its descriptor.
        char source[sizeof "/proc/self/fd/" + 12];
        snprintf(source, sizeof source, "/proc/self/fd/%d", fd);
        if (g_platSys.linkat(AT_FDCWD, named ? tmpPath : source, AT_FDCWD, publicPath,
                   named ? 0 : AT_SYMLINK_FOLLOW) != 0) {
            err = errno;
            *exists = (err == EEXIST);
        }
    }
    close(fd);
    if (named) g_platSys.unlink(tmpPath);
    if (err != 0) {
        if (p != MAP_FAILED) munmap(p, sizeof(PLAT_semObject));
        return failCreate(err);
    }
    return remember(st, static_cast<PLAT_semObject*>(p));
}

// glibc keeps the holder's thread id in the mutex; the thread id is the
// process id for a process's first thread.
pid_t ownerThread(SemId semId) {
    return __atomic_load_n(&semId->mutex.__data.__owner, __ATOMIC_RELAXED);
}

// Whether a semaphore's file, read through `fd` and never mapped (a file
// cut short cannot fault us), is damaged: 1 with what is wrong in `why`,
// 0 when whole, -1 with errno set when it could not be judged (a failure
// to look is never taken for damage: a whole record, perhaps held, would
// then be rewritten). Only states that a live holder never passes through
// count: a take or a give caught halfway is not damage.
int recordDamaged(int fd, const char* name, char* why, size_t size) {
    struct stat st;
    PLAT_semObject record, fresh;
    memset(&fresh, 0, sizeof fresh);
    int rc = readRecord(fd, name, st, record, why, size);
    if (rc != 0) return rc;
    rc = initRecord(&fresh, name);
    if (rc != 0) return errno = rc, -1;
    if (record.mutex.__data.__kind != fresh.mutex.__data.__kind)
        return snprintf(why, size, "its lock is not a shared robust mutex"), 1;
    // glibc's marks: the holder's thread id in the lock word, with a bit for
    // a holder that died; an owner field of 0x7fffffff for a lock given up.
    unsigned lockWord = static_cast<unsigned>(record.mutex.__data.__lock);
    pid_t holder = static_cast<pid_t>(lockWord & 0x3fffffffu);
    if (record.mutex.__data.__owner == 0x7fffffff)
        return snprintf(why, size, "its lock was given up as not recoverable"), 1;
    if (holder != 0 && (lockWord & 0x40000000u) == 0 && processOfThread(holder) == 0)
        return snprintf(why, size, "is held by thread %d, which is gone and was never recovered", holder), 1;
    return 0;
}

// The object name of semaphore `name` for shm_open ("/PLAT_sem.NAME"), or
// with `asPath` its path in /dev/shm.
struct ObjectName {
    char text[sizeof "/dev/shm/" + sizeof PLAT_SEM_OBJECT_PREFIX + kNameMax];
};

ObjectName objectName(const char* name, bool asPath) {
    ObjectName n;
    snprintf(n.text, sizeof n.text, "%s%s%s", asPath ? kShmDir : "/", kPrefix, name);
    return n;
}

const char* robustText() {
    return robustListSupported() ? "yes" : "no (dead holders are not recovered in this process)";
}

}  // namespace

extern "C" {

SemId PLAT_semBCreate(int options, sem_b_state initialState, char* name) {
    return PLAT_semBCreateAccess(options, initialState, name, static_cast<gid_t>(-1), 0666);
}

SemId PLAT_semBCreateAccess(int options, sem_b_state initialState, const char* name, gid_t group, mode_t mode) {
    if (options != 0) return failCreate(EINVAL);
    // A mutex cannot be "empty" without an owner; see the header.
    if (initialState != SEM_FULL) return failCreate(EINVAL);
    int bad = checkName(name);
    if (bad != 0) return failCreate(bad);
    ensureInit();

    ObjectName shmName = objectName(name, false), publicPath = objectName(name, true);

    pthread_mutex_lock(&g_createLock);
    SemId sem = nullptr;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        bool absent = false;
        sem = openExisting(shmName.text, name, &absent);
        if (sem != nullptr || !absent) break;
        bool exists = false;
        sem = buildAndPublish(publicPath.text, name, group, mode & 07777, &exists);
        if (sem != nullptr || !exists) break;
        // Someone else published first: loop and open theirs.
        if (attempt + 1 == kCreateAttempts) fail(EAGAIN);
    }
    pthread_mutex_unlock(&g_createLock);
    return sem;
}

int PLAT_semTake(SemId semId, int timeout) {
    if (semId == nullptr || timeout < PLAT_WAIT_FOREVER) return fail(EINVAL);
    // A free semaphore is taken by the first try; only a busy one waits.
    int rc = pthread_mutex_trylock(&semId->mutex);
    if (__builtin_expect(rc == 0, 1)) return 0;
    if (rc == EBUSY && timeout != PLAT_NO_WAIT) rc = lockWithin(semId, timeout);
    return rc == 0 ? 0 : finishTake(semId, rc);
}

int PLAT_semGive(SemId semId) {
    if (semId == nullptr) return fail(EINVAL);
    int rc = pthread_mutex_unlock(&semId->mutex);
    if (rc != 0) return fail(rc);
    return 0;
}

int PLAT_semShow(SemId semId, int level) {
    if (level != 0 && level != 1) return fail(EINVAL);
    if (semId == nullptr) {
        if (level == 0) printf("  sem: none (handle 0)\n");
    } else if (level == 0) {
        // A snapshot without the lock; a gone thread shows under its id.
        pid_t tid = ownerThread(semId);
        pid_t pid = tid != 0 ? processOfThread(tid) : 0;
        if (tid == 0)
            printf("  sem \"%s\": free\n", semId->name);
        else
            printf("  sem \"%s\": held by pid %d%s\n", semId->name, static_cast<int>(pid ? pid : tid),
                   pid ? "" : " (dead)");
    } else {
        printf("  recovered from dead holder: %u times; robust futexes: %s\n",
               __atomic_load_n(&semId->recoveries, __ATOMIC_RELAXED), robustText());
    }
    fflush(stdout);
    return 0;
}

int PLAT_errnoGet(void) { return t_lastError; }

int PLAT_semRemove(const char* name) {
    int bad = checkName(name);
    if (bad != 0) return fail(bad);
    ObjectName shmName = objectName(name, false);
    if (g_platSys.shm_unlink(shmName.text) != 0) return fail(errno);
    return 0;
}

SemId PLAT_semOpen(const char* name) {
    int bad = checkName(name);
    if (bad != 0) return failCreate(bad);
    ensureInit();
    ObjectName shmName = objectName(name, false);
    pthread_mutex_lock(&g_createLock);
    bool absent = false;
    SemId sem = openExisting(shmName.text, name, &absent);
    pthread_mutex_unlock(&g_createLock);
    return sem;
}

int PLAT_semStat(const char* name, struct stat* st) {
    int bad = checkName(name);
    if (bad != 0) return fail(bad);
    if (lstat(objectName(name, true).text, st) != 0) return fail(errno);
    return 0;
}

int PLAT_semHolder(SemId semId) {
    if (semId == nullptr) return fail(EINVAL);
    pid_t tid = ownerThread(semId);
    if (tid == 0) return 0;
    pid_t pid = processOfThread(tid);
    return pid != 0 ? pid : tid;
}

int PLAT_semCheck(const char* name, char* why, size_t whySize) {
    int bad = checkName(name);
    if (bad != 0) return fail(bad);
    int fd = g_platSys.shm_open(objectName(name, false).text, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) return fail(errno);
    char text[200] = "";
    int damaged = recordDamaged(fd, name, text, sizeof text);
    int err = errno;
    close(fd);
    if (damaged < 0) return fail(err);
    if (why != nullptr) snprintf(why, whySize, "%s", text);
    return damaged;
}

int PLAT_semRemake(const char* name) {
    int bad = checkName(name);
    if (bad != 0) return fail(bad);
    ensureInit();
    int fd = g_platSys.shm_open(objectName(name, false).text, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) return fail(errno);
    PLAT_semObject fresh;
    memset(&fresh, 0, sizeof fresh); // written whole: no byte of it left to chance
    char why[200];
    struct stat st;
    int err = 0, damaged = 0;
    if (g_platSys.fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if ((damaged = recordDamaged(fd, name, why, sizeof why)) < 0)
        err = errno;
    else if (damaged == 0)
        err = EBUSY; // whole, and perhaps held: never rewritten
    if (err == 0) err = initRecord(&fresh, name);
    if (err == 0 && g_platSys.ftruncate(fd, sizeof fresh) != 0) err = errno;
    if (err == 0 && g_platSys.pwrite(fd, &fresh, sizeof fresh, 0) != static_cast<ssize_t>(sizeof fresh))
        err = errno != 0 ? errno : EIO;
    close(fd);
    return err != 0 ? fail(err) : 0;
}

int PLAT_semRobustSupported(void) {
    return robustListSupported();
}

}  // extern "C"
