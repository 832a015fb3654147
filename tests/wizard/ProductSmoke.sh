#!/usr/bin/env bash
# The real setup program under Wine and Xvfb, started and closed as a user would: the window
# appears with its caption and a client area of 690 x 564, closes on Alt+F4 from the welcome
# page, and the process then ends by itself with exit code 0.
#   ProductSmoke.sh ENVFILE EXE
set -uo pipefail
# shellcheck disable=SC1090
source "$1"
exe=$2
out=$(mktemp "${TMPDIR:-/tmp}/corvane-smoke.XXXXXX")
trap 'rm -f "$out"' EXIT
wine "$exe" </dev/null >"$out" 2>&1 &
pid=$!

win=""
for _ in $(seq 1 150); do
    win=$(xdotool search --name '^CorvaneMarket Kurulum$' 2>/dev/null | head -n 1)
    [ -n "$win" ] && break
    sleep 0.2
done
if [ -z "$win" ]; then
    echo "FAIL: no window 'CorvaneMarket Kurulum'"
    kill "$pid" 2>/dev/null
    exit 1
fi
eval "$(xdotool getwindowgeometry --shell "$win")"
echo "window $win at $X,$Y size ${WIDTH}x${HEIGHT}"
if [ "$WIDTH" != 690 ] || [ "$HEIGHT" != 564 ]; then
    echo "FAIL: client area ${WIDTH}x${HEIGHT}, expected 690x564"
    kill "$pid" 2>/dev/null
    exit 1
fi

xdotool key --window "$win" alt+F4
for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: the process did not end after the window was closed"
    kill "$pid" 2>/dev/null
    exit 1
fi
wait "$pid"
rc=$?
cat "$out"
echo "exit code $rc"
exit $rc
