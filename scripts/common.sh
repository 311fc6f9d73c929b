# Shared by scripts/test.sh, scripts/demo.sh and the end-to-end suite.
# Installs what a fresh Debian machine lacks, builds both presets, and sets
# up Wine (prefix under build/, an Xvfb display).

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '== %s\n' "$*" >&2; }

install_missing() {
    local need=()
    command -v cmake >/dev/null || need+=(cmake)
    command -v g++ >/dev/null || need+=(g++)
    command -v clang++ >/dev/null || need+=(clang)
    [ -f /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] ||
        ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
    [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
    [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
    [ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
    # rollout reads a build's version resource on the host with LLVM's object library.
    ls /usr/lib/llvm-*/lib/cmake/llvm/LLVMConfig.cmake >/dev/null 2>&1 || need+=(llvm-dev)
    command -v openssl >/dev/null || need+=(openssl)
    command -v i686-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-i686)
    command -v wine >/dev/null || need+=(wine)
    dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
    command -v Xvfb >/dev/null || need+=(xvfb)
    command -v chromium >/dev/null || need+=(chromium)
    command -v unzip >/dev/null || need+=(unzip)
    command -v osslsigncode >/dev/null || need+=(osslsigncode)  # the release's Authenticode signatures
    { command -v import >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick; } || need+=(imagemagick)
    # The status board's exports, checked by the tools that read them.
    command -v promtool >/dev/null || need+=(prometheus)
    command -v prometheus-node-exporter >/dev/null || need+=(prometheus-node-exporter)
    command -v curl >/dev/null || need+=(curl)
    command -v jq >/dev/null || need+=(jq)
    [ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
    # The tools' Debian package: its library dependencies, and its service checked.
    command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
    command -v systemd-analyze >/dev/null || need+=(systemd)
    # The end-to-end suite's slow share: a FUSE pass-through.
    command -v fusermount3 >/dev/null || need+=(fuse3)
    [ -f /usr/lib/python3/dist-packages/fusepy.py ] || need+=(python3-fusepy)
    [ ${#need[@]} -eq 0 ] && return 0
    log "installing: ${need[*]}"
    if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null
}

# build_preset PRESET [TARGET...]: configures PRESET and builds it whole, or
# only the targets named. One build of a preset at a time in this clone: a
# second script's build, or the package an end-to-end case makes, would
# rewrite files under the first.
build_preset() {
    log "building $1${2:+ (${*:2})}"
    with_build_lock "$1" build_now "$@"
}
# A whole win32 build includes the programs that stand in for the centre's
# in the tests, which the release leaves out.
build_now() {
    local preset=$1 targets=()
    [ "$preset" = win32 ] && targets=(--target all test_programs)
    [ $# -gt 1 ] && targets=(--target "${@:2}")
    cd "$ROOT" && cmake --preset "$preset" >/dev/null &&
        cmake --build "build/$preset" -j2 ${targets[@]+"${targets[@]}"} >/dev/null
}
build_all() { build_preset native && build_preset win32; }

# with_build_lock PRESET CMD...: runs CMD holding the lock of PRESET's build.
with_build_lock() {
    mkdir -p "$ROOT/build"
    (flock 9 && "${@:2}") 9>"$ROOT/build/.$1.lock"
}

# Where a script keeps its Wine prefix, display log and scratch files: build/
# unless the caller gives another folder, as each end-to-end shard does.
export RZ_OUT="${RZ_OUT:-$ROOT/build}"
BASE_PREFIX="$ROOT/build/wineprefix"
export WINEPREFIX="$RZ_OUT/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# An X display for Wine's windows and timers. Xvfb picks the first free
# number itself, so that any number of scripts can start one at once.
start_display() {
    if [ -n "${RZ_DISPLAY_STARTED:-}" ]; then return 0; fi
    local number="$RZ_OUT/xvfb.display" n=
    mkdir -p "$RZ_OUT" && rm -f "$number"
    # A session of its own: a Ctrl-C at the terminal must not take the
    # display away from the programs still being stopped.
    setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number" >"$RZ_OUT/xvfb.log" 2>&1 &
    RZ_XVFB_PID=$!
    for _ in $(seq 100); do
        n=$(sed -n 's/^\([0-9][0-9]*\)$/\1/p' "$number" 2>/dev/null)
        [ -n "$n" ] && break
        kill -0 "$RZ_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$n" ]; then
        log "Xvfb could not be started (see $RZ_OUT/xvfb.log)"
        kill "$RZ_XVFB_PID" 2>/dev/null
        RZ_XVFB_PID=
        return 1
    fi
    export DISPLAY=:$n
    RZ_DISPLAY_STARTED=1
}

# make_prefix: WINEPREFIX made once. Only the first prefix is booted (a
# minute of wineboot); every other is a copy of it, without the folders the
# scripts fill. Each is made under another name and renamed when whole.
make_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    mkdir -p "$ROOT/build"
    (
        flock 9
        [ -f "$BASE_PREFIX/system.reg" ] && exit 0
        log "creating the Wine prefix (once)"
        rm -rf "$BASE_PREFIX.tmp"
        WINEPREFIX="$BASE_PREFIX.tmp" wineboot -i >"$ROOT/build/wineboot.log" 2>&1
        WINEPREFIX="$BASE_PREFIX.tmp" wineserver -w
        [ -f "$BASE_PREFIX.tmp/system.reg" ] && rm -rf "$BASE_PREFIX" && mv "$BASE_PREFIX.tmp" "$BASE_PREFIX"
    ) 9>"$ROOT/build/.prefix.lock" || return 1
    [ "$WINEPREFIX" = "$BASE_PREFIX" ] && return 0
    rm -rf "$WINEPREFIX.tmp" && mkdir -p "$(dirname "$WINEPREFIX")" &&
        copy_prefix "$BASE_PREFIX" "$WINEPREFIX.tmp" &&
        rm -rf "$WINEPREFIX" && mv "$WINEPREFIX.tmp" "$WINEPREFIX"
}

# copy_prefix FROM TO: FROM's Windows DLLs and programs (600 of its 650 MB,
# which Wine only reads) hard-linked, every other file copied, the folders
# the scripts fill left out.
copy_prefix() {
    local f
    cp -al "$1" "$2" && rm -rf "$2/drive_c/e2e" "$2/drive_c/demo" "$2/drive_c/"*bench "$2/drive_c/Builds" || return 1
    while IFS= read -r -d '' f; do
        cp -p --remove-destination "$1/${f#"$2"/}" "$f" || return 1
    done < <(find "$2" -type f ! \( -path "$2/drive_c/windows/*" \( -name '*.dll' -o -name '*.exe' \) \) -print0)
}

# make_base_prefix: the prefix the others are copied from, booted on a
# display of its own, for a script that boots it before it needs a display.
make_base_prefix() {
    [ -f "$BASE_PREFIX/system.reg" ] && return 0
    (
        export WINEPREFIX="$BASE_PREFIX"
        RZ_DISPLAY_STARTED=
        start_display || exit 1
        make_prefix
        status=$?
        kill "$RZ_XVFB_PID" 2>/dev/null
        exit $status
    )
}

# One prefix and one wineserver for the whole run.
start_wine() {
    start_display && make_prefix || return 1
    setsid wineserver -p
    wine cmd /c exit >"$RZ_OUT/wine-warmup.log" 2>&1
}

stop_wine() {
    wineserver -k 2>/dev/null
    [ -n "${RZ_XVFB_PID:-}" ] && kill "$RZ_XVFB_PID" 2>/dev/null
    return 0
}

# Wine answers GetComputerNameA from the registry; its boot resets it.
set_computer_name() {
    wine reg add 'HKLM\System\CurrentControlSet\Control\ComputerName\ActiveComputerName' \
        /v ComputerName /d "$1" /f >/dev/null 2>&1
}

# Processes of this run's own Wine prefix whose command line matches REGEX.
# Never a broad name: other people's programs on this machine may carry the
# same Windows paths in their own prefixes.
own_pids() {
    local pid
    for pid in $(pgrep -f "$1"); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
    return 0
}

# kill_own REGEX [SIGNAL]: stops this prefix's processes that match REGEX.
kill_own() {
    local pids
    pids=$(own_pids "$1")
    [ -n "$pids" ] && kill "${2:--TERM}" $pids 2>/dev/null
    return 0
}

# bench_folder NAME: for a benchmark, a fresh C:\NAME holding the monitor,
# the bare window program as KORUMGR.exe, VESK.exe, BARE.exe and IDLE.exe,
# and with BEFORE set another monitor build in before\; sets app, wapp,
# bare and programs ("bare monitor", plus "before"), and exe_of PROGRAM
# gives a program's Windows path.
bench_folder() {
    app="$WINEPREFIX/drive_c/$1"
    wapp="C:\\$1"
    kill_own "C:.$1."
    rm -rf "$app" && mkdir -p "$app/before"
    bare="$ROOT/build/win32/bench/bare_window.exe"
    cp "$ROOT/build/win32/ROREROZARIRADI.exe" "$app/"
    for name in KORUMGR VESK BARE IDLE; do cp "$bare" "$app/$name.exe"; done
    programs="bare monitor"
    if [ -n "${BEFORE:-}" ]; then
        cp "$BEFORE" "$app/before/ROREROZARIRADI.exe"
        cp "$bare" "$app/before/KORUMGR.exe"
        programs="bare monitor before"
    fi
}
exe_of() {
    case $1 in
    bare) echo "$wapp\\BARE.exe" ;;
    monitor) echo "$wapp\\ROREROZARIRADI.exe" ;;
    before) echo "$wapp\\before\\ROREROZARIRADI.exe" ;;
    esac
}
