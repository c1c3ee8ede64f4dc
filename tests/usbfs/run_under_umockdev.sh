#!/bin/sh
# Runs a test program under umockdev-wrapper (the first argument), which preloads the library
# that redirects /sys and /dev into the testbed. The preloaded library then comes before the
# sanitizer runtime, an order AddressSanitizer refuses unless told not to check it; under
# ThreadSanitizer the suppressions for umockdev's and GLib's threads apply. Options the caller
# set are kept.
wrapper=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/tsan.supp"
exec "$wrapper" "$@"
