#!/usr/bin/env bash
# The demonstration: two simulated printers on 127.0.0.2 and 127.0.0.3, with
# their web pages on port 80, a simulated WVT server on 127.0.0.1:8100
# (a keep-alive every 10 s announcing password-file version 1, and a tunnel
# request to the printer's port 80 after 20 s of each session), and the
# console bridge with them as static printers, that server, and the printer
# tunnel on. The bridge keeps its backups in a documents folder of the
# demonstration's own (ORVEL_DEMO_DOCUMENTS, default demo-documents in the
# build directory). When the bridge opens the tunnel, a line tells how to
# reach the printer's pages through it. Ctrl+C ends both.
#
# Both run in a private network namespace where one is available, so that the
# bridge's discovery broadcasts stay off the real network:
# - as root with iproute2: a named namespace joined to this machine by one
#   veth pair (10.254.0.2/30 here, 10.254.0.1/30 inside). Discovery
#   broadcasts stay on that link, and a browser or curl on this machine
#   reaches the tunnel at http://10.254.0.1:PORT/. Namespace and link are
#   removed at the end.
# - else `unshare -n`: the namespace has only virtual interfaces of its own,
#   and the tunnel is reached with nsenter.
# ORVEL_BUILD_DIR picks the build to run (default build/normal).
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${ORVEL_BUILD_DIR:-build/normal}
namespace_prefix=orvel-demo-
host_address=10.254.0.2
inside_address=10.254.0.1

# Deletes the namespaces of earlier demonstrations whose script is gone.
delete_stale_namespaces() {
  local name pid
  for name in $(ip netns list 2>/dev/null | awk '{print $1}'); do
    case $name in
      "$namespace_prefix"*)
        pid=${name#"$namespace_prefix"}
        [ -d "/proc/$pid" ] || ip netns delete "$name" 2>/dev/null || true ;;
    esac
  done
}

# Makes the namespace and its veth pair to this machine; false when it cannot.
make_namespace() {
  [ "$(id -u)" = 0 ] && command -v ip >/dev/null || return 1
  delete_stale_namespaces
  # The link's subnet must be free on this machine.
  [ -z "$(ip -4 addr show to 10.254.0.0/30 2>/dev/null)" ] || return 1
  ip netns add "$namespace" 2>/dev/null || return 1
  if ! { ip link add "$host_link" type veth peer name "$inside_link" netns "$namespace" &&
         ip addr add "$host_address/30" dev "$host_link" &&
         ip link set "$host_link" up &&
         ip -n "$namespace" link set lo up &&
         ip -n "$namespace" addr add "$inside_address/30" broadcast 10.254.0.3 dev "$inside_link" &&
         ip -n "$namespace" link set "$inside_link" up; } 2>/dev/null; then
    remove_namespace
    return 1
  fi
}

# Deleting one end of the veth pair deletes both.
remove_namespace() {
  ip link delete "$host_link" 2>/dev/null || true
  ip netns delete "$namespace" 2>/dev/null || true
}

if [ "${1:-}" != --inside ]; then
  namespace=$namespace_prefix$$
  host_link=obdh$$
  inside_link=obdn$$
  if make_namespace; then
    trap remove_namespace EXIT
    # The programs ignore the terminal's Ctrl+C as background commands of the
    # script inside; it hears TERM and stops them in order.
    ip netns exec "$namespace" env DEMO_REACH="http://$inside_address" bash "$0" --inside &
    inside=$!
    trap 'kill -TERM "$inside" 2>/dev/null || true' INT TERM
    while kill -0 "$inside" 2>/dev/null; do
      wait "$inside" || true
    done
    exit 0
  elif unshare -n true 2>/dev/null; then
    exec unshare -n env DEMO_REACH=nsenter bash "$0" --inside
  elif unshare -rn true 2>/dev/null; then
    exec unshare -rn env DEMO_REACH=nsenter-user bash "$0" --inside
  fi
  echo "note: no private network namespace here; the bridge's discovery will broadcast on this machine's networks." >&2
  DEMO_REACH=http://127.0.0.1
else
  DEMO_REACH=${DEMO_REACH:-nsenter}
  ip link set lo up
  # Without a link to this machine, a pair of virtual interfaces gives
  # discovery a network.
  case $DEMO_REACH in
    nsenter*)
      if ip link add demo0 type veth peer name demo1 2>/dev/null; then
        ip addr add 10.254.0.1/24 broadcast 10.254.0.255 dev demo0
        ip link set demo0 up
        ip link set demo1 up
      fi ;;
  esac
fi

# How to reach a tunnel port from outside the namespace (or from this machine).
reach() {
  local port=$1
  case $DEMO_REACH in
    nsenter)
      echo "[demo] The printer tunnel is on port $port inside the namespace; from another terminal:"
      echo "[demo]   nsenter --net=/proc/$$/ns/net curl http://127.0.0.1:$port/" ;;
    nsenter-user)
      echo "[demo] The printer tunnel is on port $port inside the namespace; from another terminal:"
      echo "[demo]   nsenter --target $$ --user --net --preserve-credentials curl http://127.0.0.1:$port/" ;;
    *)
      echo "[demo] The printer tunnel is open; paste into a browser on this machine:"
      echo "[demo]   $DEMO_REACH:$port/"
      echo "[demo] or run:  curl $DEMO_REACH:$port/" ;;
  esac
}

# Passes the bridge's log on and, when the tunnel opens, tells how to reach it.
# It ends with the bridge's output, not on Ctrl+C, so the last lines show.
announce() {
  trap '' INT
  local line
  while IFS= read -r line; do
    printf '%s\n' "$line"
    case $line in
      *"Printer's tunnel opened on port "*) reach "${line##* }" ;;
    esac
  done
}

# The bridge's documents folder; it stores the backups in Orvel-Bridge in it.
documents=${ORVEL_DEMO_DOCUMENTS:-$(cd "$bin" && pwd)/demo-documents}
mkdir -p "$documents"
echo "[demo] Backups are stored in $documents/Orvel-Bridge"

"$bin/lab/orvel-bridge-lab" --web-port 80 \
  --printer "127.0.0.2,name=Front desk" --printer "127.0.0.3,name=Back office" \
  --server "127.0.0.1:8100,keepalive=10,password-version=1,tunnel-port=80,tunnel-after=20" \
  > >(trap '' INT; sed -u 's/^/[lab] /') &
lab=$!
sleep 1
XDG_DOCUMENTS_DIR=$documents \
  "$bin/console/orvel-bridge-console" --static-printers "127.0.0.2;127.0.0.3" --printer-tunnel true \
  --server-address 127.0.0.1 --server-port 8100 --log-level 0 > >(announce) &
bridge=$!

stop() { kill -INT "$bridge" 2>/dev/null || true; }
trap stop INT TERM
while kill -0 "$bridge" 2>/dev/null; do
  wait "$bridge" || true
done
kill -INT "$lab" 2>/dev/null || true
wait "$lab" 2>/dev/null || true
