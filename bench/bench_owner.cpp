/*
 * bench_owner.cpp - the owner kit's audit and repair: how long each holds
 * POW on a full table (every index held and counting, the stack empty),
 * and the whole tick of a service that repairs once a second.
 */
#include "bench_report.h"

#include <cstring>

namespace {

/* Every index 1..255 held by this process with one request, nothing free. */
void fillTable(PwrSharedArea& a)
{
    LIB_POW_ownerInitPower(&a, getpid());
    for (int i = 1; i < kDelayIndexCount; ++i) {
        a.sl_DelayPid[i] = getpid();
        a.ss_DelayCount[i] = 1;
    }
    a.DelayTaskNum = kDelayIndexCount - 1;
    a.us_FreeIndexNum = 0;
}

/* The device's table is swapped for a full one while the benchmark runs. */
struct FullTable {
    PwrSharedArea saved;
    FullTable() { memcpy(&saved, g_benchArea, sizeof saved), fillTable(*g_benchArea); }
    ~FullTable() { memcpy(g_benchArea, &saved, sizeof saved); }
};

void BM_OwnerRepairHold(benchmark::State& state)
{
    FullTable full;
    LIB_POW_RepairReport report;
    for (auto _ : state) {
        PLAT_semTake(g_benchPow, PLAT_WAIT_FOREVER);
        benchmark::DoNotOptimize(LIB_POW_ownerRepairArea(g_benchArea, nullptr, &report));
        PLAT_semGive(g_benchPow);
    }
}
BENCHMARK(BM_OwnerRepairHold);

void BM_OwnerAuditHold(benchmark::State& state)
{
    FullTable full;
    PwrSharedArea copy;
    for (auto _ : state) {
        PLAT_semTake(g_benchPow, PLAT_WAIT_FOREVER);
        memcpy(&copy, g_benchArea, sizeof copy);
        PLAT_semGive(g_benchPow);
        benchmark::DoNotOptimize(copy.DelayTaskNum);
    }
}
BENCHMARK(BM_OwnerAuditHold);

void BM_OwnerAuditOfACopy(benchmark::State& state)
{
    PwrSharedArea copy;
    fillTable(copy);
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_ownerAuditImage(&copy, nullptr, nullptr, nullptr, nullptr));
}
BENCHMARK(BM_OwnerAuditOfACopy);

void BM_OwnerRepairTick(benchmark::State& state)
{
    FullTable full;
    LIB_POW_RepairReport report;
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_ownerRepair(&g_benchNames, nullptr, -1, &report, nullptr));
}
BENCHMARK(BM_OwnerRepairTick);

} // namespace
