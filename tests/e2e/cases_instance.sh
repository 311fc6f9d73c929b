# End-to-end cases: the single-instance guard. Sourced by run.sh.

# A first instance with more rights (the elevated start at installation)
# holds a mutex this one may not open: this one still counts as second.
case_locked_instance() {
    new_app locked
    touch "$APP/ROREROZARIRADI.deb" "$APP/KORUMGRS.stp"
    cp "$W32/fixtures/lockedmutex.exe" "$APP/"
    set_computer_name SERV01
    wine "$WAPP\\lockedmutex.exe" 20 >/dev/null 2>&1 &
    local holder=$!
    sleep 2
    start_monitor
    check "locked instance: ends" wait_exit "$MON" 10
    check "locked instance: exit code 0" test "${EXIT:-x}" = 0
    check "locked instance: Activate PrevInstance recorded" grep -q '"Activate PrevInstance"' "$APP/ROREROZARIRADI.deb"
    check "locked instance: stop file kept, manager not started" test -e "$APP/KORUMGRS.stp" -a ! -e "$APP/standin.log"
    kill_own 'e2e.locked.'
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
    return 0
}
