# A frozen manager, sourced by run.sh. The case starts the stand-in itself,
# before the monitor: its 2 minutes of grace count from its creation all the
# same. A tool named after the manager runs beside it and is left alone.
case_frozen() {
    new_app frozen
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    local g="$RZ_OUT/e2e-frozen-g" report
    fresh_g "$g" "$g/_Updates/_Status"
    report="$g/_Updates/_Status/SERV01.txt"
    mkdir -p "$APP/tools"
    cp "$W32/fixtures/VESK.exe" "$APP/tools/KORUMGR.exe.cfgedit.exe"
    wine "$WAPP\\tools\\KORUMGR.exe.cfgedit.exe" >/dev/null 2>&1 &
    local tool=$!
    wait_for "$APP/tools/standin.log" started 10
    local created=$SECONDS
    wine "$WAPP\\KORUMGR.exe" >/dev/null 2>&1 &
    wait_for "$APP/standin.log" started 10
    start_monitor
    wait_for "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK' 15
    touch "$APP/KORUMGR.frz"
    check "frozen: the NOT RESPONDING record" \
        wait_for "$APP/ROREROZARIRADI.deb" "\"'KORUMGR.exe' PID [0-9]+ NOT RESPONDING\"" 20
    local noticed=$SECONDS
    check "frozen: manager_responding=no in the report" wait_for "$report" '^manager_responding=no' 10
    sleep 6
    check "frozen, no limit file: nothing terminated" \
        test "$(count "$APP/ROREROZARIRADI.deb" ELProcessTOKILL)$(count "$APP/standin.log" started)" = 01

    echo 60 >"$APP/ROREROZARIRADI.hng"
    check "frozen, 60 s limit: terminated" \
        wait_for "$APP/ROREROZARIRADI.deb" "NOT RESPONDING FOR [0-9]+ s: terminated" 130
    local after=$((SECONDS - noticed)) age=$((SECONDS - created))
    check "frozen, 60 s limit: frozen 60 s and more ($after s), 2 minutes after its creation ($age s)" \
        test "$after" -ge 58 -a "$age" -ge 118 -a "$age" -le 135
    check "frozen: the tool named after the manager runs on" kill -0 "$tool"
    check "frozen, 60 s limit: started again" wait_for_count "$APP/standin.log" started 2 5
    local dump
    dump=$(ls "$APP"/KORUMGR-*.dmp 2>/dev/null | head -n 1)
    check "frozen, 60 s limit: a dump ${dump##*/} that starts with MDMP, named in the log" \
        test -n "$dump" -a "$(head -c 4 "$dump" 2>/dev/null)" = MDMP -a \
        "$(count "$APP/ROREROZARIRADI.deb" "DUMP: 'C:.*${dump##*/}'")" = 1
    check "frozen, 60 s limit: manager_responding=yes again" wait_for "$report" '^manager_responding=yes' 10
    stop_monitor
    kill "$tool" 2>/dev/null
}
