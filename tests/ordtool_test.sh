#!/usr/bin/env bash
# The ordtool command line: round trip through a file, refusals with exit
# code 2 and their messages, and the reason given when decode falls back to
# the default name. Arguments: the ordtool binary, the expected version.
source "$(dirname "$0")/tool_test_lib.sh"
ordtool=$1
version=$2

for name in SERV01 'pc ws 9' 'Ñandú-1' '~!@#$%^&*()_+'; do
    "$ordtool" encode "$name" --key 3 >"$dir/MainMachine.ord" || fail "encode $name"
    [ "$("$ordtool" decode "$dir/MainMachine.ord")" = "$name" ] || fail "round trip $name"
done
# Installed files must keep decoding the same; options go anywhere.
[ "$("$ordtool" --key 3 encode SERV01)" = '"3,585,750,216,213,357,315,"' ] || fail "known line, key first"
[ "$("$ordtool" encode -k 3 SERV01)" = '"3,585,750,216,213,357,315,"' ] || fail "known line, -k in the middle"
"$ordtool" encode MAIN2 -o "$dir/out.ord" || fail "--output"
[ "$(head -c 1 "$dir/out.ord")" = '"' ] && [ "$(tail -c 2 "$dir/out.ord" | od -An -c | tr -d ' ')" = '\r\n' ] ||
    fail "--output writes one CR LF line"
[ "$("$ordtool" decode "$dir/out.ord")" = MAIN2 ] || fail "--output round trip"

expect_rows "$ordtool" <<TABLE
--help|0|default 7
-h|0|usage: ordtool encode NAME
decode x --help|0|MainMachine.ord
--version|0|ordtool $version
encode X --key 0|2|key must be one digit from 1 to 9, not '0'
encode X --key 10|2|not '10'
--key=x encode X|2|not 'x'
encode X --key|2|--key needs a value
encode|2|encode takes one NAME
encode A B|2|encode takes one NAME
decode F --key 3|2|decode takes no --key
frob X|2|unknown command 'frob'
encode X --frob|2|unknown option '--frob'
|2|say encode NAME or decode FILE
encode 'A,B'|2|without commas or double quotes
encode ''|2|non-empty
encode \$'A\tB'|2|printable
encode '中文'|2|8-bit code page
TABLE

# file content -> the reason decode gives for the default name
printf '"0,12,"\r\n' >"$dir/key0.ord"
: >"$dir/empty.ord"
head -c 70000 /dev/zero | tr '\0' 'x' >"$dir/big.ord"
"$ordtool" encode MAIN2 | iconv -f UTF-8 -t UTF-16 >"$dir/utf16.ord"
"$ordtool" encode MAIN2 | iconv -f UTF-8 -t UTF-16LE >"$dir/utf16le.ord"
{ printf '\xEF\xBB\xBF'; "$ordtool" encode MAIN2; } >"$dir/bom.ord"
mkdir "$dir/folder.ord"
while IFS='|' read -r file why; do
    out=$("$ordtool" decode "$dir/$file" 2>"$dir/err") || fail "decode $file: exit code"
    [ "$out" = MAINPC ] || fail "decode $file: '$out' instead of the default name"
    grep -qF "$why" "$dir/err" || fail "decode $file: expected '$why' in: $(cat "$dir/err")"
done <<'TABLE'
missing.ord|does not exist
folder.ord|is a folder
empty.ord|is empty
big.ord|is larger than 65536 bytes
key0.ord|holds no item that decodes
utf16.ord|saved as UTF-16 or with a byte-order mark
utf16le.ord|saved as UTF-16 or with a byte-order mark
bom.ord|saved as UTF-16 or with a byte-order mark
TABLE
"$ordtool" decode "$dir/out.ord" 2>"$dir/err" >/dev/null
[ -s "$dir/err" ] && fail "a good file gets a complaint: $(cat "$dir/err")"
echo "ordtool ok"
