#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the same suites under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"
# VELMDAT.SYS itself (built and checked by the builds above) loaded and run on i386.
scripts/test-image.sh
