# Status reports and the board, sourced by run.sh. A server and a
# workstation report to one status folder: each runs in a Wine prefix of its
# own, as each runs on a PC of its own (one Wine server is one machine to the
# single-instance guard).

PCWS_PREFIX="$RZ_OUT/wineprefix-pcws"
STATUS_G="$RZ_OUT/e2e-status-g"  # the server's drive G, shared as \\SERV01\G
STATUS_DIR="$STATUS_G/_Updates/_Status"

# pcws CMD...: runs CMD as the workstation.
pcws() { WINEPREFIX="$PCWS_PREFIX" "$@"; }

start_pcws_prefix() {
    (WINEPREFIX="$PCWS_PREFIX" && make_prefix)
    (WINEPREFIX="$PCWS_PREFIX" && main_unreachable)
    mkdir -p "$PCWS_PREFIX/dosdevices/unc/SERV01"
    ln -sfn "$STATUS_G" "$PCWS_PREFIX/dosdevices/unc/SERV01/G"
    (WINEPREFIX="$PCWS_PREFIX" && set_computer_name PCWS07)
}

stop_pcws() { pcws wineserver -k 2>/dev/null; return 0; }

value() { sed -n "s/^$2=//p" "$STATUS_DIR/$1.txt" 2>/dev/null | tr -d '\r'; }  # value MACHINE KEY

# board ARGS...: the native board; sets BOARD_EXIT, output in build/board.out.
board() {
    "$ROOT/build/native/statusboard" "$STATUS_DIR" "$@" >"$RZ_OUT/board.out" 2>&1
    BOARD_EXIT=$?
}

board_row() { grep -E "^$1 +$2 " "$RZ_OUT/board.out" >/dev/null; }  # board_row STATE MACHINE

# serve LOG READY COMMAND...: starts COMMAND, in whose arguments ADDRESS
# stands for a free address of 127.0.0.1, until the path READY answers
# there; sets SERVED_PID and SERVED_ADDRESS. A taken port ends the program
# at once: then another one.
serve() {
    local log=$1 ready=$2 attempt
    shift 2
    for attempt in 1 2 3 4 5; do
        SERVED_ADDRESS="127.0.0.1:$((20000 + RANDOM % 20000))"
        "${@//ADDRESS/$SERVED_ADDRESS}" >"$log" 2>&1 &
        SERVED_PID=$!
        for _ in $(seq 100); do
            kill -0 "$SERVED_PID" 2>/dev/null || break
            curl -sf "http://$SERVED_ADDRESS$ready" >/dev/null && return 0
            sleep 0.1
        done
        stop_served "$SERVED_PID"
    done
    SERVED_PID=
    return 1
}
stop_served() { [ -n "$1" ] && kill "$1" 2>/dev/null && wait "$1" 2>/dev/null; return 0; }

# A node exporter serving only the textfile collector; stopped by its pid
# at the end of the case or of the suite.
EXPORTER_PID=
start_exporter() {  # start_exporter DIR: sets EXPORTER_ADDRESS and EXPORTER_URL
    serve "$RZ_OUT/exporter.log" / prometheus-node-exporter --web.listen-address=ADDRESS \
        --collector.disable-defaults --collector.textfile --collector.textfile.directory="$1"
    local started=$?
    EXPORTER_PID=$SERVED_PID
    EXPORTER_ADDRESS=$SERVED_ADDRESS
    EXPORTER_URL="http://$EXPORTER_ADDRESS/metrics"
    return $started
}
stop_exporter() { stop_served "$EXPORTER_PID"; EXPORTER_PID=; }

# pcws_kill_manager / serv_kill_manager: an event for the monitor's next tick.
serv_kill_manager() { kill_own 'e2e.st_serv.KORUMGR.exe' -KILL; }
pcws_kill_manager() { (WINEPREFIX="$PCWS_PREFIX" && kill_own 'e2e.st_pcws.KORUMGR.exe' -KILL); }

# A reader that holds SERV01.txt without delete sharing while an event falls
# due: the move over it fails (under Wine even with delete sharing), one
# record, and the report lands at the first tick after the reader lets go.
status_held_report() {
    local deb="$1/ROREROZARIRADI.deb" failed resumed
    failed=$(count "$deb" 'STATUS REPORT FAILED')
    resumed=$(count "$deb" 'STATUS REPORT RESUMED')
    wine "$W32/fixtures/holdfile.exe" 'G:\_Updates\_Status\SERV01.txt' 9 >"$RZ_OUT/hold.out" 2>&1 &
    local holder=$!
    wait_for "$RZ_OUT/hold.out" holding 10
    serv_kill_manager
    check "held report: the failed move is recorded once" wait_for_count "$deb" \
        "STATUS REPORT FAILED: 'G:\\\\_Updates\\\\_Status\\\\SERV01.txt' cannot be written, error 5" $((failed + 1)) 8
    wait "$holder"
    local released=$(date +%s%N)
    # One tick (5 s) and the worker's write, counted in whole seconds; the
    # tick after that would be 10 s on.
    check "held report: written again at the first tick after the reader lets go" \
        wait_for_count "$deb" 'STATUS REPORT RESUMED' $((resumed + 1)) 9
    echo "     written $((($(date +%s%N) - released) / 1000000)) ms after the reader let go"
    check "held report: one record for the whole hold, not one per tick" \
        test "$(count "$deb" 'STATUS REPORT FAILED')" = $((failed + 1))

    # The board's own way of opening a report leaves room for a delete.
    printf 'x\r\n' >"$STATUS_G/_Updates/held.txt"
    wine "$W32/fixtures/holdfile.exe" --as-board 'G:\_Updates\held.txt' 3 >"$RZ_OUT/hold.out" 2>&1 &
    holder=$!
    wait_for "$RZ_OUT/hold.out" holding 10
    wine cmd /c 'del G:\_Updates\held.txt' >/dev/null 2>&1
    wait "$holder"
    check "board: a report it holds open can be deleted (delete sharing)" test ! -e "$STATUS_G/_Updates/held.txt"
}

# Both machines lose the update folder: the server's G: goes away, the
# workstation's \\SERV01\G names a missing folder. One record each way.
status_outage() {
    local serv_deb="$1/ROREROZARIRADI.deb" pcws_deb="$2/ROREROZARIRADI.deb" serv_records pcws_records
    serv_records=$(count "$serv_deb" 'STATUS REPORT')
    pcws_records=$(count "$pcws_deb" 'STATUS REPORT')
    rm "$WINEPREFIX/dosdevices/g:"
    ln -sfn "$STATUS_G-gone" "$PCWS_PREFIX/dosdevices/unc/SERV01/G"
    serv_kill_manager
    pcws_kill_manager
    check "outage: the server's gone G: is recorded" wait_for "$serv_deb" \
        "STATUS REPORT FAILED: 'G:\\\\_Updates\\\\_Status\\\\SERV01.txt' cannot be written, error 3" 10
    check "outage: the workstation's share naming a missing folder is recorded" wait_for "$pcws_deb" \
        "STATUS REPORT FAILED: '\\\\\\\\SERV01\\\\G\\\\_Updates\\\\_Status\\\\PCWS07.txt' cannot be written, error 3" 10
    ln -sfn "$STATUS_G" "$WINEPREFIX/dosdevices/g:"
    ln -sfn "$STATUS_G" "$PCWS_PREFIX/dosdevices/unc/SERV01/G"
    check "outage: the server resumes within a heartbeat" \
        wait_for_count "$serv_deb" 'STATUS REPORT RESUMED' $(($(count "$serv_deb" 'STATUS REPORT RESUMED') + 1)) 65
    check "outage: the workstation resumes within a heartbeat" wait_for "$pcws_deb" 'STATUS REPORT RESUMED' 10
    check "outage: one record each way on each machine" test \
        "$(count "$serv_deb" 'STATUS REPORT')|$(count "$pcws_deb" 'STATUS REPORT')" = \
        "$((serv_records + 2))|$((pcws_records + 2))"
}

# The board's facts for existing monitoring, from the Windows build: a JSON
# document and a textfile for a node exporter, checked by the real tools.
status_exports() {
    local silent=$1 metrics="$STATUS_G/metrics"
    mkdir -p "$metrics"
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' --silent-after "$silent" --json \
        --prometheus 'G:\metrics\statusboard.prom' >"$RZ_OUT/board.json" 2>"$RZ_OUT/board-json.err"
    check "json: parsed by jq, PCWS07 silent, SERV01 OK with its whole report" jq -e \
        '.machines | map({(.machine): [.state, .report.manager_running, .report.end]}) | add ==
         {"PCWS07": ["SILENT", "yes", "1"], "SERV01": ["OK", "yes", "1"]}' "$RZ_OUT/board.json"
    check "metrics: promtool check metrics accepts the file" \
        bash -c "promtool check metrics <'$metrics/statusboard.prom' >'$RZ_OUT/promtool.out' 2>&1"
    start_exporter "$metrics"
    check "metrics: a node exporter started on 127.0.0.1" test -n "$EXPORTER_PID"
    curl -sf "$EXPORTER_URL" >"$RZ_OUT/exporter.out"
    check "metrics: served over HTTP, PCWS07 silent, SERV01's manager up and builds, the board's run, no scrape error" bash -c \
        "grep -qx 'rorerozariradi_machine_state{machine=\"PCWS07\",state=\"SILENT\"} 1' '$RZ_OUT/exporter.out' &&
         grep -qx 'rorerozariradi_manager_up{machine=\"SERV01\"} 1' '$RZ_OUT/exporter.out' &&
         grep -q '^rorerozariradi_last_update{machine=\"SERV01\",result=\"applied\"} 0' '$RZ_OUT/exporter.out' &&
         grep -q '^rorerozariradi_machine_info{machine=\"SERV01\",manager_version=\"[0-9.]*\",monitor_version=\"$VERSION\"} 1' '$RZ_OUT/exporter.out' &&
         grep -q '^rorerozariradi_report_written_timestamp_seconds{machine=\"PCWS07\"} [0-9.e+]*$' '$RZ_OUT/exporter.out' &&
         grep -qx 'rorerozariradi_board_folder_readable 1' '$RZ_OUT/exporter.out' &&
         grep -qx 'node_textfile_scrape_error 0' '$RZ_OUT/exporter.out'"
    stop_exporter
    # The folder out of reach for a run: what the board knew beside its metrics.
    mv "$STATUS_DIR" "$STATUS_DIR-away"
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' --silent-after "$silent" \
        --prometheus 'G:\metrics\statusboard.prom' >"$RZ_OUT/board-outage.out" 2>&1
    local code=$?
    mv "$STATUS_DIR-away" "$STATUS_DIR"
    SEEN="exit $code, $(ls "$metrics")"
    check "metrics: the folder out of reach, exit 2, the last known machines kept beside the metrics" bash -c \
        "[ $code = 2 ] && grep -qx 'rorerozariradi_board_folder_readable 0' '$metrics/statusboard.prom' &&
         grep -qx 'rorerozariradi_machine_state{machine=\"PCWS07\",state=\"SILENT\"} 1' '$metrics/statusboard.prom' &&
         [ -s '$metrics/statusboard.prom.last-known.json' ]"
}

# chromium_page HTML PNG: the rendered page's DOM in build/board.dom, and
# screenshots as a desk browser (PNG) and a phone (PNG with -phone) show it.
chromium_page() {
    local args=(--headless --no-sandbox --disable-gpu --user-data-dir="$RZ_OUT/chromium-profile")
    timeout 90 chromium "${args[@]}" --dump-dom "file://$1" >"$RZ_OUT/board.dom" 2>"$RZ_OUT/chromium.log"
    timeout 90 chromium "${args[@]}" --window-size=1000,330 --screenshot="$2" "file://$1" >>"$RZ_OUT/chromium.log" 2>&1
    timeout 90 chromium "${args[@]}" --window-size=390,640 --screenshot="${2%.png}-phone.png" "file://$1" \
        >>"$RZ_OUT/chromium.log" 2>&1
}

case_status() {
    trap 'stop_exporter; stop_pcws; end_case' EXIT
    start_pcws_prefix
    fresh_g "$STATUS_G" "$STATUS_DIR"

    new_app st_serv
    touch "$APP/ROREROZARIRADI.deb"
    set_computer_name SERV01
    start_monitor
    local serv_app=$APP serv_mon=$MON
    local pcws_app="$PCWS_PREFIX/drive_c/e2e/st_pcws"
    rm -rf "$pcws_app" && mkdir -p "$pcws_app"
    touch "$pcws_app/ROREROZARIRADI.deb"
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
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' >"$RZ_OUT/board-wine.out" 2>&1
    local wine_exit=$?
    check "board: the Windows build lists both under Wine, exit code 0" bash -c \
        "[ $wine_exit = 0 ] && grep -q '^OK *PCWS07 ' '$RZ_OUT/board-wine.out' &&
         grep -q '^OK *SERV01 ' '$RZ_OUT/board-wine.out'"

    status_held_report "$serv_app"
    status_outage "$serv_app" "$pcws_app"

    # The workstation's monitor dies; the server's stays fresh through an event.
    { kill -KILL "$pcws_mon" && wait "$pcws_mon"; } 2>/dev/null
    # Its last report is laid out as written longer ago than the board's
    # limit, which only the file's time tells, instead of waiting that out.
    local silent=12 starts
    touch -d "@$(($(date +%s) - silent - 8))" "$STATUS_DIR/PCWS07.txt"
    starts=$(($(count "$serv_app/standin.log" started) + 1))
    serv_kill_manager
    wait_for_count "$serv_app/standin.log" started "$starts" 12
    pid=$(sed -n 's/.*pid=\([0-9]*\) started.*/\1/p' "$serv_app/standin.log" | tail -n 1)
    wait_for "$STATUS_DIR/SERV01.txt" "^manager_pid=$pid" 10
    check "status: the restart is reported in the tick that made it" test \
        "$(value SERV01 last_event)|$(value SERV01 starts_24h)|$(value SERV01 manager_pid)" = "manager started|$starts|$pid"
    board --silent-after "$silent"
    check "board: the killed monitor's machine is silent, listed first, exit code 1" bash -c \
        "[ $BOARD_EXIT = 1 ] && sed -n 3p '$RZ_OUT/board.out' | grep -q '^SILENT *PCWS07 ' &&
         sed -n 4p '$RZ_OUT/board.out' | grep -q '^OK *SERV01 '"

    # The page as the server keeps it in the status folder for everyone.
    wine "C:\\e2e\\st_serv\\statusboard.exe" 'G:\_Updates\_Status' --silent-after "$silent" \
        --html 'G:\_Updates\_Status\index.html' >/dev/null 2>&1
    chromium_page "$STATUS_DIR/index.html" "$RZ_OUT/status-board.png"
    check "page: Chromium renders a silent PCWS07 row, then an OK SERV01 row" bash -c \
        "grep -o '<tr class=\"[a-z]*\"><td class=\"state\" data-label=\"State\">[A-Z]*</td><td data-label=\"Machine\">[A-Z0-9]*' \
         '$RZ_OUT/board.dom' | sed 's/.*>//' | tr '\n' ' ' | grep -qx 'PCWS07 SERV01 '"
    check "page: screenshots taken" test -s "$RZ_OUT/status-board.png" -a -s "$RZ_OUT/status-board-phone.png"
    status_exports "$silent"

    APP=$serv_app
    MON=$serv_mon
    stop_monitor
    check "status: the stopping monitor's last report" test "$(value SERV01 last_event)" = "monitor stopping"
    stop_pcws
}

# A Prometheus with CONFIG, its data in DIR.
PROMETHEUS_PID=
start_prometheus() {  # start_prometheus CONFIG DIR: sets PROMETHEUS_URL
    serve "$2/prometheus.log" /-/ready prometheus --config.file="$1" --storage.tsdb.path="$2/data" \
        --web.listen-address=ADDRESS
    local started=$?
    PROMETHEUS_PID=$SERVED_PID
    PROMETHEUS_URL="http://$SERVED_ADDRESS"
    return $started
}
stop_prometheus() { stop_served "$PROMETHEUS_PID"; PROMETHEUS_PID=; }

# The firing alerts as "NAME MACHINE activeAt" lines; machine alerts only
# with `machines` as the first argument.
firing() {
    curl -sf "$PROMETHEUS_URL/api/v1/alerts" | jq -r '.data.alerts[] | select(.state == "firing")
        | "\(.labels.alertname) \(.labels.machine // "-") \(.activeAt)"' |
        { [ "${1:-}" = machines ] && grep -v '^Status\(Folder\|Board\)' || cat; } | sort
}
# wait_firing SECONDS ALERT...: until these alerts (NAME or NAME MACHINE) fire.
wait_firing() {
    local end=$((SECONDS + $1)) want
    shift
    while [ $SECONDS -lt $end ]; do
        for want in "$@"; do firing | grep -q "^$want " || { sleep 0.5; continue 2; }; done
        return 0
    done
    return 1
}

# The board's metrics through a real node exporter into a real Prometheus
# that loads the guide's alert rules with their minutes made seconds (a
# minute of the rules is 2 s here), from hand-written reports: a folder out
# of reach for 12 s changes no firing machine alert and starts none, and a
# stopped board raises StatusBoardSilent and no MonitorSilent.
case_status_alerts() {
    local d="$RZ_OUT/e2e-alerts" toucher= board_pid= f
    trap 'stop_prometheus; stop_exporter; [ -n "$toucher" ] && kill "$toucher"; [ -n "$board_pid" ] && kill "$board_pid"; end_case' EXIT
    rm -rf "$d" && mkdir -p "$d/st" "$d/textfile"
    report_file() {  # report_file NAME RUNNING
        printf 'status_format=1\r\nmachine=%s\r\nwritten=2024-03-07T18:05:09\r\nmanager_running=%s\r\nend=1\r\n' \
            "$1" "$2" >"$d/st/$1.txt"
    }
    report_file SERV01 no
    report_file PCWS07 yes
    report_file PCWS08 yes && touch -d '-60 seconds' "$d/st/PCWS08.txt"
    echo 'Remember to water the plants' >"$d/st/junk.txt"
    # The monitors of SERV01 and PCWS07 go on writing, wherever the folder is.
    while :; do
        for f in "$d"/st/SERV01.txt "$d"/st/PCWS07.txt "$d"/away/SERV01.txt "$d"/away/PCWS07.txt; do
            [ -e "$f" ] && touch "$f"
        done
        sleep 1
    done &
    toucher=$!
    perl -pe 's/for: (\d+)m/"for: " . $1 * 2 . "s"/e; s/(timestamp_seconds) > (\d+)/"$1 > " . $2 \/ 30/e' \
        "$ROOT/docs/alert-rules.yml" >"$d/rules.yml"
    "$ROOT/build/native/statusboard" "$d/st" --prometheus "$d/textfile/statusboard.prom" --watch 1 \
        --silent-after 6 >"$d/board.out" 2>&1 &
    board_pid=$!
    start_exporter "$d/textfile"
    cat >"$d/prometheus.yml" <<YAML
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: ['$d/rules.yml']
scrape_configs:
  - job_name: node
    static_configs: [{targets: ['$EXPORTER_ADDRESS']}]
YAML
    check "alerts: a node exporter and a Prometheus with the guide's rules, in seconds" bash -c \
        "[ -n '$EXPORTER_PID' ] && promtool check config '$d/prometheus.yml' >'$d/promtool.out' 2>&1"
    start_prometheus "$d/prometheus.yml" "$d"
    check "alerts: the machine alerts fire: SERV01 down, PCWS08 silent, junk.txt unreadable" \
        wait_firing 40 "ManagerDown SERV01" "MonitorSilent PCWS08" "StatusReportUnreadable junk"
    local before during=
    before=$(firing machines)
    SEEN=$before
    check "alerts: nothing else fires for the machines" test "$(echo "$before" | cut -d' ' -f1,2 | tr '\n' ' ')" = \
        "ManagerDown SERV01 MonitorSilent PCWS08 StatusReportUnreadable junk "

    mv "$d/st" "$d/away"
    local end=$((SECONDS + 13))  # whole seconds: at least 12
    while [ $SECONDS -lt $end ]; do
        [ "$(firing machines)" = "$before" ] || during="$during | $(firing machines | tr '\n' ' ')"
        sleep 0.5
    done
    mv "$d/away" "$d/st"
    check "alerts: the board could not list the folder meanwhile" grep -q 'cannot list' "$d/board.out"
    SEEN=$during
    check "alerts: for the 12 s out of reach, the same machine alerts fire, none restarted" test -z "$during"
    sleep 4
    SEEN=$(firing machines | tr '\n' ' ')
    check "alerts: and after it, the same ones, firing since the same moments" test "$(firing machines)" = "$before"

    kill "$board_pid" && wait "$board_pid" 2>/dev/null
    board_pid=
    local stopped=$SECONDS
    check "alerts: the stopped board raises StatusBoardSilent" wait_firing 40 "StatusBoardSilent"
    while [ $((SECONDS - stopped)) -lt 24 ]; do sleep 1; done  # 12 minutes of the rules
    SEEN=$(firing | cut -d' ' -f1,2 | tr '\n' ' ')
    check "alerts: and no MonitorSilent for the machines that kept reporting" test "$(firing | grep -c '^MonitorSilent')" = 1
    stop_prometheus
    stop_exporter
    kill "$toucher"
    trap end_case EXIT
}
