#!/bin/sh
# Runs the linux machine's root tests in two private network namespaces joined
# by a veth pair (mvt0 here, mvt1 in the peer), with a dummy interface (a bridge
# without ports where the kernel has no dummy driver). Everything is removed
# again however the tests end. Exit 77 (skipped) without root.
set -u
binary=$1
shift
# shellcheck source=../common/netns.sh
. "$(dirname "$(readlink -f "$0")")/../common/netns.sh"
netns_require_root "the linux machine tests need root"
netns_pair mvtA mvtB
a=$netns_a
b=$netns_b

set -e
ip netns exec "$a" ip link add mvt0 address 02:00:5e:10:00:01 type veth \
  peer name mvt1 address 02:00:5e:10:00:02 netns "$b"
if ! ip netns exec "$a" ip link add mvtd0 address 02:00:5e:10:00:03 type dummy 2>/dev/null; then
  ip netns exec "$a" ip link add mvtd0 address 02:00:5e:10:00:03 type bridge
fi
ip netns exec "$a" ip link set mvt0 alias "Lab link 1"
ip netns exec "$a" ip addr add 198.51.100.1/26 dev mvt0
ip netns exec "$a" ip addr add 198.51.100.65/26 dev mvtd0
# An address with a lease's finite lifetime, as a DHCP client sets it.
ip netns exec "$a" ip addr add 198.51.100.70/26 dev mvtd0 valid_lft 3600 preferred_lft 3600
ip netns exec "$b" ip addr add 198.51.100.2/26 dev mvt1
ip netns exec "$a" ip link set mvt0 up
ip netns exec "$a" ip link set mvtd0 up
ip netns exec "$b" ip link set mvt1 up
ip netns exec "$a" ip route add default via 198.51.100.2 dev mvt0
ip netns exec "$a" sysctl -qw net.ipv4.ip_forward=1
set +e

MVT_PEER_NS=$b MORVANE_PLATFORM=linux ip netns exec "$a" "$binary" "$@"
exit $?
