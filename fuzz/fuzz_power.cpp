/* Whatever the power area holds, no flag call, reservation or sweep may access outside its 2060 bytes (an
 * exact-size heap block, for ASan). The input is the area image, then operations that also answer kill(); a
 * short input lies over a fresh area and is read as operations too. */
#include "LIB_PowerService_internal.h"
#include "area_owner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* Zeros once the operations run out. */
struct Cursor {
    const uint8_t* data;
    size_t size, pos;
    bool done() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    int16_t word() {
        uint16_t hi = byte(); /* high byte first, in its own statement */
        return static_cast<int16_t>((hi << 8) | byte());
    }
};

Cursor g_input;
pid_t g_pid = 1;
int g_dummySemaphore;

void installSeam() {
    g_libPowSys.shm_open = [](const char*, int, mode_t) { errno = ENOENT; return -1; }; /* only the installed area */
    g_libPowSys.semBCreate = [](int, sem_b_state, char*) { return reinterpret_cast<SemId>(&g_dummySemaphore); };
    g_libPowSys.semTake = [](SemId, int) { return 0; };
    g_libPowSys.semGive = [](SemId) { return 0; };
    g_libPowSys.errnoGet = [] { return EIO; };
    g_libPowSys.getpid = [] { return g_pid; };
    g_libPowSys.kill = [](pid_t, int) { /* whether a holder still runs is up to the input */
        if (g_input.byte() & 1)
            return 0;
        errno = ESRCH;
        return -1;
    };
    if (freopen("/dev/null", "w", stdout) == nullptr) /* traces are formatted, nobody reads them */
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool installed = (installSeam(), true);
    (void)installed;
    auto* area = static_cast<uint8_t*>(malloc(kPwrAreaSize));
    if (area == nullptr)
        return 0;
    auto* pwr = reinterpret_cast<PwrSharedArea*>(area);
    LIB_POW_ownerInitPower(pwr, 0, nullptr);
    memcpy(area, data, size < kPwrAreaSize ? size : kPwrAreaSize);
    g_libPowState.pst_PwrShm = pwr;
    g_libPowState.pst_SemPowID = 0; /* the first lock asks the seam */
    g_input = size > kPwrAreaSize ? Cursor{data + kPwrAreaSize, size - kPwrAreaSize, 0} : Cursor{data, size, 0};
    LIB_POW_setLogLevel((g_input.byte() & 1) ? 0x71u : 0u);
    int32_t pid0; /* the caller is either the index-0 holder or someone else */
    memcpy(&pid0, area + 4, sizeof pid0);
    g_pid = (g_input.byte() & 1) ? pid0 : 4242;

    for (int step = 0; step < 32 && !g_input.done(); ++step) {
        switch (g_input.byte() % 13) {
        case 0: LIB_POW_setPowerSaveDelay(g_input.word()); break;
        case 1: LIB_POW_setPowerSaveDelay(-1); break;
        case 2: LIB_POW_resetPowerSaveDelay(g_input.word()); break;
        case 3: LIB_POW_IsHddSleepDelay(); break;
        case 4: {
            int16_t index = g_input.word();
            bool all = g_input.byte() & 1;
            resetPowerSaveDelayPid(index, all, static_cast<pid_t>(g_input.word()));
            break;
        }
        case 5: LIB_POW_getResetAutoSleepTimer(g_input.byte() & 1); break;
        case 6: LIB_POW_putResetAutoSleepTimer(); break;
        case 7: LIB_POW_setHddReady(g_input.byte() & 1); break;
        case 8: LIB_POW_isHddReady(); break;
        case 9: LIB_POW_getDelayPowerSaveTaskNoneReserved(g_input.byte() & 1); break;
        case 10: LIB_POW_IsPowerSaveDelay(); break;
        case 11: LIB_POW_setPowerSaveDelayForService(); break;
        case 12: checkPowerSaveDelayPid(pwr); break;
        }
    }
    g_libPowState.pst_PwrShm = nullptr;
    free(area);
    return 0;
}
