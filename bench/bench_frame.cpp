/*
 * The frame's hot paths: a take+give through the library and through the
 * platform alone against a raw POSIX named semaphore, the power getter once
 * attached, and a trace print whose level is outside the mask.
 */
#include "bench_report.h"
#include "support.h"

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

using libpow_test::PrivateDevice;

namespace {

__attribute__((noinline)) void emptyCall(unsigned level, const char* text)
{
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(text);
}

void BM_RawNamedSemaphore(benchmark::State& state)
{
    std::string name = libpow_test::uniqueName("/libpow_bench_sem");
    sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
    if (sem == SEM_FAILED) {
        state.SkipWithError("sem_open failed");
        return;
    }
    for (auto _ : state) {
        sem_wait(sem);
        sem_post(sem);
    }
    sem_close(sem);
    sem_unlink(name.c_str());
}
BENCHMARK(BM_RawNamedSemaphore);

void BM_PlatformTakeGive(benchmark::State& state)
{
    std::string name = libpow_test::uniqueName("libpow_bench_plat");
    SemId sem = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name.c_str()));
    for (auto _ : state) {
        PLAT_semTake(sem, PLAT_WAIT_FOREVER);
        PLAT_semGive(sem);
    }
    PLAT_semRemove(name.c_str());
}
BENCHMARK(BM_PlatformTakeGive);

void BM_LibraryLockUnlock(benchmark::State& state)
{
    PrivateDevice device;
    for (auto _ : state)
        unlock(lockPowShm());
}
BENCHMARK(BM_LibraryLockUnlock);

void BM_HddReadyLockUnlock(benchmark::State& state)
{
    PrivateDevice device;
    for (auto _ : state)
        LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag());
}
BENCHMARK(BM_HddReadyLockUnlock);

void BM_PowerGetterAttached(benchmark::State& state)
{
    PrivateDevice device;
    device.createAreas();
    if (getPwrShm() == nullptr) {
        state.SkipWithError("attach failed");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(getPwrShm());
}
BENCHMARK(BM_PowerGetterAttached);

void BM_LogPrintOutsideMask(benchmark::State& state)
{
    libpow_test::resetLibrary();
    for (auto _ : state)
        LogPrint(64, "%s(%d):%s Start\n", "f", 1, "g");
}
BENCHMARK(BM_LogPrintOutsideMask);

void BM_EmptyCall(benchmark::State& state)
{
    for (auto _ : state)
        emptyCall(64, "%s(%d):%s Start\n");
}
BENCHMARK(BM_EmptyCall);

} // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv, {
        {"PLAT take+give vs raw sem_wait+sem_post", "BM_PlatformTakeGive", "BM_RawNamedSemaphore", 1, 1.5},
        {"library lock+unlock (POW) vs raw sem_wait+sem_post", "BM_LibraryLockUnlock", "BM_RawNamedSemaphore", 1, 1.5},
        {"HddReady lock+unlock vs raw sem_wait+sem_post", "BM_HddReadyLockUnlock", "BM_RawNamedSemaphore", 1, 1.5},
        {"power getter once attached vs empty out-of-line call", "BM_PowerGetterAttached", "BM_EmptyCall", 1, 0},
        {"LogPrint outside the mask vs empty out-of-line call", "BM_LogPrintOutsideMask", "BM_EmptyCall", 1, 0},
    });
}
