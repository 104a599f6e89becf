#!/usr/bin/env bash
# Kernel-safety check of the driver's objects as the build compiled them for it (cmake/driver.cmake,
# velmdat_add_kernel_check): every object may call only the class driver's services and the
# compiler's memory primitives, carries no static constructors, no unwind tables and no
# writable global data, and no routine's stack frame exceeds the limit (default 256 bytes).
# Prints every routine's frame, largest first. The list names the imports and the objects.
#   scripts/kernel-check.sh [list] [limit-bytes]     list: build/driver/velmdat_kernel.kernel-check
# Exit status 0 when the objects pass, 1 when they do not, 2 when the list or an object is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
list=${1:-build/driver/velmdat_kernel.kernel-check}
limit=${2:-256}
if [ ! -f "$list" ]; then
    echo "kernel-check: $list missing: build first (cmake --build --preset default)"
    exit 2
fi
mapfile -t imports < <(awk '$1 == "import" {print $2}' "$list")
mapfile -t objects < <(awk '$1 == "object" {print $2}' "$list")
for obj in "${objects[@]}"; do
    if [ ! -f "$obj" ] || [ ! -f "${obj%.o}.su" ]; then
        echo "kernel-check: $obj or its stack usage missing: build first"
        exit 2
    fi
done
allowed="^($(IFS='|'; echo "${imports[*]}"))\$"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# Sections: nothing that needs a runtime, nothing written at run time.
for obj in "${objects[@]}"; do
    src=$(basename "${obj%.o}")
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

# Outside symbols of the objects as one: the class driver's services and the memory
# primitives a compiler may emit, nothing else.
ld -r -o "$work/driver.o" "${objects[@]}"
while read -r symbol; do
    [ -z "$symbol" ] && continue
    if ! [[ "$symbol" =~ $allowed ]]; then
        echo "FAIL the driver refers to outside symbol $symbol"
        failed=1
    fi
done < <(nm -u "$work/driver.o" | awk '{print $2}')
echo "Outside symbols: $(nm -u "$work/driver.o" | awk '{print $2}' | tr '\n' ' ')"

# Stack frames: -fstack-usage writes file:line:col:routine <bytes> <static|dynamic|bounded>.
for obj in "${objects[@]}"; do
    cat "${obj%.o}.su"
done |
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
