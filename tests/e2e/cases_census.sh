# Census cases of the end-to-end suite, sourced by run.sh.

# A manager whose file name only ends in KORUMGR.exe, running from another
# folder, and the companion program: the real process table and the exact
# paths decide, census after census.
case_census() {
    new_app census
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    mkdir -p "$APP/elsewhere"
    touch "$APP/elsewhere/standin.log"
    cp "$W32/fixtures/standin_mgr_1.exe" "$APP/elsewhere/XKORUMGR.exe"
    cp "$W32/fixtures/VESK.exe" "$APP/elsewhere/VESK.exe"
    wine "$WAPP\\elsewhere\\XKORUMGR.exe" >/dev/null 2>&1 &
    wine "$WAPP\\elsewhere\\VESK.exe" >/dev/null 2>&1 &
    wait_for_count "$APP/elsewhere/standin.log" started 2 10
    start_monitor
    wait_for_count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK' 2 15
    check "census: ...KORUMGR.exe elsewhere counts as the manager, census after census" \
        test "$(count "$APP/ROREROZARIRADI.deb" '"ELKORUMGR_RUNNING: YES"')" -ge 2
    check "census: VESK.exe seen" test "$(count "$APP/ROREROZARIRADI.deb" '"VESK_RUNNING: YES"')" -ge 2
    check "census: no manager started" test ! -e "$APP/standin.log"
    stop_monitor
}
