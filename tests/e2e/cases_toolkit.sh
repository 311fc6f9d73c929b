# End-to-end cases of the technician's toolkit: log rotation under Wine and
# the release package. Sourced by run.sh, which provides check, new_app and
# the other helpers.

case_log_rotation() {
    new_app rot
    # One byte past 10 MB, in whole records, and an older rotated log.
    local line='#2024-03-07 18:05:09#,"ELKORUMGR_RUNNING: YES"'
    yes "$line" | head -c 10485761 >"$APP/ROREROZARIRADI.deb"
    echo older >"$APP/ROREROZARIRADI.deb.1"
    set_computer_name SERV01
    start_monitor
    check "log rotation: logging goes on in a new log" wait_for "$APP/ROREROZARIRADI.deb" "Arranco OK" 10
    SEEN=$(head -n 1 "$APP/ROREROZARIRADI.deb" | cut -d, -f2- | tr -d '\r')
    check "log rotation: the new log says where the old records went" \
        test "$SEEN" = '"LOG CONTINUED, OLDER RECORDS IN: C:\e2e\rot\ROREROZARIRADI.deb.1"'
    SEEN=$(head -n 2 "$APP/ROREROZARIRADI.deb" | tail -n 1 | cut -d, -f2- | tr -d '\r')
    check "log rotation: the MAIN banner follows" test "$SEEN" = '"i==============================   MAIN   =============================="'
    SEEN="$(stat -c %s "$APP/ROREROZARIRADI.deb.1") bytes"
    check "log rotation: the old log replaced the older one, whole" \
        cmp -s "$APP/ROREROZARIRADI.deb.1" <(yes "$line" | head -c 10485761)
    stop_monitor
}

# make_package ZIP COPY [VAR=VALUE...]: the package target built in the
# shared win32 build with the environment given, its zip kept as COPY.
make_package() {
    local zip=$1 copy=$2
    shift 2
    rm -f "$zip" "$copy"
    env -u RZ_SIGN_CERT "$@" cmake --build "$W32" --target package && cp "$zip" "$copy"
}

case_package() {
    local name="ROREROZARIRADI-$VERSION-win32-unsigned.zip" zip="$RZ_OUT/package.zip" listing="$RZ_OUT/package.log"
    with_build_lock win32 make_package "$W32/$name" "$zip" >"$listing" 2>&1
    check "package: $name built, named unsigned, one line says so" bash -c \
        "[ -f '$zip' ] && [ \$(grep -c 'Not signed (RZ_SIGN_CERT is not set)' '$listing') = 1 ]"
    SEEN=$(unzip -Z1 "$zip" 2>/dev/null | sort | tr '\n' ' ')
    check "package: the programs, the guide, the sums and the unsigned note, no stand-ins" test "$SEEN" = \
        "GUIDE.txt ROREROZARIRADI.exe SHA256SUMS UNSIGNED.txt ordtool.exe rollout.exe statusboard.exe updsign.exe "
    check "package: the guide for Notepad names the version" bash -c \
        "unzip -p '$zip' GUIDE.txt | head -n 1 | grep -qxF 'ROREROZARIRADI version $VERSION'$'\\r'"
    local unpacked="$WINEPREFIX/drive_c/e2e/package"
    rm -rf "$unpacked" && mkdir -p "$unpacked" && unzip -q "$zip" -d "$unpacked"
    check "package: SHA256SUMS holds every other file's sum" bash -c \
        "cd '$unpacked' && sha256sum -c --strict SHA256SUMS >/dev/null && [ \$(wc -l <SHA256SUMS) = 7 ]"
    local tool
    for tool in ordtool updsign statusboard rollout; do
        wine 'C:\e2e\package\'"$tool.exe" --version >"$unpacked/version.out" 2>/dev/null
        SEEN=$(tr -d '\r' <"$unpacked/version.out")
        check "package: $tool.exe tells its version" test "$SEEN" = "$tool $VERSION"
    done
}

# signed_packages DIR: with the certificate DIR/cert.pfx, DIR/signed.zip,
# the signing files left behind listed in DIR/left.txt, and the output of a
# build with a wrong password in DIR/wrong.log.
signed_packages() {
    local zip="$W32/ROREROZARIRADI-$VERSION-win32.zip"
    with_build_lock win32 make_package "$zip" "$1/signed.zip" RZ_SIGN_CERT="$1/cert.pfx" RZ_SIGN_PASSWORD=throwaway
    find "$W32/_CPack_Packages" -name 'rz-sign-*' >"$1/left.txt"
    with_build_lock win32 make_package "$zip" "$1/wrong.zip" RZ_SIGN_CERT="$1/cert.pfx" RZ_SIGN_PASSWORD=wrong \
        >"$1/wrong.log" 2>&1
    [ ! -e "$zip" ] || echo "$zip" >"$1/wrong-left.txt"
}

# A centre's code-signing certificate, here a throwaway self-signed one made
# now: every program of the package is signed with it, the sums match.
case_package_signed() {
    local d="$RZ_OUT/e2e-signed" program
    rm -rf "$d" && mkdir -p "$d/unpacked"
    openssl req -x509 -newkey rsa:2048 -keyout "$d/key.pem" -out "$d/cert.pem" -days 2 -subj "/CN=Throwaway code signing" \
        -addext extendedKeyUsage=codeSigning -passout pass:throwaway >"$d/openssl.log" 2>&1
    openssl pkcs12 -export -in "$d/cert.pem" -inkey "$d/key.pem" -passin pass:throwaway -out "$d/cert.pfx" \
        -passout pass:throwaway >>"$d/openssl.log" 2>&1
    signed_packages "$d" >"$d/package.log" 2>&1
    check "signed package: one line names the certificate and the programs signed" grep -qx \
        "Authenticode-signed with $d/cert.pfx: ROREROZARIRADI.exe, ordtool.exe, rollout.exe, statusboard.exe, updsign.exe" "$d/package.log"
    unzip -q "$d/signed.zip" -d "$d/unpacked"
    for program in ROREROZARIRADI ordtool statusboard updsign rollout; do
        check "signed package: osslsigncode verifies $program.exe against the certificate" \
            quiet osslsigncode verify -CAfile "$d/cert.pem" -in "$d/unpacked/$program.exe"
    done
    check "signed package: no unsigned note, the sums are those of the signed programs" bash -c \
        "cd '$d/unpacked' && [ ! -e UNSIGNED.txt ] && sha256sum -c --strict SHA256SUMS >/dev/null"
    check "signed package: the password never stays on disk" test ! -s "$d/left.txt"
    check "signed package: a wrong password fails the package and leaves no zip of the signed name" bash -c \
        "grep -q 'signing ROREROZARIRADI.exe failed' '$d/wrong.log' && [ ! -e '$d/wrong-left.txt' ]"
}

# Ctrl-C at the terminal reaches the demo script's whole process group; the
# monitor must end through its stop file, not by the interrupt. The demo
# has a prefix of its own: it ends the Wine server of its prefix. Its build
# step may wait for a package case's build.
case_demo_interrupt() {
    local out="$RZ_OUT/demo-interrupt.log" demo_out="$RZ_OUT/demo" deb demo
    APP="$demo_out/wineprefix/drive_c/demo"
    deb="$APP/ROREROZARIRADI.deb"
    rm -f "$deb"
    # As from a terminal: a process group of its own, SIGINT not ignored.
    RZ_OUT=$demo_out perl -e '$SIG{INT} = "DEFAULT"; setpgrp(0, 0); exec @ARGV' bash "$ROOT/scripts/demo.sh" --quiet \
        >"$out" 2>&1 &
    demo=$!
    check "demo: the monitor runs" wait_for "$deb" "ELKORUMGR RUNNING OK" 120
    kill -INT -- -"$demo" 2>/dev/null
    check "demo: Ctrl-C ends the script" wait_exit "$demo" 30
    SEEN=$(tail -n 1 "$out")
    check "demo: the monitor's exit code 0 is the script's" test "${EXIT:-x}" = 0
    check "demo: the monitor obeyed its stop file" grep -q '"STOPPING WITH C:\\demo\\ROREROZARIRADI.stp"' "$deb"
    kill -0 "$demo" 2>/dev/null && kill -KILL -- -"$demo"
}
