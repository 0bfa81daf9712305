#!/usr/bin/env bash
# The demo run by ./run demo, already inside a private network namespace: the tool's main job
# against the bundled simulators, as a user would run it. A simulated update server offers two
# builds of a module's firmware; the module itself sits on an emulated USB bus and runs build
# 1041 until it is updated.
# $1: the folder holding the built programs.
set -euo pipefail

serial=1A2B3C4D

# Every command goes to the simulated server and a private store (-u URL -i STORE, not shown).
show() {
  echo
  echo "\$ Updater $*"
  "$bin/Updater" "$@" -u "$url" -i "$store" || echo "(exit status $?)"
}

# What a user runs, one command after another; called again under usb-sim (see below).
steps() {
  show -D
  show -B -d "$serial"
  show -G -d "$serial"
  show -L -d "$serial"
  show -U -d "$serial"
  sleep 1  # the module restarts into its new firmware
  show -D
}

if [ "${1:-}" = "--steps" ]; then
  bin=$2 url=$3 store=$4
  steps
  exit 0
fi

bin=$1
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
store=$work/store

# Two builds of a Beryl module's firmware on the simulated update server: a loader and a
# 64 KiB firmware image each.
mkdir -p "$work/server/$serial"
head -c 2048 /dev/urandom > "$work/loader.bin"
for build in 1041:2.11.1 1042:2.11.2; do
  head -c 65536 /dev/urandom > "$work/firmware.bin"
  "$bin/bird-writer" -o "$work/server/$serial/${build%%:*}.bird" -m Beryl -s "$serial" \
    -v "${build#*:}" -b "${build%%:*}" -l "$work/loader.bin@0x10000000" \
    -f "$work/firmware.bin@0x8000" >/dev/null
  echo "${build%%:*};${build#*:}" >> "$work/server/$serial/builds.txt"
done
printf 'firmware=beryl-main\ntoken=eyJhbGciOiJIUzI1NiJ9.eyJmZWF0dXJlcyI6WyJzY29wZSJdfQ.c2lnbmVk\n' \
  > "$work/server/$serial/device.txt"

"$bin/update-server-sim" --root "$work/server" --port 0 > "$work/server.out" &
server_pid=$!
for _ in $(seq 50); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
url="http://$(sed -n 's/^listening on //p' "$work/server.out")/cgi/u"

echo "Simulated update server at $url"
echo "Emulated USB bus: module $serial (Beryl, firmware 2.11.1 build 1041) and 0000ABCD (Dolomite)"
"$bin/usb-sim" --module "$serial:4" --firmware "$serial:2.11.1:1041" \
  --upgrade-to "$serial:2.11.2:1042" --block-size "$serial:1024" --module 0000ABCD:13 \
  -- "$0" --steps "$bin" "$url" "$store"
