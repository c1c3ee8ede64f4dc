#!/bin/sh
# Runs a test program under umockdev-wrapper (the first argument), which preloads the library
# that redirects /sys and /dev into the testbed. The preloaded library then comes before the
# sanitizer runtime, an order AddressSanitizer refuses unless told not to check it.
wrapper=$1
shift
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
exec "$wrapper" "$@"
