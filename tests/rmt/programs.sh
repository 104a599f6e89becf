#!/usr/bin/env bash
# tar, GNU mt and dump/restore on the simulated drive, through velmtape-rsh and velmtape rmt,
# compared byte for byte with what the same programs make in a plain file.
#   programs.sh SCENARIO VELMTAPE VELMTAPE_RSH
# SCENARIO: tar, append, multivolume, mt, dump, rsh. Exit 77 (skipped) with the reason when a
# program the scenario needs is missing or the machine does not allow it. With RMT_TARGET set
# to a device (iscsi://...), tar and append run on its tape instead of a cartridge.
set -euo pipefail
scenario=$1
velmtape=$2
rsh=$3

skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
need() {
    for program in "$@"; do
        command -v "$program" >/dev/null ||
            skip "$program is not installed (scripts/setup.sh all installs it)"
    done
}

work=$(mktemp -d /tmp/velmtape-programs-XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
cd "$work"
C=${RMT_TARGET:-$work/C}
R=--rsh-command=$rsh # tar calls it with execl: a path, never a name looked up in PATH
V() { "$velmtape" -f "$C" "$@"; }
MT() { mt-gnu -f "localhost:$C/nst" "$R" "$@"; }
# mt-st's position line of `velmtape status`.
where() { V status | sed -n 's/^ *\(File number=[-0-9]*, block number=[-0-9]*\).*/\1/p'; }
expect_where() {
    local now
    now=$(where)
    [ "$now" = "$1" ] || fail "after $2: '$now', expected '$1'"
}
on_cartridge() { [ -z "${RMT_TARGET:-}" ]; }
# A blank cartridge with variable-length blocks; on a device, its tape from the beginning.
blank() {
    if on_cartridge; then
        V new --force "$@" >/dev/null
        V setblk 0 >/dev/null
    else
        V rewind >/dev/null
    fi
}
# The tape file at the tape's position, as velmtape reads it in variable-length blocks.
tape_file() { V read -b 0 - 2>/dev/null; }
# The map's line for tape file N of TAR's records, when the tape is a cartridge.
expect_file() {
    on_cartridge || return 0
    local map
    map=$(V map)
    grep -q "file $1: $(($(stat -c %s "$2") / 10240)) blocks of 10240 bytes" <<<"$map" ||
        fail "map: $map"
}

# Two small trees, and each as tar makes it in a file with 10240-byte records.
mkdir -p A/sub B
seq 1 30000 >A/numbers
head -c 70000 /dev/urandom >A/sub/random
printf 'second\n' >B/note
head -c 25000 /dev/urandom >B/random
tar -cf A.tar -b 20 A
tar -cf B.tar -b 20 B

case $scenario in
tar)
    need tar mt-gnu
    blank
    tar -cWf "localhost:$C/nst" "$R" -b 20 A || fail "tar -cW"
    MT rewind
    [ "$(tar -tvf "localhost:$C/nst" "$R")" = "$(tar -tvf A.tar)" ] || fail "tar -t lists otherwise"
    MT rewind
    mkdir x && (cd x && tar -xf "localhost:$C/nst" "$R" -b 20) && diff -r A x/A || fail "tar -x"
    V rewind >/dev/null
    tape_file >raw && cmp raw A.tar || fail "the tape file is not A.tar"
    expect_file 0 A.tar
    ;;
append)
    need tar mt-gnu
    # As the README shows it: two archives on one cartridge, the second read back alone.
    blank
    tar -cf "localhost:$C/nst" "$R" -b 20 A
    tar -cf "localhost:$C/nst" "$R" -b 20 B
    MT rewind
    MT fsf 1
    mkdir x && (cd x && tar -xf "localhost:$C/nst" "$R" -b 20)
    diff -r B x/B || fail "the second archive came back otherwise"
    [ ! -e x/A ] || fail "the first archive came back too"
    V rewind >/dev/null && V fsf 1 >/dev/null
    tape_file >raw && cmp raw B.tar || fail "the second tape file is not B.tar"
    expect_file 0 A.tar
    expect_file 1 B.tar
    ;;
multivolume)
    need tar
    # Cartridges switched by renaming: the one in use is C, the others wait on the shelf.
    cat >switch <<'EOF'
#!/bin/sh
set -e
cd "$(dirname "$0")"
mv C "shelf.$((TAR_VOLUME - 1))"
mv "shelf.$TAR_VOLUME" C
EOF
    chmod +x switch
    head -c 1500000 /dev/urandom >A/sub/large
    for way in tape-length end-of-medium; do
        rm -rf C shelf.* x
        if [ $way = tape-length ]; then
            length=(--tape-length=1000) # tar changes volumes after 1000 KiB
            capacity=10
        else
            length=() # the drive's ENOSPC makes tar change volumes
            capacity=1
        fi
        for n in 2 1; do
            blank --capacity $capacity
            [ $n = 1 ] || mv C shelf.$n
        done
        tar -c -M "${length[@]}" -F ./switch -f "localhost:$C" "$R" -b 20 A ||
            fail "$way: tar -c -M"
        [ -e shelf.1 ] && [ ! -e shelf.2 ] || fail "$way: tar did not ask for a second volume"
        mv C shelf.2 && mv shelf.1 C
        mkdir x && (cd x && tar -x -M -F ../switch -f "localhost:$C" "$R" -b 20) ||
            fail "$way: tar -x -M"
        diff -r A x/A || fail "$way: the archive came back otherwise"
    done
    ;;
mt)
    need tar mt-gnu
    blank
    tar -cf "localhost:$C/nst" "$R" -b 20 A
    tar -cf "localhost:$C/nst" "$R" -b 20 B
    MT rewind && expect_where "File number=0, block number=0" rewind
    MT fsf 2 && expect_where "File number=2, block number=0" "fsf 2"
    MT bsf 1 && expect_where "File number=1, block number=-1" "bsf 1"
    MT rewind && MT fsf 1 && expect_where "File number=1, block number=0" "fsf 1"
    MT eom
    status=$(V status)
    grep -q ' EOD ' <<<"$status" || fail "eom does not stand at end of data: $status"
    MT weof 2
    map=$(V map)
    end=$(($(stat -c %s A.tar) / 10240 + 1 + $(stat -c %s B.tar) / 10240))
    grep -q "block $end: 3 filemarks" <<<"$map" || fail "weof 2 after B's filemark: $map"
    MT rewind
    # GNU mt 2.13 takes a remote status of at most sizeof(struct mtop) bytes, while the
    # protocol sends struct mtget: it refuses the answer, as it refuses GNU rmt's own.
    if status=$(MT status 2>&1); then
        grep -q 'file number = 0' <<<"$status" || fail "status: $status"
    else
        grep -q 'rmtioctl failed: Value too large for defined data type' <<<"$status" ||
            fail "status: $status"
    fi
    ;;
dump)
    need dump restore mke2fs losetup
    [ "$(id -u)" = 0 ] || skip "dump reads a file system from a device: a loop device needs root"
    mkdir -p fs/dir
    cp -r A fs/dir/
    printf 'top\n' >fs/top
    mke2fs -q -t ext2 -d fs image 4096 || skip "mke2fs cannot build a file system image here"
    loop=$(losetup -f --show image 2>/dev/null) || skip "no loop device can be attached here"
    trap 'losetup -d "$loop"; cleanup' EXIT
    blank
    RSH=$rsh dump -0 -f "localhost:$C/nst" "$loop" >dump.log 2>&1 || fail "dump: $(cat dump.log)"
    V rewind >/dev/null
    mkdir x
    (cd x && printf '1\nn\n' | RSH=$rsh restore -x -f "localhost:$C/nst" >../restore.log 2>&1) ||
        fail "restore: $(cat restore.log)"
    diff -r -x lost+found fs x || fail "restore gave back another tree"
    ;;
rsh)
    refused() {
        local out
        if out=$("$rsh" "$@" 2>&1 </dev/null); then
            fail "velmtape-rsh $* ran"
        fi
        grep -q "$expected" <<<"$out" || fail "velmtape-rsh $*: $out"
    }
    expected="no host named" refused
    expected="is no host name" refused -oProxyCommand=x /etc/rmt
    expected="no command" refused localhost
    expected="'ls' is not a remote tape server" refused localhost ls
    expected="'/etc/rmt ...' is not a remote tape server" refused localhost /etc/rmt -x
    expected="serves this machine only as the user running it" \
        refused localhost -l "velmtape-nobody-$$" /etc/rmt
    [ "$(printf 'I-1\n0\n' | "$rsh" localhost /usr/sbin/rmt)" = A1 ] || fail "localhost"
    [ "$(printf 'I-1\n0\n' | "$rsh" localhost -l "$(id -un)" /etc/rmt)" = A1 ] ||
        fail "localhost -l"
    printf 'I-1\n0\n' | VELMTAPE_RMT_TRACE=1 "$rsh" localhost rmt 2>trace >/dev/null
    grep -q '^rmt: I -1 0$' trace && grep -q '^rmt: -> A1$' trace || fail "trace: $(cat trace)"
    printf '#!/bin/sh\necho "$@" >%s/ssh.args\n' "$work" >fakessh
    chmod +x fakessh
    VELMTAPE_SSH=$work/fakessh "$rsh" tapehost -l bob /etc/rmt
    [ "$(cat ssh.args)" = "-l bob -- tapehost velmtape rmt" ] || fail "ssh: $(cat ssh.args)"
    VELMTAPE_SSH=$work/fakessh VELMTAPE_RMT_TRACE=1 "$rsh" tapehost /usr/sbin/rmt
    [ "$(cat ssh.args)" = "-- tapehost velmtape --trace rmt" ] || fail "ssh: $(cat ssh.args)"
    ;;
*)
    fail "no scenario '$scenario'"
    ;;
esac
echo "PASS: $scenario"
