#!/bin/sh
# Runs the UDP library's broadcast and multicast tests of the Windows build
# under Wine inside a network namespace of their own (an unprivileged user
# namespace with only lo, up), so that no datagram leaves the machine. The
# namespace needs its own Wine server, hence a copy of the prefix made of
# hard links (quick, and Wine replaces the files it rewrites).
#   udp_netns_wine.sh <test program .exe>
set -u
exe=$1
if ! unshare -rn true 2>/dev/null; then
  echo "unprivileged network namespaces are not available: the test is skipped"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -al "${WINEPREFIX:-$HOME/.wine}" "$work/prefix"
unshare -rn sh -c '
  ip link set lo up && ip route add 224.0.0.0/4 dev lo || exit 3
  cd "$(dirname "$1")" || exit 3
  WINEPREFIX="$2" KEZ_UDP_TEST_NETNS=1 timeout 300 wine "$1" --gtest_filter=UdpNamespace.*
  rc=$?
  WINEPREFIX="$2" wineserver -k
  exit $rc' sh "$exe" "$work/prefix" >"$work/out" 2>&1
rc=$?
cat "$work/out"
[ $rc -eq 0 ] || exit 1
grep -q '\[  PASSED  \] 1 test' "$work/out" || exit 1
! grep -q 'SKIPPED' "$work/out"
