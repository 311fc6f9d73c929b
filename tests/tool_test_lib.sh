# Sourced by the tests of the technician's tools: a scratch folder `dir`
# removed at the end, `fail`, and the runner of their command-line tables.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# expect_rows TOOL, rows "ARGS|CODE|TEXT" on standard input: TOOL with ARGS
# exits CODE, and TEXT is in what it printed, on standard output for 0, on
# standard error otherwise.
expect_rows() {
    local tool=$1 args code text out got
    while IFS='|' read -r args code text; do
        eval "set -- $args"
        out=$("$tool" "$@" 2>"$dir/err")
        got=$?
        [ "$got" -eq "$code" ] || fail "${tool##*/} $args: exit $got, expected $code: $(cat "$dir/err")"
        [ "$code" -eq 0 ] || out=$(cat "$dir/err")
        [[ "$out" == *"$text"* ]] || fail "${tool##*/} $args: expected '$text' in: $out"
    done
}
