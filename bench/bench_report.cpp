/*
 * bench_report.cpp - every speed figure of the library in one run, each as
 * a ratio against the raw primitive it is built on and against what an
 * integrator would otherwise pick for a device-wide lock: a lock file with
 * flock(), or a System V semaphore with SEM_UNDO. All baselines are
 * measured in the same run, so the ratios hold on a shared, noisy machine.
 *
 * Without arguments every benchmark runs in several interleaved repetitions
 * and the least disturbed one counts. The other bench_* programs measure
 * the same things one feature at a time.
 */
#include "support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <semaphore.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>
#include <vector>

using namespace libpow_test;

namespace {

/* ---- The device and the alternative locks, made once in main ----------- */

PrivateDevice* g_device = nullptr;
PwrSharedArea* g_area = nullptr; /* the library's own mapping */
SemId g_pow = 0;                 /* the library's POW handle */
sem_t* g_rawSem = nullptr;
std::string g_rawSemName;
int g_lockFd = -1;
char g_lockPath[] = "/tmp/libpow_bench_lock.XXXXXX";
int g_sysvId = -1;

void flockPair(int fd)
{
    flock(fd, LOCK_EX);
    flock(fd, LOCK_UN);
}

void sysvPair()
{
    sembuf take{0, -1, SEM_UNDO};
    sembuf give{0, 1, SEM_UNDO};
    semop(g_sysvId, &take, 1);
    semop(g_sysvId, &give, 1);
}

void platPair()
{
    PLAT_semTake(g_pow, PLAT_WAIT_FOREVER);
    PLAT_semGive(g_pow);
}

__attribute__((noinline)) void emptyCall(unsigned level, const char* text)
{
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(text);
}

__attribute__((noinline)) bool readMappedByte(const uint8_t* byte)
{
    return *reinterpret_cast<const volatile uint8_t*>(byte) != 0;
}

/* ---- Locks, one process ----------------------------------------------------- */

void BM_RawSemPair(benchmark::State& state)
{
    for (auto _ : state) {
        sem_wait(g_rawSem);
        sem_post(g_rawSem);
    }
}
BENCHMARK(BM_RawSemPair);

void BM_FlockPair(benchmark::State& state)
{
    for (auto _ : state)
        flockPair(g_lockFd);
}
BENCHMARK(BM_FlockPair);

void BM_SysvUndoPair(benchmark::State& state)
{
    for (auto _ : state)
        sysvPair();
}
BENCHMARK(BM_SysvUndoPair);

void BM_PlatPair(benchmark::State& state)
{
    for (auto _ : state)
        platPair();
}
BENCHMARK(BM_PlatPair);

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

/* ---- Frame ------------------------------------------------------------------ */

void BM_EmptyCall(benchmark::State& state)
{
    for (auto _ : state)
        emptyCall(64, "%s(%d):%s Start\n");
}
BENCHMARK(BM_EmptyCall);

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

/* ---- Power flags and reservations ----------------------------------------- */

void BM_ReadMappedByte(benchmark::State& state)
{
    const uint8_t* byte = &g_area->b_HddReady;
    for (auto _ : state) {
        benchmark::DoNotOptimize(byte);
        benchmark::DoNotOptimize(readMappedByte(byte));
    }
}
BENCHMARK(BM_ReadMappedByte);

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

/* 255 live holders: this process and its parent, taking turns. */
void fillLiveHolders(bool fill)
{
    for (int i = 1; i < kDelayIndexCount; ++i)
        storeWord(g_area->sl_DelayPid[i], fill ? ((i % 2) ? getpid() : getppid()) : 0);
}

void BM_255Kills(benchmark::State& state)
{
    fillLiveHolders(true);
    for (auto _ : state)
        for (int i = 1; i < kDelayIndexCount; ++i)
            benchmark::DoNotOptimize(kill(loadWord(g_area->sl_DelayPid[i]), 0));
    fillLiveHolders(false);
}
BENCHMARK(BM_255Kills);

void BM_SweepOf255Live(benchmark::State& state)
{
    fillLiveHolders(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_IsHddSleepDelay());
    fillLiveHolders(false);
}
BENCHMARK(BM_SweepOf255Live);

/* ---- Two processes at once --------------------------------------------------- */

constexpr int kContendedOps = 20000;

/* Both processes do kContendedOps operations; wall time from the moment
 * both are released to the moment both have finished, per operation. */
double runPair(void (*work)(int))
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

template <void (*Work)(int)>
void contended(benchmark::State& state)
{
    for (auto _ : state)
        state.SetIterationTime(runPair(Work));
    /* Per operation of either process, so it compares with one process's. */
    state.counters["ops"] = 2.0 * kContendedOps;
}

void twoPlatPairs(int)
{
    for (int n = 0; n < kContendedOps; ++n) {
        platPair();
        platPair();
    }
}
void twoFlockPairs(int)
{
    /* A lock file excludes open files, not processes: each opens its own. */
    int fd = open(g_lockPath, O_RDWR);
    for (int n = 0; n < kContendedOps; ++n) {
        flockPair(fd);
        flockPair(fd);
    }
    close(fd);
}
void twoSysvPairs(int)
{
    for (int n = 0; n < kContendedOps; ++n) {
        sysvPair();
        sysvPair();
    }
}
void setResetOwnIndex(int who)
{
    short index = static_cast<short>(100 + who);
    for (int n = 0; n < kContendedOps; ++n) {
        LIB_POW_setPowerSaveDelay(index);
        LIB_POW_resetPowerSaveDelay(index);
    }
}
BENCHMARK(contended<twoPlatPairs>)->Name("BM_Contended_TwoPlatPairs")->UseManualTime()->Iterations(3);
BENCHMARK(contended<twoFlockPairs>)->Name("BM_Contended_TwoFlockPairs")->UseManualTime()->Iterations(3);
BENCHMARK(contended<twoSysvPairs>)->Name("BM_Contended_TwoSysvPairs")->UseManualTime()->Iterations(3);
BENCHMARK(contended<setResetOwnIndex>)->Name("BM_Contended_SetReset")->UseManualTime()->Iterations(3);

/* ---- Calendar ------------------------------------------------------------------ */

void BM_SetWeeklyTimerDateOn(benchmark::State& state)
{
    bool on = false;
    unsigned char day = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LIB_POW_setWeeklyTimerDateOn(2024, 2, day, on));
        on = !on;
        day = static_cast<unsigned char>(day == 29 ? 1 : day + 1);
    }
}
BENCHMARK(BM_SetWeeklyTimerDateOn);

void BM_GetWeeklyTimerDateOn(benchmark::State& state)
{
    bool on = false;
    unsigned char day = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LIB_POW_getWeeklyTimerDateOn(2024, 2, day, &on));
        benchmark::DoNotOptimize(on);
        day = static_cast<unsigned char>(day == 29 ? 1 : day + 1);
    }
}
BENCHMARK(BM_GetWeeklyTimerDateOn);

/* ---- Jam log lookup: one lookup, averaged over the 104 table paths ------ */

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

void BM_SockSendIndexSearch(benchmark::State& state)
{
    static Paths paths;
    for (auto _ : state) {
        int sum = 0;
        for (int row = 0; row < kSockPathCount; ++row)
            sum += SockSendIndexSearch(paths.text[row]);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per"] = kSockPathCount;
}
BENCHMARK(BM_SockSendIndexSearch);

void BM_StrcmpWalk(benchmark::State& state)
{
    static Paths paths;
    for (auto _ : state) {
        int sum = 0;
        for (int row = 0; row < kSockPathCount; ++row)
            sum += strcmpWalk(paths.text[row]);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per"] = kSockPathCount;
}
BENCHMARK(BM_StrcmpWalk);

/* ---- The table ------------------------------------------------------------------ */

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

int printTable(ReportCollector& r)
{
    const Figure figures[] = {
        {"PLAT take+give", "BM_PlatPair", "BM_RawSemPair", 1, 1.5},
        {"library lock+unlock (POW)", "BM_LibraryLockUnlock", "BM_RawSemPair", 1, 1.5},
        {"HddReady lock+unlock", "BM_HddReadyLockUnlock", "BM_RawSemPair", 1, 1.5},
        {"power getter once attached", "BM_GetterAttached", "BM_EmptyCall", 0, 0},
        {"LogPrint outside the mask", "BM_LogPrintOutsideMask", "BM_EmptyCall", 0, 0},
        {"IsPowerSaveDelay", "BM_IsPowerSaveDelay", "BM_ReadMappedByte", 0, 2},
        {"isHddReady", "BM_isHddReady", "BM_ReadMappedByte", 0, 2},
        {"set+reset of a held index", "BM_SetReset", "BM_PlatPair", 2, 1.3},
        {"sweep of 255 live holders", "BM_SweepOf255Live", "BM_255Kills", 0, 1.1},
        {"contended set+reset, 2 processes", "BM_Contended_SetReset", "BM_Contended_TwoPlatPairs", 1, 0},
        {"setWeeklyTimerDateOn", "BM_SetWeeklyTimerDateOn", "BM_PlatPair", 1, 1.3},
        {"getWeeklyTimerDateOn", "BM_GetWeeklyTimerDateOn", "BM_PlatPair", 1, 1.3},
        {"SockSendIndexSearch (strcmp walk / it)", "BM_SockSendIndexSearch", "BM_StrcmpWalk", 0, 30, true},
    };
    auto ns = [&](const std::string& name) {
        auto it = r.nsPerOp.find(name);
        return it == r.nsPerOp.end() ? 0.0 : it->second;
    };
    int missed = 0;
    printf("\n%-40s %9s  %-26s %8s %-13s %9s %9s\n", "figure", "ns/op", "raw baseline", "ratio",
           "goal", "vs flock", "vs SysV");
    for (const Figure& f : figures) {
        double mine = ns(f.measured);
        double raw = ns(f.raw) * (f.pairs > 1 ? f.pairs : 1);
        if (mine == 0 || raw == 0)
            continue; /* filtered out of this run */
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
    printf("\nbaselines, ns per pair: raw sem_wait+sem_post %.1f, PLAT %.1f, flock %.1f, "
           "SysV SEM_UNDO %.1f; contended (2 pairs per op): PLAT %.1f, flock %.1f, SysV %.1f\n",
           ns("BM_RawSemPair"), ns("BM_PlatPair"), ns("BM_FlockPair"), ns("BM_SysvUndoPair"),
           ns("BM_Contended_TwoPlatPairs"), ns("BM_Contended_TwoFlockPairs"),
           ns("BM_Contended_TwoSysvPairs"));
    printf("vs flock / vs SysV: the library figure over the same number of lock pairs of the "
           "alternative (below 1: the library is faster)\n");
    return missed;
}

bool setUp()
{
    g_device = new PrivateDevice;
    g_device->createAreas();
    g_area = getPwrShm();
    g_pow = loadWord(g_libPowState.pst_SemPowID);
    g_rawSemName = uniqueName("/libpow_bench_sem");
    g_rawSem = sem_open(g_rawSemName.c_str(), O_CREAT | O_EXCL, 0600, 1);
    g_lockFd = mkstemp(g_lockPath);
    g_sysvId = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (g_sysvId >= 0 && semctl(g_sysvId, 0, SETVAL, 1) != 0)
        g_sysvId = -1;
    /* The calendar and the HddReady semaphore are attached before timing. */
    bool on = false;
    LIB_POW_getWeeklyTimerDateOn(2024, 2, 1, &on);
    LIB_POW_UnLock_HddReadyFlag(LIB_POW_Lock_HddReadyFlag());
    return g_area != nullptr && g_pow != 0 && g_rawSem != SEM_FAILED && g_lockFd >= 0 &&
           g_sysvId >= 0;
}

void tearDown()
{
    if (g_rawSem != SEM_FAILED && g_rawSem != nullptr) {
        sem_close(g_rawSem);
        sem_unlink(g_rawSemName.c_str());
    }
    if (g_lockFd >= 0) {
        close(g_lockFd);
        unlink(g_lockPath);
    }
    if (g_sysvId >= 0)
        semctl(g_sysvId, 0, IPC_RMID);
    delete g_device;
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
    bool ready = setUp();
    if (!ready) {
        fprintf(stderr, "bench_report: could not set up the device or the baseline locks\n");
        tearDown();
        return 1;
    }
    ReportCollector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    int missed = printTable(reporter);
    tearDown();
    printf("%d goal(s) missed\n", missed);
    return 0;
}
