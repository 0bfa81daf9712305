#!/usr/bin/env bash
# The demo run by ./run demo, already inside a private network namespace: the tool's main jobs
# against the bundled simulators, as a user would run them.
# $1: the folder holding the built programs.
set -euo pipefail
bin=$1
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

serial=1A2B3C4D
store=$work/store

# Two builds of a Beryl module's firmware on the simulated update server.
mkdir -p "$work/server/$serial"
head -c 4096 /dev/urandom > "$work/image.bin"
for build in 1041:2.11.1 1042:2.11.2; do
  "$bin/bird-writer" -o "$work/server/$serial/${build%%:*}.bird" -m Beryl -s "$serial" \
    -v "${build#*:}" -b "${build%%:*}" -f "$work/image.bin@0x8000" >/dev/null
  echo "${build%%:*};${build#*:}" >> "$work/server/$serial/builds.txt"
done
printf 'firmware=beryl-main\ntoken=eyJhbGciOiJIUzI1NiJ9.eyJmZWF0dXJlcyI6WyJzY29wZSJdfQ.c2lnbmVk\n' \
  > "$work/server/$serial/device.txt"

"$bin/update-server-sim" --root "$work/server" --port 0 > "$work/server.out" &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
url="http://$(sed -n 's/^listening on //p' "$work/server.out")/cgi/u"

# Every command goes to the simulated server and a private store (-u URL -i STORE, not shown).
show() {
  echo
  echo "\$ Updater $*"
  "$bin/Updater" "$@" -u "$url" -i "$store" || echo "(exit status $?)"
}

echo "Simulated update server at $url"
show -B -d "$serial"
show -G -d "$serial"
show -L -d "$serial"
show -J -d "$serial"
if [ -x "$bin/usb-sim" ]; then
  echo
  echo "\$ usb-sim --module $serial:4 --module 0000ABCD:13 -- Updater -D"
  "$bin/usb-sim" --module "$serial:4" --module 0000ABCD:13 -- "$bin/Updater" -D -i "$store" \
    || echo "(exit status $?)"
fi
