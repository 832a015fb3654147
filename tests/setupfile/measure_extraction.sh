#!/usr/bin/env bash
# Extraction throughput of the real setup file under Wine: the demo payload, and the same with a
# 300 MB file of random bytes (stored, it does not deflate). Times from the click on "Kur" to
# the log line "Geçici klasör: " that follows the extraction, read from the window every 0.2 s.
# The run that then starts is ended at once; nothing is checked.
#   measure_extraction.sh HARNESS_ENV WORKDIR
# (the harness env is build/windows/tests/setupfile/harness-env.sh after a windows build)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SF_UNDER_XVFB:-}" ]; then
    export SF_UNDER_XVFB=1
    exec timeout 1200 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
# shellcheck source=lib.sh
source "$here/lib.sh"
work=$(realpath -m "$2")
rm -rf "$work"
sf_init "$1" "$work"
SF_SHOTS="$work/shots"
# The extracted copies stay in the prefix's temporary folder (the runs are ended): drop it all.
trap 'sf_end_setup x.exe; sf_prefix_stop measure; rm -rf "$work"' EXIT
sf_prefix_create measure || exit 1

cp -a "$SF_DEMO_DIR/payload-1.0.0" "$work/payload-demo"
cp -a "$SF_DEMO_DIR/payload-1.0.0" "$work/payload-300mb"
head -c $((300 * 1024 * 1024)) /dev/urandom >"$work/payload-300mb/masaustu/big.bin"

measure() { # NAME PAYLOAD
    local name=$1 exe t0 t1 archive
    sf_pack "CorvaneMarketSetup-$name.exe" "$2" || return 1
    exe="$SF_WORK/setup/CorvaneMarketSetup-$name.exe"
    archive=$(($(stat -c %s "$exe") - $(stat -c %s "$SF_SETUP_EXE") - 16))
    sf_start "$exe" || return 1
    sf_wait_page welcome 30 && sf_click btnNext && sf_wait_page settings 15 || return 1
    t0=$(date +%s.%N)
    sf_click btnNext
    for _ in $(seq 1 1500); do
        if sf_save_memo "$work/memo.txt" && grep -q '^Geçici klasör: ' "$work/memo.txt"; then
            t1=$(date +%s.%N)
            awk -v n="$name" -v a="$archive" -v t0="$t0" -v t1="$t1" 'BEGIN {
                printf "%-8s archive %8.1f MB  extracted in %6.2f s  %7.1f MB/s\n",
                       n, a / 1048576, t1 - t0, a / 1048576 / (t1 - t0) }'
            sf_probe kill "CorvaneMarketSetup-$name.exe" >/dev/null
            sf_wait_exit 30
            return 0
        fi
        sleep 0.2
    done
    sf_fail "$name: no extraction line within the time limit"
}

echo "extraction of the real setup file under Wine (from \"Kur\" to \"Geçici klasör: \"):"
measure demo "$work/payload-demo"
measure 300mb "$work/payload-300mb"
rm -rf "$work/payload-300mb" "$work/setup"
exit "$SF_FAILED"
