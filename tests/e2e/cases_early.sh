# The early reaction to the manager's end, sourced by run.sh.

# Killed right after a census, when the next tick is five seconds away,
# the manager is back at once. The delays, from the kill to the new
# process in the process table, are printed; the check only asks that the
# restart did not wait for that tick.
case_early_restart() {
    new_app early
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    local i seen old new t0 delays=()
    for i in 1 2 3; do
        seen=$(count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK')
        wait_for_count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK' $((seen + 1)) 15
        old=$(own_pids 'e2e.early.KORUMGR.exe' | head -n 1)
        kill -KILL "$old" 2>/dev/null
        t0=$(date +%s%N)
        new=""
        while [ -z "$new" ] && [ $(($(date +%s%N) - t0)) -lt 15000000000 ]; do
            new=$(own_pids 'e2e.early.KORUMGR.exe' | grep -vx "$old" | head -n 1)
            [ -n "$new" ] || sleep 0.02
        done
        delays+=("$((($(date +%s%N) - t0) / 1000000))")
    done
    echo "     restart delays after kills right after a census: ${delays[*]} ms"
    check "early restart: killed manager back well before the next tick, three times" \
        test "$(printf '%s\n' "${delays[@]}" | sort -n | tail -n 1)" -lt 2500
    stop_monitor
}
