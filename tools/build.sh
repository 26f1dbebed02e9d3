#!/usr/bin/env bash
# Configures (when needed) and builds one variant of the project under build/.
#   tools/build.sh normal|asan|tsan
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-normal}
# The sanitized builds are optimised less (-O1, as the sanitizers advise),
# which also makes them about a third quicker to compile. Qt is not built
# with ThreadSanitizer, so the thread-sanitized build leaves the tray out.
optimise="-O2 -g -DNDEBUG"
ui=ON
case "$variant" in
  normal) sanitize="" ;;
  asan)   sanitize="address,undefined"; optimise="-O1 -g -DNDEBUG" ;;
  tsan)   sanitize="thread"; optimise="-O1 -g -DNDEBUG"; ui=OFF ;;
  *) echo "usage: $0 normal|asan|tsan" >&2; exit 2 ;;
esac

dir=build/$variant
# Configuring again is quick and picks up folders added since the last time.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_WERROR=ON -DORVEL_SANITIZE="$sanitize" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimise" -DORVEL_BUILD_UI="$ui" >/dev/null
cmake --build "$dir" -j "$(nproc)"
