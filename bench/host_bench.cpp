// Step calls per second through the host runner: the request mix against a target that
// answers at once, so the figure is the driver's routines and the runner around them.
#include <benchmark/benchmark.h>

#include "bench/request_mix.h"

namespace {

void StepCalls(benchmark::State& state)
{
    bench::RequestMix mix;
    const uint64_t calls = mix.Run(true);
    for (auto _ : state) {
        mix.Run();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * calls));
    state.counters["calls_per_request"] = static_cast<double>(calls) / mix.requests();
}
BENCHMARK(StepCalls);

}  // namespace

BENCHMARK_MAIN();
