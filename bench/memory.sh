#!/usr/bin/env bash
# Resident memory of the monitor under Wine with signing off (no
# UpdateKey.pem beside it), the manager and VESK.exe running and logging
# off, beside the bare window program measured in the same run, one after
# the other in each round: the VmRSS of each after WINDOW seconds, enough
# for several ticks. Prints each round, the medians and their ratio; then
# the executable's size against its limit of 368 KiB, and the DLLs it
# imports. Asserts nothing, and no test runs it.
#   bench/memory.sh [WINDOW_SECONDS [ROUNDS]]        (defaults 30 and 5)
#   BEFORE=path/to/ROREROZARIRADI.exe  another build, measured in the same run
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
window=${1:-30}
rounds=${2:-5}
limit=$((368 * 1024))
install_missing && build_all || exit 1
trap stop_wine EXIT  # the display and the server (with every process of the run) this script started
start_wine || exit 1

bench_folder membench
monitor="$ROOT/build/win32/ROREROZARIRADI.exe"
set_computer_name SERV01
# Every tick looks into an empty G:\_Updates.
rm -rf "$ROOT/build/bench-mem-g" && mkdir -p "$ROOT/build/bench-mem-g/_Updates"
ln -sfn "$ROOT/build/bench-mem-g" "$WINEPREFIX/dosdevices/g:"


# One window of PROGRAM: prints its resident kilobytes at the window's end.
measure() {
    wine "$(exe_of "$1")" >/dev/null 2>&1 &
    local pid=$!
    sleep "$window"
    local kb
    kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    kill_own 'C:.membench.(before.)?(KORUMGR|VESK)'  # the managers the monitor started
    sleep 1
    echo "${kb:-0}"
}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

declare -A seen
for round in $(seq "$rounds"); do
    line="round $round:"
    for program in $programs; do
        kb=$(measure "$program")
        seen[$program]+="$kb "
        line+=" $program ${kb} KiB"
    done
    echo "$line"
done
bare_kb=$(printf '%s\n' ${seen[bare]} | median)
echo "median resident memory after ${window} s, ${rounds} rounds:"
for program in $programs; do
    kb=$(printf '%s\n' ${seen[$program]} | median)
    awk -v p="$program" -v k="$kb" -v b="$bare_kb" 'BEGIN {printf "  %-8s %6d KiB  %.3fx the bare window program\n", p, k, k / b}'
done
size=$(stat -c %s "$monitor")
echo "ROREROZARIRADI.exe: $size bytes, limit $limit ($((limit - size)) to spare)"
echo "imports: $(i686-w64-mingw32-objdump -p "$monitor" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')"
