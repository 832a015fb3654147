#!/usr/bin/env bash
# Runs one Windows test program in the test run's Wine prefix and passes on its exit code.
#   run.sh ENVFILE PROGRAM [ARGS...]
# The program's output goes through a file: Wine processes that outlive the test (the desktop
# window, services) inherit its handles, and a pipe held by them would keep CTest waiting.
set -uo pipefail
# shellcheck disable=SC1090
source "$1"
shift
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "no Wine prefix at $WINEPREFIX: run the whole suite (ctest creates it first)" >&2
    exit 1
fi
# Port 3307 is the host's, shared by every prefix: a test that starts the database stand-in on it
# takes the lock that the setup-file suite and the demo take, and waits for the port to be free.
# Wine processes started here get the lock's descriptor closed, so that only this script holds it.
if [ -n "${CORVANE_LOCK_DB_PORT:-}" ]; then
    exec 9>"${TMPDIR:-/tmp}/corvane-db-port-3307.lock"
    if ! flock -w 1800 9; then
        echo "another run on this host held the database port lock for 30 minutes" >&2
        exit 1
    fi
    start=$SECONDS
    while ss -ltn 2>/dev/null | awk '{print $4}' | grep -q ':3307$'; do
        if [ $((SECONDS - start)) -ge 180 ]; then
            echo "port 3307 is still held: $(ss -ltnp 2>/dev/null | grep ':3307 ')" >&2
            exit 1
        fi
        sleep 2
    done
fi
out=$(mktemp "${TMPDIR:-/tmp}/corvane-test.XXXXXX")
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1 9>&-
rc=$?
cat "$out"
exit $rc
