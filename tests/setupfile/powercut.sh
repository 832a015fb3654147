# Power cuts in the middle of a full update, with the real setup program under Wine: the update
# is killed with everything in its prefix (wineserver -k) right after the previous backup was set
# aside and in the middle of the copy. After each cut the setup file is started again: its welcome
# page offers the backup made before the cut update, and either the next update completes, or the
# restore puts the installation back byte for byte, or the same update run again fails on a DLL
# in use and its rollback brings back the version that was installed before the cut.
# The shop's data, my.ini and pos-config.json never change.
# Sourced by suite.sh, which runs powercut_scenarios in the shop prefix once the shop has been
# through its updates and restores (an installation with a backup, its services running); uses
# the suite's scenario, scenario_end, work and S.

D() { printf '%s' "$SF_DRIVE_D/$1"; }

# What must never change: the shop's data, the database configuration and both connection files.
kept_state() {
    (cd "$SF_DRIVE_D" && find CorvaneOrtakData/Data CorvaneOrtakData/my.ini \
        CorvaneZideroZur/pos-config.json CorvaneZideroZur/CorvaneMarketServis/pos-config.json \
        -type f -print0 2>/dev/null | sort -z | xargs -0 sha256sum)
}
check_kept() {
    if ! diff <(kept_state) "$work/kept.txt" >"$scen/kept.diff"; then
        sf_fail "$current: the shop's data or configuration changed"
        cat "$scen/kept.diff"
    fi
}

# The installation byte for byte, against a copy taken earlier.
same_install() { # COPY WHAT
    if ! diff -r "$1" "$(D CorvaneZideroZur)" >"$scen/install.diff" 2>&1; then
        sf_fail "$current: $2"
        head -40 "$scen/install.diff"
    fi
}

# A payload whose masaustu carries media of its own, some large files and many small ones, so
# that a backup and a copy last long enough to be cut in the middle (each file costs the copy a
# few system calls, whatever its size).
big_payload() { # FROM TO TAG
    rm -rf "$2"
    cp -a "$1" "$2"
    mkdir -p "$2/masaustu/medya"
    local i
    for i in 1 2; do
        head -c $((6 * 1024 * 1024)) /dev/urandom >"$2/masaustu/medya/$3-$i.bin"
    done
    for i in $(seq 1 1500); do
        echo "$3 parca $i" >"$2/masaustu/medya/$3-parca-$i.txt"
    done
}

# Starts an update, clicks through to "Kur" and kills the prefix as soon as CONDITION holds
# (polled every 20 ms, at most LIMIT seconds). Restarts the prefix's wineserver afterwards.
run_and_cut() { # EXE CONDITION LIMIT
    local exe=$1 cond=$2 limit=$3 start
    current_exe=$exe
    sf_start "$exe" || return 1
    sf_wait_page welcome 30 || { sf_fail "$current: no welcome page"; return 1; }
    sf_click btnNext
    sf_wait_page settings 15 || { sf_fail "$current: no settings page"; return 1; }
    sf_click btnNext
    start=$SECONDS
    until $cond; do
        if [ $((SECONDS - start)) -ge "$limit" ]; then
            sf_save_memo "$scen/memo.txt"
            sf_fail "$current: the point of the cut was not reached within $limit s"
            sed -n '1,200p' "$scen/memo.txt"
            return 1
        fi
        sleep 0.02
    done
    timeout 30 wineserver -k </dev/null >/dev/null 2>&1
    timeout 30 wineserver -w </dev/null >/dev/null 2>&1
    sf_log "cut: $(ls -d "$(D CorvaneUpdateYedek)"* 2>/dev/null | xargs -n1 basename | tr '\n' ' ')"
    sf_wait_exit 20 || kill "$SF_SETUP_PID" 2>/dev/null
    wineserver -p </dev/null >/dev/null 2>&1 9>&-
}

backup_date() { # FOLDER: TARIH of its backup.info
    sed -n 's/^\xEF\xBB\xBF//; s/\r$//; s/^TARIH=//p' "$1/backup.info"
}

# The welcome page of a freshly started setup file offers the restore of the backup of that date.
welcome_offers() { # DATE
    current_exe="$S/CorvaneMarketSetup-1.0.0.exe"
    sf_start "$current_exe" && sf_wait_page welcome 30 || { sf_fail "$current: no welcome page"; return 1; }
    sf_dump >"$scen/welcome.txt"
    sf_shot "$current-welcome"
    if ! grep -qF "Yedek mevcut: $1 (" "$scen/welcome.txt" ||
        ! sf_shows Button "Onceki Surume Geri Yukle"; then
        sf_fail "$current: the welcome page does not offer the backup of $1"
        cat "$scen/welcome.txt"
        return 1
    fi
}

# On the welcome page that welcome_offers left open: restore and close.
restore_and_close() {
    sf_click btnGeriYukle
    sf_answer_box "GERI YUKLEME ONAYI" Return || return 1
    if ! sf_wait_page finish 180; then
        sf_save_memo "$scen/memo.txt"
        sf_fail "$current: the restore did not finish"
        cat "$scen/memo.txt"
        return 1
    fi
    sf_save_memo "$scen/memo.txt"
    sf_shot "$current-restored"
    chk=$(sf_dump | awk -F'\t' '$5=="CorvaneMarketı başlat"')
    [[ "$chk" == *checked* ]] && sf_click chkRunApp
    close_with_kapat
}

# Conditions of the cuts.
previous_set_aside() { [ -d "$(D CorvaneUpdateYedek.onceki)" ]; }
copy_started() {
    [ -e "$(D CorvaneUpdateYedek/backup.info)" ] && [ ! -d "$(D CorvaneUpdateYedek.onceki)" ] || return 1
    local f
    for f in version.json CorvaneZideroZUR.exe CorvaneCore.dll masaustu/index.html masaustu/assets/app.js; do
        cmp -s "$(D "CorvaneZideroZur/$f")" "$scen/install-before/$f" 2>/dev/null || return 0
    done
    return 1
}

powercut_scenarios() {
    # --- the big update the cuts start from -----------------------------------------------------
    scenario CutBigUpdate
    local C="$work/cut-setup"
    big_payload "$SF_DEMO_DIR/payload-1.1.0" "$work/payload-big-1.1.0" v110
    big_payload "$SF_FAIL_PAYLOAD" "$work/payload-big-1.2.0" v120
    sf_pack CorvaneMarketUpdate-1.1.0.exe "$work/payload-big-1.1.0" "$C" &&
        sf_pack CorvaneMarketUpdate-1.2.0.exe "$work/payload-big-1.2.0" "$C" || return 1
    run_to "$C/CorvaneMarketUpdate-1.1.0.exe" finish 240 && close_with_kapat || return 1
    kept_state >"$work/kept.txt"
    scenario_end

    # --- cut right after the previous backup was set aside; the next update completes ----------
    scenario CutAfterSetAside
    cp -a "$(D CorvaneZideroZur)" "$scen/install-before"
    date1=$(backup_date "$(D CorvaneUpdateYedek)")
    if run_and_cut "$C/CorvaneMarketUpdate-1.2.0.exe" previous_set_aside 120; then
        same_install "$scen/install-before" "the installation changed before the copy"
        check_kept
        if welcome_offers "$date1"; then
            sf_end_setup "$current_exe"
            run_to "$C/CorvaneMarketUpdate-1.2.0.exe" finish 240 && close_with_kapat
            cmp -s "$(D CorvaneZideroZur/version.json)" "$work/payload-big-1.2.0/version.json" ||
                sf_fail "$current: the next update did not complete"
            # Its backup is the installation the cut update found.
            same_backup=$(diff -r "$scen/install-before/masaustu" "$(D CorvaneUpdateYedek/masaustu)")
            [ -z "$same_backup" ] || sf_fail "$current: the next update's backup is not the installation"
            check_kept
        fi
    fi
    sf_end_setup "${current_exe:-x.exe}"
    scenario_end

    # --- cut in the middle of the copy; the restore undoes the half-made copy --------------------
    scenario CutInTheCopy
    cp -a "$(D CorvaneZideroZur)" "$scen/install-before"
    date2=$(backup_date "$(D CorvaneUpdateYedek)")
    # 1.2.0 is installed now: back to 1.1.0, so that every file the copy touches changes.
    if run_and_cut "$C/CorvaneMarketUpdate-1.1.0.exe" copy_started 180; then
        check_kept
        date3=$(backup_date "$(D CorvaneUpdateYedek)")
        [ "$date3" != "$date2" ] || sf_fail "$current: no new backup before the copy"
        if welcome_offers "$date3"; then
            restore_and_close
            same_install "$scen/install-before" "the restore did not undo the cut copy"
            check_kept
        fi
    fi
    sf_end_setup "${current_exe:-x.exe}"
    scenario_end

    # --- cut in the middle of the copy, then the same update again through the window, failing on a
    # DLL in use: the backup taken before the cut is kept and the rollback brings that version back --
    scenario CutThenRerun
    cp -a "$(D CorvaneZideroZur)" "$scen/install-before"
    if run_and_cut "$C/CorvaneMarketUpdate-1.1.0.exe" copy_started 180; then
        check_kept
        date4=$(backup_date "$(D CorvaneUpdateYedek)")
        # A reporting tool of the shop loads one of the DLLs that both versions share; the cut may
        # have caught one of them half-written, so it takes one that still holds its bytes.
        dll=""
        for f in CorvaneReports.dll sqlite3.dll CorvaneCore.dll; do
            cmp -s "$(D "CorvaneZideroZur/$f")" "$scen/install-before/$f" && { dll=$f; break; }
        done
        if [ -z "$dll" ] || ! sf_hold_dll load "$dll"; then
            sf_fail "$current: no DLL of the installation held open (${dll:-none unchanged})"
        elif run_to "$C/CorvaneMarketUpdate-1.1.0.exe" failed 240; then
            close_with_kapat
            memo=$(tr -d '\r' <"$scen/memo.txt")
            for line in "Kritik dosya kopyalanamadı: $dll" "Sistem onceki surume basariyla geri yuklendi."; do
                grep -qF "$line" <<<"$memo" || sf_fail "$current: the log lacks \"$line\""
            done
            [ "$(backup_date "$(D CorvaneUpdateYedek)")" = "$date4" ] ||
                sf_fail "$current: the rerun replaced the backup taken before the cut"
            same_install "$scen/install-before" "the rollback did not bring back the version before the cut"
            check_kept
        fi
        sf_probe kill CorvaneRaporlar.exe >/dev/null
        wait "$locker" 2>/dev/null
    fi
    sf_end_setup "${current_exe:-x.exe}"
    scenario_end
}
