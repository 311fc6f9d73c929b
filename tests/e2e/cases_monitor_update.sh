# End-to-end cases: the monitor's own update through the update folder, the
# handover to the new build, and its rollback. Sourced by run.sh.

# monitor_g NAME: update_g for the monitor's own build; sets MUPD (its unix
# path) and NEXT (the monitor one version on).
monitor_g() {
    update_g "$1"
    MUPD="${UPD%/*}/ROREROZARIRADISERV01.exe"
    NEXT=$(grep -o '"FileVersion", "[^"]*"' "$W32/generated/resources_next.rc" | cut -d'"' -f4)
    mkdir -p "${UPD%/*}/_Status"
}

manager_pids() { sed -n 's/^KORUMGR.exe build=[0-9]* pid=\([0-9]*\) .*started.*/\1/p' "$APP/standin.log" 2>/dev/null | tr '\n' ' '; }

gone_within() {  # FILE SECONDS
    local end=$((SECONDS + $2))
    while [ -e "$1" ]; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
}

case_monitor_update() {
    monitor_g monupd
    local report="${UPD%/*}/_Status/SERV01.txt" before copied taken
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    before=$(manager_pids)
    cp "$W32/fixtures/monitor_next.exe" "$MUPD"
    copied=$(date +%s%N)
    check "monitor update: taken over by the new build" wait_for "$APP/ROREROZARIRADI.deb" "MONITOR UPDATE DONE: version " 20
    taken=$(date +%s%N)
    echo "     from the copy to the new monitor's first tick: $(((taken - copied) / 1000000)) ms"
    check "monitor update: the old one hands over and guards" grep -q "MONITOR UPDATE HANDED OVER: " "$APP/ROREROZARIRADI.deb"
    check "monitor update: ROREROZARIRADI.exe is the new build, .prev the old" \
        bash -c "cmp -s '$APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe' && cmp -s '$APP/ROREROZARIRADI.prev' '$W32/ROREROZARIRADI.exe'"
    check "monitor update: the new build ticks" wait_for_count "$APP/ROREROZARIRADI.deb" "ELKORUMGR_RUNNING: YES" \
        $(($(count "$APP/ROREROZARIRADI.deb" "ELKORUMGR_RUNNING: YES") + 2)) 15
    SEEN="$before -> $(manager_pids)"
    check "monitor update: the manager's process is the same" test "$(manager_pids)" = "$before"
    check "monitor update: the report shows the new version and the event" \
        wait_for "$report" "monitor_update=applied" 70
    check "monitor update: monitor_version and last_event" \
        bash -c "grep -q 'monitor_version=$NEXT' '$report' && grep -q 'last_event=monitor updated' '$report'"
    check "monitor update: the applied file is removed" gone_within "$MUPD" 20
    check "monitor update: the Run key names the monitor" test "$(reg_value "$RUNKEY" ROREROZARIRADI)" = "$WAPP\\ROREROZARIRADI.exe"
    stop_monitor
}

# A build that ends at once and one that never signals ready: each back to
# the old monitor within the watch, with one record, and never taken again.
case_monitor_update_rollback() {
    monitor_g monroll
    printf 'exit=91\r\n' >"$APP/ROREROZARIRADI.cfg"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    cp "$W32/fixtures/standin_monitor_91.exe" "$MUPD"
    check "monitor rollback: a build that ends at once is taken out" wait_for "$APP/ROREROZARIRADI.deb" \
        "MONITOR UPDATE ROLLED BACK: version 99.91.0.0 .* ended before it was ready" 30
    check "monitor rollback: the old monitor is back" cmp -s "$APP/ROREROZARIRADI.exe" "$W32/ROREROZARIRADI.exe"
    cp "$W32/fixtures/standin_monitor_92.exe" "$MUPD"
    check "monitor rollback: a build never ready is ended and taken out" wait_for "$APP/ROREROZARIRADI.deb" \
        "MONITOR UPDATE ROLLED BACK: version 99.92.0.0 .* was not ready within 30 s" 60
    check "monitor rollback: the old monitor is back again" cmp -s "$APP/ROREROZARIRADI.exe" "$W32/ROREROZARIRADI.exe"
    local pid
    pid=$(manager_pids)
    kill_own 'e2e.monroll.KORUMGR.exe' -KILL
    check "monitor rollback: the old monitor ticks: a killed manager comes back" \
        wait_for_count "$APP/standin.log" "build=1 .*started" 2 12
    rm -f "$MUPD"
    sleep 6
    cp "$W32/fixtures/standin_monitor_91.exe" "$MUPD"
    check "monitor rollback: a build rolled back is left alone" wait_for "$APP/ROREROZARIRADI.deb" \
        "MONITOR UPDATE LEFT ALONE: .* rolled back" 20
    check "monitor rollback: one record per rollback, each build started once" \
        test "$(count "$APP/ROREROZARIRADI.deb" 'MONITOR UPDATE ROLLED BACK')" = 2 -a \
        "$(count "$APP/standin.log" 'ROREROZARIRADI.exe build=91 .*started')" -le 1
    stop_monitor
    kill_own 'e2e.monroll.'
}

# Both monitors killed in the midst of the handover: a start as at logon
# runs a whole monitor, which finishes what was broken off.
case_monitor_update_killed() {
    monitor_g monkill
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    cp "$W32/fixtures/monitor_next.exe" "$MUPD"
    wait_for "$APP/ROREROZARIRADI.deb" "MONITOR UPDATE STARTED: " 20
    kill_own 'e2e.monkill.ROREROZARIRADI' -KILL
    sleep 1
    check "monitor killed: ROREROZARIRADI.exe is a whole build" \
        bash -c "cmp -s '$APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe' || cmp -s '$APP/ROREROZARIRADI.exe' '$W32/ROREROZARIRADI.exe'"
    start_monitor
    check "monitor killed: the start finds the handover broken off" wait_for "$APP/ROREROZARIRADI.deb" \
        "MONITOR UPDATE (BROKEN OFF|DONE): " 20
    local pid
    kill_own 'e2e.monkill.KORUMGR.exe' -KILL
    check "monitor killed: the monitor started so ticks" wait_for_count "$APP/standin.log" "build=1 .*started" 2 12
    stop_monitor
}
