/*
 * support.h - what every library test needs: a private copy of the device's
 * named objects, a fresh library state, captured stdout and child processes.
 */
#ifndef LIBPOW_TEST_SUPPORT_H
#define LIBPOW_TEST_SUPPORT_H

#include "LIB_PowerService_internal.h"
#include "area_owner.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/types.h>
#include <vector>

namespace libpow_test {

/* Private copies of the three areas and three semaphores: while one lives,
 * the library's seam maps the device's fixed names onto them, so tests never
 * touch /dev/shm's real objects and ctest -j is safe. Creating one resets
 * the library to its load state; the objects go with it. */
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

/* The library's load state (cache and globals zero, mask 3), with the seam
 * redirected to the current PrivateDevice. */
void resetLibrary();

class LibPowTest : public ::testing::Test {
protected:
    PrivateDevice device;
};

std::string captureStdout(const std::function<void()>& fn);

/* A child runs fn and _exits with its result (stdout flushed first); its
 * own alarm kills it after `limitSeconds`. waitChild gives the exit code,
 * or 128 + signal. */
pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds = 60);
int waitChild(pid_t pid);
inline int runChild(const std::function<int()>& fn, unsigned limitSeconds = 60) {
    return waitChild(startChild(fn, limitSeconds));
}

/* Children block in wait() until the parent calls open(), so several
 * processes start a step at the same moment. */
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

/* Runs fn at log mask `mask` (then back to 3) and returns its trace lines
 * as "function message" ("LIB_PowerService.cpp(LINE):" taken off; a line
 * without it comes back as "UNPREFIXED line"); blankHandles turns
 * "pst_SemID=..." into "pst_SemID=*". */
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
 * `calls` and passed on to the seam as it was (`inner`), which comes back
 * on destruction. A test may still replace members afterwards. */
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
