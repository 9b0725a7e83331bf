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

const char* redirect(const char* name) {
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

template <typename T>
T* mapped(T*& cache, const std::string& name) {
    if (cache == nullptr) {
        std::string error;
        cache = static_cast<T*>(mapArea(name, sizeof(T), error));
        EXPECT_NE(cache, nullptr) << error;
    }
    return cache;
}

} // namespace

std::string uniqueName(const std::string& base) {
    static int counter = 0;
    return base + ".t" + std::to_string(getpid()) + "." + std::to_string(++counter);
}

void resetLibrary() {
    g_libPowState = LibPowProcessState{};
    g_semPowID = g_semNvdID = g_semRdyID = 0;
    g_libPowLogMask = 3;
    g_libPowSys = kLibPowRealSys;
    g_libPowSys.shm_open = [](const char* name, int oflag, mode_t mode) { return shm_open(redirect(name), oflag, mode); };
    g_libPowSys.semBCreate = [](int options, sem_b_state state, char* name) {
        return PLAT_semBCreate(options, state, const_cast<char*>(redirect(name)));
    };
}

PrivateDevice::PrivateDevice() {
    std::string tag = uniqueName("");
    for (std::string* name : {&names.pwr, &names.nvd, &names.semLog, &names.semPow, &names.semNvd, &names.semRdy})
        *name += tag;
    g_private = &names;
    resetLibrary();
}

PrivateDevice::~PrivateDevice() {
    if (pwr_) munmap(pwr_, sizeof *pwr_);
    if (nvd_) munmap(nvd_, sizeof *nvd_);
    if (semLog_) munmap(semLog_, sizeof *semLog_);
    std::string error;
    removeAreas(names, error);
    g_private = nullptr;
    g_libPowSys = kLibPowRealSys;
}

void PrivateDevice::createAreas(const AreaOptions& options) {
    std::string error;
    ASSERT_TRUE(::createAreas(names, options, error)) << error;
}

PwrSharedArea* PrivateDevice::pwr() { return mapped(pwr_, names.pwr); }
NvdSharedArea* PrivateDevice::nvd() { return mapped(nvd_, names.nvd); }
SemLogArea* PrivateDevice::semLog() { return mapped(semLog_, names.semLog); }

std::string captureStdout(const std::function<void()>& fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds) {
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

int waitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

Gate::Gate() {
    if (pipe(fds_) != 0)
        ADD_FAILURE() << "pipe: " << strerror(errno);
}

Gate::~Gate() { close(fds_[0]), close(fds_[1]); }

void Gate::wait() {
    char byte;
    close(fds_[1]);
    while (read(fds_[0], &byte, 1) == -1 && errno == EINTR) {
    }
}

void Gate::open() {
    /* Closing the last write end wakes every reader at once. */
    close(fds_[1]);
    fds_[1] = -1;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<std::string> traced(const std::string& out, bool blankHandles) {
    const std::string file = "LIB_PowerService.cpp(";
    std::vector<std::string> result;
    for (std::string line : lines(out)) {
        size_t close = line.find("):");
        bool prefixed = line.rfind(file, 0) == 0 && close != std::string::npos && close > file.size() &&
                        line.find_first_not_of("0123456789", file.size()) == close;
        line = prefixed ? line.substr(close + 2) : "UNPREFIXED " + line;
        size_t at = blankHandles ? line.find("pst_SemID=") : std::string::npos;
        while (at != std::string::npos) {
            at += 10;
            size_t end = line.find(')', at);
            if (end == std::string::npos)
                break;
            line = line.substr(0, at) + "*" + line.substr(end);
            at = line.find("pst_SemID=", at);
        }
        result.push_back(line);
    }
    return result;
}

std::vector<std::string> traceAt(unsigned mask, const std::function<void()>& fn, bool blankHandles) {
    LIB_POW_setLogLevel(mask);
    std::string out = captureStdout(fn);
    LIB_POW_setLogLevel(3);
    return traced(out, blankHandles);
}

std::string pointerText(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

std::vector<std::string> differences(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
    std::vector<std::string> out;
    char text[48];
    for (size_t i = 0; i < before.size() && i < after.size(); ++i)
        if (before[i] != after[i] && snprintf(text, sizeof text, "%zu:%02x->%02x", i, before[i], after[i]) > 0)
            out.push_back(text);
    if (before.size() != after.size())
        out.push_back("sizes differ");
    return out;
}

SeamCalls CountingSeam::calls;
LibPowSys CountingSeam::inner;

CountingSeam::CountingSeam() {
    calls = SeamCalls{};
    inner = g_libPowSys;
    g_libPowSys.semBCreate = [](int options, sem_b_state state, char* name) {
        ++calls.creates;
        return inner.semBCreate(options, state, name);
    };
    g_libPowSys.semTake = [](SemId id, int timeout) { ++calls.takes; return inner.semTake(id, timeout); };
    g_libPowSys.semGive = [](SemId id) { ++calls.gives; calls.given.push_back(id); return inner.semGive(id); };
    g_libPowSys.semShow = [](SemId id, int level) { calls.shown.push_back(id); return inner.semShow(id, level); };
    g_libPowSys.shm_open = [](const char* name, int flags, mode_t mode) {
        calls.opened.push_back(inner.shm_open(name, flags, mode));
        return calls.opened.back();
    };
    g_libPowSys.mmap64 = [](void* addr, size_t len, int prot, int flags, int fd, off64_t off) {
        calls.mapped.push_back(len);
        return inner.mmap64(addr, len, prot, flags, fd, off);
    };
    g_libPowSys.close = [](int fd) { calls.closed.push_back(fd); return inner.close(fd); };
}

CountingSeam::~CountingSeam() { g_libPowSys = inner; }

void* sharedPages(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        abort();
    return p;
}

} // namespace libpow_test
