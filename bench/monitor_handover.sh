#!/usr/bin/env bash
# The monitor's own update under Wine, ROUNDS times, each in a fresh folder:
# the monitor runs with a manager, the monitor one version on is placed in
# G:\_Updates, and the log is polled every 20 ms or so. Printed per round:
# the time without a ticking monitor, from the old monitor's go (written at
# the end of its last tick, after its census) to the new one's taking over
# (written at the start of its first tick, before its census); the time
# from the placing of the build to that first tick; and the manager's
# process id before and after. Asserts nothing, and no test runs it.
#   bench/monitor_handover.sh [ROUNDS]          (default 3)
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
rounds=${1:-3}
install_missing && build_all || exit 1
trap stop_wine EXIT  # the display and the server (with every process of the run) this script started
start_wine || exit 1
set_computer_name SERV01
mkdir -p "$WINEPREFIX/dosdevices/unc/MAINPC"
ln -sfn G "$WINEPREFIX/dosdevices/unc/MAINPC/G"
updates_dir="$ROOT/build/bench-g/_Updates"
ln -sfn "$ROOT/build/bench-g" "$WINEPREFIX/dosdevices/g:"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# seen_at PATTERN: the time the log first holds PATTERN, polled; 0 after 60 s.
seen_at() {
    local end=$((SECONDS + 60))
    while [ $SECONDS -lt $end ]; do
        grep -q "$1" "$app/ROREROZARIRADI.deb" 2>/dev/null && { now_ms; return; }
        sleep 0.02
    done
    echo 0
}
manager_pid() { own_pids 'C:.monbench.KORUMGR.exe' | head -n 1; }

worst=0
for round in $(seq "$rounds"); do
    rm -rf "$ROOT/build/bench-g" && mkdir -p "$updates_dir"
    bench_folder monbench
    touch "$app/ROREROZARIRADI.deb"
    wine "$wapp\\ROREROZARIRADI.exe" >/dev/null 2>&1 &
    end=$((SECONDS + 30))
    while [ -z "$(manager_pid)" ] && [ $SECONDS -lt $end ]; do sleep 0.2; done
    sleep 6  # the monitor's first report goes before its first look
    before=$(manager_pid)
    placed=$(now_ms)
    cp "$ROOT/build/win32/fixtures/monitor_next.exe" "$updates_dir/ROREROZARIRADISERV01.exe"
    go=$(seen_at "MONITOR UPDATE HANDED OVER")
    first=$(seen_at "MONITOR UPDATE DONE")
    after=$(manager_pid)
    gap=$((first - go))
    [ "$go" -gt 0 ] && [ "$first" -gt 0 ] || gap=-1
    [ $gap -gt $worst ] && worst=$gap
    echo "round $round: without a ticking monitor $gap ms; placed to first tick $((first - placed)) ms;" \
        "manager pid $before before, $after after"
    touch "$app/ROREROZARIRADI.stp"
    sleep 3
    kill_own 'C:.monbench.'
done
echo "longest time without a ticking monitor: $worst ms (-1: a handover not seen)"
