#!/usr/bin/env bash
# The i386 side: builds VELMDAT.SYS again inside a 32-bit build, loads it into 32-bit test
# programs (run under qemu-i386) and runs the driver's suites against the image.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake -S image/loader -B build-i386 --toolchain "$PWD/image/loader/i386-linux.cmake" >/dev/null
cmake --build build-i386 -j "$jobs"
ctest --test-dir build-i386 -j "$jobs" --output-on-failure
