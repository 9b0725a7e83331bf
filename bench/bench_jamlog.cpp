/*
 * bench_jamlog.cpp - the jam log's path lookup against the obvious
 * alternative, a strcmp walk over the known paths. Both look up every table
 * path in turn; the "per" counter makes each figure the time per lookup.
 */
#include "bench_report.h"

#include <cstring>

namespace {

/* Copies of the paths in the caller's own buffers, as a caller would pass
 * them, so neither side can win by pointer identity. */
struct Paths {
    char text[kSockPathCount][kSockPathLength + 1];
    Paths()
    {
        for (int row = 0; row < kSockPathCount; ++row)
            memcpy(text[row], SocketPathTable[row], sizeof text[row]);
    }
};

int strcmpWalk(char* path)
{
    for (int row = 0; row < kSockPathCount; ++row)
        if (strcmp(path, SocketPathTable[row]) == 0)
            return row;
    return -1;
}

template <int (*Lookup)(char*)>
void lookUpEveryPath(benchmark::State& state)
{
    static Paths paths;
    /* A fast wrong answer is no figure: both sides must find every row. */
    for (int row = 0; row < kSockPathCount; ++row)
        if (Lookup(paths.text[row]) != row) {
            state.SkipWithError("lookup disagrees with the table");
            return;
        }
    for (auto _ : state) {
        int sum = 0;
        for (int row = 0; row < kSockPathCount; ++row)
            sum += Lookup(paths.text[row]);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["per"] = kSockPathCount;
}

BENCHMARK(lookUpEveryPath<SockSendIndexSearch>)->Name("BM_SockSendIndexSearch");
BENCHMARK(lookUpEveryPath<strcmpWalk>)->Name("BM_StrcmpWalk");

} // namespace
