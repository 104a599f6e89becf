#!/usr/bin/env bash
# The i386 side (the "i386" workflow preset): builds VELMDAT.SYS again inside a 32-bit build,
# loads it into 32-bit test programs (run under qemu-i386) and runs the driver's suites against
# the image.
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
cmake --workflow --preset i386
