#!/usr/bin/env bash
# End-to-end tests: the real ROREROZARIRADI.exe under Wine, in temporary
# application folders, with the stand-in manager and companion programs.
# Expects both presets built. The cases (every function case_* of this file
# and of cases_*.sh) run in E2E_SHARDS shards side by side (4 unless given;
# E2E_SHARDS=1 runs them one after the other), each with a Wine prefix, an
# Xvfb display, a share mount and a scratch folder (build/e2e-N) of its own.
# A case's output is printed whole when it ends, with its duration; the run
# ends with the five slowest cases and "e2e: N passed, N failed".
# E2E_ONLY="case_a case_b" runs only the cases named. Each shard stops its
# display and Wine server at the end or on an interrupt.
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

check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
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
    wine reg query "$1" /v "$2" >"$RZ_OUT/reg.out" 2>&1
    sed -n "s/^ *$2 *REG_SZ *//p" "$RZ_OUT/reg.out" | tr -d '\r'
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
    local t0 shot="$RZ_OUT/refusal.png"
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

# fresh_g DIR PATH: the main machine unreachable, and DIR (unix), emptied
# down to PATH (a folder in it), as drive G:.
fresh_g() {
    main_unreachable
    rm -rf "$1" && mkdir -p "$2"
    ln -sfn "$1" "$WINEPREFIX/dosdevices/g:"
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
    local g="$RZ_OUT/e2e-g"
    fresh_g "$g" "$g/_Updates"
    run_update upd_serv SERV01 "$g/_Updates"
    check "update upd_serv: the main share was out of reach" \
        grep -q "NO Esta el Archivo 'G:\\\\_Updates\\\\KORUMGRSERV01.exe'" "$APP/ROREROZARIRADI.deb"
}

case_update_workstation() {
    main_unreachable
    local share="$RZ_OUT/e2e-serv01-g"
    rm -rf "$share" && mkdir -p "$share/_Updates"
    mkdir -p "$WINEPREFIX/dosdevices/unc/SERV01"
    ln -sfn "$share" "$WINEPREFIX/dosdevices/unc/SERV01/G"
    run_update upd_pcws PCWS07 "$share/_Updates"
}

case_update_main_machine() {
    local share="$RZ_OUT/e2e-main2-g"
    rm -rf "$share" && mkdir -p "$share/Ostrum/_Program/_Updates"
    mkdir -p "$WINEPREFIX/dosdevices/unc/MAIN2"
    ln -sfn "$share" "$WINEPREFIX/dosdevices/unc/MAIN2/G"
    local ord="$RZ_OUT/e2e-MainMachine.ord"
    "$ROOT/build/native/ordtool" encode MAIN2 >"$ord"
    run_update upd_main OFFICE-K407 "$share/Ostrum/_Program/_Updates" "$ord"
}

for cases in "$ROOT"/tests/e2e/cases_*.sh; do source "$cases"; done

# What a case leaves behind however it ends: the immutable flags it set and
# its share.
# A case leaves no share behind: a monitor build left in one would be
# taken up by the next case's monitor of the same machine name.
end_case() {
    undo_immutable
    unmount_share
    rm -f "$WINEPREFIX/dosdevices/g:" "$WINEPREFIX/dosdevices/unc/SERV01/G" "$WINEPREFIX/dosdevices/unc/MAINPC/G"
}

# --- the runner ----------------------------------------------------------------
# The cases wait on ticks and back-offs far more than they compute, so the
# shards share the two cores well. The queue holds the cases longest first
# (tests/e2e/durations.txt; a case not listed there counts 60 s), and each
# shard takes the next one as it finishes one: a new case needs no entry
# anywhere.

RUN="$ROOT/build/e2e-run"  # this run's queue, results, case outputs and locks

known_cases() { declare -F | awk '$3 ~ /^case_/ {print $3}'; }

expected_seconds() {
    awk -v c="$1" '$1 == c {s = $2} END {print s == "" ? 60 : s}' "$ROOT/tests/e2e/durations.txt"
}

# next_case: prints the case at the head of the queue, taken off it; "" when
# the queue is empty.
next_case() {
    (
        flock 9
        head -n 1 "$RUN/queue"
        sed -i 1d "$RUN/queue"
    ) 9>"$RUN/queue.lock"
}

# run_case CASE: the case in a subshell of its own, output in a file that is
# printed whole when it ends; one line "CASE MS PASSED FAILED SHARD" in the
# results.
run_case() {
    local c=$1 out="$RUN/$1.out" t0 ms passed failed
    t0=$(date +%s%N)
    (
        trap end_case EXIT
        $c
        : >"$RUN/$c.ended"
    ) >"$out" 2>&1 </dev/null &
    CASE_PID=$!
    wait "$CASE_PID"
    CASE_PID=
    ms=$((($(date +%s%N) - t0) / 1000000))
    [ -e "$RUN/$c.ended" ] || echo "FAIL $c ended before its last check" >>"$out"
    passed=$(grep -c '^ok   ' "$out")
    failed=$(grep -c '^FAIL ' "$out")
    echo "$c $ms $passed $failed $RZ_SHARD" >>"$RUN/results"
    (
        flock 9
        printf -- '-- %s  %d.%d s  shard %s\n' "$c" $((ms / 1000)) $((ms % 1000 / 100)) "$RZ_SHARD"
        cat "$out"
    ) 9>"$RUN/print.lock"
}

shard_cleanup() {
    [ -n "${CASE_PID:-}" ] && kill -TERM "$CASE_PID" 2>/dev/null && wait "$CASE_PID" 2>/dev/null
    end_case
    stop_wine
}

shard() {
    CASE_PID=
    trap shard_cleanup EXIT
    trap 'exit 130' INT TERM
    if ! start_wine; then
        echo "FAIL shard $RZ_SHARD: Wine or Xvfb could not be started ($RZ_OUT)"
        echo "shard-$RZ_SHARD 0 0 1 $RZ_SHARD" >>"$RUN/results"
        exit 1
    fi
    mkdir -p "$E2E"
    local c
    while c=$(next_case) && [ -n "$c" ]; do run_case "$c"; done
}

# The cases asked for, longest first; a name in E2E_ONLY that is no case
# is a failure of the run, not a silent skip.
queue_cases() {
    local c known
    known=" $(known_cases | tr '\n' ' ') "
    for c in ${E2E_ONLY:-}; do
        [[ "$known" == *" $c "* ]] && continue
        echo "FAIL E2E_ONLY names no case: $c"
        echo "$c 0 0 1 -" >>"$RUN/results"
    done
    for c in $known; do
        [ -n "${E2E_ONLY:-}" ] && [[ " $E2E_ONLY " != *" $c "* ]] && continue
        echo "$(expected_seconds "$c") $c"
    done | sort -k1,1nr -k2,2 | cut -d' ' -f2 >"$RUN/queue"
}

# The totals, the five slowest cases, a case no shard could take as a
# failure, and the measured seconds in build/e2e-durations.txt (the form of
# tests/e2e/durations.txt).
report() {
    local c
    while read -r c; do
        echo "FAIL $c: not run, no shard could take it"
        echo "$c 0 0 1 -" >>"$RUN/results"
    done <"$RUN/queue"
    echo "-- slowest cases"
    awk '$5 != "-"' "$RUN/results" | sort -k2,2nr | head -n 5 | awk '{printf "     %5.1f s  %s (shard %s)\n", $2 / 1000, $1, $5}'
    awk '$5 != "-" && $1 ~ /^case_/ {printf "%s %d\n", $1, ($2 + 500) / 1000}' "$RUN/results" | sort \
        >"$ROOT/build/e2e-durations.txt"
    awk '{p += $3; f += $4} END {printf "e2e: %d passed, %d failed\n", p, f; exit f > 0}' "$RUN/results"
}

driver() {
    rm -rf "$RUN" && mkdir -p "$RUN" && : >"$RUN/results"
    queue_cases
    local count shards k pids=()
    count=$(wc -l <"$RUN/queue")
    shards=${E2E_SHARDS:-4}
    if ! [[ "$shards" =~ ^[1-9][0-9]?$ ]]; then
        echo "e2e: E2E_SHARDS is '$shards', not a number of shards from 1 to 99"
        echo "e2e: 0 passed, 1 failed"
        exit 2
    fi
    [ "$shards" -gt "$count" ] && shards=$count
    trap 'kill -TERM ${pids[@]+"${pids[@]}"} 2>/dev/null; wait; echo "e2e: interrupted"; exit 130' INT TERM
    # The one wineboot before the shards, which copy its prefix.
    [ "$count" -gt 0 ] && make_base_prefix
    for k in $(seq "$shards"); do
        [ "$count" -gt 0 ] || break
        RZ_SHARD=$k RZ_OUT="$ROOT/build/e2e-$k" bash "${BASH_SOURCE[0]}" &
        pids+=($!)
    done
    wait
    report
}

if [ -n "${RZ_SHARD:-}" ]; then shard; else driver; fi
