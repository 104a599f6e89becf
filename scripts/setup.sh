#!/usr/bin/env bash
# Installs the Debian packages a job needs, and only those that are missing, so that a fresh
# machine can build and a prepared one is left alone.
#   scripts/setup.sh tool   what building and running velmtape needs
#   scripts/setup.sh all    that, plus the test suites, benchmarks, the i386 image and its
#                           loader, the fuzzers, the linters and the iSCSI tape target
set -euo pipefail
cd "$(dirname "$0")/.."

# Each job's packages, one place for the lists.
tool_packages=(cmake g++ make pkg-config libcli11-dev nlohmann-json3-dev libsqlite3-dev sqlite3
    libiscsi-dev zlib1g-dev libxxhash-dev)
test_packages=(libgtest-dev libgmock-dev googletest libbenchmark-dev valgrind time hyperfine
    tgt libiscsi-bin tar cpio dump e2fsprogs
    g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-multilib qemu-user
    libgtest-dev:i386 libgmock-dev:i386
    clang libclang-rt-14-dev clang-tidy cppcheck clang-format
    bindfs passwd)

case "${1:-}" in
tool) wanted=("${tool_packages[@]}") ;;
all) wanted=("${tool_packages[@]}" "${test_packages[@]}") ;;
*)
    echo "usage: scripts/setup.sh tool|all" >&2
    exit 1
    ;;
esac

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: every package for '$1' is installed"
    exit 0
fi

echo "setup: installing ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "setup: not root and no sudo; as root run: apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# The i386 loader links GoogleTest built for i386, from Debian's i386 architecture.
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update
"${as_root[@]}" apt-get install -y "${missing[@]}"
