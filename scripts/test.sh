#!/usr/bin/env bash
# Installs what Orvanta and its tests need, builds with warnings as errors and
# runs every test suite; then runs the whole suite again built with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan), and the
# threaded suites built with ThreadSanitizer (build-tsan). Window tests get
# their own X server (Xvfb). Extra arguments go to every ctest run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Marks each phase in the log with the seconds spent so far.
phase() { echo "==== ${SECONDS} s: $*"; }

phase "set-up and build"
"$root/scripts/setup.sh" --tests
# Line tables only: the test run needs no more debug information, and full
# information doubles the compile time.
"$root/scripts/build.sh" -DORVANTA_WERROR=ON -DORVANTA_BUILD_TESTS=ON -DORVANTA_FUZZ=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"

# The tests start their own servers and buses; keep them off the user's ones.
export LC_ALL=C.UTF-8

# run_suite BUILD_DIR [ctest arguments...]: ctest under a fresh Xvfb, two
# tests at a time (much of the suite waits on sockets and processes).
run_suite() {
  local dir=$1
  shift
  (cd "$dir" && xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
    ctest --output-on-failure --timeout 600 -j"$jobs" "$@")
}

# A sanitizer report fails its test through the exit code; this also catches
# one from a process that ends well all the same (a child, a detached thread).
fail_on_reports() {
  local log=$1/Testing/Temporary/LastTest.log
  local pattern='ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer'
  if [ -f "$log" ] && grep -Eq "$pattern" "$log"; then
    echo "Sanitizer reports in $log:" >&2
    grep -E -A30 "$pattern" "$log" >&2
    return 1
  fi
}

# sanitizer_build DIR KIND OPTIMISATION [build arguments...]. No fuzzer (it has
# its own ASan build) and no debug information, which halves the compile time:
# reports name the functions but not the lines (configure a tree with -g1 to
# see those). At low priority: it runs beside a suite, which comes first.
sanitizer_build() {
  local dir=$1 kind=$2 optimisation=$3
  shift 3
  nice -n 15 cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANTA_SANITIZE="$kind" \
    -DORVANTA_WERROR=ON -DORVANTA_BUILD_TESTS=ON -DORVANTA_FUZZ=OFF \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimisation -g0 -DNDEBUG"
  nice -n 15 cmake --build "$dir" -j"$jobs" "$@"
}

# Building takes the cores; a suite mostly waits on cameras, sockets and
# buses. So each sanitizer tree is built in the background while the suite
# before it runs, its output kept in a log shown only when it fails.
# start_build DIR KIND OPTIMISATION [build arguments...]; then finish_build DIR.
declare -A build_pids
# A build still running when the command ends (a suite failed) goes with it.
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
start_build() {
  local dir=$1
  mkdir -p "$dir"
  sanitizer_build "$@" >"$dir/sanitizer-build.log" 2>&1 &
  build_pids[$dir]=$!
}
finish_build() {
  local dir=$1
  if ! wait "${build_pids[$dir]}"; then
    cat "$dir/sanitizer-build.log" >&2
    echo "Building $dir failed" >&2
    return 1
  fi
}

# AddressSanitizer and UndefinedBehaviorSanitizer: the whole suite but the
# package, which is made from the plain tree. Unoptimised: a fifth less to
# compile, and the tests mostly wait anyway.
asan=$root/build-asan
# ThreadSanitizer: the suites with threads of their own (decoder start and
# stop, frame hand-off, the picture writer and delivery, token refresh, the
# monitor core's hand-offs, wake reconnect, shutdown during authorization and
# upload, usage events, requests cancelled from another thread).
tsan=$root/build-tsan

phase "tests, and the AddressSanitizer build beside them"
start_build "$asan" address -O0
run_suite "$root/build" "$@"
finish_build "$asan"

phase "AddressSanitizer tests, and the ThreadSanitizer build beside them"
start_build "$tsan" thread -O1 --target test_stream test_net test_drive test_pictures test_monitor test_core test_analytics test_app
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# GTK's accessibility bridge is not ours to test and finds no accessibility
# bus under Xvfb; left out, it leaves no start-up strings behind for LSan.
NO_AT_BRIDGE=1 run_suite "$asan" -LE '^package$' "$@"
fail_on_reports "$asan"
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
finish_build "$tsan"

phase "ThreadSanitizer tests"
export TSAN_OPTIONS=suppressions=$root/tests/sanitizers/tsan.supp:second_deadlock_stack=1
# GCC 12's TSan cannot map its shadow under a kernel with more ASLR entropy
# than it knows; such a kernel gets the suites without address randomisation.
tsan_prefix=()
tsan_probe=$("$tsan/bin/test_analytics" --gtest_list_tests 2>&1 || true)
if grep -q "unexpected memory mapping" <<<"$tsan_probe"; then
  tsan_prefix=(setarch "$(uname -m)" -R)
fi
(cd "$tsan" && "${tsan_prefix[@]}" xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" \
  ctest --output-on-failure --timeout 600 -j"$jobs" -L '^(stream|net|drive|pictures|monitor|core|analytics|window)$' "$@")
fail_on_reports "$tsan"
phase "done"
