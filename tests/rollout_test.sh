#!/usr/bin/env bash
# The rollout command line: bad command lines with exit code 2, input
# refused with exit code 3 before anything is written. Arguments: the
# rollout binary, the expected version.
source "$(dirname "$0")/tool_test_lib.sh"
rollout=$1
version=$2
cd "$dir" || exit 1
mkdir -p upd/_Status
printf 'MZ not a program\n' >build.exe
expect_rows "$rollout" <<TABLE
--version|0|rollout $version
status -h|0|usage: rollout start BUILD --folder UPDATE_FOLDER
|2|say start, status, list, resume or abort
begin build.exe --folder upd|2|unknown command 'begin'
start build.exe|2|--folder UPDATE_FOLDER is needed
start --folder upd|2|start needs the BUILD
start build.exe --folder upd --soak 10|2|--soak takes a span such as 30s
start build.exe --folder upd --take-limit 0m|2|--take-limit takes a span
start build.exe --folder upd --key a.pem --sig b.sig|2|give one of them
start build.exe --folder upd --sig b.sig|2|--sig needs --public UpdateKey.pem
status --folder upd --soak 5m|2|--soak goes with start
status --folder upd 7.2.0.0 extra|2|unexpected 'extra'
start build.exe --folder upd --machines 'PCWS01,PC WS'|3|'PC WS' holds a character that cannot be in a computer name
start build.exe --folder upd --machines PCWS0123456789AB|3|longer than the 15 characters
start build.exe --folder upd|3|'build.exe' is not a complete Win32 executable
start none.exe --folder upd|3|'none.exe' does not exist
status --folder upd|3|no rollout in 'upd
resume --folder upd|3|no rollout is under way
status --folder upd/_Status|3|'upd/_Status' is the update folder's _Status: --folder wants the update folder
TABLE
[ -z "$(ls -A upd/_Status)" ] && [ "$(ls -A upd)" = _Status ] || fail "something was written: $(ls -AR upd)"
echo "rollout command line: ok"
