/*
 * fuzz_power.cpp - whatever bytes the power area holds, no flag call, no
 * reservation and no sweep may read or write outside its 2060 bytes.
 *
 * Input: the first 2060 bytes are the area image; the rest is a list of
 * operations with their arguments, and also feeds the answers of kill().
 * A shorter input is laid over a freshly initialised area and is read as
 * the operation list too, so that short inputs already reach the table
 * code and the fuzzer has coverage to grow them from. The area is an
 * exact-size heap block installed as the attached area, so AddressSanitizer
 * flags any access past either end.
 */
#include "LIB_PowerService_internal.h"
#include "area_owner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* Reads bytes from the operation list; zeros once it runs out. */
struct Cursor {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool done() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    int16_t word()
    {
        uint16_t hi = byte();
        return static_cast<int16_t>((hi << 8) | byte());
    }
};

Cursor g_input;
pid_t g_pid = 1;
int g_dummySemaphore;

SemId fakeCreate(int, sem_b_state, char*)
{
    return reinterpret_cast<SemId>(&g_dummySemaphore);
}
int fakeTake(SemId, int) { return 0; }
int fakeGive(SemId) { return 0; }
int fakeErrno(void) { return EIO; }
pid_t fakeGetpid(void) { return g_pid; }
int fakeShmOpen(const char*, int, mode_t)
{
    errno = ENOENT; /* nothing but the installed area is ever attached */
    return -1;
}
/* Whether a holder still runs is up to the input. */
int fakeKill(pid_t, int)
{
    if (g_input.byte() & 1)
        return 0;
    errno = ESRCH;
    return -1;
}

void installSeam()
{
    g_libPowSys.shm_open = fakeShmOpen;
    g_libPowSys.semBCreate = fakeCreate;
    g_libPowSys.semTake = fakeTake;
    g_libPowSys.semGive = fakeGive;
    g_libPowSys.errnoGet = fakeErrno;
    g_libPowSys.getpid = fakeGetpid;
    g_libPowSys.kill = fakeKill;
    /* Traces are formatted too (a mask bit comes from the input), but
     * nobody needs to read them. */
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool installed = (installSeam(), true);
    (void)installed;

    auto* area = static_cast<uint8_t*>(malloc(kPwrAreaSize));
    if (area == nullptr)
        return 0;
    size_t imageSize = size < kPwrAreaSize ? size : kPwrAreaSize;
    initPwrArea(reinterpret_cast<PwrSharedArea*>(area), 0);
    memcpy(area, data, imageSize);
    auto* pwr = reinterpret_cast<PwrSharedArea*>(area);
    g_libPowState.pst_PwrShm = pwr;
    g_libPowState.pst_SemPowID = 0; /* the first lock asks fakeCreate */

    if (size > kPwrAreaSize)
        g_input = Cursor{data + kPwrAreaSize, size - kPwrAreaSize, 0};
    else
        g_input = Cursor{data, size, 0};
    LIB_POW_setLogLevel((g_input.byte() & 1) ? 0x71u : 0u);
    /* Either the index-0 holder or someone else. */
    int32_t pid0;
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
            pid_t expected = static_cast<pid_t>(g_input.word());
            resetPowerSaveDelayPid(index, all, expected);
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
