#!/usr/bin/env bash
# CPU time that the monitor uses while idle between ticks, under Wine, with
# 50 extra processes running. Prints figures; asserts nothing.
#   bench/idle_cpu.sh [SECONDS]   (default 60)
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
seconds=${1:-60}
install_missing && build_all || exit 1
start_wine || exit 1
app="$WINEPREFIX/drive_c/bench"
kill_own 'C:.bench.'
rm -rf "$app" && mkdir -p "$app"
cp "$ROOT/build/win32/ROREROZARIRADI.exe" "$app/"
cp "$ROOT/build/win32/fixtures/standin_mgr_1.exe" "$app/KORUMGR.exe"
for i in $(seq ${EXTRA:-50}); do
    cp "$ROOT/build/win32/fixtures/VESK.exe" "$app/IDLE$i.exe"
    wine "C:\\bench\\IDLE$i.exe" >/dev/null 2>&1 &
done
set_computer_name SERV01
wine 'C:\bench\ROREROZARIRADI.exe' >/dev/null 2>&1 &
mon=$!
sleep 10  # start-up, first ticks, the manager started
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
server=$(pgrep wineserver | head -n 1)
m0=$(ticks "$mon")
s0=$(ticks "$server")
sleep "$seconds"
m1=$(ticks "$mon")
s1=$(ticks "$server")
touch "$app/ROREROZARIRADI.stp"
sleep 6
kill_own 'C:.bench.'
awk -v m=$((m1 - m0)) -v s=$((s1 - s0)) -v hz="$hz" -v t="$seconds" 'BEGIN {
    printf "monitor:    %.3f s CPU in %d s = %.3f s per minute = %.4f %% of a core\n", m / hz, t, m / hz * 60 / t, m / hz / t * 100
    printf "wineserver: %.3f s CPU in %d s (all 52 processes together)\n", s / hz, t
}'
[ -n "${RZ_DISPLAY_STARTED:-}" ] || stop_wine
