#!/usr/bin/env bash
# The ordtool command line: round trip through a file, refusals with exit
# code 2, and the default name for files that name nobody.
set -u
ordtool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

for name in SERV01 'pc ws 9' 'Ñandú-1' '~!@#$%^&*()_+'; do
    "$ordtool" encode "$name" --key 3 >"$dir/MainMachine.ord" || fail "encode $name"
    [ "$("$ordtool" decode "$dir/MainMachine.ord")" = "$name" ] || fail "round trip $name"
done
for bad in '' 'A,B' 'A"B' $'A\tB' '中文'; do
    "$ordtool" encode "$bad" >/dev/null 2>&1
    [ $? -eq 2 ] || fail "encode should refuse '$bad' with 2"
done
"$ordtool" encode X --key 0 >/dev/null 2>&1 && fail "key 0 accepted"
[ "$("$ordtool" decode "$dir/missing.ord")" = MAINPC ] || fail "missing file"
[ "$("$ordtool" decode "$dir")" = MAINPC ] || fail "folder"
printf '"0,12,"\r\n' >"$dir/bad.ord"
[ "$("$ordtool" decode "$dir/bad.ord")" = MAINPC ] || fail "key 0 file"
echo "ordtool ok"
