#!/usr/bin/env bash
# Extraction benchmark: a payload of about 320 MB (compressible text and incompressible bytes,
# large and small files) extracted by the native build of our reader and by Info-ZIP unzip in
# the same run, with the time ratio and our peak memory; then the setup program's own extractor
# (payload_probe, Windows build) under Wine on the same payload.
#   tests/payload/bench/payload_bench.sh [WORKDIR]
# The seal's SHA-256 is timed too: natively with OpenSSL's libcrypto (the native build's), and
# under Wine inside the setup program's extraction (CNG), each against the extraction.
# Needs: unzip, openssl, /usr/bin/time, the windows build (payload_probe is the sealable stub
# that is packed) and for the Wine part its prefix.
set -eu # no pipefail: "seq | head -c" ends seq with SIGPIPE on purpose
root=$(cd "$(dirname "$0")/../../.." && pwd)
work=${1:-$root/build/payload-bench/work}
bench=$root/build/payload-bench
rm -rf "$work"
mkdir -p "$work/src/text" "$work/src/bin" "$work/src/small"

# Optimised, without sanitizers: the figures are about the reader, not the checks of ASan.
cmake --preset native -B "$bench" -DCORVANE_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$bench" --target pack >/dev/null
pack=$bench/tools/pack/pack

echo "making the payload in $work/src"
for i in 1 2 3 4 5 6 7 8; do # 8 x 20 MB of text that compresses
    seq -f "satir %g CorvaneZideroZUR fis $i toplam 123,45 TL" 1 600000 | head -c 20000000 \
        >"$work/src/text/t$i.txt"
done
for i in 1 2 3 4 5 6; do # 6 x 20 MB that does not
    head -c 20000000 /dev/urandom >"$work/src/bin/r$i.bin"
done
for i in $(seq 1 2000); do # 2000 small files, half of each kind
    if ((i % 2)); then
        seq -f "kayit %g" 1 3000 >"$work/src/small/s$i.txt"
    else
        head -c 20000 /dev/urandom >"$work/src/small/s$i.bin"
    fi
done
echo "payload source: $(du -sm "$work/src" | cut -f1) MB"

win=${CORVANE_WIN_BUILD:-$root/build/windows}
probe=$win/tests/payload/payload_probe.exe
if [ ! -f "$probe" ]; then
    echo "no $probe: build the windows preset first (the packer seals only our own programs)" >&2
    exit 1
fi
stub=$probe
"$pack" pack "$stub" "$work/src" "$work/setup.exe"
stubsize=$(stat -c %s "$stub")
total=$(stat -c %s "$work/setup.exe")
tail -c +$((stubsize + 1)) "$work/setup.exe" | head -c $((total - stubsize - 16)) >"$work/payload.zip"
echo "archive: $(($(stat -c %s "$work/payload.zip") / 1048576)) MB"

measure() { # label, command...: wall seconds and peak RSS in KB
    local label=$1
    shift
    sync
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null
    read -r secs kb <"$work/time.txt"
    echo "$label: ${secs} s, peak memory $((kb / 1024)) MB"
    eval "${label//[^a-z]/_}_secs=$secs"
}

for round in 1 2; do
    rm -rf "$work/ours" "$work/unzip"
    measure "ours" "$pack" extract "$work/setup.exe" "$work/ours"
    measure "unzip" unzip -q "$work/payload.zip" -d "$work/unzip"
    diff -r "$work/ours" "$work/src" >/dev/null && diff -r "$work/unzip" "$work/src" >/dev/null
    echo "round $round: ours / unzip = $(echo "scale=2; $ours_secs / $unzip_secs" | bc)"
    measure "sha" openssl dgst -sha256 "$work/payload.zip"
    echo "round $round: seal SHA-256 / extraction = $(echo "scale=3; $sha_secs / $ours_secs" | bc)" \
        "(at most 0.1)"
done

if [ -f "$win/wine/wine-env.sh" ]; then
    # shellcheck disable=SC1091
    source "$win/wine/wine-env.sh"
    if [ -f "$WINEPREFIX/system.reg" ]; then
        start=$(date +%s.%N)
        wine "$work/setup.exe" --time | tr -d '\r'
        echo "under Wine, whole run: $(echo "$(date +%s.%N) - $start" | bc) s"
    else
        echo "no Wine prefix at $WINEPREFIX: run ctest in $win first"
    fi
fi
rm -rf "$work"
