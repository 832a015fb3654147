#!/usr/bin/env bash
# The setup files end to end, the way a shop meets them: the real setup program packed with the
# demo payloads, driven through its window with xdotool under Xvfb, the machine checked after
# every scenario by setupfile_check.
#   suite.sh HARNESS_ENV WORKDIR
# Shop machine (prefix "shop"): new installation (its setup file renamed and an empty one put at
# its name while the settings page is open) -> full update (both with programs named like
# Windows tools planted where a search by name would find them) -> file update -> full update
# whose copy fails on a DLL held open, rolled back -> restore from the welcome page -> full update
# cut off by a power cut while it registers the service again, then the restore -> a full update
# with a large desktop folder, then power cuts in its successors (powercut.sh) -> the
# uninstaller from the list of programs, database kept -> a new installation on that database
# (its setup file replaced by the update's while the settings page is open) ->
# the uninstaller with the database.
# Second machine (prefix "terminal"): a new installation cancelled through the close box ->
# database-only installation from a signed setup file -> a new installation beside it -> the
# silent uninstaller against a running till program, a service that ignores stop requests and a
# DLL held open, then twice more.
# Third machine (prefix "chain", drives D and E), the way a deployment tool meets it: invalid
# switches -> /S new installation with the database on E (a second setup refused meanwhile) ->
# /S full update that fails and is rolled back -> /S /RESTORE -> /SP file update -> the
# uninstaller by its QuietUninstallString -> /S /VERITABANI, the till taken out of service.
# Runs itself under xvfb-run when there is no display.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SF_UNDER_XVFB:-}" ]; then
    export SF_UNDER_XVFB=1
    exec timeout 3600 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
# shellcheck source=lib.sh
source "$here/lib.sh"
# shellcheck source=powercut.sh
source "$here/powercut.sh"

work=$(realpath -m "$2")
rm -rf "$work"
sf_init "$1" "$work"
SF_SHOTS="$work/shots"
suite_start=$SECONDS
declare -A took ran
# The fixed waits each run must make (the driver's and the steps' sleeps, and one poll second
# for each service that stops or goes away at once), in seconds: the floor of its wall time.
declare -A waits=([NewInstall]=22 [FullUpdate]=11 [FileUpdate]=2.5 [FailedUpdate]=3.5
                  [Restore]=5 [PowerCut]=11 [DatabaseOnly]=11 [Reinstall]=22)

finish() {
    sf_end_setup "${current_exe:-x.exe}"
    sf_prefix_stop shop
    sf_prefix_stop terminal
    sf_prefix_stop chain
}
trap finish EXIT

# scenario NAME: a folder for what the scenario leaves to its checks.
scenario() {
    current=$1
    scen="$work/$1"
    mkdir -p "$scen"
    scen_start=$SECONDS
    sf_log "--- $1"
}
scenario_end() { took[$current]=$((SECONDS - scen_start)); }

# Stand-ins named like the Windows tools the setup runs, each leaving "<name>.ran" when started,
# planted where a search by name would look before System32: the setup file's folder, the
# current folder and the installation folder. The setup must run none of them.
PLANTED="cmd taskkill net sc netsh"
plant_tools() { # FOLDER
    local t
    mkdir -p "$1"
    for t in $PLANTED; do cp "$SF_PLANTED_EXE" "$1/$t.exe"; done
}
# Plants into the installation folder as soon as the run has made it.
plant_when_made() { # FOLDER
    local i
    for i in $(seq 1 1200); do
        [ -d "$1" ] && { plant_tools "$1"; return; }
        sleep 0.1
    done
}
# No marker anywhere; the planted files go from the installation before its checks.
check_planted() {
    local markers t
    markers=$(find "$S" "$work/cwd" "$SF_DRIVE_D/CorvaneZideroZur" -maxdepth 1 -name '*.ran' 2>/dev/null)
    if [ -n "$markers" ]; then
        sf_fail "$current: a planted tool ran: $markers"
        head -c 400 $markers
    fi
    # (an update's backup took them along with the installation)
    for t in $PLANTED; do
        rm -f "$SF_DRIVE_D/CorvaneZideroZur/$t.exe" "$SF_DRIVE_D/CorvaneUpdateYedek/$t.exe"
    done
    [ -z "$markers" ] || rm -f $markers
}

temp_leftovers() { # the extraction folders still in the user's temporary folder
    find "$WINEPREFIX/drive_c/users" -maxdepth 5 -type d -name 'CorvaneMarketSetup_*' 2>/dev/null | wc -l
}

# --- setup files ------------------------------------------------------------------------------
sf_lock_db_port || exit 1
sf_log "packing the setup files"
sf_prefix_create shop || exit 1
sf_pack CorvaneMarketSetup-1.0.0.exe "$SF_DEMO_DIR/payload-1.0.0"
sf_pack CorvaneMarketUpdate-1.1.0.exe "$SF_DEMO_DIR/payload-1.1.0"
sf_pack CorvaneMarketDosyaUpdate-1.1.1.exe "$SF_DEMO_DIR/payload-1.1.1"
sf_pack CorvaneMarketUpdate-1.2.0.exe "$SF_FAIL_PAYLOAD"
# The database-only machine gets a signed setup file (throwaway certificate).
mkdir -p "$work/signed"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signed/key.pem" -out "$work/signed/cert.pem" \
    -days 2 -subj "/CN=Corvane Test Signing" >/dev/null 2>&1
osslsigncode sign -certs "$work/signed/cert.pem" -key "$work/signed/key.pem" -n "Corvane Market Setup" \
    -h sha256 -in "$work/setup/CorvaneMarketSetup-1.0.0.exe" \
    -out "$work/signed/CorvaneMarketSetup-1.0.0.exe" >/dev/null || sf_fail "signing"
osslsigncode verify -CAfile "$work/signed/cert.pem" -in "$work/signed/CorvaneMarketSetup-1.0.0.exe" \
    >/dev/null || sf_fail "the signed setup file does not verify"
[ "$SF_FAILED" -eq 0 ] || exit 1
took[pack]=$((SECONDS - suite_start))
S="$work/setup"

# While the settings page is open, the started setup file is renamed and something else put at
# its name: what the run installs must still be the started file's payload (it is held from the
# start and sealed), byte for byte, as the scenario's checks compare.
swap_setup_file() { # REPLACEMENT: "empty" (an empty file, a till program planted beside) or a file
    mv "$current_exe" "$S/started-setup.exe" || return 1
    if [ "$1" = empty ]; then
        : >"$current_exe"
        printf 'planted till program' >"$S/CorvaneZideroZUR.exe"
        mkdir -p "$S/CorvaneMarketServis"
        printf 'planted service' >"$S/CorvaneMarketServis/CorvaneMarketServer.exe"
    else
        cp "$1" "$current_exe"
    fi
}
unswap_setup_file() {
    rm -rf "$S/CorvaneZideroZUR.exe" "$S/CorvaneMarketServis"
    mv -f "$S/started-setup.exe" "$current_exe"
}

# --- shop: new installation -------------------------------------------------------------------
scenario NewInstall
sf_wait_port_free
check_drives() { # both lists offer C: and D:, D: selected; then the setup file goes
    sf_shows ComboBox "D:" || { sf_fail "NewInstall: D: is not the selected drive"; return 1; }
    swap_setup_file empty
}
plant_tools "$S"
plant_tools "$work/cwd"
plant_when_made "$SF_DRIVE_D/CorvaneZideroZur" &
planter=$!
export SF_START_DIR="$work/cwd"
if run_to "$S/CorvaneMarketSetup-1.0.0.exe" finish 240 check_drives; then
    unswap_setup_file
    close_with_kapat
    sf_wait_running CorvaneZideroZUR.exe 60 # the till program that "Kapat" started
    check_planted
    temp_leftovers >"$scen/temp-left.txt"
    # The run's log file on disk (the only one: one run so far).
    sf_setup_log "$scen/logfile.txt"
    sf_check NewInstall "$scen"
fi
kill "$planter" 2>/dev/null
wait "$planter" 2>/dev/null
[ -f "$S/started-setup.exe" ] && unswap_setup_file
scenario_end

# --- shop: full update ------------------------------------------------------------------------
scenario FullUpdate
cp -a "$SF_DRIVE_D/CorvaneOrtakData" "$scen/ortak-before"
cp "$SF_DRIVE_D/CorvaneZideroZur/pos-config.json" "$scen/pos-config-before.json"
plant_tools "$SF_DRIVE_D/CorvaneZideroZur"
if run_to "$S/CorvaneMarketUpdate-1.1.0.exe" finish 240; then
    close_with_kapat
    check_planted
    temp_leftovers >"$scen/temp-left.txt"
    sf_check FullUpdate "$scen"
fi
unset SF_START_DIR
scenario_end

# --- shop: file update ------------------------------------------------------------------------
scenario FileUpdate
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
if run_to "$S/CorvaneMarketDosyaUpdate-1.1.1.exe" finish 180; then
    close_with_kapat
    sf_check FileUpdate "$scen"
fi
scenario_end

# --- shop: a full update whose copy fails on a DLL held open, rolled back ----------------------
scenario FailedUpdate
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
cp -a "$SF_DRIVE_D/CorvaneUpdateYedek" "$scen/backup-before"
# A reporting tool of the shop (a stay-up stand-in the updater does not know) holds a DLL open.
if ! sf_hold_dll lock CorvaneReports.dll; then
    sf_fail "FailedUpdate: the DLL was not held open"
elif run_to "$S/CorvaneMarketUpdate-1.2.0.exe" failed 240; then
    sf_probe running CorvaneRaporlar.exe >/dev/null && echo yes >"$scen/locker-running.txt"
    close_with_kapat
    sf_probe kill CorvaneRaporlar.exe >/dev/null
    sf_check FailedUpdate "$scen"
fi
sf_probe kill CorvaneRaporlar.exe >/dev/null
wait "$locker" 2>/dev/null
scenario_end

# Starts a setup file, restores the backup from its welcome page and closes the window with
# "Kapat", the till program left stopped; pages, question and log go to the scenario's folder.
restore_from_welcome() { # EXE
    current_exe=$1
    sf_start "$current_exe" && sf_wait_page welcome 30 || { sf_fail "$current: no welcome page"; return 1; }
    sf_dump >"$scen/welcome.txt"
    sf_shot "$current-1-welcome"
    if ! sf_shows Button "Onceki Surume Geri Yukle"; then
        sf_fail "$current: the welcome page offers no restore button"
        cat "$scen/welcome.txt"
        return 1
    fi
    sf_click btnGeriYukle
    sf_answer_box "GERI YUKLEME ONAYI" Return || return 1
    cp "$work/last-box.txt" "$scen/confirm.txt"
    local kur=$SECONDS chk
    sf_wait_page running 20
    sf_shot "$current-2-running"
    if ! sf_wait_page finish 120; then
        sf_save_memo "$scen/memo.txt"
        sf_fail "$current: no finish page"
        cat "$scen/memo.txt"
        return 1
    fi
    ran[$current]=$((SECONDS - kur))
    sf_shot "$current-3-finish"
    sf_save_memo "$scen/memo.txt"
    sf_dump >"$scen/page.txt"
    sf_probe running CorvaneZideroZUR.exe >/dev/null || echo stopped >"$scen/till-stopped.txt"
    chk=$(sf_dump | awk -F'\t' '$5=="CorvaneMarketı başlat"')
    # Leave the till program stopped, so that the checks see the restore's doing.
    [[ "$chk" == *checked* ]] && sf_click chkRunApp
    close_with_kapat
}

# --- shop: restore from the welcome page ------------------------------------------------------
scenario Restore
# Since the last backup the installation changed by hand: a broken till program, a file gone
# from masaustu and one added; the till program runs.
cp -a "$SF_DRIVE_D/CorvaneUpdateYedek" "$scen/backup-before"
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
cp "$SF_STANDINS_DIR/TarvikBridge.exe" "$SF_DRIVE_D/CorvaneZideroZur/CorvaneZideroZUR.exe"
rm -f "$SF_DRIVE_D/CorvaneZideroZur/masaustu/assets/app.js"
printf 'stray' >"$SF_DRIVE_D/CorvaneZideroZur/masaustu/stray.txt"
(cd "$SF_DRIVE_D/CorvaneZideroZur" && exec wine CorvaneZideroZUR.exe </dev/null >"$scen/till.log" 2>&1 9>&-) &
sf_wait_running CorvaneZideroZUR.exe 60 || sf_fail "$current: the till program did not start"
restore_from_welcome "$S/CorvaneMarketSetup-1.0.0.exe" && sf_check Restore "$scen"
sf_end_setup "$current_exe"
scenario_end

# --- shop: power cut while a full update registers the service again, then the restore ---------
scenario PowerCut
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
# The new service program waits 12 s before it registers itself (the stand-in's switches from
# the machine's registry: the setup passes no environment of ours on): the old service is
# deleted by then, the new one not yet.
standin_key='HKLM\SOFTWARE\CorvaneStandins'
sf_wine reg add "$standin_key" /v CorvaneMarketServer.exe /t REG_SZ /f \
    /d "--standin-journal=$(sf_win "$scen")\starts.txt --standin-hang=12000" >/dev/null
current_exe="$S/CorvaneMarketUpdate-1.2.0.exe"
sf_start "$current_exe" && sf_wait_page welcome 30 && sf_click btnNext && sf_wait_page settings 15 &&
    sf_click btnNext
for _ in $(seq 1 240); do
    grep -q '/install' "$scen/starts.txt" 2>/dev/null && break
    sleep 0.5
done
sf_save_memo "$scen/memo-cut.txt"
if grep -q '/install' "$scen/starts.txt" 2>/dev/null; then
    sf_shot "PowerCut-1-cut"
    # The power cut: the whole Wine session ends at once.
    timeout 30 wineserver -k </dev/null >/dev/null 2>&1
    sf_wait_exit 30 || sf_fail "PowerCut: the setup process outlived the Wine session"
    sf_prefix_stop shop
    wineserver -p </dev/null >/dev/null 2>&1 9>&-
    # The restore must not wait on the stand-in.
    sf_wine reg delete "$standin_key" /f >/dev/null
    sf_wine sc query CorvaneMarketService >/dev/null || echo missing >"$scen/missing-after-restart.txt"
    restore_from_welcome "$S/CorvaneMarketSetup-1.0.0.exe" && sf_check PowerCut "$scen"
else
    sf_wine reg delete "$standin_key" /f >/dev/null
    sf_fail "PowerCut: the update never started the new service program's /install"
    cat "$scen/memo-cut.txt"
fi
sf_end_setup "$current_exe"
scenario_end

# --- shop: power cuts in the middle of full updates (powercut.sh) ------------------------------
powercut_scenarios
sf_end_setup "${current_exe:-x.exe}"

# --- shop: the uninstaller from the list of programs, database kept ------------------------------
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos'
# Runs the uninstaller registered as UninstallString through its window; HOOK on the question page.
# The program started waits for its copy: it ends with the removal, with the copy's code.
uninstall_window() { # [hook [args]]
    local hook=${1:-} path
    path=$(sf_wine reg query "$uninstall_key" /v UninstallString | sed -n 's/.*REG_SZ *//p' | tr -d '"')
    echo "$path" >"$scen/uninstall-string.txt"
    [ -n "$path" ] || { sf_fail "$current: no UninstallString"; return 1; }
    sf_uninstall_start "$path" "${@:2}" || return 1
    [ -n "$hook" ] && { $hook || return 1; }
    sf_dump >"$scen/question.txt"
    kill -0 "$SF_SETUP_PID" 2>/dev/null && echo yes >"$scen/original-waiting.txt"
    sf_shot "$current-1-question"
    sf_click unRemove
    if ! sf_uninstall_wait_result 240; then
        sf_save_memo "$scen/memo.txt"
        sf_fail "$current: the removal did not end within 240 s"
        cat "$scen/memo.txt"
        return 1
    fi
    sf_shot "$current-2-result"
    sf_save_memo "$scen/memo.txt"
    # Handed over before the result shows; the copy's window stays until "Kapat".
    if timeout 30 tail --pid="$SF_SETUP_PID" -f /dev/null; then
        wait "$SF_SETUP_PID"
        echo $? >"$scen/original-exit.txt"
    fi
    sf_dump >"$scen/page.txt"
    sf_click unClose
    sf_uninstall_wait_gone 30 || sf_fail "$current: the uninstaller did not end after \"Kapat\""
    sf_uninstall_log "$scen/logfile.txt"
}

scenario Uninstall
# The shop's sales data: the uninstaller must leave every byte of the database folder.
mkdir -p "$SF_DRIVE_D/CorvaneOrtakData/Data/corvaneposdb"
printf 'fis 1\t3 ekmek\r\n' >"$SF_DRIVE_D/CorvaneOrtakData/Data/corvaneposdb/satis.dat"
cp -a "$SF_DRIVE_D/CorvaneOrtakData" "$scen/ortak-before"
if uninstall_window; then
    sf_check Uninstall "$scen"
fi
sf_uninstall_end
scenario_end

scenario Reinstall
cp -a "$work/Uninstall/ortak-before" "$scen/ortak-before"
swap_for_update() { swap_setup_file "$S/CorvaneMarketUpdate-1.1.0.exe"; } # another sealed file
if run_to "$S/CorvaneMarketSetup-1.0.0.exe" finish 240 swap_for_update; then
    unswap_setup_file
    close_with_kapat
    sf_check Reinstall "$scen"
fi
[ -f "$S/started-setup.exe" ] && unswap_setup_file
scenario_end

scenario UninstallAll
tick_database() {
    # /VERITABANI asks at once; Enter keeps the database, the box stays unticked.
    sf_answer_box "Bu işlem geri alınamaz!" Return || return 1
    sf_dump >"$scen/switch-declined.txt"
    sf_click chkDatabase
    sf_answer_box "Bu işlem geri alınamaz!" y || return 1
    cp "$work/last-box.txt" "$scen/confirm.txt"
    sleep 0.5
    sf_dump >"$scen/question.txt"
}
if uninstall_window tick_database /VERITABANI; then
    sf_check UninstallAll "$scen"
fi
sf_uninstall_end
sf_prefix_stop shop
scenario_end

# --- terminal: a new installation cancelled through the close box ------------------------------
scenario Cancel
sf_prefix_create terminal || exit 1
current_exe="$S/CorvaneMarketSetup-1.0.0.exe"
if sf_start "$current_exe" && sf_wait_page welcome 30; then
    sf_click btnNext
    sf_wait_page settings 15
    sf_click btnNext
    # Close the window (Alt+F4, the close box's key) while the first step runs.
    for _ in $(seq 1 60); do
        sf_save_memo "$scen/memo.txt"
        grep -q '^\[1/14\] ' "$scen/memo.txt" 2>/dev/null && break
        sleep 0.25
    done
    timeout 10 xdotool windowfocus "$SF_WID" 2>/dev/null
    sleep 0.2
    timeout 10 xdotool key --clearmodifiers alt+F4
    if sf_answer_box "Kurulum devam ediyor! İptal edilsin mi?" Return; then
        cp "$work/last-box.txt" "$scen/question.txt"
        sf_shot "Cancel-1-cancelling"
        # The window closes by itself once the run has stopped; keep the last log it showed.
        start=$SECONDS
        while kill -0 "$SF_SETUP_PID" 2>/dev/null && [ $((SECONDS - start)) -lt 60 ]; do
            sf_save_memo "$scen/memo-new.txt" && mv "$scen/memo-new.txt" "$scen/memo.txt"
            sleep 0.3
        done
        if sf_wait_exit 5; then
            echo $((SECONDS - start)) >"$scen/closed-after.txt"
        else
            sf_fail "Cancel: the window did not close by itself"
        fi
        temp_leftovers >"$scen/temp-left.txt"
        sf_check Cancel "$scen"
    fi
fi
sf_end_setup "$current_exe"
scenario_end

# --- terminal: database-only installation from the signed setup file ---------------------------
scenario DatabaseOnly
sf_wait_port_free
current_exe="$work/signed/CorvaneMarketSetup-1.0.0.exe"
choose_db_only() {
    sf_click cbKurulumTipi
    timeout 10 xdotool key Down Return
    sleep 0.5
    sf_dump | awk -F'\t' 'tolower($1)=="combobox" && $5=="Sadece CorvaneDB" {f=1} END {exit !f}' ||
        { sf_fail "DatabaseOnly: \"Sadece CorvaneDB\" not selected"; return 1; }
    # Without the application folder the wizard refuses, and stays on the settings page.
    sf_click btnNext
    sf_answer_box "CorvaneDB kurulumu için CorvaneZideroZur klasörü mevcut olmalıdır." Return ||
        return 1
    cp "$work/last-box.txt" "$scen/refused.txt"
    sf_wait_page settings 10 || { sf_fail "DatabaseOnly: left the settings page"; return 1; }
    mkdir -p "$SF_DRIVE_D/CorvaneZideroZur"
}
if run_to "$current_exe" finish 240 choose_db_only; then
    close_with_kapat
    temp_leftovers >"$scen/temp-left.txt"
    sf_check DatabaseOnly "$scen"
fi
scenario_end

# --- terminal: the silent uninstaller against what holds on, then twice more --------------------
scenario Silent
# The database of the database-only run serves on: the new installation takes it.
if run_to "$S/CorvaneMarketSetup-1.0.0.exe" finish 240; then
    close_with_kapat # the till program runs
    sf_wait_running CorvaneZideroZUR.exe 60 && echo yes >"$scen/till-running.txt"
    # A back-office service that ignores stop requests.
    srv='D:\CorvaneZideroZur\CorvaneMarketServis\CorvaneMarketServer.exe'
    sf_wine net stop CorvaneMarketService >/dev/null
    sf_wine "$srv" /uninstall >/dev/null
    sf_wine "$srv" /install --standin-stop=ignore >"$scen/stubborn.txt"
    sf_wine net start CorvaneMarketService >>"$scen/stubborn.txt"
    # A reporting tool of the shop holds a DLL open without sharing.
    sf_hold_dll lock CorvaneReports.dll ||
        sf_fail "Silent: the DLL was not held open"
    mkdir -p "$scen/kept"
    cp "$SF_DRIVE_D/CorvaneZideroZur/Uninstall Corvane Market Pos.exe" "$scen/kept/"
    # silent_run N PATH: exit code, seconds and log file of one run.
    silent_run() {
        local start=$SECONDS
        timeout 600 wine "$2" /S </dev/null >"$scen/wine-$1.log" 2>&1 9>&-
        echo $? >"$scen/exit-$1.txt"
        echo $((SECONDS - start)) >"$scen/seconds-$1.txt"
        sf_uninstall_log "$scen/log-$1.txt"
        sleep 1 # the next run's log file gets a name of its own
    }
    # Links an ordinary user plants where the uninstaller deletes: nothing behind them may go.
    mkdir -p "$scen/behind"
    printf keep >"$scen/behind/keep.txt"
    rm -rf "$SF_DRIVE_D/CorvaneUpdateYedek" "$SF_DRIVE_D/CorvaneUpdateYedek.yeni"
    for l in CorvaneUpdateYedek CorvaneUpdateYedek.yeni CorvaneZideroZur/masaustu/planted; do
        ln -s "$scen/behind" "$SF_DRIVE_D/$l"
    done
    silent_run 1 'D:\CorvaneZideroZur\Uninstall Corvane Market Pos.exe'
    [ "$(cat "$scen/behind/keep.txt" 2>/dev/null)" = keep ] ||
        sf_fail "Silent: a file behind a planted link was deleted"
    [ -e "$SF_DRIVE_D/CorvaneZideroZur/CorvaneZideroZUR.exe" ] &&
        sf_fail "Silent: the till program was not removed"
    for l in 'D:\CorvaneUpdateYedek' 'D:\CorvaneUpdateYedek.yeni'; do
        grep -qF "  ! Silinmedi: $l - bir bağlantı" "$scen/log-1.txt" ||
            sf_fail "Silent: the link at $l was not refused"
    done
    rm -f "$SF_DRIVE_D/CorvaneUpdateYedek" "$SF_DRIVE_D/CorvaneUpdateYedek.yeni" \
        "$SF_DRIVE_D/CorvaneZideroZur/masaustu/planted"
    sf_probe kill CorvaneRaporlar.exe >/dev/null
    wait "$locker" 2>/dev/null
    silent_run 2 "$(sf_win "$scen/kept")\\Uninstall Corvane Market Pos.exe"
    silent_run 3 "$(sf_win "$scen/kept")\\Uninstall Corvane Market Pos.exe"
    sf_check Silent "$scen"
fi
scenario_end
sf_prefix_stop terminal

# --- chain: unattended runs, as a deployment tool starts them ---------------------------------
# Exit codes come back through wine as the low byte only: 1618 reads 82, 87 stays 87.
sf_prefix_create chain || exit 1
mkdir -p "$SF_WORK/drives-chain/e"
ln -sfn "$SF_WORK/drives-chain/e" "$WINEPREFIX/dosdevices/e:"
chain_logs="$WINEPREFIX/drive_c/ProgramData/CorvaneMarket/Logs"
# silent NAME EXE ARGS...: runs a setup file to its end in the background; $silent_pid.
silent() {
    local name=$1 exe=$2
    shift 2
    current_exe=$exe
    (cd "$(dirname "$exe")" && exec timeout 600 wine "$(basename "$exe")" "$@" \
        </dev/null >"$scen/$name.wine.log" 2>&1 9>&-) &
    silent_pid=$!
}
silent_rc() { # NAME EXE ARGS...: runs it and echoes its exit code
    silent "$@"
    wait "$silent_pid"
    echo $?
}
# What a run may not change: the files on D and E, the services, the uninstall entry.
machine() {
    (cd "$SF_WORK/drives-chain" && find . | sort)
    sf_wine sc query CorvaneDB | grep -c RUNNING
    sf_wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos' | head -3
}
logline() { # FILE: the window's lines: no byte-order mark, CRs, times, the run's header and code
    sed '1s/^\xEF\xBB\xBF//' "$1" | tr -d '\r' | sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} //' |
        grep -vE '^(Kurulum dosyası|Komut satırı|Kullanıcı|Bilgisayar): |^Çıkış kodu: [0-9]+$'
}

scenario InvalidArgs
S_NEW="$S/CorvaneMarketSetup-1.0.0.exe"
machine >"$scen/before.txt"
# The parser's test covers every bad switch and value; here one of them through the real program,
# and what only the machine decides: a drive that is not fixed, a restore without a backup.
for args in "/S /BOGUS" "/S /DISK=Q" "/S /RESTORE"; do
    # shellcheck disable=SC2086
    rc=$(silent_rc invalid "$S_NEW" $args "/LOG=C:\\invalid.log")
    [ "$rc" = 87 ] || sf_fail "InvalidArgs: \"$args\" ended with $rc, not 87"
done
machine >"$scen/after.txt"
diff "$scen/before.txt" "$scen/after.txt" >/dev/null || {
    sf_fail "InvalidArgs: the machine changed"
    diff "$scen/before.txt" "$scen/after.txt" | head -20
}
logline "$WINEPREFIX/drive_c/invalid.log" >"$scen/invalid.log"
for msg in "MESAJ: Bilinmeyen parametre: /BOGUS" "MESAJ: Kurulum diski sabit bir disk değil: Q:" \
    "MESAJ: Geri yuklenecek yedek bulunamadi."; do
    grep -qF -- "$msg" "$scen/invalid.log" || sf_fail "InvalidArgs: no \"$msg\" in the /LOG file"
done
scenario_end

scenario SilentInstall
sf_wait_port_free
# The Logs folder turned into a link by an ordinary user: no log goes behind it.
mkdir -p "$scen/logs-behind"
rm -rf "$chain_logs"
ln -s "$scen/logs-behind" "$chain_logs"
kur=$SECONDS
silent first "$S_NEW" /s /DISK=D: /dbdisk=E /SHORTCUT=0 /FIREWALL=0 "/LOG=C:\\silent install.log"
first=$silent_pid
# A second setup while the first one runs: refused at once, and the first goes on.
for _ in $(seq 1 120); do
    grep -q '^\[1/14\] ' <(logline "$WINEPREFIX/drive_c/silent install.log" 2>/dev/null) && break
    sleep 0.5
done
rc=$(silent_rc second "$S_NEW" /S "/LOG=C:\\second.log")
[ "$rc" = 82 ] || sf_fail "SilentInstall: a second setup during the run ended with $rc, not 1618"
grep -qF "MESAJ: Başka bir Corvane Market kurulumu şu anda çalışıyor." <(logline "$WINEPREFIX/drive_c/second.log") ||
    sf_fail "SilentInstall: the second setup did not say why"
# The uninstaller too: it takes the same lock, ends with its copy's 1618 and says so in its log.
cp "$SF_DEMO_DIR/payload-1.0.0/Uninstall Corvane Market Pos.exe" "$scen/"
rc=$(silent_rc uninstall-busy "$scen/Uninstall Corvane Market Pos.exe" -S "/LOG=C:\\busy.log")
[ "$rc" = 82 ] || sf_fail "SilentInstall: the uninstaller during the run ended with $rc, not 1618"
grep -qF "Çıkış kodu: 1618" <(logline "$WINEPREFIX/drive_c/busy.log") ||
    sf_fail "SilentInstall: the uninstaller's /LOG file does not end with 1618"
wait "$first"
rc=$?
ran[SilentInstall]=$((SECONDS - kur))
[ "$rc" = 0 ] || sf_fail "SilentInstall: ended with $rc"
logline "$WINEPREFIX/drive_c/silent install.log" >"$scen/memo.txt"
# The file names the run and its end, every line with its time.
sed '1s/^\xEF\xBB\xBF//' "$WINEPREFIX/drive_c/silent install.log" | tr -d '\r' >"$scen/raw.txt"
[ "$(sed -n 1p "$scen/raw.txt" | cut -c14-)" = "Kurulum dosyası: CorvaneMarketSetup-1.0.0.exe (sürüm 1.0.0)" ] &&
    [ "$(sed -n 2p "$scen/raw.txt" | cut -c14-)" = 'Komut satırı: /s /DISK=D: /dbdisk=E /SHORTCUT=0 /FIREWALL=0 "/LOG=C:\silent install.log"' ] &&
    [ "$(tail -1 "$scen/raw.txt" | cut -c14-)" = "Çıkış kodu: 0" ] ||
    sf_fail "SilentInstall: the log file does not name its run and its exit code"
grep -vqE '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} ' "$scen/raw.txt" && sf_fail "SilentInstall: a log line without its time"
temp_leftovers >"$scen/temp-left.txt"
[ -z "$(ls -A "$scen/logs-behind")" ] || sf_fail "SilentInstall: a log went through the linked Logs folder"
rm -f "$chain_logs"
CORVANE_SF_DB_DRIVE=E sf_check SilentInstall "$scen"
scenario_end

scenario SilentFailedUpdate
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
if sf_hold_dll lock CorvaneReports.dll; then
    rc=$(silent_rc update "$S/CorvaneMarketUpdate-1.2.0.exe" /S "/LOG=C:\\failed.log")
    [ "$rc" = 1 ] || sf_fail "SilentFailedUpdate: ended with $rc, not 536870913 (failed, rolled back; low byte 1)"
    logline "$WINEPREFIX/drive_c/failed.log" >"$scen/memo.txt"
    sf_probe kill CorvaneRaporlar.exe >/dev/null
    CORVANE_SF_DB_DRIVE=E sf_check "FailedUpdate.LogShows*:FailedUpdate.WhatTheBackup*" "$scen"
else
    sf_fail "SilentFailedUpdate: the DLL was not held open"
fi
sf_probe kill CorvaneRaporlar.exe >/dev/null
wait "$locker" 2>/dev/null
scenario_end

scenario SilentRestore
cp -a "$SF_DRIVE_D/CorvaneUpdateYedek" "$scen/backup-before"
printf 'stray' >"$SF_DRIVE_D/CorvaneZideroZur/masaustu/stray.txt"
(cd "$SF_DRIVE_D/CorvaneZideroZur" && exec wine CorvaneZideroZUR.exe </dev/null >"$scen/till.log" 2>&1 9>&-) &
sf_wait_running CorvaneZideroZUR.exe 60 || sf_fail "$current: the till program did not start"
rc=$(silent_rc restore "$S_NEW" /S /RESTORE "/LOG=C:\\restore.log")
[ "$rc" = 0 ] || sf_fail "SilentRestore: ended with $rc"
sf_probe running CorvaneZideroZUR.exe >/dev/null || echo stopped >"$scen/till-stopped.txt"
logline "$WINEPREFIX/drive_c/restore.log" >"$scen/memo.txt"
grep -qx "Onceki surume basariyla donuldu." "$scen/memo.txt" || sf_fail "SilentRestore: no success line"
CORVANE_SF_DB_DRIVE=E sf_check "Restore.BackupIsBackInPlace*" "$scen"
scenario_end

scenario ProgressUpdate
# /SP: the window goes through its pages by itself and closes.
cp -a "$SF_DRIVE_D/CorvaneZideroZur" "$scen/install-before"
current_exe="$S/CorvaneMarketDosyaUpdate-1.1.1.exe"
before_logs=$(ls "$chain_logs" | wc -l)
# /LOG= naming a second name (hard link) of a file of someone else: refused, the run goes on.
# (Wine shows a symbolic link to a file as the file itself.)
printf other >"$scen/other.txt"
ln -f "$scen/other.txt" "$WINEPREFIX/drive_c/linked.log"
(cd "$S" && exec wine CorvaneMarketDosyaUpdate-1.1.1.exe /SP '/LOG=C:\linked.log' </dev/null >"$scen/sp.wine.log" 2>&1 9>&-) &
SF_SETUP_PID=$!
kur=$SECONDS
# One probe watches the window from its start until it goes, every page it shows.
SF_WINE_LIMIT=300 sf_probe pages "$(sf_win "$scen")\\pages.txt" 240 >"$scen/pages-probe.txt" ||
    sf_fail "ProgressUpdate: the window did not go within 240 s; $(cat "$scen/pages-probe.txt")"
seen=$(cat "$scen/pages.txt" 2>/dev/null)
if sf_wait_exit 60; then
    wait "$SF_SETUP_PID"
    rc=$?
    [ "$rc" = 0 ] || sf_fail "ProgressUpdate: ended with $rc"
else
    sf_fail "ProgressUpdate: the window did not close by itself"
fi
ran[ProgressUpdate]=$((SECONDS - kur))
# The first pages pass within a second or two, quicker than even a probe in the prefix may see
# them under load; the finish page, reached without a click, shows that they passed.
[[ " $seen " == *" finish "* ]] || sf_fail "ProgressUpdate: the finish page was not seen (saw:$seen)"
[[ " $seen " == *" failed "* ]] && sf_fail "ProgressUpdate: the run failed"
[ "$(ls "$chain_logs" | wc -l)" -gt "$before_logs" ] || sf_fail "ProgressUpdate: no log file"
logline "$(ls -d "$chain_logs"/kurulum-*.log | sort | tail -1)" >"$scen/memo.txt"
grep -qx "DOSYA GÜNCELLEME BAŞARIYLA TAMAMLANDI" "$scen/memo.txt" || sf_fail "ProgressUpdate: no success line in the log"
grep -qF "MESAJ: /LOG dosyası kullanılmadı" "$scen/memo.txt" || sf_fail "ProgressUpdate: the linked /LOG file was not refused"
[ "$(cat "$scen/other.txt")" = other ] || sf_fail "ProgressUpdate: /LOG= wrote through a link"
cmp -s "$SF_DRIVE_D/CorvaneZideroZur/CorvaneZideroZUR.exe" "$SF_DEMO_DIR/payload-1.1.1/CorvaneZideroZUR.exe" ||
    sf_fail "ProgressUpdate: the till program was not replaced"
sf_end_setup "$current_exe"
scenario_end

scenario QuietUninstall
# As a deployment tool removes the product: the entry's QuietUninstallString, a DLL held open.
quiet=$(sf_wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos' \
    /v QuietUninstallString | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
uninst='D:\CorvaneZideroZur\Uninstall Corvane Market Pos.exe'
[ "$quiet" = "\"$uninst\" /S" ] || sf_fail "QuietUninstall: QuietUninstallString is \"$quiet\""
rc=$(silent_rc uninstall-bad "$uninst" /S /BOGUS "/LOG=C:\\uninstall-bad.log")
[ "$rc" = 87 ] || sf_fail "QuietUninstall: a bad switch ended with $rc, not 87"
grep -qF "Çıkış kodu: 87" <(logline "$WINEPREFIX/drive_c/uninstall-bad.log") ||
    sf_fail "QuietUninstall: the bad switch's log does not end with 87"
[ -e "$SF_DRIVE_D/CorvaneZideroZur/CorvaneZideroZUR.exe" ] || sf_fail "QuietUninstall: a bad switch removed files"
sf_hold_dll lock CorvaneReports.dll ||
    sf_fail "QuietUninstall: the DLL was not held open"
rc=$(silent_rc uninstall "$uninst" -s /NORESTART "/LOG=C:\\uninstall.log")
# 3010: only the held DLL and its folder are left, for the restart.
[ "$rc" = 194 ] || sf_fail "QuietUninstall: ended with $rc, not 3010 (low byte 194)"
logline "$WINEPREFIX/drive_c/uninstall.log" >"$scen/memo.txt"
grep -qx "Çıkış kodu: 3010 (yeniden başlatmada tamamlanacak)" "$scen/memo.txt" ||
    sf_fail "QuietUninstall: the log does not end with 3010"
grep -qF "KALDIRMA" "$scen/memo.txt" || sf_fail "QuietUninstall: the log ended before the removal"
sf_wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos' >/dev/null 2>&1 &&
    sf_fail "QuietUninstall: the uninstall entry is still there"
[ -e "$SF_DRIVE_D/CorvaneZideroZur/CorvaneZideroZUR.exe" ] && sf_fail "QuietUninstall: the till program stayed"
sf_probe kill CorvaneRaporlar.exe >/dev/null
wait "$locker" 2>/dev/null
scenario_end

scenario Decommission
# A till taken out of service: /VERITABANI removes CorvaneDB and its data too, nothing behind a link.
ortak="$SF_WORK/drives-chain/e/CorvaneOrtakData"
mkdir -p "$scen/behind"
printf keep >"$scen/behind/keep.txt"
ln -s "$scen/behind" "$ortak/Data/planted"
cp "$SF_DEMO_DIR/payload-1.0.0/Uninstall Corvane Market Pos.exe" "$scen/"
rc=$(silent_rc decommission "$scen/Uninstall Corvane Market Pos.exe" /S /VERITABANI "/LOG=C:\\decommission.log")
logline "$WINEPREFIX/drive_c/decommission.log" >"$scen/memo.txt"
# Wine cannot delete a link through a handle that shows it (Windows can): it stays, a failure.
[ "$rc" = 67 ] || sf_fail "Decommission: ended with $rc, not 1603 (low byte 67)"
for line in 'Veritabanı: E:\CorvaneOrtakData (kaldırılacak)' '[7/8] CorvaneDB ve veritabanı kaldırılıyor...' \
    '  Veritabanı klasörü siliniyor: E:\CorvaneOrtakData (Data, mariadb, my.ini)' \
    '  ! Bağlantı silinemedi: E:\CorvaneOrtakData\Data\planted' 'Çıkış kodu: 1603 (hata)'; do
    grep -qxF -- "$line" "$scen/memo.txt" || sf_fail "Decommission: no \"$line\" in the log"
done
[ "$(cd "$ortak" && find . -mindepth 1 | sort | tr '\n' ' ')" = "./Data ./Data/planted " ] ||
    sf_fail "Decommission: more than the link stayed in the data folder"
[ "$(cat "$scen/behind/keep.txt" 2>/dev/null)" = keep ] || sf_fail "Decommission: a file behind a link was deleted"
sf_wine sc query CorvaneDB >/dev/null && sf_fail "Decommission: the CorvaneDB service stayed"
scenario_end
sf_prefix_stop chain

took[total]=$((SECONDS - suite_start))
{
    printf '%-14s %8s %8s %8s %8s\n' scenario total run waits overhead
    for k in pack NewInstall FullUpdate FileUpdate FailedUpdate Restore PowerCut CutBigUpdate \
             CutAfterSetAside CutInTheCopy CutThenRerun Uninstall Reinstall UninstallAll Cancel \
             DatabaseOnly Silent InvalidArgs SilentInstall SilentFailedUpdate SilentRestore \
             ProgressUpdate total; do
        ratio=""
        if [ -n "${ran[$k]:-}" ] && [ -n "${waits[$k]:-}" ]; then
            ratio=$(awk -v r="${ran[$k]}" -v w="${waits[$k]}" 'BEGIN {printf "%.1fx", r / w}')
        fi
        printf '%-14s %7ss %7ss %7ss %8s\n' "$k" "${took[$k]:-}" "${ran[$k]:-}" "${waits[$k]:-}" "$ratio"
    done
} | tee "$work/timings.txt"
if [ "$SF_FAILED" -ne 0 ]; then
    echo "setup-file suite: FAILED (screenshots in $SF_SHOTS)"
    exit 1
fi
echo "setup-file suite: all scenarios passed (screenshots in $SF_SHOTS)"
