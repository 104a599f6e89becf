#!/usr/bin/env bash
# Static analysis with zero findings as the bar: clang-format (check only, the repository's
# .clang-format), clang-tidy (.clang-tidy) and cppcheck (.cppcheck-suppressions) over every
# C++ source under version control. Compile commands come from a clang configuration of its
# own (the "lint" preset, in build-lint/), with the fuzz targets included. Exit status 1 on any
# finding.
#   scripts/lint.sh [--fix-format]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-lint  # the preset's
jobs=${VELMDAT_JOBS:-2}

# The kernel check's own test source is wrong on purpose. Outside a git checkout, every source
# under the project's folders.
list_sources() {
    git ls-files '*.cpp' '*.h' 2>/dev/null ||
        find platform driver modepages commands host sim tools fuzz tests image bench \
            \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort
}
mapfile -t files < <(list_sources | grep -v '^tests/hardening/kernel_faults\.cpp$')
mapfile -t units < <(printf '%s\n' "${files[@]}" | grep '\.cpp$')
status=0

echo "== clang-format (${#files[@]} files)"
if [ "${1:-}" = "--fix-format" ]; then
    clang-format -i "${files[@]}"
fi
clang-format --dry-run --Werror "${files[@]}" || status=1

cmake --preset lint >/dev/null

# clang-tidy needs each source's real flags: sources that only the i386 builds compile
# (image layout checks, the 32-bit loader) have none here and are left to the other two tools.
mapfile -t tidy < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" |
    sed -e 's/"file": "//' -e 's/"$//' -e "s#^$PWD/##" | sort -u |
    comm -12 - <(printf '%s\n' "${units[@]}" | sort))
echo "== clang-tidy (${#tidy[@]} sources)"
if ! printf '%s\n' "${tidy[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet >"$build/clang-tidy.log" 2>&1; then
    grep -E 'error:|warning:' -A3 "$build/clang-tidy.log" || cat "$build/clang-tidy.log"
    status=1
fi

echo "== cppcheck"
cppcheck --std=c++17 --language=c++ --library=googletest --inline-suppr --quiet \
    --enable=warning,style,performance,portability --error-exitcode=1 \
    --suppressions-list=.cppcheck-suppressions -j "$jobs" -I . "${units[@]}" || status=1

if [ "$status" -ne 0 ]; then
    echo "lint: findings above"
    exit 1
fi
echo "lint: no findings"
