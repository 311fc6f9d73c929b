# End-to-end cases of the monitor's own update, sourced by run.sh: MUPD is
# its build in the update folder; the monitor one version on is taken over.
monitor_g() {
    update_g "$1"
    MUPD="${UPD%/*}/ROREROZARIRADISERV01.exe"
    mkdir -p "${UPD%/*}/_Status"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
}
deb_has() { wait_for "$APP/ROREROZARIRADI.deb" "$@"; }

case_monitor_update() {
    monitor_g monupd
    local report="${UPD%/*}/_Status/SERV01.txt" before next
    next=$(grep -o '"FileVersion", "[^"]*"' "$W32/generated/resources_next.rc" | cut -d'"' -f4)
    before=$(grep started "$APP/standin.log")
    cp "$W32/fixtures/monitor_next.exe" "$MUPD"
    check "monitor update: taken over by the new build" deb_has "MONITOR UPDATE DONE: version $next" 20
    check "monitor update: handed over, the new build in place, the old one as .prev" bash -c \
        "grep -q 'MONITOR UPDATE HANDED OVER: ' '$APP/ROREROZARIRADI.deb' &&
         cmp -s '$APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe' && cmp -s '$APP/ROREROZARIRADI.prev' '$W32/ROREROZARIRADI.exe'"
    wait_for "$report" 'last_event=monitor updated' 70
    check "monitor update: the report's version and event" grep -q "monitor_version=$next" "$report"
    SEEN=$(grep started "$APP/standin.log")
    check "monitor update: the manager's process is the same" test "$SEEN" = "$before"
    check "monitor update: the applied file removed" bash -c "sleep 5; test ! -e '$MUPD'"
    stop_monitor
}

# A build that ends at once and one never ready: each rolled back within the
# watch with one record, the old monitor ticking, neither taken again.
case_monitor_update_rollback() {
    monitor_g monroll
    printf 'exit=91\r\n' >"$APP/ROREROZARIRADI.cfg"
    cp "$W32/fixtures/standin_monitor_91.exe" "$MUPD"
    check "monitor rollback: a build that ends at once" \
        deb_has "MONITOR UPDATE ROLLED BACK: version 99.91.0.0 .* ended before it was ready" 30
    local status="${UPD%/*}/_Status"
    check "monitor rollback: the report gives its reason within 10 s" wait_for "$status/SERV01.txt" \
        '^monitor_update_reason=MONITOR UPDATE ROLLED BACK: version 99.91.0.0 .* ended before it was ready, exit code [0-9]+' 10
    "$ROOT/build/native/statusboard" "$status" >"$RZ_OUT/monroll-board.out" 2>&1
    check "monitor rollback: the board needs attention, exit 1, with the build and the reason" bash -c \
        "[ $? = 1 ] && grep -q 'NOT_UPDATED .*(99.91.0.0 rolled back) .*MONITOR UPDATE ROLLED BACK' '$RZ_OUT/monroll-board.out'"
    cp "$W32/fixtures/standin_monitor_92.exe" "$MUPD"
    check "monitor rollback: a build never ready, ended" \
        deb_has "MONITOR UPDATE ROLLED BACK: version 99.92.0.0 .* was not ready within 30 s and was ended" 60
    check "monitor rollback: the old monitor is back" cmp -s "$APP/ROREROZARIRADI.exe" "$W32/ROREROZARIRADI.exe"
    kill_own 'e2e.monroll.KORUMGR.exe' -KILL
    check "monitor rollback: it ticks: a killed manager comes back" \
        wait_for_count "$APP/standin.log" "KORUMGR.exe build=1 .*started" 2 12
    rm -f "$MUPD" && sleep 6 && cp "$W32/fixtures/standin_monitor_91.exe" "$MUPD"
    check "monitor rollback: a build rolled back is left alone" deb_has "MONITOR UPDATE LEFT ALONE: .* rolled back" 20
    check "monitor rollback: one record per rollback, each build started once" \
        test "$(count "$APP/ROREROZARIRADI.deb" 'ROLLED BACK')" = 2 -a "$(count "$APP/standin.log" 'ROREROZARIRADI.exe .*started')" = 2
    stop_monitor
    kill_own 'e2e.monroll.'
}

# A build that signals ready, takes the go and never ticks: judged by its
# ticks, it is ended and rolled back; the old monitor ticks, the manager untouched.
case_monitor_update_frozen() {
    monitor_g monfroz
    local before
    printf 'ready=93\r\n' >"$APP/ROREROZARIRADI.cfg"
    before=$(grep 'KORUMGR.exe build=1 .*started' "$APP/standin.log")
    cp "$W32/fixtures/standin_monitor_93.exe" "$MUPD"
    check "monitor frozen: handed over" deb_has "MONITOR UPDATE HANDED OVER: version 99.93.0.0" 30
    check "monitor frozen: ended and rolled back for want of ticks" \
        deb_has "MONITOR UPDATE ROLLED BACK: version 99.93.0.0 .* has not ticked for .* and was ended" 40
    check "monitor frozen: the old monitor is back" cmp -s "$APP/ROREROZARIRADI.exe" "$W32/ROREROZARIRADI.exe"
    check "monitor frozen: the manager untouched" test "$(grep 'KORUMGR.exe build=1 .*started' "$APP/standin.log")" = "$before"
    kill_own 'e2e.monfroz.KORUMGR.exe' -KILL
    check "monitor frozen: the old monitor ticks: a killed manager comes back" \
        wait_for_count "$APP/standin.log" "KORUMGR.exe build=1 .*started" 2 12
    stop_monitor
    kill_own 'e2e.monfroz.'
}

# Both monitors killed mid-handover: a start as at logon runs a whole one.
case_monitor_update_killed() {
    monitor_g monkill
    cp "$W32/fixtures/monitor_next.exe" "$MUPD"
    deb_has "MONITOR UPDATE STARTED: " 20
    kill_own 'e2e.monkill.ROREROZARIRADI' -KILL
    sleep 1
    check "monitor killed: ROREROZARIRADI.exe is a whole build" bash -c \
        "cmp -s '$APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe' || cmp -s '$APP/ROREROZARIRADI.exe' '$W32/ROREROZARIRADI.exe'"
    start_monitor
    check "monitor killed: the start finds the handover broken off" deb_has "MONITOR UPDATE (BROKEN OFF|DONE): " 20
    kill_own 'e2e.monkill.KORUMGR.exe' -KILL
    check "monitor killed: the monitor so started ticks" wait_for_count "$APP/standin.log" "build=1 .*started" 2 12
    stop_monitor
}

# A monitor build behind a fresh manager build waits: its record reaches the
# report at once and the running rollout within a look.
case_monitor_update_waits() {
    monitor_g monwait
    local report="${UPD%/*}/_Status/SERV01.txt" out="$RZ_OUT/monwait-rollout.out" pid
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    deb_has "UPDATE DONE" 30
    "$ROOT/build/native/rollout" start "$W32/fixtures/monitor_next.exe" --monitor --folder "${UPD%/*}" --machines SERV01 >"$out" 2>&1 &
    pid=$!
    deb_has "MONITOR UPDATE WAITING: " 30
    check "monitor waits: the report has its reason within 1 s" \
        wait_for "$report" "^monitor_update_reason=MONITOR UPDATE WAITING: .* fresh build has run 2 minutes" 1
    check "monitor waits: the rollout quotes it within a look" wait_for "$out" "its monitor says MONITOR UPDATE WAITING" 6
    kill -INT "$pid"
    wait_exit "$pid" 10
    stop_monitor
}
