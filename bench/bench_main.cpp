/*
 * bench_main.cpp - runs the benchmarks linked into the program and prints
 * each speed figure as a ratio against the raw primitive or floor it is
 * built on, and lock figures also against a lock file with flock() and a
 * System V semaphore with SEM_UNDO. Both sides of a ratio come from the
 * same run, so it holds on a shared, noisy machine; a figure whose
 * benchmarks were not linked in or were filtered out is left out.
 *
 * Without arguments every benchmark runs in several interleaved repetitions
 * and the least disturbed one counts.
 */
#include "bench_report.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

PwrSharedArea* g_benchArea = nullptr;
SemId g_benchPow = 0;
LIB_POW_Names g_benchNames = {};

namespace {

/* Nanoseconds per operation of each benchmark: the least of its
 * repetitions. One process is judged by CPU time, which a busy machine
 * disturbs less; the two-process runs by wall time. */
class ReportCollector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args; /* a benchmark run on several tables */
            bool wall = run.run_name.str().find("manual_time") != std::string::npos;
            double ns = wall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            for (const char* key : {"ops", "per"}) {
                auto counter = run.counters.find(key);
                if (counter != run.counters.end() && counter->second.value > 0)
                    ns /= counter->second.value;
            }
            auto known = nsPerOp.find(name);
            if (known == nsPerOp.end() || ns < known->second)
                nsPerOp[name] = ns;
        }
    }
    std::map<std::string, double> nsPerOp;
};

struct Figure {
    const char* label;
    const char* measured;
    const char* raw;      /* the raw primitive or floor */
    double pairs;         /* how many lock pairs the operation needs; 0: no lock */
    double goal;          /* at most this many times the raw figure; 0: report */
    bool inverse = false; /* goal is raw/measured at least `goal` */
};

const Figure kFigures[] = {
    {"PLAT take+give", "BM_PlatPair", "BM_RawSemPair", 1, 1.5},
    {"robust pshared mutex (PLAT's floor)", "BM_RobustMutexPair", "BM_RawSemPair", 1, 0},
    {"PLAT behind one call (a wrapper's floor)", "BM_PlatPairBehindOneCall", "BM_RawSemPair", 1, 0},
    {"library lock+unlock (POW)", "BM_LibraryLockUnlock", "BM_RawSemPair", 1, 0},
    {"HddReady lock+unlock", "BM_HddReadyLockUnlock", "BM_RawSemPair", 1, 0},
    {"library lock+unlock over that floor", "BM_LibraryLockUnlock", "BM_PlatPairBehindOneCall", 1, 0},
    {"power getter once attached", "BM_GetterAttached", "BM_EmptyCall", 0, 0},
    {"LogPrint outside the mask", "BM_LogPrintOutsideMask", "BM_EmptyCall", 0, 0},
    {"IsPowerSaveDelay", "BM_IsPowerSaveDelay", "BM_ReadMappedByte", 0, 2},
    {"isHddReady", "BM_isHddReady", "BM_ReadMappedByte", 0, 2},
    {"set+reset of a held index", "BM_SetReset", "BM_PlatPair", 2, 1.3},
    {"sweep of 255 live holders", "BM_SweepOf255Live", "BM_255Kills", 0, 1.1},
    {"contended set+reset, 2 processes", "BM_Contended_SetReset", "BM_Contended_TwoPlatPairs", 1, 0},
    {"setWeeklyTimerDateOn", "BM_SetWeeklyTimerDateOn", "BM_PlatPair", 1, 1.3},
    {"getWeeklyTimerDateOn", "BM_GetWeeklyTimerDateOn", "BM_PlatPair", 1, 1.3},
    {"getWeeklyTimerFirstWeek", "BM_GetWeeklyTimerFirstWeek", "BM_EmptyCall", 0, 0},
    {"getWeeklyTimerLastDate", "BM_GetWeeklyTimerLastDate", "BM_EmptyCall", 0, 0},
    {"SockSendIndexSearch (strcmp walk / it)", "BM_SockSendIndexSearch", "BM_StrcmpWalk", 0, 30, true},
    {"owner repair holding POW, full table", "BM_OwnerRepairHold/0", "BM_PlatPair", 1, 0},
    {"owner repair holding POW, fresh table", "BM_OwnerRepairHold/1", "BM_PlatPair", 1, 0},
    {"owner repair holding POW, 256 bad entries", "BM_OwnerRepairHold/2", "BM_PlatPair", 1, 0},
    {"owner audit holding POW (the copy)", "BM_OwnerAuditHold", "BM_PlatPair", 1, 0},
    {"owner audit of the copy, full table", "BM_OwnerAuditOfACopy/0", "BM_PlatPair", 1, 0},
    {"owner audit of the copy, fresh table", "BM_OwnerAuditOfACopy/1", "BM_PlatPair", 1, 0},
    {"owner audit of the copy, 256 bad entries", "BM_OwnerAuditOfACopy/2", "BM_PlatPair", 1, 0},
    {"owner repair tick (map, hold, unmap)", "BM_OwnerRepairTick", "BM_PlatPair", 1, 0},
};

int printTable(ReportCollector& r)
{
    auto ns = [&](const std::string& name) {
        auto it = r.nsPerOp.find(name);
        return it == r.nsPerOp.end() ? 0.0 : it->second;
    };
    int missed = 0;
    printf("\n%-40s %9s  %-26s %8s %-13s %9s %9s\n", "figure", "ns/op", "raw baseline", "ratio",
           "goal", "vs flock", "vs SysV");
    for (const Figure& f : kFigures) {
        double mine = ns(f.measured);
        double raw = ns(f.raw) * (f.pairs > 1 ? f.pairs : 1);
        if (mine == 0 || raw == 0)
            continue; /* not linked in, or filtered out of this run */
        double ratio = f.inverse ? raw / mine : mine / raw;
        char goal[32] = "report";
        if (f.goal != 0) {
            bool ok = f.inverse ? ratio >= f.goal : ratio <= f.goal;
            missed += ok ? 0 : 1;
            snprintf(goal, sizeof goal, "%s%.1fx %s", f.inverse ? ">=" : "<=", f.goal,
                     ok ? "met" : "MISSED");
        }
        /* Against the alternatives: the same number of their lock pairs. */
        bool twoProcess = strstr(f.measured, "Contended") != nullptr;
        double flockNs = ns(twoProcess ? "BM_Contended_TwoFlockPairs" : "BM_FlockPair");
        double sysvNs = ns(twoProcess ? "BM_Contended_TwoSysvPairs" : "BM_SysvUndoPair");
        char vsFlock[16] = "-", vsSysv[16] = "-";
        if (f.pairs > 0 && flockNs > 0)
            snprintf(vsFlock, sizeof vsFlock, "%.3fx", mine / (flockNs * f.pairs));
        if (f.pairs > 0 && sysvNs > 0)
            snprintf(vsSysv, sizeof vsSysv, "%.3fx", mine / (sysvNs * f.pairs));
        std::string rawLabel = std::string(f.raw + 3) +
                               (f.pairs > 1 ? " x" + std::to_string(int(f.pairs)) : "");
        printf("%-40s %9.1f  %-26s %7.2fx %-13s %9s %9s\n", f.label, mine, rawLabel.c_str(),
               ratio, goal, vsFlock, vsSysv);
    }
    if (ns("BM_RawSemPair") > 0) {
        printf("\nbaselines, ns per pair: raw sem_wait+sem_post %.1f, PLAT %.1f, flock %.1f, "
               "SysV SEM_UNDO %.1f; contended (2 pairs per op): PLAT %.1f, flock %.1f, SysV %.1f\n",
               ns("BM_RawSemPair"), ns("BM_PlatPair"), ns("BM_FlockPair"), ns("BM_SysvUndoPair"),
               ns("BM_Contended_TwoPlatPairs"), ns("BM_Contended_TwoFlockPairs"),
               ns("BM_Contended_TwoSysvPairs"));
        printf("vs flock / vs SysV: the library figure over the same number of lock pairs of the "
               "alternative (below 1: the library is faster)\n");
    }
    return missed;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char minTime[] = "--benchmark_min_time=0.1";
    if (argc == 1) {
        args.push_back(repetitions);
        args.push_back(interleave);
        args.push_back(minTime);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;
    std::string why = enterPrivateShm();
    LIB_POW_OwnerError error = {};
    if (!why.empty()) {
        fprintf(stderr, "%s: measures nothing without a private /dev/shm: %s\n", argv[0], why.c_str());
        return kBenchNoPrivateShm;
    }
    if (LIB_POW_ownerCreate(nullptr, nullptr, &error) != 0) {
        fprintf(stderr, "%s: %s\n", argv[0], error.text);
        return 1;
    }
    g_benchNames = {LIB_POW_PWR_AREA_NAME, LIB_POW_NVD_AREA_NAME, LIB_POW_SEMLOG_AREA_NAME,
                    LIB_POW_SEM_POW_NAME,  LIB_POW_SEM_NVD_NAME,  LIB_POW_SEM_RDY_NAME};
    g_benchArea = getPwrShm();
    g_benchPow = loadWord(g_libPowState.pst_SemPowID);
    /* The calendar and the HddReady semaphore are attached before timing. */
    bool on = false;
    LIB_POW_getWeeklyTimerDateOn(2024, 2, 1, &on);
    LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag());
    if (g_benchArea == nullptr || g_benchPow == 0) {
        fprintf(stderr, "%s: could not set up the private device\n", argv[0]);
        return 1;
    }
    ReportCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    int missed = printTable(reporter);
    printf("%d goal(s) missed\n", missed);
    return 0;
}
