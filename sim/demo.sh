#!/usr/bin/env bash
# The demo run by ./run demo, already inside a private network namespace.
# $1: the folder holding the built programs.
set -euo pipefail
bin=$1
store=$(mktemp -d)
trap 'rm -rf "$store"' EXIT

show() {
  echo
  echo "\$ Updater $*"
  "$bin/Updater" "$@" || echo "(exit status $?)"
}

show -h
show -D -i "$store"
