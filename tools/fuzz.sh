#!/usr/bin/env bash
# Builds the libFuzzer programs (clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs every target for the
# given number of seconds, niced, at most two at once. Each target starts from
# its work corpus build/fuzz/corpus/<target> (outside git) and the committed
# seeds fuzz/corpus/<target>; new interesting inputs go to the work corpus,
# which is merged (minimised) after the run. A crash, hang, leak or oversized
# allocation leaves its input in build/fuzz/artifacts/<target>/ and makes the
# script fail; add such an input to fuzz/corpus/<target>/ once it is fixed.
#
# Usage: tools/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]   (default 60 s, all)
# Prints per target the executions per second and the coverage (libFuzzer's
# cov: edges and ft: features) reached.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
parallel=${FUZZ_PARALLEL:-2}
build=build/fuzz

bash tools/install-deps.sh
missing=()
for package in clang-14 libclang-rt-14-dev; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*_fuzzer.cpp; do
    name=$(basename "$source" _fuzzer.cpp)
    targets+=("$name")
  done
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DORVEL_FUZZ=ON -DORVEL_SANITIZE=address,undefined -DBUILD_TESTING=OFF >/dev/null
nice -n 19 cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzzer}"

# Lines: an allocation sized by a network input above 64 MiB shows up as a
# finding, as does a run above 2 GiB, an input taking more than 10 s, a leak.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_target() {
  local name=$1
  local program="$build/fuzz/${name}_fuzzer"
  local work="$build/corpus/$name"
  local artifacts="$build/artifacts/$name/"
  local log="$build/logs/$name.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  local status=0
  nice -n 19 "$program" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=64 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ]; then
    # Keeps the smallest set of inputs that reaches the same coverage.
    local merged="$build/corpus/$name.merged"
    rm -rf "$merged" && mkdir -p "$merged"
    if nice -n 19 "$program" -merge=1 -rss_limit_mb=2048 -malloc_limit_mb=64 "$merged" "$work" \
      >"$log.merge" 2>&1; then
      rm -rf "$work" && mv "$merged" "$work"
    fi
  fi
  echo "$status" >"$log.status"
}

running=0
for name in "${targets[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "fuzzing $name for $seconds s"
  run_target "$name" &
  running=$((running + 1))
done
wait || true

failed=0
printf '\n%-22s %10s %8s %8s %8s %s\n' target exec/s cov ft corpus result
for name in "${targets[@]}"; do
  log="$build/logs/$name.log"
  status=$(cat "$log.status" 2>/dev/null || echo 1)
  # The run's last status line: "#N DONE cov: ... ft: ... exec/s: ...".
  line=$(grep -E '^#[0-9]+.*cov:' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  execs=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\)/\1/p' "$log" | head -n 1)
  corpus=$(find "$build/corpus/$name" -type f | wc -l)
  result=ok
  if [ "$status" != 0 ]; then
    result="FAILED (status $status; see $log and $build/artifacts/$name/)"
    failed=1
  fi
  printf '%-22s %10s %8s %8s %8s %s\n' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$result"
done
exit "$failed"
