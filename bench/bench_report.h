/*
 * bench_report.h - runs the registered benchmarks and then prints each
 * figure that matters as a ratio of two benchmarks of the same run, so the
 * result holds on a shared, noisy machine.
 */
#ifndef LIBPOW_BENCH_REPORT_H
#define LIBPOW_BENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct BenchRatio {
    std::string label;
    std::string measured;  /* benchmark name */
    std::string baseline;  /* benchmark name */
    double scale = 1.0;    /* baseline multiplier, e.g. 2 for "two pairs" */
    double limit = 0.0;    /* goal: ratio at most this; 0 = report only */
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                nsPerOp[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nsPerOp;
};

/* Returns 0, or 1 when a figure misses its goal (so a CI run can notice). */
inline int runWithRatios(int argc, char** argv, const std::vector<BenchRatio>& ratios)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    int missed = 0;
    printf("\n%-58s %10s %10s %7s %s\n", "figure", "ns", "base ns", "ratio", "goal");
    for (const BenchRatio& r : ratios) {
        auto m = reporter.nsPerOp.find(r.measured);
        auto b = reporter.nsPerOp.find(r.baseline);
        if (m == reporter.nsPerOp.end() || b == reporter.nsPerOp.end())
            continue; /* filtered out of this run */
        double base = b->second * r.scale;
        double ratio = m->second / base;
        bool ok = r.limit == 0.0 || ratio <= r.limit;
        missed += ok ? 0 : 1;
        char goal[32] = "report";
        if (r.limit != 0.0)
            snprintf(goal, sizeof goal, "<= %.2fx %s", r.limit, ok ? "met" : "MISSED");
        printf("%-58s %10.1f %10.1f %6.2fx %s\n", r.label.c_str(), m->second, base, ratio, goal);
    }
    return missed ? 1 : 0;
}

#endif
