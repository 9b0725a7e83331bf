/*
 * bench_power.cpp - the power flags, the delay reservations and the sweep of
 * their holders, alone and with two processes reserving at once.
 */
#include "bench_report.h"

namespace {

void BM_IsPowerSaveDelay(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_IsPowerSaveDelay());
}
BENCHMARK(BM_IsPowerSaveDelay);

void BM_isHddReady(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_isHddReady());
}
BENCHMARK(BM_isHddReady);

void BM_SetReset(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(LIB_POW_setPowerSaveDelay(7));
        LIB_POW_resetPowerSaveDelay(7);
    }
}
BENCHMARK(BM_SetReset);

void BM_SweepOf255Live(benchmark::State& state)
{
    fillLiveHolders(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_IsHddSleepDelay());
    fillLiveHolders(false);
}
BENCHMARK(BM_SweepOf255Live);

void BM_Contended_SetReset(benchmark::State& state)
{
    contended(state, [](int who) {
        /* Each process its own index, so only the lock is shared. */
        short index = static_cast<short>(100 + who);
        for (int n = 0; n < kContendedOps; ++n) {
            LIB_POW_setPowerSaveDelay(index);
            LIB_POW_resetPowerSaveDelay(index);
        }
    });
}
BENCHMARK(BM_Contended_SetReset)->UseManualTime()->Iterations(3);

} // namespace
