#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <sys/mman.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace libpow_test {

namespace {

const AreaNames kDeviceNames;
const AreaNames* g_private = nullptr;
std::string AreaNames::* const kNames[] = {&AreaNames::pwr,    &AreaNames::nvd,    &AreaNames::semLog,
                                           &AreaNames::semPow, &AreaNames::semNvd, &AreaNames::semRdy};

const char* redirect(const char* name) {
    for (auto member : kNames)
        if (g_private != nullptr && name != nullptr && kDeviceNames.*member == name)
            return (g_private->*member).c_str();
    return name;
}

template <typename T>
T* mapped(T*& cache, const std::string& name) {
    if (cache == nullptr) {
        LIB_POW_OwnerError error = {};
        cache = static_cast<T*>(LIB_POW_ownerMap(name.c_str(), sizeof(T), 1, &error));
        EXPECT_NE(cache, nullptr) << error.text;
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
    for (auto member : kNames)
        names.*member += tag;
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

/* A coverage build's runtime: a child writes what it ran (which _exit loses) to a file of its own. */
extern "C" void __llvm_profile_set_filename(const char* pattern) __attribute__((weak));
extern "C" int __llvm_profile_dump(void) __attribute__((weak));

pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(limitSeconds);
        int code = fn();
        fflush(stdout);
        if (__llvm_profile_dump != nullptr && getenv("LLVM_PROFILE_FILE") != nullptr) {
            __llvm_profile_set_filename((getenv("LLVM_PROFILE_FILE") + std::string(".child.profraw")).c_str());
            __llvm_profile_dump();
        }
        _exit(code);
    }
    EXPECT_GT(pid, 0) << strerror(errno);
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            return -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

pid_t startAs(uid_t uid, bool member, const std::function<int()>& fn) {
    return startChild([=] {
        gid_t groups[] = {51000};
        if (setgroups(member ? 1 : 0, groups) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            return 90;
        resetLibrary();
        int rc = fn();
        return ::testing::Test::HasFailure() ? 91 : rc;
    });
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

std::vector<std::string> traceAt(unsigned mask, const std::function<void()>& fn, bool blankHandles) {
    LIB_POW_setLogLevel(mask);
    std::string out = captureStdout(fn);
    LIB_POW_setLogLevel(3);
    static const std::regex prefix(R"(^LIB_PowerService\.cpp\(\d+\):)"), handle(R"(pst_SemID=[^)]*)");
    std::vector<std::string> result;
    for (std::string line : lines(out)) {
        std::smatch m;
        line = std::regex_search(line, m, prefix) ? m.suffix().str() : "UNPREFIXED " + line;
        result.push_back(blankHandles ? std::regex_replace(line, handle, "pst_SemID=*") : line);
    }
    return result;
}

std::string pointerText(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

long semRecoveries(SemId id) {
    unsigned n = 0;
    std::string text = captureStdout([&] { PLAT_semShow(id, 1); });
    return sscanf(text.c_str(), "  recovered from dead holder: %u times", &n) == 1 ? long(n) : -1;
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

namespace {

void collectFinding(const LIB_POW_Finding* f, void* context) {
    auto* view = static_cast<AuditView*>(context);
    std::string line = LIB_POW_ownerFindingName(f->kind);
    if (f->index >= 0)
        line += " " + std::to_string(f->index);
    (f->damage ? view->damage : view->notes).push_back(line);
}

} // namespace

AuditView auditOf(const PwrSharedArea* image, const LIB_POW_Policy* policy) {
    AuditView view;
    LIB_POW_ownerAuditImage(image, policy, collectFinding, &view, nullptr);
    return view;
}

AuditView auditOf(const AreaNames& names) {
    AuditView view;
    LIB_POW_Names kit = names.kit();
    LIB_POW_OwnerError error = {};
    if (LIB_POW_ownerAudit(&kit, nullptr, 1000, collectFinding, &view, nullptr, &error) < 0)
        view.error = error.text;
    return view;
}

std::string tableAgainstLive(const PwrSharedArea* a, const Holdings& live) {
    std::string wrong;
    long sum = 0;
    for (const auto& holding : live)
        sum += holding.second.second;
    if (loadWord(a->DelayTaskNum) != sum)
        wrong += "total " + std::to_string(loadWord(a->DelayTaskNum)) + ", the live holders count " +
                 std::to_string(sum) + "; ";
    for (int i = 0; i < kDelayIndexCount; ++i) {
        auto mine = live.find(i);
        std::pair<pid_t, int> want = mine != live.end() ? mine->second : std::pair<pid_t, int>{0, 0};
        if (loadWord(a->sl_DelayPid[i]) != want.first || loadWord(a->ss_DelayCount[i]) != want.second)
            wrong += "index " + std::to_string(i) + " holder " + std::to_string(loadWord(a->sl_DelayPid[i])) +
                     " count " + std::to_string(loadWord(a->ss_DelayCount[i])) + "; ";
    }
    for (const std::string& damage : auditOf(a).damage)
        wrong += damage + "; ";
    return wrong;
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

} // namespace libpow_test
