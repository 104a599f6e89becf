// The request mix run a given number of times, for callgrind: only MeasuredMixes is collected
// (--collect-atstart=no --toggle-collect=MeasuredMixes), and the driver's own routines are
// picked out of it by their source files. Prints the step calls and requests it ran.
#include <cstdio>
#include <cstdlib>

#include "bench/request_mix.h"

extern "C" __attribute__((noinline)) void MeasuredMixes(bench::RequestMix& mix, unsigned times)
{
    for (unsigned i = 0; i < times; ++i) {
        mix.Run();
    }
}

int main(int argc, char** argv)
{
    const unsigned times =
        argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 100;
    bench::RequestMix mix;
    const unsigned long long calls = mix.Run(true);
    MeasuredMixes(mix, times);
    std::printf("step_calls=%llu requests=%llu\n", calls * times,
                static_cast<unsigned long long>(mix.requests()) * times);
    return 0;
}
