#!/usr/bin/env bash
# Death-to-restart of the manager while the update share misbehaves, under
# Wine, with G: served through the end-to-end suite's FUSE pass-through
# (tests/e2e/slowshare.py): while every read of the share waits HANG_S
# seconds with an update waiting on it, and while an update of CRAWL_MB MB
# is copied at CRAWL_BPS bytes per second. The manager is killed KILLS
# times at random points, 6 to 11 s apart (a manager killed sooner is a
# crash loop, restarted at the tick's pace by design); the delay runs to
# the new process's appearance in the process table, polled every 20 ms
# or so. With BEFORE, that build is measured the same way, BEFORE_KILLS
# times (it can take a hang's length per kill). Prints medians and worst
# cases; asserts nothing, and no test runs it.
#   bench/share_restart.sh
#   KILLS=10 BEFORE_KILLS=3 HANG_S=30 CRAWL_MB=256 CRAWL_BPS=2000000 MODES="hang crawl"
#   BEFORE=path/to/ROREROZARIRADI.exe  another build, measured in the same run
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
kills=${KILLS:-10}
before_kills=${BEFORE_KILLS:-3}
hang_s=${HANG_S:-30}
crawl_mb=${CRAWL_MB:-256}
crawl_bps=${CRAWL_BPS:-2000000}
modes=${MODES:-hang crawl}
install_missing && build_all || exit 1
W32="$ROOT/build/win32"
source "$ROOT/tests/e2e/cases_share.sh"
trap 'unmount_share; stop_wine' EXIT  # the share, the display and the server this script started
start_wine || exit 1
mount_share || { echo "no share: $SHARE_WHY"; exit 1; }

app="$WINEPREFIX/drive_c/sharebench"
wapp='C:\sharebench'
kill_own 'C:.sharebench.'
rm -rf "$app" && mkdir -p "$app/before"
cp "$W32/ROREROZARIRADI.exe" "$app/"
cp "$W32/fixtures/standin_mgr_1.exe" "$app/KORUMGR.exe"
programs="monitor"
if [ -n "${BEFORE:-}" ]; then
    cp "$BEFORE" "$app/before/ROREROZARIRADI.exe"
    cp "$W32/fixtures/standin_mgr_1.exe" "$app/before/KORUMGR.exe"
    programs="monitor before"
fi
set_computer_name SERV01
mkdir -p "$WINEPREFIX/dosdevices/unc/MAINPC"
ln -sfn G "$WINEPREFIX/dosdevices/unc/MAINPC/G"

manager_pid() { own_pids 'C:.sharebench.(before.)?KORUMGR' | head -n 1; }
now_ns() { date +%s%N; }
median() { sort -n | awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2); else print "n/a"}'; }
summary() { printf 'median %s ms, worst %s ms (%s)' "$(printf '%s\n' "$@" | median)" \
    "$(printf '%s\n' "$@" | sort -n | tail -n 1)" "$*"; }

# restart_delays PROGRAM N: prints the ms of each of N restarts.
restart_delays() {
    local exe="$wapp\\ROREROZARIRADI.exe" old new t0 i
    [ "$1" = before ] && exe="$wapp\\before\\ROREROZARIRADI.exe"
    wine "$exe" >/dev/null 2>&1 &
    local mon=$!
    sleep 3
    for i in $(seq "$2"); do
        sleep "$((6 + RANDOM % 5)).$((RANDOM % 10))"
        old=$(manager_pid)
        [ -n "$old" ] || break
        kill -KILL "$old" 2>/dev/null
        t0=$(now_ns)
        new=""
        while [ -z "$new" ] && [ $(($(now_ns) - t0)) -lt 90000000000 ]; do
            new=$(manager_pid | grep -vx "$old")
            [ -n "$new" ] || sleep 0.02
        done
        [ -n "$new" ] || { echo "no restart" >&2; break; }
        echo $((($(now_ns) - t0) / 1000000))
    done
    kill_own 'C:.sharebench.' -KILL
    wait "$mon" 2>/dev/null
    echo ok >"$SHARE_CTL"
    sleep 1
}

# share_update MODE: the share's update, and the share's behaviour.
share_update() {
    rm -f "$SHARE_SRC/_Updates/"*
    cp "$W32/fixtures/standin_mgr_2.exe" "$SHARE_SRC/_Updates/KORUMGRSERV01.exe"
    if [ "$1" = hang ]; then
        echo "hang $hang_s" >"$SHARE_CTL"
        echo "share hangs ($hang_s s a read)"
    else
        truncate -s "${crawl_mb}M" "$SHARE_SRC/_Updates/KORUMGRSERV01.exe"
        echo "crawl $crawl_bps" >"$SHARE_CTL"
        echo "share crawls ($crawl_mb MB at $crawl_bps B/s)"
    fi
}

for prog in $programs; do
    n=$kills
    [ "$prog" = before ] && n=$before_kills
    for mode in $modes; do
        what=$(share_update "$mode")
        printf '%-8s %-36s %s\n' "$prog" "$what:" "$(summary $(restart_delays "$prog" "$n"))"
    done
done
