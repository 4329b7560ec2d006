#!/bin/sh
# Runs the virtual-interface library's root tests in two private network
# namespaces joined by a veth pair: vfh0 (198.51.100.1/24, the host adapter)
# in the host namespace, vfp0 (198.51.100.2/24) in the peer namespace. The
# host namespace forwards and answers ARP for the guests behind its TUN/TAP
# devices (proxy ARP on vfh0), as a host bridging its guests onto the LAN
# would. Everything is removed again however the tests end. Exit 77
# (skipped) without root.
set -u
binary=$1
shift
# shellcheck source=../common/netns.sh
. "$(dirname "$(readlink -f "$0")")/../common/netns.sh"
netns_require_root "the virtual-interface root tests need root"
if [ ! -c /dev/net/tun ]; then
  echo "skipped: no /dev/net/tun"
  exit 77
fi
netns_pair vfH vfP
h=$netns_a
p=$netns_b

set -e
ip netns exec "$h" ip link add vfh0 address 02:00:5e:20:00:01 type veth \
  peer name vfp0 address 02:00:5e:20:00:02 netns "$p"
ip netns exec "$h" ip addr add 198.51.100.1/24 dev vfh0
ip netns exec "$p" ip addr add 198.51.100.2/24 dev vfp0
ip netns exec "$h" ip link set vfh0 up
ip netns exec "$p" ip link set vfp0 up
ip netns exec "$h" ip route add default via 198.51.100.2 dev vfh0
ip netns exec "$h" sysctl -qw net.ipv4.ip_forward=1
ip netns exec "$h" sysctl -qw net.ipv4.conf.vfh0.proxy_arp=1
ip netns exec "$h" sysctl -qw net.ipv4.neigh.vfh0.proxy_delay=0
set +e

VIFNET_PEER_NS=$p MORVANE_PLATFORM=linux ip netns exec "$h" "$binary" "$@"
exit $?
