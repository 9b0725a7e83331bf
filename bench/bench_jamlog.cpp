/*
 * The jam log's path lookup against the obvious alternative, a strcmp walk
 * over the 104 known paths. Both look up every table path in turn, so each
 * figure is the average over all 104 rows; the ratio is printed at the end.
 */
#include "support.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

/* Copies of the paths in the caller's own buffers, as a caller would pass
 * them, so neither side can win by pointer identity. */
struct Paths {
    char text[kSockPathCount][kSockPathLength + 1];
    Paths()
    {
        for (int row = 0; row < kSockPathCount; ++row)
            memcpy(text[row], SocketPathTable[row], sizeof text[row]);
    }
};

int strcmpWalk(const char* path)
{
    for (int row = 0; row < kSockPathCount; ++row)
        if (strcmp(path, SocketPathTable[row]) == 0)
            return row;
    return -1;
}

std::map<std::string, double> g_nsPerLookup;

void BM_SockSendIndexSearch(benchmark::State& state)
{
    static Paths paths;
    for (auto _ : state) {
        int sum = 0;
        for (int row = 0; row < kSockPathCount; ++row)
            sum += SockSendIndexSearch(paths.text[row]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kSockPathCount);
}

void BM_StrcmpWalk(benchmark::State& state)
{
    static Paths paths;
    for (auto _ : state) {
        int sum = 0;
        for (int row = 0; row < kSockPathCount; ++row)
            sum += strcmpWalk(paths.text[row]);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kSockPathCount);
}

/* Several repetitions of each; the ratio takes each side's least disturbed
 * one, since the machine is shared with other work. */
BENCHMARK(BM_SockSendIndexSearch)->Repetitions(5);
BENCHMARK(BM_StrcmpWalk)->Repetitions(5);

/* Keeps the per-benchmark time per lookup so that main can print the ratio. */
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            /* CPU time: the machine is shared, and time spent descheduled
             * would land on whichever side happened to be running. */
            double seconds = run.cpu_accumulated_time;
            double ns = seconds * 1e9 / (static_cast<double>(run.iterations) * kSockPathCount);
            auto known = g_nsPerLookup.find(run.run_name.function_name);
            if (known == g_nsPerLookup.end() || ns < known->second)
                g_nsPerLookup[run.run_name.function_name] = ns;
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    /* Sanity: both sides agree on every row before anything is timed. */
    Paths paths;
    for (int row = 0; row < kSockPathCount; ++row) {
        if (SockSendIndexSearch(paths.text[row]) != row || strcmpWalk(paths.text[row]) != row) {
            fprintf(stderr, "lookup disagrees at row %d\n", row);
            return 1;
        }
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto search = g_nsPerLookup.find("BM_SockSendIndexSearch");
    auto walk = g_nsPerLookup.find("BM_StrcmpWalk");
    if (search != g_nsPerLookup.end() && walk != g_nsPerLookup.end() && search->second > 0) {
        double ratio = walk->second / search->second;
        printf("\nCPU time per lookup, average over the 104 paths, best of the repetitions: SockSendIndexSearch %.2f ns, strcmp walk "
               "%.2f ns\nratio strcmp walk / SockSendIndexSearch = %.1fx (goal: at least 30x) %s\n",
               search->second, walk->second, ratio, ratio >= 30.0 ? "MET" : "NOT MET");
    }
    return 0;
}
