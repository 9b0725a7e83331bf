/*
 * bench_platform.cpp - the platform's own lock. A PLAT take+give is measured
 * with the baselines (BM_PlatPair, next to the raw semaphore, flock and SysV
 * SEM_UNDO); here is the robust process-shared mutex it is built on, the
 * floor below which PLAT cannot go, and PLAT behind one plain call, the
 * floor below which no library over PLAT can go.
 */
#include "bench_report.h"

#include <pthread.h>
#include <sys/mman.h>

namespace {

void BM_RobustMutexPair(benchmark::State& state)
{
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
BENCHMARK(BM_RobustMutexPair);

/* The least any wrapper of PLAT can cost: one out-of-line call each way that
 * reaches PLAT through a function pointer, as the library's fault-injection
 * seam does, with nothing else around it. The library's lock+unlock is this
 * plus its trace-mask tests and its handle cache. */
__attribute__((noinline)) SemId wrappedTake(SemId sem)
{
    return g_libPowSys.semTake(sem, PLAT_WAIT_FOREVER) == 0 ? sem : nullptr;
}

__attribute__((noinline)) void wrappedGive(SemId sem)
{
    if (sem != nullptr)
        g_libPowSys.semGive(sem);
}

void BM_PlatPairBehindOneCall(benchmark::State& state)
{
    for (auto _ : state)
        wrappedGive(wrappedTake(g_benchPow));
}
BENCHMARK(BM_PlatPairBehindOneCall);

} // namespace
