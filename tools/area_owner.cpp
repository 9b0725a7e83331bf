#include "area_owner.h"

#include "LIB_PowerService_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
