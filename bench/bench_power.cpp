/*
 * bench_power.cpp - cost of the power flags, the delay reservations and the
 * sweep, each against the bare primitive it is built on, in the same run.
 * The ratios are printed at the end.
 */
#include <benchmark/benchmark.h>

#include "support.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <signal.h>
#include <string>
#include <unistd.h>

using namespace libpow_test;

namespace {

PwrSharedArea* g_area = nullptr; /* the library's own mapping */
SemId g_sem = 0;                 /* the library's POW handle */

/* The floor for a flag query: a call that cannot be inlined and reads one
 * byte of a shared mapping. */
__attribute__((noinline)) bool readMappedByte(const uint8_t* byte)
{
    return *reinterpret_cast<const volatile uint8_t*>(byte) != 0;
}

void BM_Floor_ReadMappedByte(benchmark::State& state)
{
    const uint8_t* byte = &g_area->b_HddReady;
    for (auto _ : state) {
        benchmark::DoNotOptimize(byte);
        benchmark::DoNotOptimize(readMappedByte(byte));
    }
}
BENCHMARK(BM_Floor_ReadMappedByte);

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

void BM_Floor_TwoTakeGivePairs(benchmark::State& state)
{
    for (auto _ : state) {
        PLAT_semTake(g_sem, PLAT_WAIT_FOREVER);
        PLAT_semGive(g_sem);
        PLAT_semTake(g_sem, PLAT_WAIT_FOREVER);
        PLAT_semGive(g_sem);
    }
}
BENCHMARK(BM_Floor_TwoTakeGivePairs);

void BM_SetResetPowerSaveDelay(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(LIB_POW_setPowerSaveDelay(7));
        LIB_POW_resetPowerSaveDelay(7);
    }
}
BENCHMARK(BM_SetResetPowerSaveDelay);

/* 255 live holders: this process and its parent, taking turns. */
void fillLiveHolders()
{
    for (int i = 1; i < 256; ++i)
        g_area->sl_DelayPid[i] = (i % 2) ? getpid() : getppid();
}

void clearHolders()
{
    for (int i = 1; i < 256; ++i)
        g_area->sl_DelayPid[i] = 0;
}

void BM_Floor_255Kills(benchmark::State& state)
{
    fillLiveHolders();
    for (auto _ : state)
        for (int i = 1; i < 256; ++i)
            benchmark::DoNotOptimize(kill(g_area->sl_DelayPid[i], 0));
    clearHolders();
}
BENCHMARK(BM_Floor_255Kills);

void BM_SweepOf255LiveHolders(benchmark::State& state)
{
    fillLiveHolders();
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_IsHddSleepDelay());
    clearHolders();
}
BENCHMARK(BM_SweepOf255LiveHolders);

/* Two processes at once, each doing `kOps` operations; wall time from the
 * moment both are released to the moment both have finished. */
constexpr int kOps = 50000;

double runPair(const std::function<void(int)>& work)
{
    Gate go;
    pid_t a = startChild([&] { go.wait(); work(0); return 0; }, 120);
    pid_t b = startChild([&] { go.wait(); work(1); return 0; }, 120);
    auto start = std::chrono::steady_clock::now();
    go.open();
    waitChild(a);
    waitChild(b);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Contended_Floor_TakeGivePairs(benchmark::State& state)
{
    for (auto _ : state) {
        double seconds = runPair([](int) {
            for (int n = 0; n < kOps; ++n) {
                PLAT_semTake(g_sem, PLAT_WAIT_FOREVER);
                PLAT_semGive(g_sem);
                PLAT_semTake(g_sem, PLAT_WAIT_FOREVER);
                PLAT_semGive(g_sem);
            }
        });
        state.SetIterationTime(seconds);
    }
    state.counters["ops_per_s"] = benchmark::Counter(2.0 * kOps * state.iterations(),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Contended_Floor_TakeGivePairs)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_Contended_SetReset(benchmark::State& state)
{
    for (auto _ : state) {
        double seconds = runPair([](int who) {
            short index = static_cast<short>(100 + who);
            for (int n = 0; n < kOps; ++n) {
                LIB_POW_setPowerSaveDelay(index);
                LIB_POW_resetPowerSaveDelay(index);
            }
        });
        state.SetIterationTime(seconds);
    }
    state.counters["ops_per_s"] = benchmark::Counter(2.0 * kOps * state.iterations(),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Contended_SetReset)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

/* Keeps each benchmark's time per iteration for the summary. */
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        /* With repetitions the median stands for the benchmark. One process
         * alone is judged by its CPU time, which a busy machine disturbs
         * less; the two-process runs by their wall time. */
        for (const Run& run : runs) {
            const std::string name = run.run_name.str();
            bool wall = name.find("manual_time") != std::string::npos;
            double time = wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Iteration && !medians.count(name))
                seconds[name] = time;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds[name] = time;
                medians.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
    std::set<std::string> medians;
};

void printRatio(CollectingReporter& r, const char* label, const std::string& mine,
                const std::string& floor, const char* target)
{
    if (!r.seconds.count(mine) || !r.seconds.count(floor) || r.seconds[floor] == 0)
        return;
    printf("  %-48s %6.2fx  (target %s)\n", label, r.seconds[mine] / r.seconds[floor], target);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    PrivateDevice device;
    device.createAreas();
    g_area = getPwrShm();
    g_sem = g_libPowState.pst_SemPowID;
    if (g_area == nullptr || g_sem == 0) {
        fprintf(stderr, "no power area\n");
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nRatios against the same run's floor (CPU time per operation; contended: wall time):\n");
    printRatio(reporter, "IsPowerSaveDelay / out-of-line byte read", "BM_IsPowerSaveDelay",
               "BM_Floor_ReadMappedByte", "<= 2");
    printRatio(reporter, "isHddReady / out-of-line byte read", "BM_isHddReady",
               "BM_Floor_ReadMappedByte", "<= 2");
    printRatio(reporter, "set+reset / two take+give pairs", "BM_SetResetPowerSaveDelay",
               "BM_Floor_TwoTakeGivePairs", "<= 1.3");
    printRatio(reporter, "sweep of 255 live holders / 255 kill(pid,0)", "BM_SweepOf255LiveHolders",
               "BM_Floor_255Kills", "<= 1.1");
    printRatio(reporter, "contended set+reset / contended take+give pairs",
               "BM_Contended_SetReset/iterations:3/manual_time",
               "BM_Contended_Floor_TakeGivePairs/iterations:3/manual_time",
               "report; throughput ratio is the inverse");
    benchmark::Shutdown();
    return 0;
}
