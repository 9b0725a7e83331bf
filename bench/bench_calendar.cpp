#include <benchmark/benchmark.h>
#include "support.h"
BENCHMARK_MAIN();
