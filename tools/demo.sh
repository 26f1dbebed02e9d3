#!/usr/bin/env bash
# The demonstration: two simulated printers on 127.0.0.2 and 127.0.0.3 and
# the console bridge with them as static printers. Ctrl+C ends both.
#
# Both run in a private network namespace where one is available, so that the
# bridge's discovery broadcasts stay off the real network; inside it a pair of
# virtual interfaces gives discovery a network, and the simulated printers
# answer it.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=build/normal
if [ "${1:-}" != --inside ]; then
  if unshare -n true 2>/dev/null; then
    exec unshare -n bash "$0" --inside
  elif unshare -rn true 2>/dev/null; then
    exec unshare -rn bash "$0" --inside
  fi
  echo "note: no private network namespace here; the bridge's discovery will broadcast on this machine's networks." >&2
else
  ip link set lo up
  if ip link add demo0 type veth peer name demo1 2>/dev/null; then
    ip addr add 10.254.0.1/24 broadcast 10.254.0.255 dev demo0
    ip link set demo0 up
    ip link set demo1 up
  fi
fi

"$bin/lab/orvel-bridge-lab" --printer "127.0.0.2,name=Front desk" --printer "127.0.0.3,name=Back office" \
  > >(sed -u 's/^/[lab] /') &
lab=$!
sleep 1
"$bin/console/orvel-bridge-console" --static-printers "127.0.0.2;127.0.0.3" --log-level 0 &
bridge=$!

stop() { kill -INT "$bridge" 2>/dev/null || true; }
trap stop INT TERM
while kill -0 "$bridge" 2>/dev/null; do
  wait "$bridge" || true
done
kill -INT "$lab" 2>/dev/null || true
wait "$lab" 2>/dev/null || true
