#!/usr/bin/env bash
# Configures (when needed) and builds one variant of the project under build/.
#   tools/build.sh normal|asan|tsan|windows
# "windows" cross-compiles the library, the console program and their unit
# tests for Windows x86-64 with MinGW-w64 (installing what it needs first).
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-normal}
# The sanitized builds are optimised less (-O1, as the sanitizers advise),
# which also makes them about a third quicker to compile. Qt is not built
# with ThreadSanitizer, so the thread-sanitized build leaves the tray out.
optimise="-O2 -g -DNDEBUG"
ui=ON
cross=()
case "$variant" in
  normal) sanitize="" ;;
  asan)   sanitize="address,undefined"; optimise="-O1 -g -DNDEBUG" ;;
  tsan)   sanitize="thread"; optimise="-O1 -g -DNDEBUG"; ui=OFF ;;
  # No debug information: statically linked, it would make every test
  # program a hundred megabytes that Wine then maps at each start.
  windows)
    sanitize=""; optimise="-O2 -DNDEBUG"; ui=OFF
    bash tools/install-deps.sh windows
    cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake") ;;
  *) echo "usage: $0 normal|asan|tsan|windows" >&2; exit 2 ;;
esac

dir=build/$variant
# Configuring again is quick and picks up folders added since the last time.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_WERROR=ON -DORVEL_SANITIZE="$sanitize" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimise" -DORVEL_BUILD_UI="$ui" "${cross[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
