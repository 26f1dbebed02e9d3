#!/bin/sh
# Runs a test program in a private network namespace of its own, with only
# its loopback interface up, so that the fixed ports the test takes (a
# printer's 9101 and 9102, the tunnel's 80 and 8080, the responder's UDP
# 9102) can never meet another program's on this machine.
#   privatenetwork.sh PROGRAM [ARGUMENTS...]
# Listing a GoogleTest program's cases needs no network and runs as it is.
# Where no namespace can be made (neither as root nor in a user namespace)
# or iproute2 is missing, the test is skipped: status 77.
for argument in "$@"; do
  if [ "$argument" = --gtest_list_tests ]; then
    exec "$@"
  fi
done
skip() {
  echo "SKIPPED: this test takes fixed ports and runs only in a private network namespace: $1"
  exit 77
}
command -v ip >/dev/null 2>&1 || skip "ip (iproute2) not found"
if unshare -n true 2>/dev/null; then
  isolate="unshare -n"
elif unshare -rn true 2>/dev/null; then
  isolate="unshare -rn"
else
  skip "unshare -n cannot make one here (needs root or user namespaces)"
fi
exec $isolate sh -c 'ip link set lo up || exit 1; exec "$@"' private-network "$@"
