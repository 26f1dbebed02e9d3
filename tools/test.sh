#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three times: a
# normal build, one with AddressSanitizer and UndefinedBehaviorSanitizer, and
# one with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

for variant in normal asan tsan; do
  echo "=== $variant build ==="
  bash tools/build.sh "$variant"
  echo "=== $variant tests ==="
  runner=()
  # Tests labelled "slow" (long fault and flood scenarios that mostly wait on
  # the network) prove behaviour, not memory or thread safety; they run in
  # the normal build only.
  filter=()
  if [ "$variant" != normal ]; then
    filter=(-LE slow)
  fi
  # ThreadSanitizer cannot map its shadow memory with the kernel's full address
  # randomisation; run it without randomisation where setarch allows it.
  if [ "$variant" = tsan ] && setarch "$(uname -m)" -R true 2>/dev/null; then
    runner=(setarch "$(uname -m)" -R)
  fi
  (cd "build/$variant" && "${runner[@]}" ctest --output-on-failure -j 2 --timeout 300 "${filter[@]}")
done
