#!/bin/sh
# Runs a program under umockdev's preload library, so that an emulated USB bus it creates is
# visible to the libusb and hidapi calls it makes. An AddressSanitizer build must be told that
# the preload library is loaded ahead of the sanitizer runtime.
case ":${ASAN_OPTIONS:-}:" in
  *:verify_asan_link_order=0:*) ;;
  *) ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"; export ASAN_OPTIONS ;;
esac
exec umockdev-wrapper "$@"
