/*
 * bench_frame.cpp - the frame's hot paths: a lock+unlock through the
 * library, the power getter once attached, and a trace print whose level is
 * outside the mask.
 */
#include "bench_report.h"

namespace {

void BM_LibraryLockUnlock(benchmark::State& state)
{
    for (auto _ : state)
        unlock(lockPowShm());
}
BENCHMARK(BM_LibraryLockUnlock);

void BM_HddReadyLockUnlock(benchmark::State& state)
{
    for (auto _ : state)
        LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag());
}
BENCHMARK(BM_HddReadyLockUnlock);

void BM_GetterAttached(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(getPwrShm());
}
BENCHMARK(BM_GetterAttached);

void BM_LogPrintOutsideMask(benchmark::State& state)
{
    for (auto _ : state)
        LogPrint(64, "%s(%d):%s Start\n", "f", 1, "g");
}
BENCHMARK(BM_LogPrintOutsideMask);

} // namespace
