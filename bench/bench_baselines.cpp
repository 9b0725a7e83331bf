/*
 * bench_baselines.cpp - what the library's figures are measured against:
 * the raw POSIX named semaphore PLAT is built on, PLAT itself, and what an
 * integrator would otherwise pick for a device-wide lock (a lock file with
 * flock(), a System V semaphore with SEM_UNDO), alone and with two
 * processes at once; and the floors of a call: an empty out-of-line call,
 * an out-of-line read of one mapped byte, 255 kill(pid, 0).
 * Each benchmark makes its own lock and removes it, so any subset can run.
 */
#include "bench_report.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

namespace {

struct LockFile {
    char path[40] = "/tmp/libpow_bench_lock.XXXXXX";
    int fd = mkstemp(path);
    ~LockFile()
    {
        if (fd >= 0) {
            close(fd);
            unlink(path);
        }
    }
};

struct SysvSem {
    int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    SysvSem()
    {
        if (id >= 0 && semctl(id, 0, SETVAL, 1) != 0) {
            semctl(id, 0, IPC_RMID);
            id = -1;
        }
    }
    ~SysvSem()
    {
        if (id >= 0)
            semctl(id, 0, IPC_RMID);
    }
};

void flockPair(int fd)
{
    flock(fd, LOCK_EX);
    flock(fd, LOCK_UN);
}

void sysvPair(int id)
{
    sembuf take{0, -1, SEM_UNDO};
    sembuf give{0, 1, SEM_UNDO};
    semop(id, &take, 1);
    semop(id, &give, 1);
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

/* ---- Lock pairs, one process -------------------------------------------- */

void BM_RawSemPair(benchmark::State& state)
{
    std::string name = "/libpow_bench_sem." + std::to_string(getpid());
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
BENCHMARK(BM_RawSemPair);

void BM_PlatPair(benchmark::State& state)
{
    for (auto _ : state)
        platPair();
}
BENCHMARK(BM_PlatPair);

void BM_FlockPair(benchmark::State& state)
{
    LockFile file;
    if (file.fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    for (auto _ : state)
        flockPair(file.fd);
}
BENCHMARK(BM_FlockPair);

void BM_SysvUndoPair(benchmark::State& state)
{
    SysvSem sem;
    if (sem.id < 0) {
        state.SkipWithError("semget failed");
        return;
    }
    for (auto _ : state)
        sysvPair(sem.id);
}
BENCHMARK(BM_SysvUndoPair);

/* ---- Two pairs per operation, two processes at once ------------------------ */

void BM_Contended_TwoPlatPairs(benchmark::State& state)
{
    contended(state, [](int) {
        for (int n = 0; n < kContendedOps; ++n) {
            platPair();
            platPair();
        }
    });
}
BENCHMARK(BM_Contended_TwoPlatPairs)->UseManualTime()->Iterations(3);

void BM_Contended_TwoFlockPairs(benchmark::State& state)
{
    LockFile file;
    if (file.fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    contended(state, [&](int) {
        /* A lock file excludes open files, not processes: each opens its own. */
        int fd = open(file.path, O_RDWR);
        for (int n = 0; n < kContendedOps; ++n) {
            flockPair(fd);
            flockPair(fd);
        }
        close(fd);
    });
}
BENCHMARK(BM_Contended_TwoFlockPairs)->UseManualTime()->Iterations(3);

void BM_Contended_TwoSysvPairs(benchmark::State& state)
{
    SysvSem sem;
    if (sem.id < 0) {
        state.SkipWithError("semget failed");
        return;
    }
    contended(state, [&](int) {
        for (int n = 0; n < kContendedOps; ++n) {
            sysvPair(sem.id);
            sysvPair(sem.id);
        }
    });
}
BENCHMARK(BM_Contended_TwoSysvPairs)->UseManualTime()->Iterations(3);

/* ---- Floors of a call -------------------------------------------------------- */

void BM_EmptyCall(benchmark::State& state)
{
    for (auto _ : state)
        emptyCall(64, "%s(%d):%s Start\n");
}
BENCHMARK(BM_EmptyCall);

void BM_ReadMappedByte(benchmark::State& state)
{
    const uint8_t* byte = &g_benchArea->b_HddReady;
    for (auto _ : state) {
        benchmark::DoNotOptimize(byte);
        benchmark::DoNotOptimize(readMappedByte(byte));
    }
}
BENCHMARK(BM_ReadMappedByte);

/* The sweep's floor: one liveness probe per holder, as the sweep reads them. */
void BM_255Kills(benchmark::State& state)
{
    fillLiveHolders(true);
    for (auto _ : state)
        for (int i = 1; i < kDelayIndexCount; ++i)
            benchmark::DoNotOptimize(kill(loadWord(g_benchArea->sl_DelayPid[i]), 0));
    fillLiveHolders(false);
}
BENCHMARK(BM_255Kills);

} // namespace
