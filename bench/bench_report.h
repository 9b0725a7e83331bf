/*
 * bench_report.h - what the benchmark files share. Each bench_*.cpp only
 * registers benchmarks; bench_baselines.cpp holds the raw locks and floors
 * the figures are compared with, and bench_main.cpp makes the device, runs
 * whatever benchmarks were linked in and prints each figure whose two sides
 * both ran as a ratio from the same run.
 */
#ifndef LIBPOW_BENCH_REPORT_H
#define LIBPOW_BENCH_REPORT_H

#include "LIB_POW_owner.h"
#include "LIB_PowerService_internal.h"
#include "bench_device.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <unistd.h>

/* Made by main before any benchmark runs, in its private /dev/shm: the
 * library's own mapping of the power area and its POW semaphore handle. */
extern PwrSharedArea* g_benchArea;
extern SemId g_benchPow;
extern LIB_POW_Names g_benchNames; /* the device's names, for the owner kit */

inline void platPair()
{
    PLAT_semTake(g_benchPow, PLAT_WAIT_FOREVER);
    PLAT_semGive(g_benchPow);
}

/* 255 live holders of delay indices (this process and its parent, taking
 * turns), or none. */
inline void fillLiveHolders(bool fill)
{
    for (int i = 1; i < kDelayIndexCount; ++i)
        storeWord(g_benchArea->sl_DelayPid[i], fill ? ((i % 2) ? getpid() : getppid()) : 0);
}

/* Operations each of the two processes does in a contended run. */
constexpr int kContendedOps = 20000;

/* Two processes run `work(0)` and `work(1)` at once; each iteration's time
 * is the wall time from their common start to the end of both. The "ops"
 * counter makes the report divide it per operation of either process, so it
 * compares with a one-process figure. Register with UseManualTime(). */
inline void contended(benchmark::State& state, const std::function<void(int)>& work)
{
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!runPair(work)) {
            state.SkipWithError("a process of the pair failed");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["ops"] = 2.0 * kContendedOps;
}

#endif
