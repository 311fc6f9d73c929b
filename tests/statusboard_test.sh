#!/usr/bin/env bash
# The statusboard command line: refusals with exit code 2, 1 for a folder
# with nobody in it or a machine down, 0 when all is well, --watch keeping
# its page and metrics fresh, the exports and the guide's alert rules
# accepted by jq and promtool.
set -u
board=$1
guide="$(dirname "$0")/../docs/guide.md"
dir=$(mktemp -d)
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
expect 2
expect 2 "$dir/st" --silent-after 0
expect 2 "$dir/st" --silent-after 12x
expect 2 "$dir/st" --watch 5
expect 2 "$dir/st" --json --watch 5 --html "$dir/page.html"
expect 2 "$dir/st" --prometheus "$dir/board.txt"
expect 2 "$dir/st" extra
expect 2 "$dir/missing"
expect 1 "$dir/st"
grep -q "no machine reports here" "$dir/out" || fail "empty folder not said"

report() {  # report NAME RUNNING
    printf 'status_format=1\r\nmachine=%s\r\nwritten=2024-03-07T18:05:09\r\nmanager_running=%s\r\nend=1\r\n' "$1" "$2" \
        >"$dir/st/$1.txt"
}
report SERV01 yes
expect 0 "$dir/st" --html "$dir/st/index.html"
grep -q '<tr class="ok">.*SERV01' "$dir/st/index.html" || fail "page lacks the SERV01 row"
report PCWS07 no
expect 1 "$dir/st"
[ "$(sed -n 3p "$dir/out" | cut -c1-27)" = "DOWN       PCWS07          " ] || fail "down machine not first: $(cat "$dir/out")"

expect 1 "$dir/st" --json --prometheus "$dir/board.prom"
jq -e '[.machines[] | .machine + " " + .state] == ["PCWS07 DOWN", "SERV01 OK"]' "$dir/out" >/dev/null ||
    fail "--json: $(cat "$dir/out")"
promtool check metrics <"$dir/board.prom" >"$dir/promtool.out" 2>&1 || fail "promtool: $(cat "$dir/promtool.out")"
sed -n '/^```yaml$/,/^```$/p' "$guide" | sed '1d;$d' >"$dir/rules.yml"
promtool check rules "$dir/rules.yml" >"$dir/promtool.out" 2>&1 || fail "the guide's alert rules: $(cat "$dir/promtool.out")"
grep -q 'SUCCESS: 3 rules found' "$dir/promtool.out" || fail "the guide's alert rules: $(cat "$dir/promtool.out")"
cp "$(dirname "$0")/hung_alert_test.yml" "$dir/"
promtool test rules "$dir/hung_alert_test.yml" >"$dir/promtool.out" 2>&1 || fail "the HUNG alert: $(cat "$dir/promtool.out")"

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
echo "statusboard ok"
