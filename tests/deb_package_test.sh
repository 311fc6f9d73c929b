#!/usr/bin/env bash
# The Debian package of the technician's tools, made by CPack from the
# native build and installed by dpkg into a throwaway root: its control
# data and files, the board's service installed but not enabled, the tools
# running from there, and the guide made for Notepad. Arguments: the native
# build folder, the expected version.
source "$(dirname "$0")/tool_test_lib.sh"
build=$1
version=$2

(cd "$build" && cpack -G DEB -B "$dir/out") >"$dir/cpack.log" 2>&1 || fail "cpack: $(tail -n 5 "$dir/cpack.log")"
deb="$dir/out/rorerozariradi-tools_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$dir/out")"
dpkg-deb --info "$deb" >"$dir/info" || fail "dpkg-deb --info"
for field in "Package: rorerozariradi-tools" "Version: $version" "Section: admin" "Recommends: prometheus-node-exporter"; do
    grep -qx " $field" "$dir/info" || fail "the control data lack '$field': $(cat "$dir/info")"
done
deps=$(sed -n 's/^ Depends: //p' "$dir/info" | sed 's/ ([^)]*)//g')
[ "$deps" = "libc6, libgcc-s1, libssl3, libstdc++6" ] || fail "Depends: $deps"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/default/statusboard ] ||
    fail "the settings are not a configuration file"
SEEN=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$SEEN" = "./etc/default/statusboard ./usr/bin/ordtool ./usr/bin/rollout ./usr/bin/statusboard ./usr/bin/updsign \
./usr/lib/systemd/system/statusboard.service ./usr/share/doc/rorerozariradi-tools/GUIDE.txt \
./usr/share/doc/rorerozariradi-tools/alert-rules.yml ./usr/share/doc/rorerozariradi-tools/copyright " ] || fail "the package holds: $SEEN"

root="$dir/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$dir/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$dir/dpkg.log")"
# Every tool runs in a root that holds nothing but the files of the
# dependencies the package declares (as root only: chroot).
if [ "$(id -u)" = 0 ]; then
    arch=$(dpkg --print-architecture)
    mkdir -p "$root/usr/lib" "$root/usr/lib64" && ln -s usr/lib "$root/lib" && ln -s usr/lib64 "$root/lib64"
    for pkg in $(echo "$deps" | tr -d ,) $(dpkg-query -W -f='${Pre-Depends}' "libc6:$arch" | sed 's/ ([^)]*)//g' | tr -d ,); do
        dpkg -L "$pkg:$arch" | while read -r f; do [ -f "$f" ] || [ -L "$f" ] || continue; cp -a --parents "$f" "$root" 2>/dev/null; done
    done
fi
for tool in statusboard updsign ordtool rollout; do
    if [ "$(id -u)" = 0 ]; then got=$(chroot "$root" "/usr/bin/$tool" --version 2>&1); else got=$("$root/usr/bin/$tool" --version); fi
    [ "$got" = "$tool $version" ] || fail "$tool --version from the package: $got"
done
[ "$(systemctl --root="$root" is-enabled statusboard.service)" = disabled ] || fail "the service is enabled"
systemd-analyze --root="$root" cat-config systemd/system/statusboard.service | grep -qx 'User=prometheus' ||
    fail "the service does not run as prometheus"
sed "s|/usr/bin/statusboard|$root/usr/bin/statusboard|" "$root/usr/lib/systemd/system/statusboard.service" \
    >"$dir/statusboard.service"
systemd-analyze verify "$dir/statusboard.service" >"$dir/verify.log" 2>&1 && [ ! -s "$dir/verify.log" ] ||
    fail "systemd-analyze verify: $(cat "$dir/verify.log")"

mkdir "$dir/st"
printf 'status_format=1\r\nmachine=SERV01\r\nwritten=2024-03-07T18:05:09\r\nmanager_running=yes\r\nend=1\r\n' \
    >"$dir/st/SERV01.txt"
"$root/usr/bin/statusboard" "$dir/st" >"$dir/board.out" 2>&1 && grep -qE '^OK +SERV01 ' "$dir/board.out" ||
    fail "the packaged board: $(cat "$dir/board.out")"

# Notepad's guide: CR LF, no line of 100 characters, no Markdown marks.
guide="$root/usr/share/doc/rorerozariradi-tools/GUIDE.txt"
[ "$(head -n 1 "$guide")" = "ROREROZARIRADI version $version"$'\r' ] || fail "GUIDE.txt does not begin with its version"
[ "$(grep -c $'\r$' "$guide")" = "$(wc -l <"$guide")" ] || fail "GUIDE.txt has lines without CR LF"
awk 'length($0) > 100 { print FILENAME ":" NR ": " length($0) - 1 " characters"; bad = 1 } END { exit bad }' \
    "$guide" >&2 || fail "GUIDE.txt has lines of 100 characters or more"
! grep -nE '`|^ *\||^ *```|\*\*' "$guide" | head -n 3 | grep . || fail "GUIDE.txt keeps Markdown marks"
echo "deb package ok"
