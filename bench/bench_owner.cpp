/*
 * bench_owner.cpp - the owner kit's audit and repair: how long each holds
 * POW, on three tables (argument 0, 1, 2): every index held and counting
 * with the stack empty; a fresh table with 255 indices on the stack; and
 * the worst damage for a repair, a stack whose 256 entries are all invalid
 * (256 drops, then 255 lost indices pushed back). Also the whole tick of a
 * service that repairs once a second.
 */
#include "bench_report.h"

#include <cstring>

namespace {

enum TableKind { kFullHeld, kFresh, kBadStack };

void fillTable(PwrSharedArea& a, int kind)
{
    LIB_POW_ownerInitPower(&a, getpid(), nullptr);
    if (kind == kBadStack) {
        for (int p = 0; p < kDelayIndexCount; ++p)
            a.us_FreeIndex[p] = 300;
        a.us_FreeIndexNum = kDelayIndexCount;
    }
    if (kind != kFullHeld)
        return;
    for (int i = 1; i < kDelayIndexCount; ++i) {
        a.sl_DelayPid[i] = getpid();
        a.ss_DelayCount[i] = 1;
    }
    a.DelayTaskNum = kDelayIndexCount - 1;
    a.us_FreeIndexNum = 0;
}

/* The device's table is swapped for the benchmark's while it runs. */
struct BenchTable {
    PwrSharedArea saved;
    explicit BenchTable(int kind) { memcpy(&saved, g_benchArea, sizeof saved), fillTable(*g_benchArea, kind); }
    ~BenchTable() { memcpy(g_benchArea, &saved, sizeof saved); }
};

/* The damaged table is copied back before each repair, inside the holding
 * and the timing: a 2060-byte copy, a few percent of the repair. */
void BM_OwnerRepairHold(benchmark::State& state)
{
    BenchTable table(static_cast<int>(state.range(0)));
    PwrSharedArea damaged;
    memcpy(&damaged, g_benchArea, sizeof damaged);
    LIB_POW_RepairReport report;
    for (auto _ : state) {
        PLAT_semTake(g_benchPow, PLAT_WAIT_FOREVER);
        if (state.range(0) == kBadStack)
            memcpy(g_benchArea, &damaged, sizeof damaged);
        benchmark::DoNotOptimize(LIB_POW_ownerRepairArea(g_benchArea, nullptr, &report));
        PLAT_semGive(g_benchPow);
    }
}
BENCHMARK(BM_OwnerRepairHold)->Arg(kFullHeld)->Arg(kFresh)->Arg(kBadStack);

void BM_OwnerAuditHold(benchmark::State& state)
{
    BenchTable table(kFullHeld);
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
    fillTable(copy, static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_ownerAuditImage(&copy, nullptr, nullptr, nullptr, nullptr));
}
BENCHMARK(BM_OwnerAuditOfACopy)->Arg(kFullHeld)->Arg(kFresh)->Arg(kBadStack);

void BM_OwnerRepairTick(benchmark::State& state)
{
    BenchTable table(kFresh);
    LIB_POW_RepairReport report;
    for (auto _ : state)
        benchmark::DoNotOptimize(LIB_POW_ownerRepair(&g_benchNames, nullptr, -1, &report, nullptr));
}
BENCHMARK(BM_OwnerRepairTick);

} // namespace
