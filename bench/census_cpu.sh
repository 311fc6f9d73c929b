#!/usr/bin/env bash
# CPU that the monitor costs under Wine, with the manager (a visible,
# minimised window, looked at by every tick) and VESK.exe running and
# logging off, at 0, 50 and 200 extra idle processes: the
# monitor's own CPU and the Wine server's CPU while it runs, beside a bare
# window program with a 5-second timer measured in the same run, windows
# alternating. "net" is the program's CPU plus the server's beyond what the
# server spent in the bare program's window of the same round: what the
# server spends on the program's behalf. Then, at 0 and 200 extra
# processes, the delay from the manager's death to its restart over KILLS
# kills at random points of the tick, once a census has seen the manager;
# last, the manager's downtime over UPDATES updates, from the old
# manager's end to the new build's start. Delays run to the new process's
# appearance in the process table, polled every 20 ms or so.
# Prints medians and worst cases; asserts nothing, and no test runs it.
#   bench/census_cpu.sh [WINDOW_SECONDS [ROUNDS]]        (defaults 20 and 3)
#   EXTRAS="0 50 200"                  extra idle processes per configuration
#   KILLS=30 UPDATES=10
#   BEFORE=path/to/ROREROZARIRADI.exe  another build, measured in the same run
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
window=${1:-20}
rounds=${2:-3}
extras=${EXTRAS:-0 50 200}
kills=${KILLS:-30}
updates=${UPDATES:-10}
warmup=3
install_missing && build_all || exit 1
trap stop_wine EXIT  # the display and the server (with every process of the run) this script started
start_wine || exit 1

bench_folder cpubench
set_computer_name SERV01
# Every tick looks into G:\_Updates, empty but for the updates timed last:
# the main machine is out of reach, whatever earlier runs left behind.
mkdir -p "$WINEPREFIX/dosdevices/unc/MAINPC"
ln -sfn G "$WINEPREFIX/dosdevices/unc/MAINPC/G"
updates_dir="$ROOT/build/bench-g/_Updates"
rm -rf "$ROOT/build/bench-g" && mkdir -p "$updates_dir"
ln -sfn "$ROOT/build/bench-g" "$WINEPREFIX/dosdevices/g:"
server=$(own_pids '^/[^ ]*wineserver' | head -n 1)
[ -n "$server" ] || { echo "no Wine server of this prefix"; exit 1; }

# CPU time of a process so far in ns, summed over its threads (finer than
# the 10 ms ticks of utime + stime in /proc/PID/stat).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }
count_own() { own_pids "$1" | wc -l; }
wait_count() {  # wait_count REGEX N: until N processes of this prefix match
    local end=$((SECONDS + 120))
    while [ "$(count_own "$1")" -lt "$2" ] && [ $SECONDS -lt $end ]; do sleep 0.5; done
}
start_bg() {
    wine "$@" >/dev/null 2>&1 &
    LAST=$!
    disown
}
stop_pid() {  # and wait until it is gone, so that no instance lingers for the next
    kill -KILL "$1" 2>/dev/null
    local end=$((SECONDS + 10))
    while [ -e "/proc/$1" ] && [ "$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" != Z ] &&
        [ $SECONDS -lt $end ]; do
        sleep 0.1
    done
}

# One window of PROGRAM: prints "program_ns server_ns".
measure() {
    start_bg "$(exe_of "$1")"
    local pid=$LAST
    sleep "$warmup"
    local p0 s0 p1 s1
    p0=$(cpu_ns "$pid")
    s0=$(cpu_ns "$server")
    sleep "$window"
    p1=$(cpu_ns "$pid")
    s1=$(cpu_ns "$server")
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "$1 ended before its window was over; window left out" >&2
        return
    fi
    stop_pid "$pid"
    sleep 1
    echo "$((p1 - p0)) $((s1 - s0))"
}

manager_pid() { own_pids 'C:.cpubench.(before.)?KORUMGR' | head -n 1; }
now_ns() { date +%s%N; }
gone() { [ ! -e "/proc/$1" ] || [ "$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" = Z ]; }
# new_manager OLD: waits up to 30 s for a manager other than OLD; prints its pid.
new_manager() {
    local t0 new
    t0=$(now_ns)
    while [ $(($(now_ns) - t0)) -lt 30000000000 ]; do
        new=$(manager_pid)
        [ -n "$new" ] && [ "$new" != "$1" ] && { echo "$new"; return 0; }
        sleep 0.02
    done
    return 1
}

# Kills the manager at a random point of the tick, 6 to 11 s after its
# start: a census has seen it by then. A manager killed sooner is a crash
# loop, which the monitor restarts at the tick's pace only. Prints ms.
restart_delays() {
    start_bg "$(exe_of "$1")"
    local mon=$LAST old new t0 i
    sleep "$warmup"
    for i in $(seq "$kills"); do
        sleep "$((6 + RANDOM % 5)).$((RANDOM % 10))"
        old=$(manager_pid)
        [ -n "$old" ] || break
        kill -KILL "$old" 2>/dev/null
        t0=$(now_ns)
        new=$(new_manager "$old") || { echo "no restart" >&2; break; }
        echo $((($(now_ns) - t0) / 1000000))
    done
    stop_pid "$mon"
}

# Drops a new build (the two stand-in builds in turn) into the update
# folder at a random point of the tick and times the manager's downtime:
# from the old manager's end to the new build's start. Prints ms. Each
# build is dropped once the one before has run the 2 minutes of its watch,
# during which a further update waits.
update_downtimes() {
    start_bg "$(exe_of "$1")"
    local mon=$LAST old new ended started i t0
    sleep "$warmup"
    for i in $(seq "$updates"); do
        sleep "$((123 + RANDOM % 5)).$((RANDOM % 10))"
        old=$(manager_pid)
        [ -n "$old" ] || break
        cp "$ROOT/build/win32/fixtures/standin_mgr_$((i % 2 + 1)).exe" "$updates_dir/KORUMGRSERV01.tmp"
        mv "$updates_dir/KORUMGRSERV01.tmp" "$updates_dir/KORUMGRSERV01.exe"  # whole at once
        ended=""
        started=""
        t0=$(now_ns)
        while [ -z "$started" ] && [ $(($(now_ns) - t0)) -lt 60000000000 ]; do
            [ -z "$ended" ] && gone "$old" && ended=$(now_ns)
            new=$(manager_pid)
            [ -n "$ended" ] && [ -n "$new" ] && [ "$new" != "$old" ] && started=$(now_ns)
            [ -n "$started" ] || sleep 0.01
        done
        [ -n "$started" ] || { echo "no new build" >&2; break; }
        echo $(((started - ended) / 1000000))
        while [ -e "$updates_dir/KORUMGRSERV01.exe" ]; do sleep 0.2; done
    done
    stop_pid "$mon"
}
summary() {  # summary DELAYS...: median, worst and all
    printf 'median %s ms, worst %s ms (%s)' "$(printf '%s\n' "$@" | median)" \
        "$(printf '%s\n' "$@" | sort -n | tail -n 1)" "$*"
}

median() { sort -n | awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2); else print "n/a"}'; }
per_min() { awk -v t="$1" -v w="$window" 'BEGIN {printf "%.1f", t / 1e6 * 60 / w}'; }
pct() { awk -v t="$1" -v w="$window" 'BEGIN {printf "%.3f", t / 1e9 / w * 100}'; }

start_bg "$wapp\\KORUMGR.exe" shown
start_bg "$wapp\\VESK.exe" idle
wait_count 'C:.cpubench.(KORUMGR|VESK)' 2
echo "window ${window} s, ${rounds} rounds, medians; ms CPU per minute (percent of one core)"
printf '%-7s %-8s %16s %16s %16s %16s\n' extra program program server "program+server" net
idle_started=0
for n in $extras; do
    while [ "$idle_started" -lt "$n" ]; do
        start_bg "$wapp\\IDLE.exe" idle
        idle_started=$((idle_started + 1))
        [ $((idle_started % 10)) -eq 0 ] && sleep 1
    done
    wait_count 'C:.cpubench.IDLE' "$n"
    sleep 5
    declare -A own=() srv=() sum=() net=()
    for _ in $(seq "$rounds"); do
        base=""
        for prog in $programs; do
            read -r p s < <(measure "$prog")
            [ -n "${s:-}" ] || continue
            own[$prog]+="$p "
            srv[$prog]+="$s "
            sum[$prog]+="$((p + s)) "
            [ "$prog" = bare ] && base=$s
            [ -n "$base" ] && net[$prog]+="$((p + s - base)) "
        done
    done
    for prog in $programs; do
        o=$(echo ${own[$prog]} | tr ' ' '\n' | median)
        v=$(echo ${srv[$prog]} | tr ' ' '\n' | median)
        t=$(echo ${sum[$prog]} | tr ' ' '\n' | median)
        d=$(echo ${net[$prog]:-0} | tr ' ' '\n' | median)
        printf '%-7s %-8s %16s %16s %16s %16s\n' "$n" "$prog" "$(per_min "$o") ($(pct "$o"))" \
            "$(per_min "$v") ($(pct "$v"))" "$(per_min "$t") ($(pct "$t"))" "$(per_min "$d") ($(pct "$d"))"
    done
    unset own srv sum net
    if [ "$kills" -gt 0 ] && { [ "$n" = 0 ] || [ "$n" -ge 200 ]; }; then
        for prog in $programs; do
            [ "$prog" = bare ] && continue
            printf '%-7s %-8s death-to-restart: %s\n' "$n" "$prog" "$(summary $(restart_delays "$prog"))"
        done
    fi
done

for prog in $programs; do
    [ "$prog" = bare ] || [ "$updates" -eq 0 ] && continue
    printf '%-7s %-8s update downtime: %s\n' "$idle_started" "$prog" "$(summary $(update_downtimes "$prog"))"
done
for prog in monitor before; do
    [ -f "$app/${prog/monitor/.}/ROREROZARIRADI.exe" ] &&
        echo "$prog: ROREROZARIRADI.exe is $(stat -c %s "$app/${prog/monitor/.}/ROREROZARIRADI.exe") bytes"
done
kill_own 'C:.cpubench.' -KILL
