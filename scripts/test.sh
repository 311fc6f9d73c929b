#!/usr/bin/env bash
# Runs every test: unit tests (native, ctest), the name-file fuzzer, and the
# end-to-end suite under Wine. Installs what a fresh Debian machine lacks.
# Ends with one line "N passed, N failed".
set -u
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

passed=0
failed=0
finish() {
    stop_wine
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}

install_missing || { echo "install failed"; failed=1; finish; }
build_all || { echo "build failed"; failed=1; finish; }

log "unit tests"
ctest --test-dir build/native -L unit --output-on-failure -j2 >build/ctest.log 2>&1
tail -n 3 build/ctest.log
unit_total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' build/ctest.log)
unit_failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1/p' build/ctest.log)
if [ -z "$unit_total" ]; then
    grep -E "Failed|\*\*\*" build/ctest.log | head -20
    failed=$((failed + 1))
else
    passed=$((passed + unit_total - unit_failed))
    failed=$((failed + unit_failed))
    [ "$unit_failed" -gt 0 ] && grep -E "\(Failed\)|\*\*\*Failed" build/ctest.log
fi

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

log "end-to-end under Wine"
bash tests/e2e/run.sh | tee build/e2e.log
e2e_passed=$(sed -n 's/^e2e: \([0-9]*\) passed, \([0-9]*\) failed$/\1/p' build/e2e.log)
e2e_failed=$(sed -n 's/^e2e: \([0-9]*\) passed, \([0-9]*\) failed$/\2/p' build/e2e.log)
passed=$((passed + ${e2e_passed:-0}))
failed=$((failed + ${e2e_failed:-1}))
finish
