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
#include <new>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace libpow_test {

/* A private set of the three areas and three semaphores for one test. While
 * it lives, the library's seam maps the device's fixed names onto these, so
 * tests never see or touch what is in /dev/shm otherwise, and ctest -j is
 * safe. Creating one also resets the library to its state at load (cache
 * and globals zero, mask 3). The objects are removed on destruction. */
class PrivateDevice {
public:
    PrivateDevice();
    ~PrivateDevice();
    PrivateDevice(const PrivateDevice&) = delete;
    PrivateDevice& operator=(const PrivateDevice&) = delete;

    /* Makes the three areas as powsvc create would. */
    void createAreas(const AreaOptions& options = {});

    /* The test's own mappings of the areas (made on first use). */
    PwrSharedArea* pwr();
    NvdSharedArea* nvd();
    SemLogArea* semLog();

    AreaNames names;

private:
    PwrSharedArea* pwr_ = nullptr;
    NvdSharedArea* nvd_ = nullptr;
    SemLogArea* semLog_ = nullptr;
};

/* Puts the library back to its state at load, with the seam redirected to
 * the current PrivateDevice. */
void resetLibrary();

/* Fixture for tests that use the library against a private device. */
class LibPowTest : public ::testing::Test {
protected:
    PrivateDevice device;
};

/* Runs fn with stdout captured and returns what it printed. */
std::string captureStdout(const std::function<void()>& fn);

/* Child processes. The child runs fn and _exits with its result; stdout is
 * flushed first so nothing is printed twice. A child that outlives
 * `limitSeconds` is killed by its own alarm. */
pid_t startChild(const std::function<int()>& fn, unsigned limitSeconds = 60);
/* Waits for the child: its exit code, or 128 + signal when it was killed. */
int waitChild(pid_t pid);
inline int runChild(const std::function<int()>& fn, unsigned limitSeconds = 60) {
    return waitChild(startChild(fn, limitSeconds));
}

/* A cross-process one-shot gate: children block in wait() until the parent
 * calls open(). Lets several processes start a step at the same moment. */
class Gate {
public:
    Gate();
    ~Gate();
    void wait();
    void open();

private:
    int fds_[2];
};

/* Lines of a text, without their line feeds. */
std::vector<std::string> lines(const std::string& text);

/* A name unique to this process and call, for objects a test makes itself. */
std::string uniqueName(const std::string& base);

/* Trace lines as "function message": "LIB_PowerService.cpp(LINE):" taken
 * off (a line without it comes back as "UNPREFIXED line"); blankHandles
 * turns "pst_SemID=..." into "pst_SemID=*". */
std::vector<std::string> traced(const std::string& out, bool blankHandles = false);
/* Runs fn at log mask `mask` (then back to 3) and returns its trace lines. */
std::vector<std::string> traceAt(unsigned mask, const std::function<void()>& fn, bool blankHandles = false);
/* "%p" of a pointer, as the library prints it. */
std::string pointerText(const void* p);

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

/* Zeroed memory shared with forked children, holding a T; never unmapped. */
void* sharedPages(size_t size);
template <typename T>
T* sharedBlock() {
    return new (sharedPages(sizeof(T))) T{};
}

} // namespace libpow_test

#endif
