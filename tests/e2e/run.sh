#!/usr/bin/env bash
# End-to-end tests: the real ROREROZARIRADI.exe under Wine, in temporary
# application folders, with the stand-in manager and companion programs.
# Expects both presets built; starts its own display and Wine server and
# stops them at the end or on an interrupt. Prints one line per check and
# ends with "e2e: N passed, N failed". E2E_ONLY="case_a case_b" runs only
# the cases named.
set -u -o pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"

W32="$ROOT/build/win32"
if [ ! -f "$W32/ROREROZARIRADI.exe" ] || [ ! -x "$ROOT/build/native/ordtool" ]; then
    echo "e2e: skipped, build both presets first (scripts/test.sh does)"
    exit 77
fi
# The version the build carries, from the one place it is set.
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$W32/CMakeCache.txt")
E2E="$WINEPREFIX/drive_c/e2e"
RUNKEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
CONFKEY='HKLM\SOFTWARE\KORU BOWLING\System Configuration'
DEFAULT_CONNECT='ODBC;Driver=SQL Server;SERVER=SERV01;DATABASE=KORU;UID=KORU;PWD=KPLMX'
PASSED=0
FAILED=0

check() {
    local what=$1
    shift
    if "$@"; then
        PASSED=$((PASSED + 1))
        echo "ok   $what"
    else
        FAILED=$((FAILED + 1))
        echo "FAIL $what"
        explain_failure "$@"
    fi
    SEEN=
}

# The check's command with its arguments expanded (a test shows both the
# expected and the seen value), the case's folder and the tails of its logs.
explain_failure() {
    echo "     expected: $(printf '%q ' "$@")"
    [ -n "${SEEN:-}" ] && echo "     seen:     $SEEN"
    echo "     folder:   ${APP:-none}"
    local f
    for f in "${APP:-/nonexistent}/ROREROZARIRADI.deb" "${APP:-/nonexistent}/standin.log"; do
        [ -f "$f" ] || continue
        echo "     tail of $(basename "$f"):"
        tail -n 8 "$f" | tr -d '\r' | sed 's/^/       /'
    done
}

# Files the suite made immutable; undone at the end and on an interrupt, or
# `rm -rf build` could not remove them.
IMMUTABLE=()
make_immutable() { chattr +i "$1" 2>/dev/null && IMMUTABLE+=("$1"); }
undo_immutable() {
    local f
    for f in ${IMMUTABLE[@]+"${IMMUTABLE[@]}"}; do chattr -i "$f" 2>/dev/null; done
    IMMUTABLE=()
}

# new_app NAME: a fresh application folder C:\e2e\NAME with the monitor and
# stand-in manager build 1; sets APP (unix path) and WAPP (Windows path).
new_app() {
    APP="$E2E/$1"
    WAPP="C:\\e2e\\$1"
    kill_own "e2e.$1."
    rm -rf "$APP"
    mkdir -p "$APP"
    cp "$W32/ROREROZARIRADI.exe" "$APP/"
    cp "$W32/fixtures/standin_mgr_1.exe" "$APP/KORUMGR.exe"
}

start_monitor() {
    wine "$WAPP\\ROREROZARIRADI.exe" >/dev/null 2>&1 &
    MON=$!
}

# wait_for FILE REGEX SECONDS
wait_for() {
    local end=$((SECONDS + $3))
    while [ $SECONDS -lt $end ]; do
        grep -qE "$2" "$1" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}

# wait_exit PID SECONDS: sets EXIT to the exit code; fails on a time-out.
wait_exit() {
    local end=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
    wait "$1"
    EXIT=$?
    return 0
}

stop_monitor() {
    touch "$APP/ROREROZARIRADI.stp"
    wait_exit "$MON" 15 || kill -9 "$MON" 2>/dev/null
    kill_own "e2e.$(basename "$APP")." 2>/dev/null
    sleep 0.3
}

reg_value() {  # reg_value KEY NAME: the data of a REG_SZ value, "" when missing
    wine reg query "$1" /v "$2" >"$ROOT/build/reg.out" 2>&1
    sed -n "s/^ *$2 *REG_SZ *//p" "$ROOT/build/reg.out" | tr -d '\r'
}

count() { grep -cE "$2" "$1" 2>/dev/null || true; }

monitor_alive() { kill -0 "$MON" 2>/dev/null; }

# --- start-up ---------------------------------------------------------------

case_server() {
    new_app serv
    touch "$APP/ROREROZARIRADI.deb" "$APP/ROREROZARIRADI.stp" "$APP/KORUMGRS.stp"
    wine reg delete "$RUNKEY" /v ROREROZARIRADI /f >/dev/null 2>&1
    wine reg delete "$CONFKEY" /f >/dev/null 2>&1
    set_computer_name SERV01
    start_monitor
    check "server: manager started by the first tick" wait_for "$APP/ROREROZARIRADI.deb" "Arranco OK - RetVal: [1-9]" 10
    check "server: version from the program's own resources" grep -qF "\"VERSION: $VERSION\"" "$APP/ROREROZARIRADI.deb"
    check "server: stale stop files deleted with records" \
        test ! -e "$APP/ROREROZARIRADI.stp" -a ! -e "$APP/KORUMGRS.stp" -a \
        "$(count "$APP/ROREROZARIRADI.deb" '"REMOVIDO: C:\\e2e\\serv\\(ROREROZARIRADI|KORUMGRS)\.stp"')" = 2
    check "server: Run value is the exact path, no quotes" test "$(reg_value "$RUNKEY" ROREROZARIRADI)" = "$WAPP\\ROREROZARIRADI.exe"
    check "server: connect strings reset while VESK is down" \
        test "$(reg_value "$CONFKEY" 'Connect String')" = "$DEFAULT_CONNECT" -a \
        "$(reg_value "$CONFKEY" 'Connect String Primary')" = "$DEFAULT_CONNECT" -a \
        "$(reg_value "$CONFKEY" 'Connect String Secondary')" = "$DEFAULT_CONNECT"

    # The manager killed from outside comes back at the next tick.
    sleep 1
    local before killed_at back_at
    before=$(count "$APP/standin.log" started)
    kill_own 'e2e.serv.KORUMGR.exe' -KILL
    killed_at=$(date +%s%N)
    wait_for_count "$APP/standin.log" started $((before + 1)) 12
    back_at=$(date +%s%N)
    check "monitoring: killed manager started again" test "$(count "$APP/standin.log" started)" -gt "$before"
    echo "     restart delay after the kill: $(((back_at - killed_at) / 1000000)) ms"

    # With VESK running the values are left alone.
    cp "$W32/fixtures/VESK.exe" "$APP/VESK.exe"
    wine "$WAPP\\VESK.exe" >/dev/null 2>&1 &
    wait_for "$APP/standin.log" "VESK.exe build=0 .* started" 10
    sleep 5.5
    wine reg add "$CONFKEY" /v 'Connect String' /d 'changed' /f >/dev/null 2>&1
    local mark
    mark=$(count "$APP/ROREROZARIRADI.deb" 'ALLOW: :\|')
    wait_for_count "$APP/ROREROZARIRADI.deb" 'ALLOW: :\|' $((mark + 2)) 15
    check "monitoring: VESK running leaves the connect strings alone" test "$(reg_value "$CONFKEY" 'Connect String')" = changed
    kill_own 'e2e.serv.VESK.exe'

    # Switch file removed, then created again: a START banner.
    rm "$APP/ROREROZARIRADI.deb"
    sleep 6
    check "log: nothing logged while the switch file is gone" test ! -e "$APP/ROREROZARIRADI.deb"
    touch "$APP/ROREROZARIRADI.deb"
    wait_for "$APP/ROREROZARIRADI.deb" "ELKORUMGR_RUNNING" 8
    check "log: START banner and version head the new log" \
        test "$(head -n 2 "$APP/ROREROZARIRADI.deb" | cut -d, -f2- | tr -d '\r')" = \
        "$(printf '"i==============================   START   =============================="\n"VERSION: %s"' "$VERSION")"

    # A second start brings the first forward and ends.
    local second
    wine "$WAPP\\ROREROZARIRADI.exe" >/dev/null 2>&1 &
    second=$!
    check "second instance: ends" wait_exit "$second" 10
    check "second instance: exit code 0" test "${EXIT:-x}" = 0
    check "second instance: MAIN, VERSION, Activate PrevInstance in order" bash -c \
        "grep -A2 'MAIN   ===' '$APP/ROREROZARIRADI.deb' | cut -d, -f2- | tr -d '\r' | tr '\n' '|' |
         grep -q '^\"i=*   MAIN   =*\"|\"VERSION: $VERSION\"|\"Activate PrevInstance\"|'"
    check "second instance: the first runs on" monitor_alive

    touch "$APP/KORUMGRS.stp"
    check "stop file: monitor ends" wait_exit "$MON" 10
    check "stop file: exit code 0" test "${EXIT:-x}" = 0
    check "stop file: STOPPING WITH record" grep -q '"STOPPING WITH C:\\e2e\\serv\\KORUMGRS.stp"' "$APP/ROREROZARIRADI.deb"
    kill_own 'e2e.serv.'
}

wait_for_count() {  # FILE REGEX N SECONDS
    local end=$((SECONDS + $4))
    while [ $SECONDS -lt $end ]; do
        [ "$(count "$1" "$2")" -ge "$3" ] && return 0
        sleep 0.2
    done
    return 1
}

case_exception_name() {
    new_app k407
    touch "$APP/ROREROZARIRADI.deb"
    wine reg delete "$RUNKEY" /v ROREROZARIRADI /f >/dev/null 2>&1
    set_computer_name bar-k407
    start_monitor
    check "exception name: runs" wait_for "$APP/ROREROZARIRADI.deb" "Arranco OK" 10
    check "exception name: no Run value" test -z "$(reg_value "$RUNKEY" ROREROZARIRADI)"
    stop_monitor
}

case_refused() {
    new_app office
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name OFFICE1
    local t0 shot="$ROOT/build/refusal.png"
    t0=$(date +%s%N)
    start_monitor
    wait_for "$APP/ROREROZARIRADI.deb" "THISMACHINENAME: OFFICE1" 10
    sleep 1.5
    import -window root "$shot" 2>/dev/null
    check "refusal: process ends" wait_exit "$MON" 15
    local ms=$((($(date +%s%N) - t0) / 1000000))
    check "refusal: ends after about five seconds ($ms ms)" test "$ms" -ge 5000 -a "$ms" -lt 9000
    check "refusal: exit code 1" test "${EXIT:-x}" = 1
    local red yellow
    red=$(convert "$shot" txt:- 2>/dev/null | grep -ci '#FF0000')
    yellow=$(convert "$shot" txt:- 2>/dev/null | grep -ci '#FFFF80')
    check "refusal: red text on the light-yellow balloon ($red red, $yellow yellow pixels)" \
        test "$red" -gt 500 -a "$yellow" -gt 50000
    check "refusal: no tick ran" test "$(count "$APP/ROREROZARIRADI.deb" ELKORUMGR_RUNNING)" = 0
    check "refusal: manager not started" test ! -e "$APP/standin.log"
}

# --- bad input ----------------------------------------------------------------

case_bad_input() {
    new_app bad1
    mkdir "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    check "log folder: monitor works on" wait_for "$APP/standin.log" "started" 10
    stop_monitor
    check "log folder: stop file still obeyed" test "${EXIT:-x}" = 0

    new_app bad2
    printf 'old\r\n' >"$APP/ROREROZARIRADI.deb"
    chmod 444 "$APP/ROREROZARIRADI.deb"
    # Root writes through the read-only bits, under Wine too: only an
    # immutable file really refuses the records.
    local immutable=0
    make_immutable "$APP/ROREROZARIRADI.deb" && immutable=1
    start_monitor
    check "read-only log: monitor works on" wait_for "$APP/standin.log" "started" 10
    [ $immutable = 1 ] &&
        check "read-only log: left as it was" test "$(cat "$APP/ROREROZARIRADI.deb")" = "$(printf 'old\r\n')"
    stop_monitor
    check "read-only log: stop file still obeyed" test "${EXIT:-x}" = 0
    undo_immutable
    chmod 644 "$APP/ROREROZARIRADI.deb"

    new_app bad3
    touch "$APP/ROREROZARIRADI.deb"
    mkdir "$APP/KORUMGRS.stp"
    start_monitor
    check "undeletable stop file: start-up ends" wait_exit "$MON" 10
    check "undeletable stop file: exit code 2, reported in the log" \
        test "${EXIT:-x}" = 2 -a "$(count "$APP/ROREROZARIRADI.deb" 'ERROR: the stop file')" = 1
    check "undeletable stop file: timer never armed" test ! -e "$APP/standin.log"

    new_app bad4
    touch "$APP/ROREROZARIRADI.deb" "$APP/ROREROZARIRADI.stp"
    chmod 444 "$APP/ROREROZARIRADI.stp"
    start_monitor
    check "read-only stop file: start-up ends" wait_exit "$MON" 10
    check "read-only stop file: exit code 2, reported in the log" \
        test "${EXIT:-x}" = 2 -a "$(count "$APP/ROREROZARIRADI.deb" 'ERROR: the stop file .*ROREROZARIRADI.stp')" = 1
    chmod 644 "$APP/ROREROZARIRADI.stp"
}

# --- termination by name --------------------------------------------------------

case_kill() {
    new_app kill
    cp "$W32/fixtures/killtool.exe" "$APP/"
    wine "$WAPP\\KORUMGR.exe" >/dev/null 2>&1 &
    local mgr=$!
    wait_for "$APP/standin.log" started 10
    wine "$WAPP\\killtool.exe" KORUMGR.exe "$WAPP\\kill.log" >/dev/null 2>&1
    check "Kill_Process: the stand-in manager ends" wait_exit "$mgr" 10
    check "Kill_Process: P_ID and ELProcessTOKILL records" bash -c \
        "grep -A1 '\"P_ID: [0-9]*\"' '$APP/kill.log' | grep -q 'ELProcessTOKILL: KORUMGR.exe'"
}

# --- manager update ---------------------------------------------------------------

# The main machine MAINPC unreachable, so that the share probe fails.
main_unreachable() {
    mkdir -p "$WINEPREFIX/dosdevices/unc/MAINPC"
    ln -sfn G "$WINEPREFIX/dosdevices/unc/MAINPC/G"
}

# run_update NAME MACHINE FOLDER [ORD]: FOLDER (unix) receives the update for
# MACHINE; ORD, when given, becomes the application folder's MainMachine.ord.
run_update() {
    local name=$1 machine=$2 folder=$3
    new_app "$name"
    [ -n "${4:-}" ] && cp "$4" "$APP/MainMachine.ord"
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name "$machine"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    sleep 1
    cp "$W32/fixtures/standin_mgr_2.exe" "$folder/KORUMGR$machine.exe"
    check "update $name: update file taken" bash -c "for i in \$(seq 75); do [ -e '$folder/KORUMGR$machine.exe' ] || exit 0; sleep 0.2; done; exit 1"
    check "update $name: new build started" wait_for "$APP/standin.log" "KORUMGR.exe build=2 .*started" 12
    check "update $name: KORUMGR.exe is the new build" cmp -s "$APP/KORUMGR.exe" "$W32/fixtures/standin_mgr_2.exe"
    check "update $name: no stop request left" test ! -e "$APP/KORUMGR.stp" -a ! -e "$APP/KORUMGR.new"
    stop_monitor
}

case_update_server() {
    main_unreachable
    local g="$ROOT/build/e2e-g"
    rm -rf "$g" && mkdir -p "$g/_Updates"
    ln -sfn "$g" "$WINEPREFIX/dosdevices/g:"
    run_update upd_serv SERV01 "$g/_Updates"
    check "update upd_serv: the main share was out of reach" \
        grep -q "NO Esta el Archivo 'G:\\\\_Updates\\\\KORUMGRSERV01.exe'" "$APP/ROREROZARIRADI.deb"
}

case_update_workstation() {
    main_unreachable
    local share="$ROOT/build/e2e-serv01-g"
    rm -rf "$share" && mkdir -p "$share/_Updates"
    mkdir -p "$WINEPREFIX/dosdevices/unc/SERV01"
    ln -sfn "$share" "$WINEPREFIX/dosdevices/unc/SERV01/G"
    run_update upd_pcws PCWS07 "$share/_Updates"
}

case_update_main_machine() {
    local share="$ROOT/build/e2e-main2-g"
    rm -rf "$share" && mkdir -p "$share/Ostrum/_Program/_Updates"
    mkdir -p "$WINEPREFIX/dosdevices/unc/MAIN2"
    ln -sfn "$share" "$WINEPREFIX/dosdevices/unc/MAIN2/G"
    local ord="$ROOT/build/e2e-MainMachine.ord"
    "$ROOT/build/native/ordtool" encode MAIN2 >"$ord"
    run_update upd_main OFFICE-K407 "$share/Ostrum/_Program/_Updates" "$ord"
}

source "$(dirname "${BASH_SOURCE[0]}")/cases_instance.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_toolkit.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_update_faults.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_status.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_census.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_signing.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_early.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_frozen.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_share.sh"
source "$(dirname "${BASH_SOURCE[0]}")/cases_rollout.sh"

# What this suite started: its Wine server with every program in its
# prefix, its display, its share and the immutable flags it set.
cleanup() {
    undo_immutable
    unmount_share
    stop_wine
}
trap cleanup EXIT
trap 'echo "e2e: interrupted"; exit 130' INT TERM
start_wine || { echo "e2e: Wine or Xvfb could not be started"; echo "e2e: 0 passed, 1 failed"; exit 1; }
mkdir -p "$E2E"
for c in case_server case_exception_name case_refused case_bad_input case_kill \
    case_update_server case_update_workstation case_update_main_machine \
    case_update_replacement_fails case_update_rollback case_update_closed_twice case_update_random_manager \
    case_update_backup_held case_hidden_stop_request \
    case_locked_instance case_log_rotation case_package case_package_signed case_signing_tools case_signing_check case_update_signed \
    case_demo_interrupt case_status case_status_alerts case_census case_early_restart case_frozen case_share_hang case_share_crawl \
    case_rollout case_rollout_halt; do
    [ -n "${E2E_ONLY:-}" ] && [[ " $E2E_ONLY " != *" $c "* ]] && continue
    echo "-- $c"
    $c
done
echo "e2e: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
