#!/usr/bin/env bash
# Extraction benchmark (make bench). Makes a payload of 1,015 files, about 300 MB (a third of the
# files incompressible bytes of 4 KB to 4 MB, two thirds text of 1 KB to 1 MB, in 20 folders),
# packs it, and in one run times the optimised native build of our reader against Info-ZIP unzip,
# 7-Zip and bsdtar on the same archive: each tool three times in turn, the median counted, every
# tree compared with the source byte for byte. Prints the ratios to unzip, the peak memory, and
# our reader on 1, 2 and all cores. Then the setup program's own extractor under Wine, with and
# without the seal check, when the windows build has a Wine prefix.
#   tests/payload/bench/payload_bench.sh [WORKDIR]     (BENCH_KEEP=1 keeps WORKDIR afterwards)
# Needs the windows build (the packer seals only a stub of ours: payload_probe.exe), and unzip,
# 7zz, bsdtar, /usr/bin/time (make deps installs them).
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
bench=$root/build/payload-bench
work=${1:-$bench/work}
win=${CORVANE_WIN_BUILD:-$root/build/windows}
probe=$win/tests/payload/payload_probe.exe
if [ ! -f "$probe" ]; then
    echo "no $probe: build the windows preset first (make build-windows)" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work/src"
[ "${BENCH_KEEP:-}" = 1 ] || trap 'rm -rf "$work"' EXIT

# Optimised, without sanitizers: the figures are about the reader, not the checks of ASan.
cmake --preset native -B "$bench" -DCORVANE_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$bench" --target pack >/dev/null
pack=$bench/tools/pack/pack

echo "making the payload in $work/src"
# Pools the files are cut from: random bytes, and till-like text (receipt lines) that deflates
# about as well as logs and sources do.
head -c 64000000 /dev/urandom >"$work/random.pool"
awk 'BEGIN {
    srand(27); split("ekmek sut peynir zeytin cay kahve seker un makarna pirinc yag deterjan sabun su kola", w)
    for (i = 1; i <= 420000; i++)
        printf "%06d;2026-%02d-%02d %02d:%02d;FIS-%07d;%s;%d;%.2f TL;kasa%d\n", i, 1 + int(rand() * 12),
            1 + int(rand() * 28), int(rand() * 24), int(rand() * 60), int(rand() * 9999999),
            w[1 + int(rand() * 15)], 1 + int(rand() * 9), rand() * 500, 1 + int(rand() * 4)
}' >"$work/text.pool"
# kind, size (log-uniform), offset into its pool, name: the same files on every run.
awk -v rsize="$(stat -c %s "$work/random.pool")" -v tsize="$(stat -c %s "$work/text.pool")" 'BEGIN {
    srand(2026)
    for (i = 0; i < 1015; i++) {
        bin = i % 3 == 0
        lo = bin ? 4096 : 1024; hi = bin ? 4194304 : 1048576
        size = int(exp(log(lo) + rand() * (log(hi) - log(lo))))
        off = int(rand() * ((bin ? rsize : tsize) - size))
        printf "%s %d %d klasor%02d/dosya%04d.%s\n", bin ? "random" : "text", size, off, i % 20, i, bin ? "bin" : "txt"
    }
}' | while read -r pool size off name; do
    mkdir -p "$work/src/$(dirname "$name")"
    dd if="$work/$pool.pool" of="$work/src/$name" bs=1M iflag=skip_bytes,count_bytes \
        skip="$off" count="$size" status=none
done
rm -f "$work/random.pool" "$work/text.pool"
echo "payload: $(find "$work/src" -type f | wc -l) files, $(du -sm "$work/src" | cut -f1) MB"

"$pack" pack "$probe" "$work/src" "$work/setup.exe" >/dev/null
stubsize=$(stat -c %s "$probe")
total=$(stat -c %s "$work/setup.exe")
tail -c +$((stubsize + 1)) "$work/setup.exe" | head -c $((total - stubsize - 16)) >"$work/payload.zip"
echo "archive: $(($(stat -c %s "$work/payload.zip") / 1048576)) MB"

cores=$(nproc)
runs=("ours-1:$pack extract $work/setup.exe $work/out 1")
[ "$cores" -ge 2 ] && runs+=("ours-2:$pack extract $work/setup.exe $work/out 2")
[ "$cores" -gt 2 ] && runs+=("ours-$cores:$pack extract $work/setup.exe $work/out $cores")
runs+=("unzip:unzip -q $work/payload.zip -d $work/out"
    "7-Zip:7zz x -bd -y -o$work/out $work/payload.zip"
    "bsdtar:bsdtar -xf $work/payload.zip -C $work/out")

declare -A secs peak
for round in 1 2 3; do
    for run in "${runs[@]}"; do
        label=${run%%:*}
        rm -rf "$work/out"
        mkdir -p "$work/out"
        sync
        # shellcheck disable=SC2086 # the command line is split on purpose
        /usr/bin/time -f "%e %M" -o "$work/time.txt" ${run#*:} >/dev/null
        read -r s kb <"$work/time.txt"
        secs[$label]="${secs[$label]:-} $s"
        peak[$label]=$((kb / 1024))
        if [ "$round" = 1 ] && ! diff -r "$work/out" "$work/src" >/dev/null; then
            echo "$label: the extracted tree differs from the source" >&2
            exit 1
        fi
    done
done
rm -rf "$work/out"

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | sed -n 2p; }
unzip_s=$(median "${secs[unzip]}")
echo
echo "median of 3 runs; every tree identical to the source"
printf '%-10s %8s %10s %12s\n' tool seconds "/ unzip" "peak memory"
for run in "${runs[@]}"; do
    label=${run%%:*}
    s=$(median "${secs[$label]}")
    printf '%-10s %8s %10s %9s MB\n' "$label" "$s" "$(echo "scale=3; $s / $unzip_s" | bc)" \
        "${peak[$label]}"
done
ours_all=$(median "${secs[ours-$cores]}")
echo "ours on all $cores cores / unzip = $(echo "scale=3; $ours_all / $unzip_s" | bc) (at most 0.2)"
echo "speed-up on all $cores cores against one: $(echo "scale=2; $(median "${secs[ours-1]}") / $ours_all" | bc)"

if [ -f "$win/wine/wine-env.sh" ]; then
    # shellcheck disable=SC1091
    source "$win/wine/wine-env.sh"
    if [ -f "$WINEPREFIX/system.reg" ]; then
        echo
        echo "the setup program's extractor under Wine (copy, seal check, extraction):"
        wine "$work/setup.exe" --time | tr -d '\r'
    else
        echo "no Wine prefix at $WINEPREFIX: run ctest in $win first"
    fi
fi
