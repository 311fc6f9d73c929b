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
    local i seen delays=()
    for i in 1 2 3; do
        seen=$(count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK')
        wait_for_count "$APP/ROREROZARIRADI.deb" 'ELKORUMGR RUNNING OK' $((seen + 1)) 15
        delays+=("$(kill_manager early)")
    done
    echo "     restart delays after kills right after a census: ${delays[*]} ms"
    check "early restart: killed manager back well before the next tick, three times" \
        test "$(largest "${delays[@]}")" -lt 2500
    stop_monitor
}
