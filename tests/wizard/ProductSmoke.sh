#!/usr/bin/env bash
# The real setup program under Wine and Xvfb, started and closed as a user would: the window
# appears with its caption and a client area of 690 x 564, closes on Alt+F4 from the welcome
# page, and the process then ends by itself with exit code 1602 (closed before a run: cancelled;
# Wine passes its low byte, 66, on).
#   ProductSmoke.sh ENVFILE EXE
# Every wait is on the condition itself, with a deadline generous enough for a loaded machine;
# a failure says what was seen last, and the program's output is printed on every path.
set -uo pipefail
# shellcheck disable=SC1090
source "$1"
exe=$2
out=$(mktemp "${TMPDIR:-/tmp}/corvane-smoke.XXXXXX")
wine "$exe" </dev/null >"$out" 2>&1 &
pid=$!
finish() { # CODE MESSAGE
    [ -n "$2" ] && echo "$2"
    kill "$pid" 2>/dev/null
    echo "--- program output ---"
    cat "$out"
    rm -f "$out"
    exit "$1"
}

# A visible window whose client area has settled.
win="" size="" start=$SECONDS
while [ $((SECONDS - start)) -lt 90 ]; do
    win=$(xdotool search --onlyvisible --name '^CorvaneMarket Kurulum$' 2>/dev/null | head -n 1)
    if [ -n "$win" ]; then
        eval "$(xdotool getwindowgeometry --shell "$win" 2>/dev/null)"
        size="${WIDTH:-?}x${HEIGHT:-?}"
        [ "$size" = 690x564 ] && break
    fi
    kill -0 "$pid" 2>/dev/null || finish 1 "FAIL: the program ended before its window was shown"
    sleep 0.3
done
[ -n "$win" ] || finish 1 "FAIL: no visible window 'CorvaneMarket Kurulum' after 90 s"
echo "window $win at ${X:-?},${Y:-?} size $size"
[ "$size" = 690x564 ] || finish 1 "FAIL: client area $size after 90 s, expected 690x564"

# Alt+F4, repeated until the process has ended: a key press can reach a window that is not
# taking input yet.
start=$SECONDS
while kill -0 "$pid" 2>/dev/null; do
    [ $((SECONDS - start)) -lt 60 ] || finish 1 "FAIL: the process did not end within 60 s of Alt+F4"
    xdotool key --window "$win" alt+F4 2>/dev/null
    for _ in $(seq 15); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
done
wait "$pid"
rc=$?
pid=""
[ "$rc" = 66 ] || finish 1 "FAIL: exit code $rc, expected 1602 (low byte 66)"
finish 0 "exit code $rc"
