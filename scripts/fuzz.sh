#!/usr/bin/env bash
# Builds the libFuzzer targets (the "fuzz" preset: clang, ASan + UBSan, everything instrumented,
# in build-fuzz/) and runs each
# for the given number of seconds (default 60) on a copy of its seed corpus, so the repository's
# corpus stays small. A finding stops the script with the target's output and the crash input.
#   scripts/fuzz.sh [seconds] [target...]      e.g. scripts/fuzz.sh 600 request_fuzzer
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build-fuzz  # the preset's
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(request_fuzzer frame_fuzzer drive_fuzzer cartridge_fuzzer)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${VELMDAT_JOBS:-2}" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
    corpus="$work/$target"
    mkdir -p "$corpus" "$work/artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    echo "== $target: ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/$target-" "$corpus" >"$work/$target.log" 2>&1; then
        tail -n 40 "$work/$target.log"
        for crash in "$work"/artifacts/"$target"-*; do
            [ -e "$crash" ] || continue
            mkdir -p "$build/findings"
            cp "$crash" "$build/findings/"
            echo "finding kept in $build/findings/$(basename "$crash")"
        done
        status=1
        continue
    fi
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$target.log" || true
    grep -E 'average_exec_per_sec' "$work/$target.log" || true
done
exit $status
