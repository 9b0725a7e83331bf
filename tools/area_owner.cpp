#include "area_owner.h"

#include "LIB_PowerService_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ctime>
#include <unistd.h>

namespace {

/* glibc keeps POSIX shared memory here; linking needs the real path. */
const char kShmDir[] = "/dev/shm";

std::string failure(const std::string& call, int err)
{
    return call + " failed: " + strerror(err);
}

using Initialiser = void (*)(void* area, const AreaOptions& options);

void initPwr(void* area, const AreaOptions& options)
{
    initPwrArea(static_cast<PwrSharedArea*>(area), options.index0Pid);
}

void initZero(void* area, const AreaOptions&)
{
    (void)area; /* a new object reads as zeros already */
}

bool writeObject(int fd, size_t size, Initialiser init, const AreaOptions& options,
                 const std::string& what, std::string& error)
{
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        error = failure("ftruncate(" + what + ")", errno);
        return false;
    }
    void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (area == MAP_FAILED) {
        error = failure("mmap(" + what + ")", errno);
        return false;
    }
    memset(area, 0, size);
    init(area, options);
    munmap(area, size);
    return true;
}

/* Rewrites an existing object in place, so that processes which have it
 * mapped see the fresh content. */
bool resetObject(const std::string& name, size_t size, Initialiser init,
                 const AreaOptions& options, std::string& error)
{
    int fd = shm_open(name.c_str(), O_RDWR, 0666);
    if (fd == -1) {
        error = failure("shm_open(" + name + ")", errno);
        return false;
    }
    bool ok = writeObject(fd, size, init, options, name, error);
    close(fd);
    return ok;
}

bool makeObject(const std::string& name, size_t size, Initialiser init,
                const AreaOptions& options, std::string& error)
{
    std::string tmpName = name + ".new." + std::to_string(getpid());
    int fd = shm_open(tmpName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd == -1) {
        error = failure("shm_open(" + tmpName + ")", errno);
        return false;
    }
    fchmod(fd, 0666); /* every process of the device opens it, whatever its umask */
    bool ok = writeObject(fd, size, init, options, tmpName, error);
    close(fd);
    std::string tmpPath = kShmDir + tmpName;
    std::string path = kShmDir + name;
    if (ok && link(tmpPath.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST && !options.reset) {
            ok = true; /* someone else made it first: theirs stands */
        } else if (errno == EEXIST) {
            ok = resetObject(name, size, init, options, error);
        } else {
            error = failure("link(" + path + ")", errno);
            ok = false;
        }
    }
    unlink(tmpPath.c_str());
    return ok;
}

bool ensureObject(const std::string& name, size_t size, Initialiser init,
                  const AreaOptions& options, std::string& error)
{
    int fd = shm_open(name.c_str(), O_RDWR, 0666);
    if (fd == -1 && errno == ENOENT)
        return makeObject(name, size, init, options, error);
    if (fd == -1) {
        error = failure("shm_open(" + name + ")", errno);
        return false;
    }
    close(fd);
    return options.reset ? resetObject(name, size, init, options, error) : true;
}

} // namespace

void initPwrArea(PwrSharedArea* area, pid_t index0Pid)
{
    memset(area, 0, sizeof *area);
    area->sl_DelayPid[0] = index0Pid;
    /* The top of the stack is the last entry in use: 255, 254, ..., 1. */
    for (int n = 0; n < 255; ++n)
        area->us_FreeIndex[n] = static_cast<uint16_t>(255 - n);
    area->us_FreeIndexNum = 255;
}

bool createAreas(const AreaNames& names, const AreaOptions& options, std::string& error)
{
    return ensureObject(names.pwr, kPwrAreaSize, initPwr, options, error) &&
           ensureObject(names.nvd, kNvdAreaSize, initZero, options, error) &&
           ensureObject(names.semLog, kSemLogAreaSize, initZero, options, error);
}

bool removeAreas(const AreaNames& names, std::string& error)
{
    for (const std::string* name : {&names.pwr, &names.nvd, &names.semLog}) {
        if (shm_unlink(name->c_str()) != 0 && errno != ENOENT) {
            error = failure("shm_unlink(" + *name + ")", errno);
            return false;
        }
    }
    for (const std::string* name : {&names.semPow, &names.semNvd, &names.semRdy}) {
        if (PLAT_semRemove(name->c_str()) != 0 && PLAT_errnoGet() != ENOENT) {
            error = failure("PLAT_semRemove(" + *name + ")", PLAT_errnoGet());
            return false;
        }
    }
    return true;
}

void* mapArea(const std::string& name, size_t size, std::string& error)
{
    int fd = shm_open(name.c_str(), O_RDWR, 0666);
    if (fd == -1) {
        error = failure("shm_open(" + name + ")", errno);
        return nullptr;
    }
    void* area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);
    if (area == MAP_FAILED) {
        error = failure("mmap(" + name + ")", err);
        return nullptr;
    }
    return area;
}

namespace {

/* The trace's tick count: milliseconds of the monotonic clock, kept
 * positive in 31 bits so it prints as a plain number. */
int32_t semLogTick()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    return static_cast<int32_t>(ms & 0x7fffffff);
}

void storeText(char* field, size_t width, const std::string& text)
{
    for (size_t n = 0; n < width; ++n)
        storeWord(field[n], n < text.size() ? text[n] : '\0');
}

} // namespace

bool appendSemLogRecord(const std::string& name, const SemLogInput& input, int& position,
                        std::string& error)
{
    SemLogRecord probe;
    if (input.semName.size() >= sizeof probe.SemName) {
        error = "semaphore name longer than " + std::to_string(sizeof probe.SemName - 1) + " characters";
        return false;
    }
    if (input.status.size() >= sizeof probe.Status) {
        error = "status longer than " + std::to_string(sizeof probe.Status - 1) + " characters";
        return false;
    }
    auto* area = static_cast<SemLogArea*>(mapArea(name, sizeof(SemLogArea), error));
    if (area == nullptr)
        return false;
    int32_t count = loadWord(area->Count);
    position = (count >= 0 && count < kSemLogRecordCount) ? count : 0;
    SemLogRecord& record = area->records[position];
    /* PID and TID last: a reader that meets a fresh position early still
     * sees the end mark rather than half a record. */
    storeWord(record.tic, semLogTick());
    storeText(record.SemName, sizeof record.SemName, input.semName);
    storeWord(record.SemID, static_cast<uint32_t>(input.semId));
    storeText(record.Status, sizeof record.Status, input.status);
    storeWord(record.Value, static_cast<int32_t>(input.value));
    storeWord(record.TID, static_cast<uint32_t>(syscall(SYS_gettid)));
    storeWord(record.PID, static_cast<int32_t>(getpid()));
    storeWord(area->Count, static_cast<int32_t>(position + 1));
    munmap(area, sizeof(SemLogArea));
    return true;
}

bool clearSemLog(const std::string& name, std::string& error)
{
    void* area = mapArea(name, sizeof(SemLogArea), error);
    if (area == nullptr)
        return false;
    memset(area, 0, sizeof(SemLogArea));
    munmap(area, sizeof(SemLogArea));
    return true;
}

bool claimIndex0(const AreaNames& names, pid_t pid, std::string& error)
{
    SemId pow = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(names.semPow.c_str()));
    if (pow == 0) {
        error = failure("PLAT_semBCreate(" + names.semPow + ")", PLAT_errnoGet());
        return false;
    }
    auto* area = static_cast<PwrSharedArea*>(mapArea(names.pwr, sizeof(PwrSharedArea), error));
    if (area == nullptr)
        return false;
    if (PLAT_semTake(pow, PLAT_WAIT_FOREVER) != 0) {
        error = failure("PLAT_semTake(" + names.semPow + ")", PLAT_errnoGet());
        munmap(area, sizeof *area);
        return false;
    }
    storeWord(area->sl_DelayPid[0], static_cast<int32_t>(pid));
    PLAT_semGive(pow);
    munmap(area, sizeof *area);
    return true;
}
