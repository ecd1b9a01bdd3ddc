#!/usr/bin/env bash
# The Debian package as a station gets it: named as apt expects, with its
# dependencies declared, and the program inside runs.
# check_package.sh CPACK CONFIG WORK
set -euo pipefail
cpack_command=$1 config=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$cpack_command" -G DEB --config "$config" -B "$work" >/dev/null
deb="$work/tavren-update_1.03_amd64.deb"
[ -f "$deb" ] || { echo "no $deb"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = tavren-update ] || { echo "wrong package name"; exit 1; }
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || { echo "wrong architecture"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libsystemd0 libstdc++6 libc6 bluez dbus; do
  grep -q "$needed" <<<"$depends" || { echo "Depends lacks $needed: $depends"; exit 1; }
done
# libpq is loaded at run time by the stations that keep a PostgreSQL record.
if grep -q libpq <<<"$depends"; then echo "Depends names libpq: $depends"; exit 1; fi
suggests=$(dpkg-deb -f "$deb" Suggests)
grep -q libpq5 <<<"$suggests" || { echo "Suggests lacks libpq5: $suggests"; exit 1; }
dpkg-deb -x "$deb" "$work/root"
version=$("$work/root/usr/bin/tavren-update" --version)
[ "$version" = 1.03 ] || { echo "the packaged program says $version"; exit 1; }
[ -f "$work/root/usr/share/doc/tavren-update/README" ] || { echo "no README"; exit 1; }
echo "package ok: $depends"
