#!/usr/bin/env bash
# Runs every test: unit tests (native, ctest), the name-file fuzzer, and the
# end-to-end suite under Wine. Installs what a fresh Debian machine lacks.
# The end-to-end suite mostly waits on the monitor's ticks, so it starts as
# soon as what it runs is built, and the rest of the native build, the unit
# tests and the fuzzer run beside it at a lower priority, which leaves the
# processor to the suite's timed checks. Ends with one line "N passed, N failed".
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

passed=0
failed=0
e2e=
e2e_from=
e2e_took=
finish() {
    if [ -n "$e2e" ]; then
        kill -TERM "$e2e" 2>/dev/null
        wait "$e2e"
    fi
    log "$SECONDS s in all${e2e_took:+; the end-to-end suite from $e2e_from s on, $e2e_took s}"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}
trap 'echo "interrupted"; failed=$((failed + 1)); finish' INT TERM

install_missing || { echo "install failed"; failed=1; finish; }
# The Wine prefix boots beside the builds: it needs nothing of them.
mkdir -p build
make_base_prefix >build/prefix.log 2>&1 &
prefix=$!
build_preset win32 && build_preset native ordtool rollout statusboard updsign || { echo "build failed"; failed=1; finish; }
wait "$prefix"

log "end-to-end under Wine (build/e2e.log), beside the rest"
e2e_from=$SECONDS
bash tests/e2e/run.sh >build/e2e.log 2>&1 </dev/null &
e2e=$!
renice -n 19 -p $$ >/dev/null

unit_tests() {
    build_preset native || return 1
    log "unit tests"
    ctest --test-dir build/native -L unit --output-on-failure -j2 >build/ctest.log 2>&1
    tail -n 3 build/ctest.log
    unit_total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' build/ctest.log)
    unit_failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1/p' build/ctest.log)
    [ -n "$unit_total" ] || { grep -E "Failed|\*\*\*" build/ctest.log | head -20; return 1; }
    passed=$((passed + unit_total - unit_failed))
    failed=$((failed + unit_failed))
    [ "$unit_failed" -gt 0 ] && grep -E "\(Failed\)|\*\*\*Failed" build/ctest.log
    return 0
}
unit_tests || { echo "unit tests: build or run failed"; failed=$((failed + 1)); }

log "fuzzing the name-file reader"
mkdir -p build/fuzz/corpus
if clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Isrc -Ibuild/native/generated tests/fuzz/name_file_fuzz.cpp src/startup/main_machine.cpp src/core/app.cpp \
    -o build/fuzz/name_file_fuzz >build/fuzz/build.log 2>&1 &&
    build/fuzz/name_file_fuzz -runs=200000 -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
        build/fuzz/corpus tests/fuzz/corpus >build/fuzz/run.log 2>&1; then
    passed=$((passed + 1))
    echo "fuzz: $(grep -E '^Done' build/fuzz/run.log)"
else
    failed=$((failed + 1))
    tail -n 30 build/fuzz/build.log build/fuzz/run.log
fi

log "waiting for the end-to-end suite"
wait "$e2e"
e2e=
e2e_took=$((SECONDS - e2e_from))
cat build/e2e.log
e2e_passed=$(sed -n 's/^e2e: \([0-9]*\) passed, \([0-9]*\) failed$/\1/p' build/e2e.log)
e2e_failed=$(sed -n 's/^e2e: \([0-9]*\) passed, \([0-9]*\) failed$/\2/p' build/e2e.log)
passed=$((passed + ${e2e_passed:-0}))
failed=$((failed + ${e2e_failed:-1}))
finish
