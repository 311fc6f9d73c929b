# The update share served through a FUSE pass-through (slowshare.py) that
# can stop answering or crawl, sourced by run.sh. Drive G: is the mount.

SHARE_SRC="$RZ_OUT/e2e-fuse-src"
SHARE_MNT="$RZ_OUT/e2e-fuse-mnt"
SHARE_CTL="$RZ_OUT/e2e-fuse-ctl"
SHARE_LOG="$RZ_OUT/e2e-fuse-log"
SHARE_PID=

# mount_share: an empty _Updates served at SHARE_MNT as drive G:; on failure
# SHARE_WHY says why.
mount_share() {
    unmount_share
    rm -rf "$SHARE_SRC" && mkdir -p "$SHARE_SRC/_Updates" "$SHARE_MNT"
    echo ok >"$SHARE_CTL"
    : >"$SHARE_LOG"
    [ -c /dev/fuse ] || { SHARE_WHY="no /dev/fuse"; return 1; }
    /usr/bin/python3 "$ROOT/tests/e2e/slowshare.py" "$SHARE_SRC" "$SHARE_MNT" "$SHARE_CTL" "$SHARE_LOG" \
        >"$SHARE_LOG.out" 2>&1 &
    SHARE_PID=$!
    local i
    for i in $(seq 50); do
        mountpoint -q "$SHARE_MNT" && break
        sleep 0.1
    done
    if ! mountpoint -q "$SHARE_MNT"; then
        SHARE_WHY="the mount failed: $(tail -n 1 "$SHARE_LOG.out")"
        return 1
    fi
    ln -sfn "$SHARE_MNT" "$WINEPREFIX/dosdevices/g:"
}

# Also in the suite's EXIT trap. Ending the server fails every call still
# waiting on it.
unmount_share() {
    [ -d "$SHARE_MNT" ] && mountpoint -q "$SHARE_MNT" && fusermount3 -u -z "$SHARE_MNT" 2>/dev/null
    if [ -n "$SHARE_PID" ]; then
        kill -KILL "$SHARE_PID" 2>/dev/null
        wait "$SHARE_PID" 2>/dev/null
    fi
    SHARE_PID=
}

# kill_manager NAME: kills the running manager of case NAME and prints the
# ms until a new one is in the process table (15000 when none came).
kill_manager() {
    local old new t0
    old=$(own_pids "e2e.$1.KORUMGR.exe" | head -n 1)
    kill -KILL "$old" 2>/dev/null
    t0=$(date +%s%N)
    new=""
    while [ -z "$new" ] && [ $(($(date +%s%N) - t0)) -lt 15000000000 ]; do
        new=$(own_pids "e2e.$1.KORUMGR.exe" | grep -vx "$old" | head -n 1)
        [ -n "$new" ] || sleep 0.02
    done
    echo "$((($(date +%s%N) - t0) / 1000000))"
}

largest() { printf '%s\n' "$@" | sort -n | tail -n 1; }

# A share whose reads wait 30 s, as a server that has gone, with an update
# on it: the worker is stuck reading it, and the monitor goes on without it.
case_share_hang() {
    if ! mount_share; then
        echo "SKIP share hang: $SHARE_WHY"
        return
    fi
    main_unreachable
    new_app share_hang
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    echo "hang 30" >"$SHARE_CTL"
    cp "$W32/fixtures/standin_mgr_2.exe" "$SHARE_SRC/_Updates/KORUMGRSERV01.exe"
    check "share hang: the monitor is waiting on the share" wait_for "$SHARE_LOG" "hanging" 15
    # Kills more than five seconds apart: a manager that dies within five
    # seconds of its start waits for the next tick, as a crash loop does.
    local i delays=()
    for i in 1 2 3; do
        sleep 5.5
        delays+=("$(kill_manager share_hang)")
    done
    echo "     restart delays while the share hangs: ${delays[*]} ms"
    check "share hang: killed manager back in under a second, three times" test "$(largest "${delays[@]}")" -lt 1000
    touch "$APP/ROREROZARIRADI.stp"
    check "share hang: a stop file ends the monitor within a tick" wait_exit "$MON" 8
    check "share hang: the final report is given up with a record" \
        grep -q "STATUS REPORT GIVEN UP: " "$APP/ROREROZARIRADI.deb"
    kill_own "e2e.share_hang."
    unmount_share
}

# An 8 MB update at 2 MB/s: the manager killed during the copy comes back at
# once, and the update goes in when the copy is done.
case_share_crawl() {
    if ! mount_share; then
        echo "SKIP share crawl: $SHARE_WHY"
        return
    fi
    main_unreachable
    new_app share_crawl
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    local big="$RZ_OUT/e2e-big-update.exe" delay
    cp "$W32/fixtures/standin_mgr_2.exe" "$big" && truncate -s 8M "$big"
    echo "crawl 2000000" >"$SHARE_CTL"
    cp "$big" "$SHARE_SRC/_Updates/KORUMGRSERV01.exe"
    check "share crawl: the update is being copied" wait_for "$SHARE_LOG" "read /_Updates/KORUMGRSERV01.exe" 12
    delay=$(kill_manager share_crawl)
    echo "     restart delay with the manager killed during the copy: $delay ms"
    check "share crawl: killed manager back at once during the copy" test "$delay" -lt 1000
    check "share crawl: the update still goes in" wait_for "$APP/standin.log" "KORUMGR.exe build=2 .*started" 30
    check "share crawl: KORUMGR.exe is the update" cmp -s "$APP/KORUMGR.exe" "$big"
    stop_monitor
    unmount_share
}
