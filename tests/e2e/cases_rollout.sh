# The rollout of a new manager build to the server and a workstation, each
# monitor in a Wine prefix of its own as in the status cases, the native
# rollout placing the files in the server's G:\_Updates. Sourced by run.sh.

ROLLOUT_G="$RZ_OUT/e2e-rollout-g"  # the server's drive G, shared as \\SERV01\G
ROLLOUT_UPD="$ROLLOUT_G/_Updates"

# rollout_pcs TAG [KEY.pub]: SERV01 and PCWS07 running manager build 1 and
# reporting to G:\_Updates\_Status, with KEY.pub as UpdateKey.pem when given;
# sets SERV_APP, PCWS_APP and PCWS_MON (APP and MON are the server's).
rollout_pcs() {
    start_pcws_prefix
    fresh_g "$ROLLOUT_G" "$ROLLOUT_UPD/_Status"
    ln -sfn "$ROLLOUT_G" "$PCWS_PREFIX/dosdevices/unc/SERV01/G"
    new_app "$1_serv"
    SERV_APP=$APP
    PCWS_APP="$PCWS_PREFIX/drive_c/e2e/$1_pcws"
    rm -rf "$PCWS_APP" && mkdir -p "$PCWS_APP"
    cp "$W32/ROREROZARIRADI.exe" "$PCWS_APP/"
    cp "$W32/fixtures/standin_mgr_1.exe" "$PCWS_APP/KORUMGR.exe"
    local app
    for app in "$SERV_APP" "$PCWS_APP"; do
        touch "$app/ROREROZARIRADI.deb"
        [ -n "${2:-}" ] && cp "$2" "$app/UpdateKey.pem"
    done
    set_computer_name SERV01
    start_monitor
    pcws wine "C:\\e2e\\$1_pcws\\ROREROZARIRADI.exe" >/dev/null 2>&1 &
    PCWS_MON=$!
    wait_for "$ROLLOUT_UPD/_Status/SERV01.txt" '^manager_running=yes' 20
    wait_for "$ROLLOUT_UPD/_Status/PCWS07.txt" '^manager_running=yes' 20
}

stop_rollout_pcs() {
    touch "$PCWS_APP/ROREROZARIRADI.stp"
    wait_exit "$PCWS_MON" 15 || kill -9 "$PCWS_MON" 2>/dev/null
    stop_monitor
    stop_pcws
}

# rollout_run OUT ARGS...: the native rollout in the background; sets ROLLOUT_PID.
rollout_run() {
    local out=$1
    shift
    "$ROOT/build/native/rollout" "$@" >"$out" 2>&1 &
    ROLLOUT_PID=$!
}

# What a technician is told before anything is written: the guide's plan,
# run as written with the build in C:\Builds and the keys on the stick E:,
# and the refusals, from both builds of the tool.
rollout_refusals() {
    local native="$ROOT/build/native/rollout" out="$RZ_OUT/rollout-refused.out" stick="$RZ_OUT/e2e-rollout-stick"
    cp "$W32/rollout.exe" "$W32/fixtures/standin_mgr_1.exe" "$W32/fixtures/standin_mgr_2.exe" "$W32/ordtool.exe" "$SERV_APP/"
    mkdir -p "$WINEPREFIX/drive_c/Builds" && cp "$W32/fixtures/standin_mgr_2.exe" "$WINEPREFIX/drive_c/Builds/KORUMGR.exe"
    rm -rf "$stick" && mkdir -p "$stick" && cp "$1.pem" "$stick/centre-private.pem" && cp "$1.pub" "$stick/UpdateKey.pem"
    ln -sfn "$stick" "$WINEPREFIX/dosdevices/e:"
    local line
    # The guide's command, its cmd continuation (" ^" at a line's end) joined.
    line=$(sed -n '/^rollout.exe start .* ^$/{N;s/ ^\n */ /;/--dry-run$/p}' "$ROOT/docs/tasks.md" | head -n 1)
    wine "$WAPP\\rollout.exe" ${line#rollout.exe } >"$out" 2>&1
    local code=$?
    check "rollout.exe: the guide's dry run signs, checks and plans PCWS07 then SERV01, exit 0" bash -c \
        "[ $code = 0 ] && tr -d '\r' <'$out' | grep -q 'rollout of 7.2.0.0 .* to 2 machines in 2 waves' &&
         tr -d '\r' <'$out' | grep -qF \"signature: signed once with 'E:\\centre-private.pem', checked with 'E:\\UpdateKey.pem'\" &&
         tr -d '\r' <'$out' | grep -q 'wave 1: PCWS07 (7.1.0.0, OK)' && tr -d '\r' <'$out' | grep -q 'wave 2: SERV01'"
    wine "$WAPP\\rollout.exe" start "$WAPP\\standin_mgr_1.exe" --folder 'G:\_Updates' >"$out" 2>&1
    code=$?
    check "rollout.exe: a build not newer than the machines run is refused, exit 3" bash -c \
        "[ $code = 3 ] && grep -q 'SERV01 runs 7.1.0.0 already: 7.1.0.0 is not newer' '$out'"
    "$native" start "$SERV_APP/ordtool.exe" --folder "$ROLLOUT_UPD" >"$out" 2>&1
    code=$?
    check "rollout: a build without a version is refused, exit 3" bash -c "[ $code = 3 ] && grep -q 'has no file version' '$out'"
    make_immutable "$ROLLOUT_UPD"
    "$native" start "$SERV_APP/standin_mgr_2.exe" --folder "$ROLLOUT_UPD" >"$out" 2>&1
    code=$?
    undo_immutable
    check "rollout: an update folder that cannot be written is refused, exit 3" bash -c \
        "[ $code = 3 ] && grep -q 'the update folder cannot be written' '$out'"
    check "rollout: nothing was written by the refusals and the dry run" \
        test "$(ls -A "$ROLLOUT_UPD")" = _Status
}

# Wave 1, the server, takes the build, signed once by the rollout, and runs
# it well for the soak; only then does the workstation get it.
case_rollout() {
    trap 'stop_pcws; end_case' EXIT
    local key="$RZ_OUT/e2e-rollout-key" out="$RZ_OUT/rollout.out"
    rm -f "$key.pem" "$key.pub"
    "$ROOT/build/native/updsign" keygen "$key.pem" "$key.pub" --bits 2048 >/dev/null
    rollout_pcs ro "$key.pub"
    rollout_refusals "$key"
    rollout_run "$out" start "$SERV_APP/standin_mgr_2.exe" --folder "$ROLLOUT_UPD" --machines SERV01,PCWS07 \
        --waves 1,100% --soak 20s --take-limit 3m --key "$key.pem" --public "$key.pub"
    check "rollout: the server takes the signed build" wait_for "$SERV_APP/standin.log" "build=2 .*started" 30
    check "rollout: the server is followed through its soak" wait_for "$out" 'SERV01: 7.2.0.0 running, [0-9]+ s of 20 s healthy' 15
    check "rollout: during the server's soak the workstation's build is not placed" \
        test ! -e "$ROLLOUT_UPD/KORUMGRPCWS07.exe" -a ! -e "$ROLLOUT_UPD/KORUMGRPCWS07.exe.sig"
    check "rollout: then the workstation takes it" wait_for "$PCWS_APP/standin.log" "build=2 .*started" 60
    check "rollout: done once both ran it for the soak, exit 0" wait_exit "$ROLLOUT_PID" 60
    SEEN="exit ${EXIT:-none}: $(tail -n 3 "$out" | tr '\n' '|')"
    check "rollout: exit code 0" test "${EXIT:-x}" = 0
    check "rollout: wave 1 healthy before the workstation is given the build, then done" bash -c \
        "grep -n -e 'wave 1 of 2 is healthy: SERV01 ran 7.2.0.0 for 20 s' -e 'PCWS07: copying' -e 'done: 7.2.0.0 runs on all 2' \
         '$out' | cut -d: -f1 | sort -n -c && [ \$(grep -c -e 'wave 1 of 2 is healthy' -e 'PCWS07: copying' -e 'done:' '$out') = 3 ]"
    check "rollout: no build, .sig, lock or kept copy left; the state says done" bash -c \
        "[ \"\$(ls -A '$ROLLOUT_UPD' | tr '\n' ' ')\" = '_Rollout _Status ' ] &&
         [ \"\$(ls -A '$ROLLOUT_UPD/_Rollout' | grep -c .)\" = 1 ] && grep -q '^phase=done' '$ROLLOUT_UPD/_Rollout/7.2.0.0-'*.txt"
    out="$RZ_OUT/rollout-status.out"
    "$ROOT/build/native/rollout" status --folder "$ROLLOUT_UPD" >"$out" 2>&1
    check "rollout status: done, both machines took it" bash -c \
        "grep -q '^rollout of 7.2.0.0 in .*: done at wave 2 of 2' '$out' && [ \$(grep -c 'took it' '$out') = 2 ]"
    stop_rollout_pcs
}

# A build that will not run is rolled back on the server: the rollout halts
# and the workstation's build is never placed. Then a monitor build: one the
# PCs would refuse is refused before anything is placed, and one signed
# with a key the server does not hold halts with the server's reason.
case_rollout_halt() {
    trap 'stop_pcws; end_case' EXIT
    local out="$RZ_OUT/rollout-halt.out" placed="$RZ_OUT/rollout-halt.placed" key="$RZ_OUT/e2e-rollout-halt-key"
    rm -f "$key.pem" "$key.pub" "$key-other.pem" "$key-other.pub"
    "$ROOT/build/native/updsign" keygen "$key.pem" "$key.pub" --bits 2048 >/dev/null
    "$ROOT/build/native/updsign" keygen "$key-other.pem" "$key-other.pub" --bits 2048 >/dev/null
    rollout_pcs rh "$key.pub"
    printf 'exit=2\n' >"$SERV_APP/KORUMGR.cfg"
    rm -f "$placed"
    rollout_run "$out" start "$W32/fixtures/standin_mgr_2.exe" --folder "$ROLLOUT_UPD" --machines SERV01,PCWS07 \
        --waves 1,100% --soak 20s --take-limit 3m --key "$key.pem" --public "$key.pub"
    while kill -0 "$ROLLOUT_PID" 2>/dev/null; do
        [ -e "$ROLLOUT_UPD/KORUMGRPCWS07.exe" ] && touch "$placed"
        sleep 0.2
    done
    wait_exit "$ROLLOUT_PID" 1
    SEEN="exit ${EXIT:-none}: $(grep -e HALTED -e warning "$out" | tr '\n' '|')"
    check "rollout halt: the rollback on the server halts it, exit 1" bash -c \
        "[ '${EXIT:-x}' = 1 ] && grep -q \"HALTED: SERV01 rolled the build back at .*: ROLLBACK: the build of '.*' will not run\" '$out'"
    check "rollout halt: the server runs its previous build again" cmp -s "$SERV_APP/KORUMGR.exe" "$W32/fixtures/standin_mgr_1.exe"
    check "rollout halt: the workstation's build was never placed, its manager untouched" bash -c \
        "[ ! -e '$placed' ] && grep -q 'never given the build: PCWS07' '$out' && ! grep -q 'build=2' '$PCWS_APP/standin.log'"
    out="$RZ_OUT/rollout-status.out"
    "$ROOT/build/native/rollout" status --folder "$ROLLOUT_UPD" >"$out" 2>&1
    check "rollout halt: status tells where and why it halted" bash -c \
        "grep -q ': halted at wave 1 of 2' '$out' && grep -q 'outcome: SERV01 rolled the build back' '$out' &&
         [ \"\$(ls -A '$ROLLOUT_UPD' | tr '\n' ' ')\" = '_Rollout _Status ' ]"
    local native="$ROOT/build/native/rollout" code
    "$native" start "$W32/ordtool.exe" --monitor --dry-run --folder "$ROLLOUT_UPD" >"$out" 2>&1
    code=$?
    check "rollout --monitor: a console program is refused, exit 3" bash -c \
        "[ $code = 3 ] && grep -q 'is not a 32-bit Windows program with a window' '$out'"
    "$native" start "$W32/fixtures/monitor_next.exe" --monitor --dry-run --folder "$ROLLOUT_UPD" >"$out" 2>&1
    code=$?
    check "rollout --monitor: an unsigned build for PCs holding a key is refused, naming them, exit 3" bash -c \
        "[ $code = 3 ] && grep -q 'PCWS07 holds UpdateKey.pem' '$out' && grep -q 'SERV01 holds UpdateKey.pem' '$out'"
    out="$RZ_OUT/rollout-halt-monitor.out"
    rollout_run "$out" start "$W32/fixtures/monitor_next.exe" --monitor --folder "$ROLLOUT_UPD" --machines SERV01 \
        --soak 20s --take-limit 3m --key "$key-other.pem"
    check "rollout --monitor: the server's refusal halts it with the monitor's reason" wait_for "$out" \
        "HALTED: SERV01 refused the build at .*: MONITOR UPDATE REFUSED: the signature '.*' is not the key's" 40
    wait_exit "$ROLLOUT_PID" 10
    "$native" status --folder "$ROLLOUT_UPD" "$(sed -n 's/.*rollout of monitor \([0-9.]*\) .*/\1/p' "$out" | head -n 1)" \
        >"$RZ_OUT/rollout-status.out" 2>&1
    SEEN="exit ${EXIT:-none}: $(tr '\n' '|' <"$RZ_OUT/rollout-status.out")"
    check "rollout --monitor: exit 1; status gives the server one outcome, the halt" bash -c \
        "[ '${EXIT:-x}' = 1 ] && grep -q 'SERV01 *build placed [0-9:]*; then it halted the rollout: refused the build' \
         '$RZ_OUT/rollout-status.out' && ! grep -q 'removed before' '$RZ_OUT/rollout-status.out'"
    stop_rollout_pcs
}

# A new build of the monitor itself taken to the server, then, once it has
# ticked there for the soak, to the workstation; neither manager restarted.
case_rollout_monitor() {
    trap 'stop_pcws; end_case' EXIT
    local out="$RZ_OUT/rollout-monitor.out" next serv_before pcws_before
    next=$(grep -o '"FileVersion", "[^"]*"' "$W32/generated/resources_next.rc" | cut -d'"' -f4)
    rollout_pcs rm
    serv_before=$(grep started "$SERV_APP/standin.log")
    pcws_before=$(grep started "$PCWS_APP/standin.log")
    rollout_run "$out" start "$W32/fixtures/monitor_next.exe" --monitor --folder "$ROLLOUT_UPD" \
        --machines SERV01,PCWS07 --waves 1,100% --soak 20s --take-limit 3m
    check "rollout --monitor: the server's monitor is handed over to the new build" \
        wait_for "$SERV_APP/ROREROZARIRADI.deb" "MONITOR UPDATE DONE: version $next" 40
    check "rollout --monitor: the workstation's build waits for the server's soak" \
        test ! -e "$ROLLOUT_UPD/ROREROZARIRADIPCWS07.exe"
    check "rollout --monitor: then the workstation takes it" \
        wait_for "$PCWS_APP/ROREROZARIRADI.deb" "MONITOR UPDATE DONE: version $next" 90
    check "rollout --monitor: done once both ran it for the soak, exit 0" wait_exit "$ROLLOUT_PID" 90
    SEEN="exit ${EXIT:-none}: $(tail -n 3 "$out" | tr '\n' '|')"
    check "rollout --monitor: exit code 0, wave 1 healthy before the workstation's copy" bash -c \
        "[ '${EXIT:-x}' = 0 ] && grep -n -e 'wave 1 of 2 is healthy' -e 'PCWS07: copying' -e 'done: ' '$out' |
         cut -d: -f1 | sort -n -c"
    check "rollout --monitor: both PCs run the new monitor" bash -c \
        "cmp -s '$SERV_APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe' &&
         cmp -s '$PCWS_APP/ROREROZARIRADI.exe' '$W32/fixtures/monitor_next.exe'"
    SEEN="$(grep started "$SERV_APP/standin.log" "$PCWS_APP/standin.log" | tr '\n' '|')"
    check "rollout --monitor: neither manager was started again" bash -c \
        "[ \"\$(grep started '$SERV_APP/standin.log')\" = '$serv_before' ] &&
         [ \"\$(grep started '$PCWS_APP/standin.log')\" = '$pcws_before' ]"
    stop_rollout_pcs
}
