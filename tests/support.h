/* support.h - what every library test needs: a private copy of the device's named objects, a fresh library
 * state, captured stdout and child processes. */
#ifndef LIBPOW_TEST_SUPPORT_H
#define LIBPOW_TEST_SUPPORT_H

#include "LIB_PowerService_internal.h"
#include "area_owner.h"

#include <cstdint>
#include <functional>
#include <map>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/types.h>
#include <vector>

namespace libpow_test {

/* Private copies of the three areas and semaphores, which the library's seam uses instead of the device's
 * while one lives (so ctest -j is safe). Creating one resets the library to its load state; the objects go
 * with it. */
class PrivateDevice {
public:
    PrivateDevice();
    ~PrivateDevice();
    PrivateDevice(const PrivateDevice&) = delete;
    PrivateDevice& operator=(const PrivateDevice&) = delete;

    void createAreas(const AreaOptions& options = {}); /* as powsvc create makes them */
    PwrSharedArea* pwr(); /* the test's own mappings, made on first use */
    NvdSharedArea* nvd();
    SemLogArea* semLog();

    AreaNames names;

private:
    PwrSharedArea* pwr_ = nullptr;
    NvdSharedArea* nvd_ = nullptr;
    SemLogArea* semLog_ = nullptr;
};

/* Cache and globals zero, mask 3, seam redirected to the PrivateDevice. */
void resetLibrary();

class LibPowTest : public ::testing::Test {
protected:
    PrivateDevice device;
};

std::string captureStdout(const std::function<void()>& fn);

/* A child _exits with fn's result, killed by its alarm after `limitSeconds`;
 * waitChild gives the exit code or 128 + signal. */
pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds = 60);
int waitChild(pid_t pid);
inline int runChild(const std::function<int()>& fn, unsigned limitSeconds = 60) {
    return waitChild(startChild(fn, limitSeconds));
}

/* startChild as user `uid` (its own primary group, and with `member` also the access group 51000 of the
 * access tests), with a fresh library; a failed check inside fn fails the child (91), a failed switch gives
 * 90. */
pid_t startAs(uid_t uid, bool member, const std::function<int()>& fn);
inline int runAs(uid_t uid, bool member, const std::function<int()>& fn) { return waitChild(startAs(uid, member, fn)); }

/* wait() blocks until open(): several processes start a step at once. */
class Gate {
public:
    Gate();
    ~Gate();
    void wait();
    void open();

private:
    int fds_[2];
};

std::vector<std::string> lines(const std::string& text);
/* A name unique to this process and call, for objects a test makes itself. */
std::string uniqueName(const std::string& base);

/* fn's trace at `mask` (then back to 3) as "function message" lines, or
 * "UNPREFIXED line"; blankHandles writes "pst_SemID=*". */
std::vector<std::string> traceAt(unsigned mask, const std::function<void()>& fn, bool blankHandles = false);
std::string pointerText(const void* p); /* "%p", as the library prints it */
/* Dead holders the platform has recovered for a semaphore; -1 if not shown. */
long semRecoveries(SemId id);

/* An object's bytes, and where two images differ ("offset:old->new"). */
template <typename T>
std::vector<uint8_t> bytesOf(const T* object) {
    auto* b = reinterpret_cast<const uint8_t*>(object);
    return std::vector<uint8_t>(b, b + sizeof(T));
}
std::vector<std::string> differences(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

/* While one lives, the library's platform and area calls are recorded in
 * `calls` and passed on to the previous seam (`inner`), restored at the end. */
struct SeamCalls {
    int creates = 0, takes = 0, gives = 0;
    std::vector<SemId> given, shown;
    std::vector<int> opened, closed; /* descriptors; -1 for a failed open */
    std::vector<size_t> mapped;      /* lengths asked of mmap */
};
struct CountingSeam {
    CountingSeam();
    ~CountingSeam();
    static SeamCalls calls;
    static LibPowSys inner;
};

/* The owner kit's audit as "kind index" lines ("kind" alone where no index is concerned), damage and notes
 * apart: of an image, or of the device's table under POW (taken within a second) with its holders checked. */
struct AuditView {
    std::vector<std::string> damage, notes;
    std::string error; /* the kit's reason when the audit failed */
};
AuditView auditOf(const PwrSharedArea* image, const LIB_POW_Policy* policy = nullptr);
AuditView auditOf(const AreaNames& names);

/* The live holders' own tallies: index -> {holder, count}. */
using Holdings = std::map<int, std::pair<pid_t, int>>;
/* What a table shows against the live holders once a repair and a sweep have run after a kill: "" when the
 * total is the sum of their counts, each keeps its index and count, every other index is neither held nor
 * counts, and the audit finds no damage (each index free once, or kept off). */
std::string tableAgainstLive(const PwrSharedArea* a, const Holdings& live);

/* A zeroed T in memory shared with forked children; never unmapped. */
template <typename T>
T* sharedBlock() {
    void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        abort();
    return new (p) T{};
}

} // namespace libpow_test

#endif
