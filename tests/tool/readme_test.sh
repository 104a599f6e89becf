#!/usr/bin/env bash
# The README's walkthrough as a newcomer follows it: every ```sh block after the first (the
# build) runs as written, in order, in one shell in a fresh folder whose
# build-tool/tools/velmtape is the velmtape this tree built; each ```text block right after a
# block that ran shows lines that block's output must hold, and the files read back equal
# the ones written.
# Usage: readme_test.sh README.md VELMTAPE
set -euo pipefail
readme=$1
binary=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "README: $*" >&2
    exit 1
}

# The blocks in document order: blocks/N.sh or blocks/N.text.
mkdir "$work/blocks"
awk -v dir="$work/blocks" '
    /^```/ {
        if (kind != "") { kind = ""; next }
        kind = substr($0, 4); n++; file = sprintf("%s/%03d.%s", dir, n, kind); printf "" > file
        next
    }
    kind != "" { print >> file }
' "$readme"
mapfile -t blocks < <(ls "$work/blocks" | sort)
first=""
for block in "${blocks[@]}"; do
    [[ $block == *.sh ]] && first=$block && break
done
[[ -n $first ]] || fail "no sh block"

# The first command builds what the walkthrough runs, with a bounded number of jobs.
build=$(cat "$work/blocks/$first")
grep -q -- '--preset tool' <<<"$build" || fail "the first command does not build the tool preset"
grep -Eq -- '-j(2|"\$\(nproc\)")( |$)' <<<"$build" || fail "the first build's -j is unbounded"
grep -Eq -- '-j( |$|&)' <<<"$build" && fail "the first build has a bare -j"
for block in "${blocks[@]}"; do
    [[ $block == *.sh ]] || continue
    if grep -Eo '[A-Za-z0-9_.-]*/tools/velmtape' "$work/blocks/$block" |
        grep -vx 'build-tool/tools/velmtape' >/dev/null; then
        fail "block $block runs a velmtape the first command does not build"
    fi
done

# The rest, in one shell, each block's output kept apart.
mkdir -p "$work/clone/build-tool/tools"
ln -s "$binary" "$work/clone/build-tool/tools/velmtape"
script=$work/walkthrough.sh
echo 'set -e' >"$script"
ran=()
for block in "${blocks[@]}"; do
    [[ $block == *.sh && $block != "$first" ]] || continue
    ran+=("$block")
    echo "echo '@@ $block'" >>"$script"
    cat "$work/blocks/$block" >>"$script"
done
(cd "$work/clone" && env -u TAPE bash "$script" >"$work/output" 2>&1) ||
    { cat "$work/output" >&2; fail "the walkthrough failed"; }
awk -v dir="$work" '/^@@ / { file = dir "/" $2 ".out"; next } { print >> file }' "$work/output"

# What the text blocks show after a block that ran is in its output.
previous=""
for block in "${blocks[@]}"; do
    if [[ $block == *.text && -n $previous && -f "$work/$previous.out" ]]; then
        while IFS= read -r line; do
            [[ -z $line ]] && continue
            grep -qxF -- "$line" "$work/$previous.out" ||
                { cat "$work/$previous.out" >&2; fail "not in the output of $previous: $line"; }
        done <"$work/blocks/$block"
    fi
    previous=$block
done
[[ ${#ran[@]} -gt 0 ]] || fail "no walkthrough block"

# The files come back byte for byte.
cmp "$work/clone/more.txt" "$work/clone/copy.txt" || fail "copy.txt differs from more.txt"
echo "README: ${#ran[@]} blocks ran as written"
