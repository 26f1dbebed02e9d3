#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test four times: a
# normal build, one with AddressSanitizer and UndefinedBehaviorSanitizer, one
# with ThreadSanitizer, and the Windows build (MinGW-w64), whose tests run
# under Wine.
#
# The tests spend most of their time waiting on the network, so the next
# variant builds meanwhile, at the lowest priority (nice 19) so that the tests
# keep the processor whenever they want it. Its output goes to
# build/<variant>.build.log and is shown when the build fails. The Windows
# variant comes last: its tests are the shortest, and its build (the longest
# of the background ones) hides behind the thread-sanitized tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

variants=(normal asan tsan windows)
mkdir -p build

# Starts the build of a variant in the background; its process id goes to
# build_pid.
start_build() {
  echo "=== $1 build (in the background) ==="
  nice -n 19 bash tools/build.sh "$1" > "build/$1.build.log" 2>&1 &
  build_pid=$!
}

# Waits for the background build of a variant; fails with its log if it failed.
finish_build() {
  if ! wait "$build_pid"; then
    cat "build/$1.build.log"
    echo "error: the $1 build failed" >&2
    exit 1
  fi
  echo "=== $1 build done ==="
}

run_tests() {
  local variant=$1
  echo "=== $variant tests ==="
  local runner=()
  # Tests labelled "slow" (long fault and flood scenarios that mostly wait on
  # the network) prove behaviour, not memory or thread safety; they run in
  # the normal build only.
  local filter=()
  if [ "$variant" != normal ]; then
    filter=(-LE slow)
  fi
  # ThreadSanitizer cannot map its shadow memory with the kernel's full address
  # randomisation; run it without randomisation where setarch allows it.
  if [ "$variant" = tsan ] && setarch "$(uname -m)" -R true 2>/dev/null; then
    runner=(setarch "$(uname -m)" -R)
  fi
  if [ "$variant" = windows ]; then
    run_windows_tests "${filter[@]}"
    return
  fi
  (cd "build/$variant" && "${runner[@]}" ctest --output-on-failure -j 2 --timeout 300 "${filter[@]}")
}

# The Windows tests run under Wine in a prefix of the build's own, made once
# (7-8 s). Its wineserver and Wine's system processes are started first,
# with their streams on /dev/null: started on demand by the first test, they
# would hold that test's output pipe open (wine.py says more). Wine's "fixme"
# notes are left out, its errors are not (WINEDEBUG=-all would hide a missing
# DLL).
# The end-to-end tests copy the prefix for namespaces of their own.
run_windows_tests() (
  wine_bin=/usr/lib/wine
  export WINEPREFIX=$PWD/build/windows/wineprefix
  export WINEDEBUG=fixme-all,err-winediag,err-systray
  export WINEDLLOVERRIDES=mscoree,mshtml=
  unset DISPLAY
  python3 tools/e2e/wine.py prepare "$WINEPREFIX" || exit 1
  # A persistent server that an interrupted run left behind goes first.
  "$wine_bin/wineserver" -k </dev/null >/dev/null 2>&1 && "$wine_bin/wineserver" -w </dev/null >/dev/null 2>&1
  python3 tools/e2e/wine.py start "$WINEPREFIX" || exit 1
  result=0
  (cd build/windows && ctest --output-on-failure -j 2 --timeout 300 "$@") || result=1
  "$wine_bin/wineserver" -k </dev/null >/dev/null 2>&1 || true
  "$wine_bin/wineserver" -w </dev/null >/dev/null 2>&1 || true
  exit "$result"
)

echo "=== normal build ==="
bash tools/build.sh normal
status=0
for index in 0 1 2 3; do
  variant=${variants[$index]}
  next=${variants[$((index + 1))]:-}
  if [ -n "$next" ]; then
    start_build "$next"
  fi
  # A failing variant does not stop the others: every failure is shown.
  run_tests "$variant" || status=1
  if [ -n "$next" ]; then
    finish_build "$next"
  fi
done
exit "$status"
