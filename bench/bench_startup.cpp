/*
 * bench_startup.cpp - what the library costs a process that loads it: a
 * small C program that starts, makes one request (LIB_POW_IsPowerSaveDelay,
 * which maps the power area under the POW semaphore) and exits, against the
 * same program without the library. The two run as child processes in
 * pairs inside one benchmark loop, the order swapped every pair; the figure
 * is the median of the pairs' CPU ratios (user + system time of each child,
 * from wait4), so a busy machine slows both sides of a pair alike. It also
 * reports the private dirty memory and the mappings the library adds, and
 * the text and data of the two libraries for this build and the powerpc one.
 *
 * The request runs against the device's own object names, so the whole run
 * moves first into a private /dev/shm (a mount namespace with its own
 * tmpfs) where this program makes the objects as the power service would.
 * Where that is not permitted it measures nothing and exits 77: a request
 * against absent objects would still create the POW semaphore, in the
 * machine's own /dev/shm.
 *
 *   bench_startup [--ppc_build=DIR] [benchmark options]
 * DIR is the powerpc build tree whose libraries' sizes are reported
 * (default: the build tree "target" beside this one).
 */
#include "LIB_POW_owner.h"
#include "bench_device.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr double kStartGoal = 1.3;  /* client CPU at most this many times the bare program's */
constexpr long kDirtyGoalKb = 48;   /* private dirty memory the library may add */
constexpr int kReportRuns = 5;      /* memory: the median of this many runs of each */

struct Child {
    double cpuUs;  /* user + system */
    double wallUs;
};

std::vector<double> g_cpuRatios, g_wallRatios, g_bareCpuUs, g_clientCpuUs;
bool g_childFailed = false;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double micros(const timeval& tv)
{
    return tv.tv_sec * 1e6 + tv.tv_usec;
}

/* Runs `program` [arg] with its output into `out` (or /dev/null); its CPU
 * and wall time, or a negative CPU time when it failed. */
Child run(const char* program, const char* arg = nullptr, int out = -1)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(arg), nullptr};
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return {-1, 0};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, 0};
    clock_gettime(CLOCK_MONOTONIC, &end);
    return {micros(usage.ru_utime) + micros(usage.ru_stime),
            (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3};
}

void BM_StartRequestExit(benchmark::State& state)
{
    bool clientFirst = false;
    for (auto _ : state) {
        Child bare, client;
        if (clientFirst) {
            client = run(LIBPOW_START_CLIENT);
            bare = run(LIBPOW_START_BARE);
        } else {
            bare = run(LIBPOW_START_BARE);
            client = run(LIBPOW_START_CLIENT);
        }
        clientFirst = !clientFirst;
        if (bare.cpuUs < 0 || client.cpuUs < 0) {
            state.SkipWithError("a child program failed");
            g_childFailed = true;
            break;
        }
        state.SetIterationTime(client.cpuUs / 1e6);
        g_bareCpuUs.push_back(bare.cpuUs);
        g_clientCpuUs.push_back(client.cpuUs);
        if (bare.cpuUs > 0) /* whole microseconds: a child may show 0 */
            g_cpuRatios.push_back(client.cpuUs / bare.cpuUs);
        g_wallRatios.push_back(client.wallUs / bare.wallUs);
    }
    state.counters["bare_cpu_us"] = median(g_bareCpuUs);
    state.counters["cpu_ratio"] = median(g_cpuRatios);
    state.counters["wall_ratio"] = median(g_wallRatios);
}
BENCHMARK(BM_StartRequestExit)->UseManualTime()->Unit(benchmark::kMicrosecond);

/* ---- The private /dev/shm and the device's objects in it ----------------- */

/* The objects as the power service makes them, with one delay counted at
 * index 0 (this process), so a client that really read the area answers 1. */
std::string makeDevice()
{
    LIB_POW_OwnerError error{};
    if (LIB_POW_ownerCreate(nullptr, nullptr, &error) != 0)
        return error.text;
    auto* area = static_cast<PwrSharedArea*>(
        LIB_POW_ownerMap(LIB_POW_PWR_AREA_NAME, sizeof(PwrSharedArea), 1, &error));
    if (area == nullptr)
        return error.text;
    area->sl_DelayPid[0] = getpid();
    area->ss_DelayCount[0] = 1;
    area->DelayTaskNum = 1;
    munmap(area, sizeof(PwrSharedArea));
    return "";
}

/* ---- What the process holds, and what the libraries weigh ---------------- */

struct Holding {
    double dirtyKb = -1, mappings = -1, answer = -2;
};

/* A file written moments ago (a library or program just linked) has dirty
 * pages in the page cache until they are written back, and a process that
 * maps them alone counts them as its private dirty memory: write them back
 * first, so that only what the process itself dirtied is counted. */
void writeBack(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

/* The median of kReportRuns runs of `program --report`. */
Holding holding(const char* program)
{
    std::vector<double> dirty, maps, answers;
    for (int i = 0; i < kReportRuns; ++i) {
        int fds[2];
        if (pipe(fds) != 0)
            return {};
        Child child = run(program, "--report", fds[1]);
        close(fds[1]);
        char text[256] = "";
        ssize_t n = read(fds[0], text, sizeof text - 1);
        close(fds[0]);
        long kb = -1;
        int count = -1, answer = -2;
        if (child.cpuUs < 0 || n <= 0 ||
            sscanf(text, "private_dirty_kb=%ld mappings=%d answer=%d", &kb, &count, &answer) != 3)
            return {};
        dirty.push_back(kb);
        maps.push_back(count);
        answers.push_back(answer);
    }
    return {median(dirty), median(maps), median(answers)};
}

/* Text (read-only allocated sections: code, constants, symbol tables,
 * relocations), data (writable ones) and bss, as `size` counts them. */
struct Sizes {
    unsigned long text = 0, data = 0, bss = 0;
    bool found = false;
};

Sizes elfSizes(const std::string& path)
{
    Sizes sizes;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return sizes;
    elf_version(EV_CURRENT);
    Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
    for (Elf_Scn* scn = nullptr; elf != nullptr && (scn = elf_nextscn(elf, scn)) != nullptr;) {
        GElf_Shdr shdr;
        if (gelf_getshdr(scn, &shdr) == nullptr || !(shdr.sh_flags & SHF_ALLOC))
            continue;
        if (shdr.sh_type == SHT_NOBITS)
            sizes.bss += shdr.sh_size;
        else if (shdr.sh_flags & SHF_WRITE)
            sizes.data += shdr.sh_size;
        else
            sizes.text += shdr.sh_size;
        sizes.found = true;
    }
    if (elf != nullptr)
        elf_end(elf);
    close(fd);
    return sizes;
}

void printSizes(const char* build, const std::string& dir)
{
    for (const char* lib : {"src/libLIB_POW.so.1", "platform/libPLAT.so.1"}) {
        Sizes s = elfSizes(dir + "/" + lib);
        if (s.found)
            printf("  %-8s %-22s text %7lu  data %5lu  bss %5lu bytes\n", build, strrchr(lib, '/') + 1,
                   s.text, s.data, s.bss);
        else
            printf("  %-8s %-22s not found under %s\n", build, strrchr(lib, '/') + 1, dir.c_str());
    }
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    std::string ppcBuild = LIBPOW_PPC_BUILD;
    std::vector<char*> args;
    char minTime[] = "--benchmark_min_time=3";
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--ppc_build=", 12) == 0)
            ppcBuild = argv[i] + 12;
        else
            args.push_back(argv[i]);
    }
    if (argc == 1)
        args.push_back(minTime); /* about a thousand pairs */
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;
    std::string why = enterPrivateShm();
    if (why.empty())
        why = makeDevice();
    if (!why.empty()) {
        printf("bench_startup: measured nothing: no private /dev/shm for the device's objects (%s)\n",
               why.c_str());
        return kBenchNoPrivateShm;
    }

    for (const std::string& file : {std::string(LIBPOW_START_BARE), std::string(LIBPOW_START_CLIENT),
                                    std::string(LIBPOW_HOST_BUILD "/src/libLIB_POW.so.1"),
                                    std::string(LIBPOW_HOST_BUILD "/platform/libPLAT.so.1")})
        writeBack(file);
    Holding bare = holding(LIBPOW_START_BARE);
    Holding client = holding(LIBPOW_START_CLIENT);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    int missed = 0;
    printf("\nwhat the library costs a process (%s)\n", LIBPOW_BUILD_TYPE);
    if (!g_cpuRatios.empty()) {
        double ratio = median(g_cpuRatios);
        missed += ratio <= kStartGoal ? 0 : 1;
        printf("  start, one request, exit: CPU %.0f us against %.0f us bare: %.2fx (median of %zu "
               "pairs; wall %.2fx)  goal <= %.1fx %s\n",
               median(g_clientCpuUs), median(g_bareCpuUs), ratio, g_cpuRatios.size(),
               median(g_wallRatios), kStartGoal, verdict(ratio <= kStartGoal));
    }
    if (bare.dirtyKb < 0 || client.dirtyKb < 0) {
        printf("  the --report runs failed\n");
        return 1;
    }
    double added = client.dirtyKb - bare.dirtyKb;
    missed += added <= kDirtyGoalKb ? 0 : 1;
    printf("  private dirty memory: %.0f kB against %.0f kB bare: %.0f kB added  goal <= %ld kB %s\n",
           client.dirtyKb, bare.dirtyKb, added, kDirtyGoalKb, verdict(added <= kDirtyGoalKb));
    printf("  mappings: %.0f against %.0f bare: %.0f added\n", client.mappings, bare.mappings,
           client.mappings - bare.mappings);
    printf("  the request's answer: %.0f (1: it read the power area made here)\n", client.answer);
    printf("the libraries' sizes\n");
    printSizes(LIBPOW_PROCESSOR, LIBPOW_HOST_BUILD);
    printSizes("powerpc", ppcBuild);
    printf("%d goal(s) missed\n", missed);
    return client.answer == 1 && !g_childFailed ? 0 : 1;
}
