# End-to-end cases: updates that fail, a build that will not run, a manager
# executable that cannot be started. Sourced by run.sh.

# update_g NAME: a fresh G:\_Updates for server SERV01 with logging on, the
# monitor running build 1; sets UPD (unix path of the update file).
update_g() {
    local g="$RZ_OUT/e2e-g-$1"
    fresh_g "$g" "$g/_Updates"
    UPD="$g/_Updates/KORUMGRSERV01.exe"
    new_app "$1"
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
}

# The state file's next attempt, in seconds from now.
retry_in() {
    local at
    at=$(tr -d '\r' <"$APP/ROREROZARIRADI.upd" 2>/dev/null | sed -n 's/^retry_at=//p')
    echo $(((${at:-0} - 116444736000000000) / 10000000 - $(date +%s)))
}

# cut_back_off: what a technician who will not wait out an update's back-off
# can do: the monitor stopped by its stop file (the manager runs on), the
# next attempt in the state file it left laid 3 s from now, and the monitor
# started again, which reads it and waits those seconds out itself.
cut_back_off() {
    touch "$APP/ROREROZARIRADI.stp"
    wait_exit "$MON" 15 || return 1
    local at=$(($(date +%s%N) / 100 + 116444736000000000 + 30000000))
    sed -i "s/^retry_at=[0-9]*/retry_at=$at/" "$APP/ROREROZARIRADI.upd"
    start_monitor
}

case_update_replacement_fails() {
    update_g upd_fail
    mkdir "$APP/KORUMGR.new"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    check "failed update: KORUMGR.new a folder is reported" \
        wait_for "$APP/ROREROZARIRADI.deb" "UPDATE FAILED: the leftover 'C:\\\\e2e\\\\upd_fail\\\\KORUMGR.new' cannot be removed" 12
    sleep 11
    check "failed update: one record in the back-off, the manager never stopped" \
        test "$(count "$APP/ROREROZARIRADI.deb" 'UPDATE FAILED')" = 1 -a "$(count "$APP/standin.log" started)" = 1
    check "failed update: old build and update file kept" \
        bash -c "cmp -s '$APP/KORUMGR.exe' '$W32/fixtures/standin_mgr_1.exe' && test -e '$UPD'"
    local left
    left=$(retry_in)
    SEEN="$left s"
    check "failed update: the state file holds the next attempt a minute after the failure" \
        test "$left" -ge 40 -a "$left" -le 60

    # A swap that fails after the manager has been stopped: the old manager
    # is started again by the next tick and left alone during the back-off.
    rmdir "$APP/KORUMGR.new"
    if make_immutable "$APP/KORUMGR.exe"; then
        cut_back_off
        check "failed swap: reported" wait_for "$APP/ROREROZARIRADI.deb" "UPDATE FAILED: move to" 20
        check "failed swap: old manager runs again within 10 s" wait_for_count "$APP/standin.log" "build=1 .*started" 2 10
        sleep 12
        check "failed swap: not stopped again within the back-off" \
            test "$(count "$APP/standin.log" "build=1 .*started")" = 2 -a "$(count "$APP/ROREROZARIRADI.deb" 'UPDATE FAILED')" = 2
        undo_immutable
    fi
    cut_back_off
    check "failed update: applied once the fault is gone" wait_for "$APP/standin.log" "build=2 .*started" 20
    check "failed update: success record with path, length and version" \
        grep -qE "\"UPDATE DONE: 'G:\\\\_Updates\\\\KORUMGRSERV01.exe', $(stat -c %s "$W32/fixtures/standin_mgr_2.exe") bytes, version [^,]+, is the new 'KORUMGR.exe'\"" \
        "$APP/ROREROZARIRADI.deb"
    check "failed update: previous build kept as KORUMGR.old" cmp -s "$APP/KORUMGR.old" "$W32/fixtures/standin_mgr_1.exe"
    stop_monitor
}

# The report follows the start of the previous build, which Wine on a busy
# machine can take seconds over; nothing later would displace the event.
# On a failure, the report's own lines show which event won and when.
reports_rollback() {
    wait_for "$1" '^last_event=update rolled back' 15 && grep -q '^last_update=rolled back' "$1" && return
    SEEN=$(grep -a -e '^last_' -e '^manager' "$1" 2>/dev/null | tr -d '\r' | tr '\n' '|')
    return 1
}

case_update_rollback() {
    update_g upd_roll
    local report="${UPD%/*}/_Status/SERV01.txt"
    mkdir "${UPD%/*}/_Status"
    printf 'exit=2\r\n' >"$APP/KORUMGR.cfg"  # build 2 quits as soon as it starts
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    # A scanner holds the kept build when the rollback falls due: it is
    # tried again at the next start, and recorded once.
    cp "$W32/fixtures/holdfile.exe" "$APP/"
    wait_for "$APP/ROREROZARIRADI.deb" "UPDATE DONE: " 20
    wine "$WAPP\\holdfile.exe" "$WAPP\\KORUMGR.old" 12 >"$RZ_OUT/hold-roll.out" 2>&1 &
    check "rollback: refused while KORUMGR.old is held" wait_for "$APP/ROREROZARIRADI.deb" \
        "ROLLBACK FAILED: 'C:\\\\e2e\\\\upd_roll\\\\KORUMGR.old' cannot take the place of 'KORUMGR.exe', error 32; it is tried again at the next start" 20
    check "rollback: recorded" wait_for "$APP/ROREROZARIRADI.deb" \
        "ROLLBACK: the build of 'G:\\\\_Updates\\\\KORUMGRSERV01.exe' will not run; the previous 'KORUMGR.exe' is back" 40
    # The start of the previous build follows in the same tick; the report
    # still tells of the rollback.
    check "rollback: the status report says so" reports_rollback "$report"
    check "rollback: previous build runs again" wait_for_count "$APP/standin.log" "build=1 .*started" 2 10
    check "rollback: KORUMGR.exe is the previous build" cmp -s "$APP/KORUMGR.exe" "$W32/fixtures/standin_mgr_1.exe"
    local tries
    tries=$(count "$APP/standin.log" "build=2 .*started")
    sleep 11
    check "rollback: the build that would not run ($tries starts) is not started again" \
        test "$(count "$APP/standin.log" "build=2 .*started")" = "$tries" -a "$tries" -le 5
    check "rollback: its failure recorded once" test "$(count "$APP/ROREROZARIRADI.deb" 'ROLLBACK FAILED')" = 1
    stop_monitor
}

# A new build that a person closes twice within the two minutes, each run
# longer than 10 s and ending normally, is a build that runs: it stays.
case_update_closed_twice() {
    update_g upd_closed
    printf 'quit=2 12000\r\n' >"$APP/KORUMGR.cfg"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    wait_for_count "$APP/standin.log" "build=2 .*quits" 2 45
    check "closed twice: the new build is started a third time" wait_for_count "$APP/standin.log" "build=2 .*started" 3 10
    check "closed twice: not rolled back" \
        bash -c "! grep -q ROLLBACK '$APP/ROREROZARIRADI.deb' && cmp -s '$APP/KORUMGR.exe' '$W32/fixtures/standin_mgr_2.exe'"
    stop_monitor
}

case_update_random_manager() {
    update_g upd_rand
    head -c 200000 /dev/urandom >"$APP/KORUMGR.exe"
    start_monitor
    check "random manager: failed starts recorded tick by tick" \
        wait_for_count "$APP/ROREROZARIRADI.deb" "NO Arranco el 'KORUMGR.exe'" 2 15
    local t0=$SECONDS
    touch "$APP/ROREROZARIRADI.stp"
    check "random manager: monitor ends on its stop file within one tick" wait_exit "$MON" 7
    echo "     ended $((SECONDS - t0)) s after the stop file"
    rm -f "$APP/ROREROZARIRADI.stp"
    start_monitor
    wait_for_count "$APP/ROREROZARIRADI.deb" "NO Arranco el 'KORUMGR.exe'" 3 15
    # Dropped in two goes: the first half is no update yet, and holds the
    # whole one back by no more than a tick.
    head -c 20000 "$W32/fixtures/standin_mgr_2.exe" >"$UPD"
    check "random manager: half an update is not ready" \
        wait_for "$APP/ROREROZARIRADI.deb" "UPDATE NOT READY: 'G:\\\\_Updates\\\\KORUMGRSERV01.exe' \(not a complete" 12
    sleep 2
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    local whole=$SECONDS
    check "random manager: an update dropped meanwhile is applied" \
        wait_for "$APP/standin.log" "build=2 .*started" 15
    check "random manager: at the tick after its copy ended ($((SECONDS - whole)) s)" test $((SECONDS - whole)) -le 8
    check "random manager: one NOT READY record" test "$(count "$APP/ROREROZARIRADI.deb" 'UPDATE NOT READY')" = 1
    stop_monitor
}

# An older KORUMGR.old that another program holds open: found out while the
# manager still runs, so the update is not applied and the manager is
# never stopped for it.
case_update_backup_held() {
    update_g upd_held
    cp "$W32/fixtures/standin_mgr_1.exe" "$APP/KORUMGR.old"
    cp "$W32/fixtures/holdfile.exe" "$APP/"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    wine "$WAPP\\holdfile.exe" "$WAPP\\KORUMGR.old" 60 >"$RZ_OUT/hold-old.out" 2>&1 &
    local holder=$!
    wait_for "$RZ_OUT/hold-old.out" holding 10
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    check "held backup: the failure is reported before any stop" \
        wait_for "$APP/ROREROZARIRADI.deb" "UPDATE FAILED: the old 'C:\\\\e2e\\\\upd_held\\\\KORUMGR.old' cannot be removed, error 32" 12
    sleep 6
    check "held backup: the manager was never stopped" \
        test "$(count "$APP/standin.log" started)" = 1 -a "$(count "$APP/ROREROZARIRADI.deb" 'ELProcessTOKILL')" = 0
    check "held backup: old build and update file kept" \
        bash -c "cmp -s '$APP/KORUMGR.exe' '$W32/fixtures/standin_mgr_1.exe' && test -e '$UPD'"
    kill "$holder" 2>/dev/null
    kill_own 'e2e.upd_held.holdfile'
    sleep 1
    cut_back_off
    check "held backup: applied once the file is let go" wait_for "$APP/standin.log" "build=2 .*started" 20
    check "held backup: KORUMGR.old is the build it replaced" cmp -s "$APP/KORUMGR.old" "$W32/fixtures/standin_mgr_1.exe"
    check "held backup: the state file remembers no failure" \
        test "$(tr -d '\r' <"$APP/ROREROZARIRADI.upd" | sed -n 's/^failed=//p')" = ""
    stop_monitor
}

# A hidden stop request left behind: a manager sees it all the same, so the
# launcher removes it before the start.
case_hidden_stop_request() {
    new_app hidden_stp
    touch "$APP/ROREROZARIRADI.deb"
    printf '#2024-01-01#\r\n' >"$APP/KORUMGR.stp"
    # One attribute a call: Wine's attrib takes only the last of several.
    wine attrib +h "$WAPP\\KORUMGR.stp" >/dev/null 2>&1
    wine attrib +s "$WAPP\\KORUMGR.stp" >"$RZ_OUT/attrib.out" 2>&1
    wine attrib "$WAPP\\KORUMGR.stp" >"$RZ_OUT/attrib.out" 2>&1
    check "hidden stop request: hidden and system" grep -qE '^A?S +H' "$RZ_OUT/attrib.out"
    set_computer_name SERV01
    start_monitor
    check "hidden stop request: removed before the start, with a record" \
        wait_for "$APP/ROREROZARIRADI.deb" '"REMOVIDO: C:\\e2e\\hidden_stp\\KORUMGR.stp"' 10
    check "hidden stop request: the manager starts and stays" wait_for "$APP/standin.log" "build=1 .*started" 10
    sleep 6
    check "hidden stop request: gone, and obeyed by nobody" \
        test ! -e "$APP/KORUMGR.stp" -a "$(count "$APP/standin.log" 'obeys KORUMGR.stp')" = 0 -a \
        "$(count "$APP/standin.log" started)" = 1
    stop_monitor
}
