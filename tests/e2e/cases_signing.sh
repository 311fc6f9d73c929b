# End-to-end cases of signed updates: the Windows signing tool against the
# host one and the openssl command line, and the monitor's own check under
# Wine. Sourced by run.sh.

quiet() { "$@" >/dev/null 2>&1; }

# Keys made by either tool serve the other; both sign byte for byte alike.
case_signing_tools() {
    local d="$E2E/signing" w='C:\e2e\signing' host="$ROOT/build/native/updsign" key
    APP=$d
    rm -rf "$d" && mkdir -p "$d"
    cp "$W32/updsign.exe" "$W32/fixtures/standin_mgr_2.exe" "$d/"
    (cd "$d" && quiet "$host" keygen host.pem host.pub --bits 2048)
    quiet wine "$w\\updsign.exe" keygen "$w\\win.pem" "$w\\win.pub" --bits 2048
    check "signing tools: the Windows key pair is one openssl takes" \
        bash -c "openssl pkey -in '$d/win.pem' -pubout | cmp -s - <(tr -d '\r' <'$d/win.pub')"
    for key in host win; do
        quiet wine "$w\\updsign.exe" sign "$w\\$key.pem" "$w\\standin_mgr_2.exe" -o "$w\\$key.wsig"
        quiet "$host" sign "$d/$key.pem" "$d/standin_mgr_2.exe" -o "$d/$key.hsig"
        check "signing tools: Windows and host sign alike with the $key key" cmp -s "$d/$key.wsig" "$d/$key.hsig"
        check "signing tools: the host takes the Windows signature, $key key" \
            quiet "$host" verify "$d/$key.pub" "$d/standin_mgr_2.exe" -s "$d/$key.wsig"
        check "signing tools: Windows takes the host signature, $key key" \
            quiet wine "$w\\updsign.exe" verify "$w\\$key.pub" "$w\\standin_mgr_2.exe" -s "$w\\$key.hsig"
    done
    openssl rsa -in "$d/host.pem" -traditional -out "$d/host1.pem" 2>/dev/null
    quiet wine "$w\\updsign.exe" sign "$w\\host1.pem" "$w\\standin_mgr_2.exe" -o "$w\\host1.wsig"
    check "signing tools: Windows signs with a PKCS#1 key from openssl" cmp -s "$d/host1.wsig" "$d/host.hsig"
    # The key under another letter case is still the key; each refusal names its cause.
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$d/short.pem" 2>/dev/null
    cp "$d/win.pem" "$d/win.bak"
    for args in "win.pem standin_mgr_2.exe -o WIN.PEM --force" "win.pem standin_mgr_2.exe -o host.wsig" \
                "short.pem standin_mgr_2.exe" "standin_mgr_2.exe win.pem" "win.pem standin_mgr_2.exe -o nodir\\x.sig"; do
        (cd "$d" && wine updsign.exe sign $args 2>&1) | tr -d '\r'
    done >"$d/refusals.out"
    check "signing tools: Windows keeps the key and an existing file, names a short key, swapped arguments and why it cannot write" \
        bash -c "cmp -s '$d/win.pem' '$d/win.bak' && grep -c -e \"'WIN.PEM' is the private key\" \
            -e \"'host.wsig' exists already\" -e '1024-bit RSA key' -e 'arguments look swapped' \
            -e \"'nodir.x.sig' cannot be written: No such file or directory\" '$d/refusals.out' | grep -qx 5"
    printf 'x' | dd of="$d/standin_mgr_2.exe" bs=1 seek=3000 conv=notrunc 2>/dev/null
    check "signing tools: Windows refuses a tampered build (exit 1)" \
        bash -c "wine 'C:\\e2e\\signing\\updsign.exe' verify 'C:\\e2e\\signing\\win.pub' 'C:\\e2e\\signing\\standin_mgr_2.exe' -s 'C:\\e2e\\signing\\win.wsig' >/dev/null 2>&1; test \$? = 1"
}

# The monitor's own check on the Win32 platform, through a fixture that
# runs it once: UpdateKey.pem beside it, the update's .sig on a share.
case_signing_check() {
    local d="$E2E/sigcheck" w='C:\e2e\sigcheck'
    local sig="C:\\e2e\\sigcheck\\share\\KORUMGRSERV01.exe.sig"
    APP=$d
    rm -rf "$d" && mkdir -p "$d/share"
    cp "$W32/fixtures/sigcheck.exe" "$d/"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$d/share/key.pem" 2>/dev/null
    openssl pkey -in "$d/share/key.pem" -pubout -out "$d/UpdateKey.pem"
    cp "$W32/fixtures/standin_mgr_2.exe" "$d/share/KORUMGRSERV01.exe"
    cp "$W32/fixtures/standin_mgr_2.exe" "$d/KORUMGR.new"
    openssl dgst -sha256 -sign "$d/share/key.pem" -out "$d/share/KORUMGRSERV01.exe.sig" "$d/share/KORUMGRSERV01.exe"
    run_sigcheck() { SEEN=$(wine "$w\\sigcheck.exe" "$w\\KORUMGR.new" "$w\\share\\KORUMGRSERV01.exe" 2>/dev/null | tr -d '\r'); }
    run_sigcheck
    check "signature check: a build signed with openssl is accepted" test "$SEEN" = ACCEPTED
    printf 'x' | dd of="$d/KORUMGR.new" bs=1 seek=3000 conv=notrunc 2>/dev/null
    run_sigcheck
    check "signature check: one changed byte is refused" \
        test "$SEEN" = "the signature '$sig' is not the key's signature of this build"
    rm "$d/share/KORUMGRSERV01.exe.sig"
    run_sigcheck
    check "signature check: a missing signature is refused" test "$SEEN" = "the signature '$sig' is missing"
    rm "$d/UpdateKey.pem" && mkdir "$d/UpdateKey.pem"
    run_sigcheck
    check "signature check: a folder UpdateKey.pem refuses" \
        test "$SEEN" = "the key 'C:\\e2e\\sigcheck\\UpdateKey.pem' cannot be read, error 5"
    rmdir "$d/UpdateKey.pem"
    run_sigcheck
    check "signature check: without UpdateKey.pem any build passes" test "$SEEN" = ACCEPTED
    printf '%s\n' "$(cat "$d/share/key.pem")" >"$d/UpdateKey.pem"
    run_sigcheck
    check "signature check: a private key beside the monitor refuses" \
        test "$SEEN" = "the key 'C:\\e2e\\sigcheck\\UpdateKey.pem' holds a private key, which must never lie beside a monitor"
    # Nothing of CRYPT32 is loaded with the monitor: the key file has its own reader.
    check "signature check: the monitor does not import CRYPT32" \
        bash -c "! i686-w64-mingw32-objdump -p '$W32/ROREROZARIRADI.exe' | grep -qi 'DLL Name: crypt32'"
}

# The whole update with signing on: a tampered build is refused, a signed
# one goes in; an older signed build is then refused with the manager left
# alone, and a newer one goes in after the path's back-off.
case_update_signed() {
    update_g upd_signed
    local key="$RZ_OUT/e2e-update-key.pem" size
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key" 2>/dev/null
    openssl pkey -in "$key" -pubout -out "$APP/UpdateKey.pem"
    start_monitor
    wait_for "$APP/standin.log" "build=1 .*started" 10
    # The signature first, then a build with one byte changed.
    openssl dgst -sha256 -sign "$key" -out "$UPD.sig" "$W32/fixtures/standin_mgr_2.exe"
    size=$(stat -c %s "$W32/fixtures/standin_mgr_2.exe")
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD.tmp"
    printf 'x' | dd of="$UPD.tmp" bs=1 seek=$((size - 1)) conv=notrunc 2>/dev/null
    mv "$UPD.tmp" "$UPD"
    check "signed update: a tampered build is refused" wait_for "$APP/ROREROZARIRADI.deb" \
        "UPDATE REFUSED: the signature 'G:\\\\_Updates\\\\KORUMGRSERV01.exe.sig' is not the key's signature of this build; the old 'KORUMGR.exe' stays; next attempt in 60 s" 12
    check "signed update: the manager was never stopped" \
        test "$(count "$APP/standin.log" started)" = 1 -a ! -e "$APP/KORUMGR.new" -a ! -e "$APP/KORUMGR.stp"
    check "signed update: the old build stays" cmp -s "$APP/KORUMGR.exe" "$W32/fixtures/standin_mgr_1.exe"
    cp "$W32/fixtures/standin_mgr_2.exe" "$UPD"
    cut_back_off
    check "signed update: the build signed with openssl is applied" wait_for "$APP/standin.log" "build=2 .*started" 20
    check "signed update: KORUMGR.exe is the new build" cmp -s "$APP/KORUMGR.exe" "$W32/fixtures/standin_mgr_2.exe"
    openssl dgst -sha256 -sign "$key" -out "$UPD.sig" "$W32/fixtures/standin_mgr_1.exe"
    cp "$W32/fixtures/standin_mgr_1.exe" "$UPD"
    check "signed update: an older signed build is refused" wait_for "$APP/ROREROZARIRADI.deb" \
        "UPDATE REFUSED: version 7.1.0.0 is not newer than 7.2.0.0, the installed 'KORUMGR.exe'; the old 'KORUMGR.exe' stays; next attempt in 60 s" 12
    check "signed update: the newer manager was left alone" \
        test "$(count "$APP/standin.log" "build=2 .*started")" = 1 -a "$(count "$APP/standin.log" "build=1 .*started")" = 1
    openssl dgst -sha256 -sign "$key" -out "$UPD.sig" "$W32/fixtures/standin_mgr_3.exe"
    cp "$W32/fixtures/standin_mgr_3.exe" "$UPD"
    # Build 2 went in a few seconds ago: while it is watched, 2 minutes, an
    # update that passes its checks waits.
    check "signed update: a newer signed build waits for the watch over build 2" \
        wait_for "$APP/ROREROZARIRADI.deb" "UPDATE WAITING: 'G:\\\\_Updates\\\\KORUMGRSERV01.exe' waits" 75
    check "signed update: a newer signed build is applied after the back-off and the watch" \
        wait_for "$APP/standin.log" "build=3 .*started" 75
    stop_monitor
}
