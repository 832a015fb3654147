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
out=$(mktemp "${TMPDIR:-/tmp}/corvane-test.XXXXXX")
trap 'rm -f "$out"' EXIT
wine "$@" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
exit $rc
