# Status reports and the board, sourced by run.sh. A server and a
# workstation report to one status folder: each runs in a Wine prefix of its
# own, as each runs on a PC of its own (one Wine server is one machine to the
# single-instance guard).

PCWS_PREFIX="$ROOT/build/wineprefix-pcws"
STATUS_G="$ROOT/build/e2e-status-g"  # the server's drive G, shared as \\SERV01\G
STATUS_DIR="$STATUS_G/_Updates/_Status"

# pcws CMD...: runs CMD as the workstation.
pcws() { WINEPREFIX="$PCWS_PREFIX" "$@"; }

start_pcws_prefix() {
    if [ ! -f "$PCWS_PREFIX/system.reg" ]; then
        log "creating the workstation's Wine prefix (once)"
        pcws wineboot -i >"$ROOT/build/wineboot-pcws.log" 2>&1
        pcws wineserver -w
    fi
    (WINEPREFIX="$PCWS_PREFIX" && main_unreachable)
    mkdir -p "$PCWS_PREFIX/dosdevices/unc/SERV01"
    ln -sfn "$STATUS_G" "$PCWS_PREFIX/dosdevices/unc/SERV01/G"
    (WINEPREFIX="$PCWS_PREFIX" && set_computer_name PCWS07)
}

stop_pcws() { pcws wineserver -k 2>/dev/null; return 0; }

value() { sed -n "s/^$2=//p" "$STATUS_DIR/$1.txt" 2>/dev/null | tr -d '\r'; }  # value MACHINE KEY

mtime() { stat -c %Y "$1" 2>/dev/null || echo 0; }

# board ARGS...: the native board; sets BOARD_EXIT, output in build/board.out.
board() {
    "$ROOT/build/native/statusboard" "$STATUS_DIR" "$@" >"$ROOT/build/board.out" 2>&1
    BOARD_EXIT=$?
}

board_row() { grep -E "^$1 +$2 " "$ROOT/build/board.out" >/dev/null; }  # board_row STATE MACHINE

# chromium_page HTML PNG: the rendered page's DOM in build/board.dom, and
# screenshots as a desk browser (PNG) and a phone (PNG with -phone) show it.
chromium_page() {
    local args=(--headless --no-sandbox --disable-gpu --user-data-dir="$ROOT/build/chromium-profile")
    timeout 90 chromium "${args[@]}" --dump-dom "file://$1" >"$ROOT/build/board.dom" 2>"$ROOT/build/chromium.log"
    timeout 90 chromium "${args[@]}" --window-size=1000,330 --screenshot="$2" "file://$1" >>"$ROOT/build/chromium.log" 2>&1
    timeout 90 chromium "${args[@]}" --window-size=390,640 --screenshot="${2%.png}-phone.png" "file://$1" \
        >>"$ROOT/build/chromium.log" 2>&1
}

case_status() {
    trap 'stop_pcws; stop_wine' EXIT
    start_pcws_prefix
    main_unreachable
    rm -rf "$STATUS_G" && mkdir -p "$STATUS_DIR"
    ln -sfn "$STATUS_G" "$WINEPREFIX/dosdevices/g:"

    new_app st_serv
    set_computer_name SERV01
    start_monitor
    local serv_app=$APP serv_mon=$MON
    local pcws_app="$PCWS_PREFIX/drive_c/e2e/st_pcws"
    rm -rf "$pcws_app" && mkdir -p "$pcws_app"
    cp "$W32/ROREROZARIRADI.exe" "$pcws_app/"
    cp "$W32/fixtures/standin_mgr_1.exe" "$pcws_app/KORUMGR.exe"
    pcws wine 'C:\e2e\st_pcws\ROREROZARIRADI.exe' >/dev/null 2>&1 &
    local pcws_mon=$!

    check "status: server reports its running manager" \
        wait_for "$STATUS_DIR/SERV01.txt" '^manager_running=yes' 15
    check "status: workstation reports through \\\\SERV01\\G" \
        wait_for "$STATUS_DIR/PCWS07.txt" '^manager_running=yes' 15
    local pid
    # The report may come before the stand-in has written its own line.
    wait_for "$pcws_app/standin.log" "pid=[0-9]+ started" 10
    pid=$(sed -n 's/.*pid=\([0-9]*\) started.*/\1/p' "$pcws_app/standin.log" | tail -n 1)
    check "status: the manager's pid, length and the monitor's version" test \
        "$(value PCWS07 manager_pid)|$(value PCWS07 manager_length)|$(value PCWS07 monitor_version)" = \
        "$pid|$(stat -c %s "$pcws_app/KORUMGR.exe")|$VERSION"
    check "status: plain ASCII, CR LF lines, no connect string, no temporary file left" bash -c \
        "! LC_ALL=C grep -q '[^ -~]' <(tr -d '\r\n' <'$STATUS_DIR/SERV01.txt') &&
         [ \$(grep -c \$'\r\$' '$STATUS_DIR/SERV01.txt') = \$(wc -l <'$STATUS_DIR/SERV01.txt') ] &&
         ! grep -q PWD '$STATUS_DIR/SERV01.txt' && [ -z \"\$(ls '$STATUS_DIR' | grep -v '\.txt\$')\" ]"

    board
    check "board: both machines OK, exit code 0" \
        test "$BOARD_EXIT" = 0 && board_row OK SERV01 && board_row OK PCWS07
    cp "$W32/statusboard.exe" "$serv_app/"
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' >"$ROOT/build/board-wine.out" 2>&1
    local wine_exit=$?
    check "board: the Windows build lists both under Wine, exit code 0" bash -c \
        "[ $wine_exit = 0 ] && grep -q '^OK *PCWS07 ' '$ROOT/build/board-wine.out' &&
         grep -q '^OK *SERV01 ' '$ROOT/build/board-wine.out'"

    # The workstation's monitor dies; the server's stays fresh through an event.
    { kill -KILL "$pcws_mon" && wait "$pcws_mon"; } 2>/dev/null
    local silent=12
    while [ $(($(date +%s) - $(mtime "$STATUS_DIR/PCWS07.txt"))) -le $((silent + 1)) ]; do sleep 0.5; done
    kill_own 'e2e.st_serv.KORUMGR.exe' -KILL
    wait_for_count "$serv_app/standin.log" started 2 12
    pid=$(sed -n 's/.*pid=\([0-9]*\) started.*/\1/p' "$serv_app/standin.log" | tail -n 1)
    wait_for "$STATUS_DIR/SERV01.txt" "^manager_pid=$pid" 10
    check "status: the restart is reported in the tick that made it" \
        test "$(value SERV01 last_event)|$(value SERV01 starts_24h)|$(value SERV01 manager_pid)" = "manager started|2|$pid"
    board --silent-after "$silent"
    check "board: the killed monitor's machine is silent, listed first, exit code 1" bash -c \
        "[ $BOARD_EXIT = 1 ] && sed -n 3p '$ROOT/build/board.out' | grep -q '^SILENT *PCWS07 ' &&
         sed -n 4p '$ROOT/build/board.out' | grep -q '^OK *SERV01 '"

    # The page as the server keeps it in the status folder for everyone.
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' --silent-after "$silent" \
        --html 'G:\_Updates\_Status\index.html' >/dev/null 2>&1
    chromium_page "$STATUS_DIR/index.html" "$ROOT/build/status-board.png"
    check "page: Chromium renders a silent PCWS07 row, then an OK SERV01 row" bash -c \
        "grep -o '<tr class=\"[a-z]*\"><td class=\"state\" data-label=\"State\">[A-Z]*</td><td data-label=\"Machine\">[A-Z0-9]*' \
         '$ROOT/build/board.dom' | sed 's/.*>//' | tr '\n' ' ' | grep -qx 'PCWS07 SERV01 '"
    check "page: screenshots taken" test -s "$ROOT/build/status-board.png" -a -s "$ROOT/build/status-board-phone.png"

    APP=$serv_app
    MON=$serv_mon
    stop_monitor
    check "status: the stopping monitor's last report" test "$(value SERV01 last_event)" = "monitor stopping"
    stop_pcws
}
