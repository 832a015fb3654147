#!/usr/bin/env bash
# make demo: builds the setup program, packs the demo setup files from the stand-ins, makes a
# fresh Wine prefix with fixed drives C and D and runs CorvaneMarketSetup-1.0.0.exe in it.
# With a display the wizard is yours to click through; without one it runs under Xvfb and is
# driven like a person would (İleri >, Kur, Kapat), with a PNG of every page in the build folder.
# Prints the installation log and what was installed; exits non-zero when the installation did
# not succeed.
#   CORVANE_DEMO_BUILD   build folder (default build/windows, the windows preset's)
#   CORVANE_DEMO_HEADLESS=1  drive the wizard under Xvfb even when a display is there
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${CORVANE_DEMO_BUILD:-$root/build/windows}")
work="$build/demo-run"

if [ -z "${SF_DEMO_STAGE:-}" ]; then
    bash "$root/scripts/deps.sh" || exit 1
    cmake --preset windows -B "$build" >/dev/null || exit 1
    cmake --build "$build" -j "$(nproc)" --target setupfile_harness || exit 1
    if [ -z "${DISPLAY:-}" ] || [ -n "${CORVANE_DEMO_HEADLESS:-}" ]; then
        export SF_DEMO_STAGE=xvfb
        exec timeout 900 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
    fi
    export SF_DEMO_STAGE=display
fi

# shellcheck source=../tests/setupfile/lib.sh
source "$root/tests/setupfile/lib.sh"
rm -rf "$work"
sf_init "$build/tests/setupfile/harness-env.sh" "$work"
SF_SHOTS="$work/pages"
trap 'sf_end_setup "${exe:-x.exe}"; sf_prefix_stop demo' EXIT

sf_lock_db_port 600 || exit 1
sf_log "packing the demo setup files into $work/setup"
sf_prefix_create demo || exit 1
sf_pack CorvaneMarketSetup-1.0.0.exe "$SF_DEMO_DIR/payload-1.0.0" || exit 1
sf_pack CorvaneMarketUpdate-1.1.0.exe "$SF_DEMO_DIR/payload-1.1.0" || exit 1
sf_pack CorvaneMarketDosyaUpdate-1.1.1.exe "$SF_DEMO_DIR/payload-1.1.1" || exit 1
ls -l "$work/setup"
exe="$work/setup/CorvaneMarketSetup-1.0.0.exe"
sf_wait_port_free 120
scen="$work/result"
mkdir -p "$scen"
started=$SECONDS

if [ "$SF_DEMO_STAGE" = display ]; then
    sf_log "the wizard is open on your display: install, then press Kapat"
    sf_start "$exe" || exit 1
    sf_wait_exit 7200 || { sf_fail "the wizard is still open after two hours"; exit 1; }
else
    sf_log "no display: driving the wizard under Xvfb"
    sf_start "$exe" || exit 1
    sf_wait_page welcome 30 || sf_fail "no welcome page"
    sf_shot 1-welcome
    sf_click btnNext
    sf_wait_page settings 15 || sf_fail "no settings page"
    sf_dump >"$scen/settings.txt"
    sf_shot 2-settings
    sf_click btnNext
    sf_wait_page running 30 || sf_fail "the installation did not start"
    sleep 3
    sf_shot 3-installing
    if sf_wait_page finish 300; then
        sf_shot 4-finish
        sf_dump >"$scen/page.txt"
    else
        sf_shot 4-failed
        sf_fail "the installation did not finish"
    fi
    sf_save_memo "$scen/memo.txt"
    echo
    echo "==== installation log (as the window shows it) ===="
    tr -d '\r' <"$scen/memo.txt"
    echo "===================================================="
    sf_click btnNext # Kapat
    sf_wait_exit 60 || sf_fail "the window did not close after Kapat"
    sf_wait_running CorvaneZideroZUR.exe 60 # the till program that "Kapat" started
fi
took=$((SECONDS - started))
# The run's log file on disk, which the checks compare with the window's lines.
sf_setup_log "$scen/logfile.txt"

find "$WINEPREFIX/drive_c/users" -maxdepth 5 -type d -name 'CorvaneMarketSetup_*' 2>/dev/null | wc -l \
    >"$scen/temp-left.txt"
echo
echo "==== what was installed ===="
for dir in CorvaneZideroZur CorvaneOrtakData; do
    if [ -d "$SF_DRIVE_D/$dir" ]; then
        printf 'D:\\%-18s %4d files, %s\n' "$dir" "$(find "$SF_DRIVE_D/$dir" -type f | wc -l)" \
            "$(du -sh "$SF_DRIVE_D/$dir" | cut -f1)"
    else
        printf 'D:\\%-18s missing\n' "$dir"
    fi
done
for svc in CorvaneDB CorvaneMarketService; do
    state=$(sf_wine sc query "$svc" | awk '/STATE/ {print $4}')
    image=$(sf_wine reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\$svc" /v ImagePath |
        awk -F'REG_EXPAND_SZ|REG_SZ' '/ImagePath/ {gsub(/^ +/, "", $2); print $2}')
    printf 'service %-21s %-8s %s\n' "$svc" "${state:-missing}" "$image"
done
sf_wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Corvane Market Pos' |
    grep -E 'DisplayName|DisplayVersion|InstallLocation' | sed 's/^ */uninstall entry: /'
ls "$WINEPREFIX/drive_c/users/Public/Desktop/"*.lnk 2>/dev/null | sed 's|.*/|desktop shortcut: |'
sed 's/^/firewall rule (recorded): /' "$SF_NETSH_DIR/rules.txt" 2>/dev/null | cut -f1
echo "time from start to closed window: ${took} s"
[ "$SF_DEMO_STAGE" = xvfb ] && echo "page screenshots: $SF_SHOTS/*.png"
echo "setup files: $work/setup (the update files run the same way on this prefix)"

# The machine as a new installation must leave it.
if [ "$SF_DEMO_STAGE" = xvfb ]; then
    checks=NewInstall
else
    checks='NewInstall.Application*:NewInstall.Services*'
fi
echo
echo "==== checks ===="
sf_check "$checks" "$scen"
if [ "$SF_FAILED" -ne 0 ]; then
    echo "demo: the installation did NOT succeed"
    exit 1
fi
echo "demo: the installation succeeded"
