#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace libpow_test {

namespace {

const AreaNames kDeviceNames;
const AreaNames* g_private = nullptr;

const char* redirect(const char* name)
{
    if (g_private == nullptr || name == nullptr)
        return name;
    const std::pair<const std::string*, const std::string*> map[] = {
        {&kDeviceNames.pwr, &g_private->pwr},       {&kDeviceNames.nvd, &g_private->nvd},
        {&kDeviceNames.semLog, &g_private->semLog}, {&kDeviceNames.semPow, &g_private->semPow},
        {&kDeviceNames.semNvd, &g_private->semNvd}, {&kDeviceNames.semRdy, &g_private->semRdy},
    };
    for (const auto& [device, mine] : map)
        if (*device == name)
            return mine->c_str();
    return name;
}

int redirectedShmOpen(const char* name, int oflag, mode_t mode)
{
    return shm_open(redirect(name), oflag, mode);
}

SemId redirectedSemBCreate(int options, sem_b_state state, char* name)
{
    return PLAT_semBCreate(options, state, const_cast<char*>(redirect(name)));
}

template <typename T>
T* mapped(T*& cache, const std::string& name)
{
    if (cache == nullptr) {
        std::string error;
        cache = static_cast<T*>(mapArea(name, sizeof(T), error));
        EXPECT_NE(cache, nullptr) << error;
    }
    return cache;
}

} // namespace

std::string uniqueName(const std::string& base)
{
    static int counter = 0;
    return base + ".t" + std::to_string(getpid()) + "." + std::to_string(++counter);
}

void resetLibrary()
{
    g_libPowState = LibPowProcessState{};
    g_semPowID = g_semNvdID = g_semRdyID = 0;
    g_libPowLogMask = 3;
    g_libPowSys = kLibPowRealSys;
    g_libPowSys.shm_open = redirectedShmOpen;
    g_libPowSys.semBCreate = redirectedSemBCreate;
}

PrivateDevice::PrivateDevice()
{
    std::string tag = uniqueName("");
    names.pwr += tag;
    names.nvd += tag;
    names.semLog += tag;
    names.semPow += tag;
    names.semNvd += tag;
    names.semRdy += tag;
    g_private = &names;
    resetLibrary();
}

PrivateDevice::~PrivateDevice()
{
    if (pwr_) munmap(pwr_, sizeof *pwr_);
    if (nvd_) munmap(nvd_, sizeof *nvd_);
    if (semLog_) munmap(semLog_, sizeof *semLog_);
    std::string error;
    removeAreas(names, error);
    g_private = nullptr;
    g_libPowSys = kLibPowRealSys;
}

void PrivateDevice::createAreas(const AreaOptions& options)
{
    std::string error;
    ASSERT_TRUE(::createAreas(names, options, error)) << error;
}

PwrSharedArea* PrivateDevice::pwr() { return mapped(pwr_, names.pwr); }
NvdSharedArea* PrivateDevice::nvd() { return mapped(nvd_, names.nvd); }
SemLogArea* PrivateDevice::semLog() { return mapped(semLog_, names.semLog); }

std::string captureStdout(const std::function<void()>& fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(limitSeconds);
        int code = fn();
        fflush(stdout);
        _exit(code);
    }
    EXPECT_GT(pid, 0) << strerror(errno);
    return pid;
}

int waitChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

Gate::Gate()
{
    if (pipe(fds_) != 0)
        ADD_FAILURE() << "pipe: " << strerror(errno);
}

Gate::~Gate()
{
    close(fds_[0]);
    close(fds_[1]);
}

void Gate::wait()
{
    char byte;
    close(fds_[1]);
    while (read(fds_[0], &byte, 1) == -1 && errno == EINTR) {
    }
}

void Gate::open()
{
    /* Closing the last write end wakes every reader at once. */
    close(fds_[1]);
    fds_[1] = -1;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace libpow_test
