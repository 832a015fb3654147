#!/usr/bin/env bash
# The setup files end to end, the way a shop meets them: the real setup program packed with the
# demo payloads, driven through its window with xdotool under Xvfb, the machine checked after
# every scenario by setupfile_check.
#   suite.sh HARNESS_ENV WORKDIR
# Shop machine (prefix "shop"): new installation -> full update -> file update -> full update
# whose copy fails on a DLL held open, rolled back -> restore from the welcome page -> the
# uninstaller from the list of programs, database kept -> a new installation on that database ->
# the uninstaller with the database.
# Second machine (prefix "terminal"): a new installation cancelled through the close box ->
# database-only installation from a signed setup file -> a new installation beside it -> the
# silent uninstaller against a running till program, a service that ignores stop requests and a
# DLL held open, then twice more.
# Runs itself under xvfb-run when there is no display.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SF_UNDER_XVFB:-}" ]; then
    export SF_UNDER_XVFB=1
    exec timeout 2400 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
# shellcheck source=lib.sh
source "$here/lib.sh"

work=$(realpath -m "$2")
rm -rf "$work"
sf_init "$1" "$work"
SF_SHOTS="$work/shots"
suite_start=$SECONDS
declare -A took ran
# The fixed waits each run must make (the driver's and the steps' sleeps, and one poll second
# for each service that stops or goes away at once), in seconds: the floor of its wall time.
declare -A waits=([NewInstall]=22 [FullUpdate]=11 [FileUpdate]=2.5 [FailedUpdate]=3.5
                  [Restore]=5 [DatabaseOnly]=11 [Reinstall]=22)

finish() {
    sf_end_setup "${current_exe:-x.exe}"
    sf_prefix_stop shop
    sf_prefix_stop terminal
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

# Runs a setup file from the welcome page through "Kur" to the page PAGE within LIMIT seconds;
# saves the log and the controls of that page. Screenshots are named after the scenario.
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

# "Kapat" on the last page; the window must go away.
close_with_kapat() {
    sf_click btnNext
    if ! sf_wait_exit 60; then
        sf_fail "$current: the window did not close after \"Kapat\""
        sf_end_setup "$current_exe"
    fi
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

# --- shop: new installation -------------------------------------------------------------------
scenario NewInstall
sf_wait_port_free
check_drives() { # both lists offer C: and D:, D: selected
    sf_shows ComboBox "D:" || { sf_fail "NewInstall: D: is not the selected drive"; return 1; }
}
if run_to "$S/CorvaneMarketSetup-1.0.0.exe" finish 240 check_drives; then
    close_with_kapat
    sleep 2 # the till program that "Kapat" started
    temp_leftovers >"$scen/temp-left.txt"
    sf_check NewInstall "$scen"
fi
scenario_end

# --- shop: full update ------------------------------------------------------------------------
scenario FullUpdate
cp -a "$SF_DRIVE_D/CorvaneOrtakData" "$scen/ortak-before"
cp "$SF_DRIVE_D/CorvaneZideroZur/pos-config.json" "$scen/pos-config-before.json"
if run_to "$S/CorvaneMarketUpdate-1.1.0.exe" finish 240; then
    close_with_kapat
    temp_leftovers >"$scen/temp-left.txt"
    sf_check FullUpdate "$scen"
fi
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
cp "$SF_STANDINS_DIR/OmnelBridge.exe" "$scen/CorvaneRaporlar.exe"
(cd "$scen" && exec wine CorvaneRaporlar.exe --standin-life=300000 \
    "--standin-lock=D:\\CorvaneZideroZur\\CorvaneReports.dll" </dev/null >"$scen/locker.log" 2>&1 9>&-) &
locker=$!
if ! sf_probe wait-locked 'D:\CorvaneZideroZur\CorvaneReports.dll' 30 >/dev/null; then
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
sleep 2
current_exe="$S/CorvaneMarketSetup-1.0.0.exe"
if sf_start "$current_exe" && sf_wait_page welcome 30; then
    sf_dump >"$scen/welcome.txt"
    sf_shot "Restore-1-welcome"
    if sf_shows Button "Onceki Surume Geri Yukle"; then
        sf_click btnGeriYukle
        if sf_answer_box "GERI YUKLEME ONAYI" Return 20; then
            cp "$work/last-box.txt" "$scen/confirm.txt"
            kur=$SECONDS
            sf_wait_page running 20
            sf_shot "Restore-2-running"
            if sf_wait_page finish 120; then
                ran[Restore]=$((SECONDS - kur))
                sf_shot "Restore-3-finish"
                sf_save_memo "$scen/memo.txt"
                sf_dump >"$scen/page.txt"
                sf_probe running CorvaneZideroZUR.exe >/dev/null || echo stopped >"$scen/till-stopped.txt"
                chk=$(sf_dump | awk -F'\t' '$5=="CorvaneMarketı başlat"')
                # Leave the till program stopped, so that the checks see the restore's doing.
                [[ "$chk" == *checked* ]] && sf_click chkRunApp
                close_with_kapat
                sf_check Restore "$scen"
            else
                sf_save_memo "$scen/memo.txt"
                sf_fail "Restore: no finish page"
                cat "$scen/memo.txt"
            fi
        fi
    else
        sf_fail "Restore: the welcome page offers no restore button"
        cat "$scen/welcome.txt"
    fi
fi
sf_end_setup "$current_exe"
scenario_end

# --- shop: the uninstaller from the list of programs, database kept ------------------------------
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos'
# Runs the uninstaller registered as UninstallString through its window; HOOK on the question page.
uninstall_window() { # [hook]
    local hook=${1:-} path
    path=$(sf_wine reg query "$uninstall_key" /v UninstallString | sed -n 's/.*REG_SZ *//p' | tr -d '"')
    echo "$path" >"$scen/uninstall-string.txt"
    [ -n "$path" ] || { sf_fail "$current: no UninstallString"; return 1; }
    sf_uninstall_start "$path" || return 1
    sf_dump >"$scen/question.txt"
    [ -n "$hook" ] && { $hook || return 1; }
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
if run_to "$S/CorvaneMarketSetup-1.0.0.exe" finish 240; then
    close_with_kapat
    sf_check Reinstall "$scen"
fi
scenario_end

scenario UninstallAll
tick_database() {
    sf_click chkDatabase
    sf_answer_box "Bu işlem geri alınamaz!" y 15 || return 1
    cp "$work/last-box.txt" "$scen/confirm.txt"
    sleep 0.5
    sf_dump >"$scen/question.txt"
}
if uninstall_window tick_database; then
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
    if sf_answer_box "Kurulum devam ediyor! İptal edilsin mi?" Return 15; then
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
    sf_answer_box "CorvaneDB kurulumu için CorvaneZideroZur klasörü mevcut olmalıdır." Return 15 ||
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
    sleep 2
    sf_probe running CorvaneZideroZUR.exe >/dev/null && echo yes >"$scen/till-running.txt"
    # A back-office service that ignores stop requests.
    srv='D:\CorvaneZideroZur\CorvaneMarketServis\CorvaneMarketServer.exe'
    sf_wine net stop CorvaneMarketService >/dev/null
    sf_wine "$srv" /uninstall >/dev/null
    sf_wine "$srv" /install --standin-stop=ignore >"$scen/stubborn.txt"
    sf_wine net start CorvaneMarketService >>"$scen/stubborn.txt"
    # A reporting tool of the shop holds a DLL open without sharing.
    cp "$SF_STANDINS_DIR/OmnelBridge.exe" "$scen/CorvaneRaporlar.exe"
    (cd "$scen" && exec wine CorvaneRaporlar.exe --standin-life=300000 \
        "--standin-lock=D:\\CorvaneZideroZur\\CorvaneReports.dll" </dev/null >"$scen/locker.log" 2>&1 9>&-) &
    locker=$!
    sf_probe wait-locked 'D:\CorvaneZideroZur\CorvaneReports.dll' 30 >/dev/null ||
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
    silent_run 1 'D:\CorvaneZideroZur\Uninstall Corvane Market Pos.exe'
    sf_probe kill CorvaneRaporlar.exe >/dev/null
    wait "$locker" 2>/dev/null
    silent_run 2 "$(sf_win "$scen/kept")\\Uninstall Corvane Market Pos.exe"
    silent_run 3 "$(sf_win "$scen/kept")\\Uninstall Corvane Market Pos.exe"
    sf_check Silent "$scen"
fi
scenario_end
sf_prefix_stop terminal

took[total]=$((SECONDS - suite_start))
{
    printf '%-14s %8s %8s %8s %8s\n' scenario total run waits overhead
    for k in pack NewInstall FullUpdate FileUpdate FailedUpdate Restore Uninstall Reinstall \
        UninstallAll Cancel DatabaseOnly Silent total; do
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
