#!/usr/bin/env bash
# Configures (when needed) and builds one variant of the project under build/.
#   tools/build.sh normal|asan|tsan
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-normal}
case "$variant" in
  normal) sanitize="" ;;
  asan)   sanitize="address,undefined" ;;
  tsan)   sanitize="thread" ;;
  *) echo "usage: $0 normal|asan|tsan" >&2; exit 2 ;;
esac

dir=build/$variant
# Configuring again is quick and picks up folders added since the last time.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_WERROR=ON -DORVEL_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j "$(nproc)"
