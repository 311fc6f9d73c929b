#!/usr/bin/env bash
# The statusboard command line: refusals with exit code 2, 1 for a folder
# with nobody in it or a machine down, 0 when all is well, --watch keeping
# its page and metrics fresh, the exports and the guide's alert rules
# accepted by jq and promtool. Arguments: the statusboard binary, the
# expected version.
set -u
board=$1
version=$2
docs="$(dirname "$0")/../docs"
rules="$(dirname "$0")/../docs/alert-rules.yml"
dir=$(mktemp -d)
guide="$dir/guide.md"  # its pages, in the order of GUIDE.txt
cat "$docs/guide.md" "$docs/tasks.md" "$docs/reference.md" >"$guide"
watcher=
trap '[ -n "$watcher" ] && kill "$watcher" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
expect() {  # expect CODE ARGS...
    local want=$1
    shift
    "$board" "$@" >"$dir/out" 2>&1
    local got=$?
    [ "$got" = "$want" ] || fail "statusboard $* gave $got, not $want: $(cat "$dir/out")"
}

mkdir "$dir/st"
expect 0 --version
[ "$(cat "$dir/out")" = "statusboard $version" ] || fail "--version: $(cat "$dir/out")"
expect 0 "$dir/st" -h
grep -q '^usage: statusboard FOLDER' "$dir/out" || fail "-h: $(cat "$dir/out")"
expect 2 "$dir/st" --frob
expect 2
expect 2 "$dir/st" --silent-after 0
expect 2 "$dir/st" --silent-after 12x
expect 2 "$dir/st" --watch 5
expect 2 "$dir/st" --json --watch 5 --html "$dir/page.html"
expect 2 "$dir/st" --prometheus "$dir/board.txt"
expect 2 "$dir/st" extra
expect 2 "$dir/missing"
grep -q " since " "$dir/out" && fail "a run that keeps nothing claims to know since when: $(cat "$dir/out")"
expect 1 "$dir/st"
grep -q "no machine reports here" "$dir/out" || fail "empty folder not said"

report() {  # report NAME RUNNING [LAST_UPDATE]
    printf 'status_format=1\r\nmachine=%s\r\nwritten=2024-03-07T18:05:09\r\nmanager_running=%s\r\nlast_update=%s\r\nend=1\r\n' \
        "$1" "$2" "${3:-}" >"$dir/st/$1.txt"
}
report SERV01 yes
expect 0 "$dir/st" --html "$dir/st/index.html"
grep -q '<tr class="ok">.*SERV01' "$dir/st/index.html" || fail "page lacks the SERV01 row"
report PCWS07 no
expect 1 "$dir/st"
[ "$(sed -n 3p "$dir/out" | cut -c1-28)" = "DOWN        PCWS07          " ] || fail "down machine not first: $(cat "$dir/out")"

expect 1 "$dir/st" --json --prometheus "$dir/board.prom"
jq -e '[.machines[] | .machine + " " + .state] == ["PCWS07 DOWN", "SERV01 OK"]' "$dir/out" >/dev/null ||
    fail "--json: $(cat "$dir/out")"
promtool check metrics <"$dir/board.prom" >"$dir/promtool.out" 2>&1 || fail "promtool: $(cat "$dir/promtool.out")"
# The guide shows, word for word, the very rules that the promtool test
# (alert_rules) checks and the service and its settings that the .deb installs.
guide_shows() {  # guide_shows FILE: in a block of its own
    awk -v want="$(cat "$1")" '/^```/ { if (open && block == want "\n") found = 1; open = !open; block = ""; next }
        open { block = block $0 "\n" } END { exit !found }' "$guide"
}
tools="$(dirname "$0")/../tools/statusboard"
for shown in "$rules" "$tools/statusboard.service" "$tools/statusboard.default"; do
    guide_shows "$shown" || fail "the guide does not show $shown as it is"
done
# Every key the monitor writes stands in the reference's key table and in its sample report.
for key in $(sed -n '/kReportKeys\[\] = {/,/};/p' "$(dirname "$0")/../src/diag/status_format.h" | grep -o '"[a-z0-9_]*"' | tr -d '"'); do
    grep -qE "^\| (\`[a-z0-9_]+\`, )*\`$key\`" "$docs/reference.md" && grep -qE "^$key=" "$docs/reference.md" ||
        fail "the reference's key table or sample report lacks $key"
done

# The file's time as Unix time; a name that is not ASCII as UTF-8; a folder
# that cannot be listed leaves the board's own series and no machine's.
touch -d @1709834709 "$dir/st/PCWS07.txt"
printf 'x\n' >"$dir/st/Café.txt"
expect 1 "$dir/st" --prometheus "$dir/board.prom"
for line in 'rorerozariradi_report_written_timestamp_seconds{machine="PCWS07"} 1709834709' \
    'rorerozariradi_machine_state{machine="Café",state="UNREADABLE"} 1' 'rorerozariradi_board_folder_readable 1'; do
    grep -qxF "$line" "$dir/board.prom" || fail "metrics lack $line: $(cat "$dir/board.prom")"
done
rm "$dir/st/Café.txt"
expect 2 "$dir/missing" --prometheus "$dir/board.prom"
grep -qx 'rorerozariradi_board_folder_readable 0' "$dir/board.prom" && ! grep -q 'machine=' "$dir/board.prom" ||
    fail "unlistable folder never read: $(cat "$dir/board.prom")"

# A refused update is trouble; a folder gone after a good run leaves the
# last known machines in the metrics, the page and the lines, said as such;
# a damaged memory is passed over with a message.
report SERV01 yes refused
expect 1 "$dir/st" --prometheus "$dir/board.prom" --html "$dir/page.html"
grep -qE '^NOT_UPDATED +SERV01 ' "$dir/out" || fail "refused update not trouble: $(cat "$dir/out")"
# The reason and the monitor's own rollback reach the line and the metrics.
printf 'monitor_version=15.0.0.0\r\nmonitor_update=rolled back\r\nmonitor_update_version=15.1.0.0\r\nlast_update_reason=UPDATE REFUSED: why\r\nend=1\r\n' |
    (sed '/^end=1/d' "$dir/st/SERV01.txt"; cat) >"$dir/st/x" && mv "$dir/st/x" "$dir/st/SERV01.txt"
expect 1 "$dir/st" --prometheus "$dir/m.prom"
grep -qE '^NOT_UPDATED +SERV01 .* 15.0.0.0 \(15.1.0.0 rolled back\) .*; UPDATE REFUSED: why$' "$dir/out" &&
    grep -qx 'rorerozariradi_monitor_update{machine="SERV01",result="rolled_back"} 1' "$dir/m.prom" ||
    fail "the monitor's rollback or the reason: $(cat "$dir/out")"
mv "$dir/st" "$dir/away"
expect 2 "$dir/st" --prometheus "$dir/board.prom" --html "$dir/page.html"
grep -q 'cannot be read since .*last known, as read at .*: 2 machines, 2 needing attention' "$dir/out" &&
    grep -qx 'rorerozariradi_machine_state{machine="SERV01",state="NOT_UPDATED"} 1' "$dir/board.prom" &&
    grep -qx 'rorerozariradi_board_folder_readable 0' "$dir/board.prom" &&
    grep -q '<p class="outage">The status folder cannot be read since' "$dir/page.html" ||
    fail "outage after a good run: $(cat "$dir/out" "$dir/board.prom")"
mv "$dir/away" "$dir/st"
echo '{"board_memory": 1, "folder": ' >"$dir/board.prom.last-known.json"
expect 1 "$dir/st" --prometheus "$dir/board.prom"
grep -q "board.prom.last-known.json' is damaged (not JSON); what the board last knew is passed over" "$dir/out" ||
    fail "damaged memory: $(cat "$dir/out")"
report SERV01 yes applied

rm "$dir/st/index.html" "$dir/board.prom"
"$board" "$dir/st" --html "$dir/st/index.html" --prometheus "$dir/board.prom" --watch 1 >"$dir/watch.out" 2>&1 &
watcher=$!
for _ in $(seq 50); do [ -s "$dir/st/index.html" ] && break; sleep 0.1; done
grep -q 'http-equiv="refresh" content="1"' "$dir/st/index.html" || fail "--watch page missing or not refreshing"
grep -q 'machine="PCWS07"' "$dir/board.prom" || fail "--watch metrics missing"
rm "$dir/st/PCWS07.txt"
sleep 2.5
grep -q PCWS07 "$dir/st/index.html" "$dir/board.prom" && fail "--watch did not rewrite the page and the metrics"
kill -0 "$watcher" || fail "--watch ended"
[ -s "$dir/watch.out" ] && fail "--watch printed: $(cat "$dir/watch.out")"
mv "$dir/st" "$dir/away" && sleep 1.5  # its page with it: only the metrics can be written
grep -qx 'rorerozariradi_board_folder_readable 0' "$dir/board.prom" && grep -q 'machine="SERV01"' "$dir/board.prom" ||
    fail "--watch lost the last known machines in an outage: $(cat "$dir/board.prom")"
echo "statusboard ok"
