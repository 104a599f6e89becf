#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the same suites under
# AddressSanitizer and UndefinedBehaviorSanitizer, then VELMDAT.SYS itself (built and checked by
# the builds before) loaded and run on i386. Each is a workflow preset (CMakePresets.json).
set -euo pipefail
cd "$(dirname "$0")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
for workflow in default sanitize i386; do
    cmake --workflow --preset "$workflow"
done
