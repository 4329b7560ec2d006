#!/bin/sh
# Runs MestraPack's root tests in a private network namespace holding one end
# of a veth pair (mpl0; mpl1 sits in a second, peer namespace) and a second
# Ethernet-like interface (mpld0: a dummy, or a bridge without ports where the
# kernel has no dummy driver), from a temporary directory because the library
# writes its record file into the current one. Everything is removed again
# however the tests end. Exit 77 (skipped) without root.
set -u
# The tests run from a temporary directory: keep a relative path working.
binary=$(readlink -f "$1")
shift
if [ "$(id -u)" != 0 ]; then
  echo "skipped: MestraPack's linux tests need root (network namespaces, raw sockets)"
  exit 77
fi
a=mplA$$
b=mplB$$
work=
cleanup() {
  ip netns del "$a" 2>/dev/null
  ip netns del "$b" 2>/dev/null
  [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
if ! ip netns add "$a"; then
  echo "skipped: cannot create network namespaces"
  exit 77
fi
ip netns add "$b" || exit 1
work=$(mktemp -d /tmp/mestrapack-linux.XXXXXX) || exit 1

set -e
for ns in "$a" "$b"; do
  # Without IPv6 the only traffic on the link is the tests' own and ARP.
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1 2>/dev/null || true
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
  ip netns exec "$ns" ip link set lo up
done
ip netns exec "$a" ip link add mpl0 address 02:00:5e:20:00:01 type veth \
  peer name mpl1 address 02:00:5e:20:00:02 netns "$b"
if ! ip netns exec "$a" ip link add mpld0 address 02:00:5e:20:00:03 type dummy 2>/dev/null; then
  ip netns exec "$a" ip link add mpld0 address 02:00:5e:20:00:03 type bridge
fi
ip netns exec "$a" ip addr add 198.51.100.1/26 dev mpl0
ip netns exec "$a" ip addr add 198.51.100.65/27 dev mpld0
ip netns exec "$b" ip addr add 198.51.100.2/26 dev mpl1
ip netns exec "$a" ip link set mpl0 up
ip netns exec "$a" ip link set mpld0 up
ip netns exec "$b" ip link set mpl1 up
ip netns exec "$a" ip route add default via 198.51.100.2 dev mpl0
set +e

cd "$work" || exit 1
MPL_PEER_NS=$b MORVANE_PLATFORM=linux ip netns exec "$a" "$binary" "$@"
exit $?
