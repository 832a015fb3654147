# Harness for the real setup files, shared by the end-to-end suite and the demo. Sourced by bash.
#   sf_init HARNESS_ENV WORKDIR          read the build's paths, make the work folder
#   sf_pack NAME PAYLOAD_DIR [FOLDER]    pack a setup file NAME from the built setup program
#   sf_prefix_create NAME                fresh Wine prefix with fixed drives C and D only
#   sf_prefix_use NAME / sf_prefix_stop NAME
#   sf_start SETUPFILE                   start a setup file in the current prefix, find its window
#   sf_click CONTROL, sf_wait_page PAGE, sf_shot NAME, sf_answer_box TEXT KEY, ...
#   run_to EXE PAGE LIMIT, close_with_kapat     one run of a scenario through its window
#   sf_uninstall_start PATH              the uninstaller's window instead of the wizard's
# Every wait is bounded; every Wine process writes to files, never to the caller's pipes.
set -uo pipefail
# shellcheck source=../wine/fonts.sh
source "$(dirname "${BASH_SOURCE[0]}")/../wine/fonts.sh"

SF_FAILED=0
SF_SETUP_PID=""
# The caption of the window driven now (its message boxes carry the same), and a pattern for
# xdotool that does not depend on how the X server got the Turkish letters.
SF_TITLE='CorvaneMarket Kurulum'
SF_TITLE_RE='^CorvaneMarket Kurulum$'
SF_UNINSTALL_TITLE='Corvane Market Pos Kaldırma'

sf_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*"; }
sf_fail() {
    printf 'FAILED: %s\n' "$*" >&2
    SF_FAILED=1
}

sf_init() {
    # shellcheck disable=SC1090
    source "$1"
    SF_WORK=$2
    mkdir -p "$SF_WORK"
    # The recording netsh replaces the prefix's own in System32, where the setup takes it from;
    # Wine would otherwise prefer its built-in netsh.exe to the file there.
    export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml=;netsh.exe=n"
    SF_NETSH_DIR=""
}

# Windows path of a Linux path (Z: is the root of the Linux file system in every prefix).
sf_win() { printf 'Z:%s' "$(readlink -f "$1" | tr '/' '\\')"; }

# --- prefixes ---------------------------------------------------------------------------------

sf_prefix_use() {
    export WINEPREFIX="$SF_WORK/prefix-$1"
    SF_DRIVE_D="$SF_WORK/drives-$1/d"
    SF_NETSH_DIR="$WINEPREFIX/drive_c/windows/system32"
}

sf_prefix_create() {
    sf_prefix_use "$1"
    sf_prefix_stop "$1"
    rm -rf "$WINEPREFIX" "$SF_WORK/drives-$1"
    mkdir -p "$WINEPREFIX" "$SF_DRIVE_D"
    timeout 240 wineboot -i </dev/null >"$SF_WORK/wineboot-$1.log" 2>&1 9>&- || {
        sf_fail "wineboot of prefix $1"
        return 1
    }
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1
    wine_font_replacements "$WINEPREFIX" || return 1
    cp "$SF_NETSH_EXE" "$SF_NETSH_DIR/netsh.exe"
    # Fixed drives C (the prefix's own) and D only: a symbolic link in dosdevices is fixed.
    rm -f "$WINEPREFIX"/dosdevices/[d-y]:
    ln -sfn "$SF_DRIVE_D" "$WINEPREFIX/dosdevices/d:"
    wineserver -p </dev/null >/dev/null 2>&1 9>&-
}

sf_prefix_stop() {
    local prefix="$SF_WORK/prefix-$1"
    if [ -d "$prefix" ]; then
        WINEPREFIX="$prefix" timeout 30 wineserver -k </dev/null >/dev/null 2>&1 || true
        WINEPREFIX="$prefix" timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
}

# A Windows console program in the current prefix, its output through a file.
sf_wine() {
    local out rc
    out=$(mktemp "$SF_WORK/wine-out.XXXXXX")
    timeout "${SF_WINE_LIMIT:-120}" wine "$@" </dev/null >"$out" 2>&1 9>&-
    rc=$?
    tr -d '\r' <"$out"
    rm -f "$out"
    return $rc
}

sf_probe() { sf_wine "$SF_PROBE_EXE" "$@"; }

# Port 3307 belongs to the host, not to a prefix: a database server of another Wine prefix (another
# test run on this machine) would keep ours from listening. Waits for it to be free, bounded.
sf_wait_port_free() {
    local start=$SECONDS
    while ss -ltn 2>/dev/null | awk '{print $4}' | grep -q ':3307$'; do
        if [ $((SECONDS - start)) -ge "${1:-180}" ]; then
            sf_fail "port 3307 is held by another program on this host: $(ss -ltnp 2>/dev/null | grep ':3307 ')"
            return 1
        fi
        sleep 2
    done
}

# One run at a time on this host for everything that starts the database stand-in: the suite and
# the demo of other build trees take the same lock (other tests that start it may take it too).
# Wine processes that outlive a command (the wineserver, services) are started with the lock's
# descriptor closed, so that only this script holds it.
sf_lock_db_port() {
    exec 9>"${TMPDIR:-/tmp}/corvane-db-port-3307.lock"
    flock -w "${1:-1200}" 9 || {
        sf_fail "another run on this host holds the database port lock"
        return 1
    }
}

# Who listens on 3307: a wineserver of another prefix means another test run on this host took
# the database port, and the database checks above say nothing about the setup program.
sf_port_holder() {
    local pid
    for pid in $(ss -ltnp 2>/dev/null | awk '$4 ~ /:3307$/' | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
        echo "port 3307 held by pid $pid, $(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep '^WINEPREFIX=' || echo 'no Wine prefix')"
    done
}

# --- setup files ------------------------------------------------------------------------------

# sf_pack NAME PAYLOAD_DIR [FOLDER]: FOLDER/NAME ($SF_WORK/setup/NAME) from the built setup
# program and the payload folder; the program carries the version the name gives, as make setup
# stamps it.
sf_pack() {
    local out=${3:-$SF_WORK/setup}
    mkdir -p "$out"
    rm -f "$out/$1"
    local stub="$SF_SETUP_EXE" version
    version=$(sed -n 's/.*-\([0-9]*\.[0-9]*\.[0-9]*\)\.exe$/\1/p' <<<"$1")
    if [ -n "$version" ]; then
        stub="$SF_WORK/stub-$version.exe"
        cp "$SF_SETUP_EXE" "$stub" && sf_wine "$SF_PACK_EXE" stamp "$(sf_win "$stub")" "$version" \
            >"$SF_WORK/stamp-$1.log" || {
            sf_fail "stamping $1"
            return 1
        }
    fi
    sf_wine "$SF_PACK_EXE" pack "$(sf_win "$stub")" "$(sf_win "$2")" \
        "$(sf_win "$out")\\$1" >"$SF_WORK/pack-$1.log" || {
        cat "$SF_WORK/pack-$1.log"
        sf_fail "packing $1"
        return 1
    }
}

# --- the window -------------------------------------------------------------------------------

# Client-area positions of the controls (the layout's positions, parents added up): x y w h.
sf_control_rect() {
    case "$1" in
    btnBack) echo "400 520 80 30" ;;
    btnNext) echo "485 520 90 30" ;;
    btnCancel) echo "585 520 80 30" ;;
    btnGeriYukle) echo "220 277 200 36" ;;
    cbKurulumTipi) echo "507 8 142 28" ;;
    cbDrive) echo "336 89 85 28" ;;
    cbDbDrive) echo "336 157 85 28" ;;
    chkRunApp) echo "220 205 300 22" ;;
    # The uninstaller's window.
    unRemove) echo "330 376 90 30" ;;
    unClose) echo "425 376 80 30" ;;
    chkDatabase) echo "20 240 480 30" ;;
    *) return 1 ;;
    esac
}

# sf_start SETUPFILE: starts it (the working folder is its own, or SF_START_DIR) and waits for
# its window.
sf_start() {
    local exe=$1 i
    SF_SETUP_LOG="$SF_WORK/$(basename "$exe").wine.log"
    # Started from its own folder, or from SF_START_DIR (another current folder) when set.
    (cd "${SF_START_DIR:-$(dirname "$exe")}" && exec wine "$exe" </dev/null >"$SF_SETUP_LOG" 2>&1 9>&-) &
    SF_SETUP_PID=$!
    SF_WID=""
    for i in $(seq 1 120); do
        SF_WID=$(sf_find_wizard)
        [ -n "$SF_WID" ] && break
        sleep 0.5
    done
    if [ -z "$SF_WID" ]; then
        local seen="still running"
        if ! kill -0 "$SF_SETUP_PID" 2>/dev/null; then
            wait "$SF_SETUP_PID"
            seen="ended with code $?"
        fi
        sf_fail "no wizard window within 60 s for $(basename "$exe") ($seen); visible windows:" \
            "$(timeout 10 xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | tr '\n' '|')"
        tail -20 "$SF_SETUP_LOG"
        return 1
    fi
    sf_geometry
}

# The X window of the wizard: its caption, and the size of the client area (message boxes carry
# the same caption).
sf_find_wizard() {
    local w
    for w in $(timeout 10 xdotool search --onlyvisible --name '^CorvaneMarket Kurulum$' 2>/dev/null); do
        eval "$(timeout 10 xdotool getwindowgeometry --shell "$w" 2>/dev/null)"
        if [ "${WIDTH:-0}" -ge 680 ] && [ "${HEIGHT:-0}" -ge 550 ]; then
            echo "$w"
            return 0
        fi
    done
    return 0
}

sf_geometry() {
    eval "$(timeout 10 xdotool getwindowgeometry --shell "$SF_WID")"
    SF_X=$X SF_Y=$Y SF_W=$WIDTH SF_H=$HEIGHT
}

# Clicks the middle of a control as a person would.
sf_click() {
    local x y w h
    read -r x y w h <<<"$(sf_control_rect "$1")" || return 1
    sf_geometry
    # No --sync: it never returns when the pointer is already there (Next and Kur share a place).
    timeout 10 xdotool mousemove $((SF_X + x + w / 2)) $((SF_Y + y + h / 2))
    sleep 0.2
    timeout 10 xdotool click 1
    sleep 0.3
}

# The controls the window shows now, one per line (see wizard_probe dump).
sf_dump() { sf_probe dump "$(sf_win "$SF_WORK")\\dump.txt" >/dev/null && tr -d '\r' <"$SF_WORK/dump.txt"; }

# A visible control of that class and exact text?
sf_shows() { # CLASS TEXT
    sf_dump | awk -F'\t' -v c="$1" -v t="$2" 'tolower($1)==tolower(c) && $2=="visible" && $5==t {f=1} END {exit !f}'
}

# sf_wait_page welcome|settings|finish|failed|running SECONDS
sf_page_now() {
    local d
    d=$(sf_dump) || return 1
    vis() { awk -F'\t' -v c="$1" -v t="$2" 'tolower($1)==tolower(c) && $2=="visible" && $5==t {f=1} END {exit !f}' <<<"$d"; }
    if vis Static "Hata Oluştu!"; then echo failed
    elif vis Button "Kapat"; then echo finish
    elif vis Button "Kur"; then echo settings
    elif vis Button "İleri >"; then echo welcome
    else echo running
    fi
}

sf_wait_page() {
    local want=$1 limit=$2 start=$SECONDS page=""
    while [ $((SECONDS - start)) -lt "$limit" ]; do
        page=$(sf_page_now)
        [ "$page" = "$want" ] && return 0
        if [ "$want" != running ] && [ "$want" != failed ] && [ "$page" = failed ]; then
            return 1
        fi
        sleep 0.5
    done
    return 1
}

# The log of the window, saved as UTF-8.
sf_save_memo() { sf_probe memo "$(sf_win "$1")" >/dev/null; }

# PNG of the wizard window.
sf_shot() {
    mkdir -p "$SF_SHOTS"
    sleep 0.3
    timeout 30 import -window "$SF_WID" "$SF_SHOTS/$1.png" 2>/dev/null || sf_fail "screenshot $1"
}

# sf_answer_box TEXT_PART KEY SECONDS: waits for a message box whose text holds TEXT_PART,
# saves what it says and answers it with a key (Return, y, n); the box must then go away (the
# key is pressed again while it stays: a press can come before the box takes input).
sf_answer_box() {
    local text=$1 key=$2 limit=${3:-60} start=$SECONDS w pressed=""
    sf_box_open() {
        sf_probe boxes "$(sf_win "$SF_WORK")\\boxes.txt" >/dev/null
        grep -qF -- "$text" "$SF_WORK/boxes.txt" 2>/dev/null
    }
    while [ $((SECONDS - start)) -lt "$limit" ]; do
        if sf_box_open; then
            [ -n "$pressed" ] || tr -d '\r' <"$SF_WORK/boxes.txt" >"$SF_WORK/last-box.txt"
            for w in $(timeout 10 xdotool search --onlyvisible --name "$SF_TITLE_RE" 2>/dev/null); do
                [ "$w" = "$SF_WID" ] && continue
                timeout 10 xdotool windowfocus "$w" 2>/dev/null
                sleep 0.3
                timeout 10 xdotool key --clearmodifiers "$key"
                pressed=1
                break
            done
            sleep 2
        elif [ -n "$pressed" ]; then
            return 0
        else
            sleep 0.5
        fi
    done
    if [ -n "$pressed" ]; then
        sf_fail "the message box with \"$text\" was still open $limit s after the first $key"
    else
        sf_fail "no message box with \"$text\" within $limit s"
    fi
    return 1
}

# Waits (bounded) until a process of that image name runs in the prefix; true when it does.
sf_wait_running() { # EXE SECONDS
    local start=$SECONDS
    until sf_probe running "$1" >/dev/null; do
        [ $((SECONDS - start)) -lt "${2:-60}" ] || return 1
        sleep 0.5
    done
}

# Waits (bounded) for the setup process to end; true when it did.
sf_wait_exit() {
    local limit=$1 start=$SECONDS
    while [ $((SECONDS - start)) -lt "$limit" ]; do
        if ! kill -0 "$SF_SETUP_PID" 2>/dev/null; then
            wait "$SF_SETUP_PID" 2>/dev/null
            return 0
        fi
        sleep 0.5
    done
    return 1
}

# Ends a setup process that is still there (after a failed check).
sf_end_setup() {
    if [ -n "$SF_SETUP_PID" ] && kill -0 "$SF_SETUP_PID" 2>/dev/null; then
        sf_probe kill "$(basename "$1")" >/dev/null
        sf_wait_exit 20 || kill "$SF_SETUP_PID" 2>/dev/null
    fi
}

# --- runs of a scenario -------------------------------------------------------------------------

declare -gA ran
# Runs a setup file from the welcome page through "Kur" to the page PAGE within LIMIT seconds;
# saves the log and the controls of that page. Screenshots are named after the scenario.
# The scenario's globals: current (its name), scen (its folder), current_exe, ran[] (wall times).
run_to() { # EXE PAGE LIMIT [settings-hook]
    local exe=$1 page=$2 limit=$3 hook=${4:-}
    current_exe=$exe
    sf_start "$exe" || return 1
    sf_wait_page welcome 30 || { sf_fail "$current: no welcome page"; return 1; }
    sf_dump >"$scen/welcome.txt"
    sf_shot "$current-1-welcome"
    sf_click btnNext
    sf_wait_page settings 15 || { sf_fail "$current: no settings page"; return 1; }
    sf_dump >"$scen/settings.txt"
    [ -n "$hook" ] && { $hook || return 1; }
    sf_shot "$current-2-settings"
    local kur=$SECONDS
    sf_click btnNext
    sf_wait_page running 30 || { sf_fail "$current: installation did not start"; return 1; }
    sleep 1
    sf_shot "$current-3-install"
    if ! sf_wait_page "$page" "$limit"; then
        sf_save_memo "$scen/memo.txt"
        sf_fail "$current: did not reach the $page page within $limit s"
        sed -n '1,400p' "$scen/memo.txt"
        return 1
    fi
    # From "Kur" to the result page: the run's wall time (the page is polled twice a second).
    ran[$current]=$((SECONDS - kur))
    sf_shot "$current-4-$page"
    sf_save_memo "$scen/memo.txt"
    sf_dump >"$scen/page.txt"
}

# sf_hold_dll HOW NAME: a reporting tool of the shop (a stay-up stand-in the updater does not
# know, CorvaneRaporlar.exe) holds D:\CorvaneZideroZur\NAME open, HOW being "lock" (no sharing)
# or "load" (as a loaded DLL is held: readable, never written). locker gets its pid; false unless
# the file is held within 30 s.
sf_hold_dll() { # HOW NAME
    cp "$SF_STANDINS_DIR/OmnelBridge.exe" "$scen/CorvaneRaporlar.exe"
    (cd "$scen" && exec wine CorvaneRaporlar.exe --standin-life=300000 \
        "--standin-$1=D:\\CorvaneZideroZur\\$2" </dev/null >"$scen/locker.log" 2>&1 9>&-) &
    locker=$!
    sf_probe wait-locked "D:\\CorvaneZideroZur\\$2" 30 >/dev/null
}

# "Kapat" on the last page; the window must go away.
close_with_kapat() {
    sf_click btnNext
    if ! sf_wait_exit 60; then
        sf_fail "$current: the window did not close after \"Kapat\""
        sf_end_setup "$current_exe"
    fi
}

# --- the uninstaller --------------------------------------------------------------------------

# sf_uninstall_start WINDOWS_PATH [ARGS]: starts the uninstaller as the list of programs does and waits
# for the window of the copy it continues in. The probe reads that window until sf_uninstall_end.
sf_uninstall_start() {
    local i w
    SF_TITLE=$SF_UNINSTALL_TITLE
    SF_TITLE_RE='^Corvane Market Pos Kald.*rma$'
    export CORVANE_PROBE_TITLE='Corvane Market Pos Kald'
    (exec wine "$@" </dev/null >"$SF_WORK/uninstall.wine.log" 2>&1 9>&-) &
    SF_SETUP_PID=$!
    SF_WID=""
    for i in $(seq 1 120); do
        for w in $(timeout 10 xdotool search --onlyvisible --name "$SF_TITLE_RE" 2>/dev/null); do
            eval "$(timeout 10 xdotool getwindowgeometry --shell "$w" 2>/dev/null)"
            [ "${WIDTH:-0}" -ge 510 ] && [ "${HEIGHT:-0}" -ge 410 ] && SF_WID=$w
        done
        [ -n "$SF_WID" ] && break
        sleep 0.5
    done
    if [ -z "$SF_WID" ]; then
        sf_fail "no uninstaller window within 60 s for $1"
        return 1
    fi
    sf_geometry
}

sf_uninstall_end() {
    SF_TITLE='CorvaneMarket Kurulum'
    SF_TITLE_RE='^CorvaneMarket Kurulum$'
    unset CORVANE_PROBE_TITLE
}

# Waits for the result of the removal: the window offers "Kapat".
sf_uninstall_wait_result() {
    local start=$SECONDS
    while [ $((SECONDS - start)) -lt "$1" ]; do
        sf_shows Button "Kapat" && return 0
        sleep 0.5
    done
    return 1
}

# Waits (bounded) until no uninstaller runs any more: the copy ends after "Kapat".
sf_uninstall_wait_gone() {
    local start=$SECONDS
    while [ $((SECONDS - start)) -lt "$1" ]; do
        sf_probe running "Uninstall Corvane Market Pos.exe" >/dev/null || return 0
        sleep 0.5
    done
    return 1
}

# The setup's log file in the prefix, copied to FILE; there must be exactly one (one run so far).
sf_setup_log() {
    local logs=("$WINEPREFIX"/drive_c/ProgramData/CorvaneMarket/Logs/kurulum-*.log)
    if [ ${#logs[@]} -ne 1 ] || [ ! -f "${logs[0]}" ]; then
        sf_fail "not a single log file of the setup in ProgramData: ${logs[*]}"
        return 1
    fi
    cp "${logs[0]}" "$1"
}

# The newest log file of the uninstaller in the prefix, copied to FILE.
sf_uninstall_log() {
    local newest
    newest=$(ls -t "$WINEPREFIX"/drive_c/ProgramData/CorvaneMarket/Logs/kaldirma-*.log 2>/dev/null | head -1)
    if [ -z "$newest" ]; then
        sf_fail "no log file of the uninstaller"
        return 1
    fi
    cp "$newest" "$1"
}

# The checks of the machine for one scenario: setupfile_check with that scenario's tests.
# sf_check SUITE SCENARIO_DIR
sf_check() {
    local out rc filter=$1
    [[ "$filter" == *[.*]* ]] || filter="$filter.*"
    out="$2/check.txt"
    CORVANE_SF_SCENARIO="$(sf_win "$2")" CORVANE_SF_PAYLOADS="$(sf_win "$SF_DEMO_DIR")" \
        CORVANE_SF_FAIL_PAYLOAD="$(sf_win "$SF_FAIL_PAYLOAD")" CORVANE_SF_NETSH="$(sf_win "$SF_NETSH_DIR")" \
        WINEDEBUG=-all timeout 300 wine "$SF_CHECK_EXE" --gtest_filter="$filter" </dev/null >"$out" 2>&1
    rc=$?
    tr -d '\r' <"$out" | grep -E '^\[ *(RUN|OK|FAILED|PASSED) *\]|Failure|Expected|Which is|Value of|actual|^  ' | head -200
    if [ $rc -ne 0 ]; then
        sf_fail "checks of $1"
        sf_port_holder
    fi
    return $rc
}
