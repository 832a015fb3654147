#!/usr/bin/env bash
# Creates a fresh Wine prefix for one test run, or stops its wineserver.
#   prefix.sh create ENVFILE   remove any earlier prefix, boot a new one, map D: and E:
#   prefix.sh stop ENVFILE     stop the persistent wineserver of that prefix only
set -euo pipefail
action=$1
# shellcheck disable=SC1090
source "$2"

stop_server() {
    if [ -d "$WINEPREFIX" ]; then
        timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
        timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

case "$action" in
create)
    stop_server
    rm -rf "$WINEPREFIX" "$CORVANE_DRIVES"
    mkdir -p "$WINEPREFIX" "$CORVANE_DRIVES/d" "$CORVANE_DRIVES/e"
    # Every Wine process gets its own output files: a lingering Wine process (services,
    # winedevice, explorer) that inherited CTest's pipe would keep the test from ending.
    timeout 240 wineboot -i </dev/null >"$WINEPREFIX/../wineboot.log" 2>&1
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1
    # Extra fixed drives: GetDriveTypeW reports symbolic links in dosdevices as fixed.
    ln -sfn "$CORVANE_DRIVES/d" "$WINEPREFIX/dosdevices/d:"
    ln -sfn "$CORVANE_DRIVES/e" "$WINEPREFIX/dosdevices/e:"
    # One server for the whole run, so that each test process starts fast.
    wineserver -p </dev/null >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX"
    ;;
stop)
    stop_server
    ;;
*)
    echo "usage: prefix.sh create|stop ENVFILE" >&2
    exit 2
    ;;
esac
