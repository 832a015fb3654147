#!/usr/bin/env bash
# Runs one Windows test program in the test run's Wine prefix.
#   run.sh ENVFILE PROGRAM [ARGS...]
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
shift
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "no Wine prefix at $WINEPREFIX: run the whole suite (ctest creates it first)" >&2
    exit 1
fi
exec wine "$@"
