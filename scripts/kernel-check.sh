#!/usr/bin/env bash
# Kernel-safety check of the driver's own sources (driver/, modepages/, commands/), compiled
# freestanding as kernel code is: every object may call only the four TapeClass* services and
# the compiler's memory primitives, carries no static constructors, no unwind tables and no
# writable global data, and no routine's stack frame exceeds the limit (default 256 bytes).
# Prints every routine's frame, largest first.
#   scripts/kernel-check.sh [limit-bytes]
# Exit status 0 when the driver passes, 1 when it does not.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-256}
cxx=${CXX_KERNEL:-g++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

flags=(-std=c++17 -O2 -Wall -Wextra -Werror -ffreestanding -fno-exceptions -fno-rtti
       -nostdlib -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
       -fno-threadsafe-statics -fno-pic -fno-pie -fstack-usage -I.)
allowed='^(TapeClassInitialize|TapeClassZeroMemory|TapeClassCompareMemory|TapeClassAllocateSrbBuffer|memset|memcpy|memmove|memcmp)$'
failed=0

# KERNEL_CHECK_SOURCES replaces the list, for the check's own test with deliberate faults.
read -r -a sources <<<"${KERNEL_CHECK_SOURCES:-$(echo driver/*.cpp modepages/*.cpp commands/*.cpp)}"
for src in "${sources[@]}"; do
    obj="$work/$(echo "$src" | tr / _).o"
    (cd "$work" && "$cxx" "${flags[@]/#-I./-I$OLDPWD}" -c "$OLDPWD/$src" -o "$obj")

    # Sections: nothing that needs a runtime, nothing written at run time.
    while read -r name size; do
        case "$name" in
        .ctors* | .dtors* | .init_array* | .fini_array* | .eh_frame* | .gcc_except_table* | .tdata* | .tbss*)
            echo "FAIL $src: section $name"
            failed=1
            ;;
        .data.rel.ro*) ;;  # read-only once relocated
        .data* | .bss*)
            if [ $((16#$size)) -ne 0 ]; then
                echo "FAIL $src: writable global data in $name ($((16#$size)) bytes)"
                failed=1
            fi
            ;;
        esac
    done < <(objdump -h "$obj" | awk '$1 ~ /^[0-9]+$/ {print $2, $3}')
done

# Outside symbols of the driver as one object: the class driver's services and the memory
# primitives a compiler may emit, nothing else.
ld -r -o "$work/driver.o" "$work"/*.o
while read -r symbol; do
    [ -z "$symbol" ] && continue
    if ! [[ "$symbol" =~ $allowed ]]; then
        echo "FAIL the driver refers to outside symbol $symbol"
        failed=1
    fi
done < <(nm -u "$work/driver.o" | awk '{print $2}')
echo "Outside symbols: $(nm -u "$work/driver.o" | awk '{print $2}' | tr '\n' ' ')"

# Stack frames: -fstack-usage writes file:line:col:routine <bytes> <static|dynamic|bounded>.
cat "$work"/*.su |
    awk -F'\t' '{match($1, /^[^:]*:[0-9]+:[0-9]+:/); file = substr($1, 1, index($1, ":") - 1);
                 print $2 "\t" $3 "\t" substr($1, RLENGTH + 1) "\t" file}' |
    sort -rn >"$work/frames"
echo "Stack frames (bytes, kind, routine, file), largest first:"
head -n 10 "$work/frames" | sed 's/^/  /'
while IFS=$'\t' read -r bytes kind routine file; do
    if [ "$bytes" -gt "$limit" ] || [ "$kind" != "static" ]; then
        echo "FAIL $routine ($(basename "$file")): $kind frame of $bytes bytes (limit $limit)"
        failed=1
    fi
done <"$work/frames"
largest=$(head -n 1 "$work/frames")
echo "Largest frame: $(echo "$largest" | cut -f3) $(echo "$largest" | cut -f1) bytes" \
     "($(wc -l <"$work/frames") routines)"

if [ "$failed" -ne 0 ]; then
    echo "kernel-check: FAILED"
    exit 1
fi
echo "kernel-check: passed"
