// Uncontended cost of one take+give of a PLAT semaphore, next to the locks an
// integrator could have picked instead, all measured in the same run so the
// ratios hold whatever the machine. The budget for PLAT is 1.5x a raw POSIX
// named semaphore (sem_wait+sem_post); the robust pshared mutex is the floor
// PLAT is built on, SysV SEM_UNDO and flock are the syscall-based choices.

#include <PLAT_semLib.h>

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <benchmark/benchmark.h>

namespace {

// lead is "" for PLAT names and "/" for sem_open, which wants one.
std::string uniqueName(const char* lead, const char* what) {
    static std::atomic<int> counter{0};
    char buf[96];
    snprintf(buf, sizeof buf, "%splat_bench_%s_%d_%d", lead, what, static_cast<int>(getpid()),
             counter++);
    return buf;
}

void BM_PlatTakeGive(benchmark::State& state) {
    std::string name = uniqueName("", "plat");
    SemId sem = PLAT_semBCreate(0, SEM_FULL, const_cast<char*>(name.c_str()));
    if (sem == nullptr) {
        state.SkipWithError("PLAT_semBCreate failed");
        return;
    }
    for (auto _ : state) {
        PLAT_semTake(sem, PLAT_WAIT_FOREVER);
        PLAT_semGive(sem);
    }
    PLAT_semRemove(name.c_str());
}
BENCHMARK(BM_PlatTakeGive);

void BM_PosixNamedSemWaitPost(benchmark::State& state) {
    std::string name = uniqueName("/", "sem");
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
BENCHMARK(BM_PosixNamedSemWaitPost);

void BM_RobustPsharedMutex(benchmark::State& state) {
    void* p = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
    }
    auto* mutex = static_cast<pthread_mutex_t*>(p);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(mutex);
        pthread_mutex_unlock(mutex);
    }
    pthread_mutex_destroy(mutex);
    munmap(p, sizeof(pthread_mutex_t));
}
BENCHMARK(BM_RobustPsharedMutex);

void BM_SysvSemUndo(benchmark::State& state) {
    int id = semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (id < 0 || semctl(id, 0, SETVAL, 1) != 0) {
        state.SkipWithError("semget failed");
        return;
    }
    sembuf take{0, -1, SEM_UNDO}, give{0, 1, SEM_UNDO};
    for (auto _ : state) {
        semop(id, &take, 1);
        semop(id, &give, 1);
    }
    semctl(id, 0, IPC_RMID);
}
BENCHMARK(BM_SysvSemUndo);

void BM_FlockLockFile(benchmark::State& state) {
    char path[] = "/tmp/plat_bench_flock.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    for (auto _ : state) {
        flock(fd, LOCK_EX);
        flock(fd, LOCK_UN);
    }
    close(fd);
    unlink(path);
}
BENCHMARK(BM_FlockLockFile);

}  // namespace

BENCHMARK_MAIN();
