#!/usr/bin/env bash
# Compares the refusal window of this build with that of another build pixel
# by pixel, under Wine on a virtual display: both run on a refused machine,
# the screen is captured while the message is up, and ImageMagick counts
# the pixels that differ. Prints the count; 0 means identical.
#   bench/refusal_pixels.sh OTHER/ROREROZARIRADI.exe
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
other=${1:?usage: refusal_pixels.sh OTHER/ROREROZARIRADI.exe}
[ -f "$ROOT/build/win32/ROREROZARIRADI.exe" ] || { install_missing && build_all || exit 1; }
trap stop_wine EXIT
start_wine || exit 1
set_computer_name OFFICE1
out="$ROOT/build/refusal"
mkdir -p "$out"

# shot NAME EXE: the screen while EXE shows its refusal message.
shot() {
    local app="$WINEPREFIX/drive_c/refusal_$1"
    kill_own "C:.refusal_$1."
    rm -rf "$app" && mkdir -p "$app"
    cp "$2" "$app/ROREROZARIRADI.exe"
    touch "$app/ROREROZARIRADI.deb"
    wine "C:\\refusal_$1\\ROREROZARIRADI.exe" >/dev/null 2>&1 &
    local pid=$! end=$((SECONDS + 20))
    until grep -q "THISMACHINENAME: OFFICE1" "$app/ROREROZARIRADI.deb" 2>/dev/null || [ $SECONDS -ge $end ]; do
        sleep 0.2
    done
    sleep 1.5
    import -window root "$out/$1.png" 2>/dev/null
    wait "$pid"
}

shot other "$other"
shot this "$ROOT/build/win32/ROREROZARIRADI.exe"
ls -l "$other" "$ROOT/build/win32/ROREROZARIRADI.exe" | awk '{print $5, $NF}'
diff=$(compare -metric AE "$out/other.png" "$out/this.png" "$out/diff.png" 2>&1 >/dev/null)
echo "refusal window: $diff pixels differ (screens in $out)"
