#!/usr/bin/env bash
# Runs the monitor for real under Wine in a sandbox application folder
# (build/wineprefix/drive_c/demo = C:\demo), as the server SERV01 with
# logging on, and shows its log as it grows. On its way it kills the
# stand-in manager (the monitor starts it again) and drops a new manager
# build into G:\_Updates (the monitor swaps it in). Ctrl-C, or a stop file
# (touch build/wineprefix/drive_c/demo/ROREROZARIRADI.stp), ends it cleanly;
# the script exits with the monitor's exit code.
#   scripts/demo.sh [--quiet]   --quiet: no scripted kill and update
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
scripted=1
[ "${1:-}" = "--quiet" ] && scripted=0

install_missing || exit 1
build_preset win32 || exit 1
start_wine || exit 1

app="$WINEPREFIX/drive_c/demo"
updates="$RZ_OUT/demo-G/_Updates"
kill_own 'C:.demo.'
rm -rf "$app" "$RZ_OUT/demo-G"
mkdir -p "$app" "$updates"
cp "$ROOT/build/win32/ROREROZARIRADI.exe" "$app/"
cp "$ROOT/build/win32/fixtures/standin_mgr_1.exe" "$app/KORUMGR.exe"
touch "$app/ROREROZARIRADI.deb"
ln -sfn "$RZ_OUT/demo-G" "$WINEPREFIX/dosdevices/g:"
mkdir -p "$WINEPREFIX/dosdevices/unc/MAINPC"
ln -sfn G "$WINEPREFIX/dosdevices/unc/MAINPC/G"  # the main machine is out of reach
set_computer_name SERV01

log "application folder: $app (C:\\demo)"
log "stop with Ctrl-C, or: touch $app/ROREROZARIRADI.stp"
# In a session of its own, so that the terminal's Ctrl-C reaches only this
# script, which ends the monitor the way a technician would: a stop file.
setsid wine 'C:\demo\ROREROZARIRADI.exe' >"$RZ_OUT/demo-wine.log" 2>&1 &
monitor=$!
tail -n +1 -F "$app/ROREROZARIRADI.deb" "$app/standin.log" 2>/dev/null &
tailer=$!

finish() {
    trap - INT TERM
    if kill -0 "$monitor" 2>/dev/null; then
        touch "$app/ROREROZARIRADI.stp"
        for _ in $(seq 100); do kill -0 "$monitor" 2>/dev/null || break; sleep 0.1; done
    fi
    wait "$monitor" 2>/dev/null
    local code=$?
    sleep 0.5
    kill "$tailer" 2>/dev/null
    stop_wine  # the stand-in manager and everything else in this prefix
    log "monitor ended with exit code $code"
    exit "$code"
}
trap finish INT TERM

pause() {  # sleeps unless the monitor has ended
    local end=$((SECONDS + $1))
    while [ $SECONDS -lt $end ]; do
        kill -0 "$monitor" 2>/dev/null || finish
        sleep 0.2
    done
}

if [ $scripted = 1 ]; then
    pause 8
    log "killing the manager from outside: a tick runs at its end and starts it again"
    kill_own 'C:.demo.KORUMGR.exe' -KILL
    pause 12
    log "dropping manager build 2 into G:\\_Updates\\KORUMGRSERV01.exe"
    cp "$ROOT/build/win32/fixtures/standin_mgr_2.exe" "$updates/KORUMGRSERV01.exe"
    pause 15
    log "update applied; the monitor runs on until Ctrl-C or a stop file"
fi
while kill -0 "$monitor" 2>/dev/null; do sleep 0.5; done
finish
