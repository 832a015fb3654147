#!/usr/bin/env bash
# Creates a fresh Wine prefix for one test run, or stops its wineserver.
#   prefix.sh create ENVFILE   remove any earlier prefix, boot a new one, map D: and E:
#   prefix.sh stop ENVFILE     stop the persistent wineserver of that prefix only
set -euo pipefail
# shellcheck source=fonts.sh
source "$(dirname "$0")/fonts.sh"
action=$1
# shellcheck disable=SC1090
source "$2"

wine_dir=$(dirname "$WINEPREFIX")

stop_server() {
    if [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
        timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

stop_display() {
    if [ -f "$wine_dir/xvfb.pid" ]; then
        kill "$(cat "$wine_dir/xvfb.pid")" 2>/dev/null || true
    fi
    rm -f "$wine_dir/xvfb.pid" "$wine_dir/display.env" "$wine_dir/display.num"
}

# One X display for every test of the run. Wine binds a prefix's desktop to the display of the
# first program that needs it; a test without a display would leave later window tests unable
# to create windows, so every test gets this one (wine-env.sh reads display.env).
start_display() {
    : >"$wine_dir/display.num"
    setsid Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -ac \
        5>"$wine_dir/display.num" </dev/null >"$wine_dir/xvfb.log" 2>&1 &
    echo $! >"$wine_dir/xvfb.pid"
    for _ in $(seq 100); do
        [ -s "$wine_dir/display.num" ] && break
        sleep 0.1
    done
    if [ ! -s "$wine_dir/display.num" ]; then
        echo "Xvfb did not start: $(cat "$wine_dir/xvfb.log")" >&2
        exit 1
    fi
    echo "export DISPLAY=:$(tr -d '[:space:]' <"$wine_dir/display.num")" >"$wine_dir/display.env"
}

case "$action" in
create)
    stop_server
    stop_display
    rm -rf "$WINEPREFIX" "$CORVANE_DRIVES"
    mkdir -p "$WINEPREFIX" "$CORVANE_DRIVES/d" "$CORVANE_DRIVES/e"
    # Every Wine process gets its own output files: a lingering Wine process (services,
    # winedevice, explorer) that inherited CTest's pipe would keep the test from ending.
    timeout 240 wineboot -i </dev/null >"$WINEPREFIX/../wineboot.log" 2>&1
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1
    wine_font_replacements "$WINEPREFIX"
    # Extra fixed drives: GetDriveTypeW reports symbolic links in dosdevices as fixed.
    ln -sfn "$CORVANE_DRIVES/d" "$WINEPREFIX/dosdevices/d:"
    ln -sfn "$CORVANE_DRIVES/e" "$WINEPREFIX/dosdevices/e:"
    start_display
    # One server for the whole run, so that each test process starts fast.
    wineserver -p </dev/null >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX ($(cat "$wine_dir/display.env"))"
    ;;
stop)
    stop_server
    stop_display
    ;;
*)
    echo "usage: prefix.sh create|stop ENVFILE" >&2
    exit 2
    ;;
esac
