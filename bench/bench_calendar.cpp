/*
 * bench_calendar.cpp - switching or querying one day of the weekly timer
 * calendar, which cannot avoid one semaphore pair, and the date arithmetic
 * on its own, all at the default log mask.
 */
#include "bench_report.h"

namespace {

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

/* Date arithmetic only: a new month and year every call. */
template <signed char (*Get)(unsigned short, unsigned char, unsigned char*)>
void everyMonth(benchmark::State& state)
{
    unsigned char result = 0;
    unsigned char month = 1;
    unsigned short year = 2000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Get(year, month, &result));
        benchmark::DoNotOptimize(result);
        month = static_cast<unsigned char>(month % 12 + 1);
        year = static_cast<unsigned short>(year == 2089 ? 2000 : year + 1);
    }
}
BENCHMARK(everyMonth<LIB_POW_getWeeklyTimerFirstWeek>)->Name("BM_GetWeeklyTimerFirstWeek");
BENCHMARK(everyMonth<LIB_POW_getWeeklyTimerLastDate>)->Name("BM_GetWeeklyTimerLastDate");

} // namespace
