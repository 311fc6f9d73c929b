# The early reaction to the manager's end, sourced by run.sh.

# Killed at a random point of the tick, once a census has seen it, the
# manager is back at once rather than at the next five-second tick. The
# delay runs from the kill to the new process in the process table.
case_early_restart() {
    new_app early
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    local i seen old new t0 delays=()
    for i in 1 2 3; do
        seen=$(count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK')
        wait_for_count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK' $((seen + 1)) 15
        sleep "$((RANDOM % 4)).$((RANDOM % 10))"
        old=$(own_pids 'e2e.early.KORUMGR.exe' | head -n 1)
        kill -KILL "$old" 2>/dev/null
        t0=$(date +%s%N)
        new=""
        while [ -z "$new" ] && [ $(($(date +%s%N) - t0)) -lt 15000000000 ]; do
            new=$(own_pids 'e2e.early.KORUMGR.exe' | grep -vx "$old" | head -n 1)
            [ -n "$new" ] || sleep 0.02
        done
        delays+=("$(((($(date +%s%N) - t0)) / 1000000))")
    done
    local median
    median=$(printf '%s\n' "${delays[@]}" | sort -n | sed -n 2p)
    check "early restart: killed manager back in under a second (median of ${delays[*]} ms)" test "$median" -lt 1000
    stop_monitor
}
