#!/usr/bin/env bash
# Two builds of the shipped programs from clean build folders at different paths must give the
# same bytes. Builds the windows preset's CorvaneMarketSetup twice without the compiler cache
# (a cache hit would hide a compiler that is not deterministic) and compares the stripped program
# and its debug file.
#   scripts/check-reproducible.sh [WORKDIR]   (default build/reproducible; JOBS=n)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$root/build/reproducible}")
rm -rf "$work"
export CCACHE_DISABLE=1
for b in one/build second-build/b; do
    cmake --preset windows -B "$work/$b" >/dev/null
    cmake --build "$work/$b" -j "${JOBS:-$(nproc)}" --target CorvaneMarketSetup >/dev/null
done
status=0
for f in wizard/CorvaneMarketSetup.exe wizard/CorvaneMarketSetup.exe.debug; do
    a=$(sha256sum <"$work/one/build/$f" | cut -d' ' -f1)
    b=$(sha256sum <"$work/second-build/b/$f" | cut -d' ' -f1)
    printf '%-40s %10d bytes  %s  %s\n' "$f" "$(stat -c %s "$work/one/build/$f")" "$a" \
        "$([ "$a" = "$b" ] && echo same || echo "DIFFERENT ($b)")"
    [ "$a" = "$b" ] || status=1
done
exit $status
