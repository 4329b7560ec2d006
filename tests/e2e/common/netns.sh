# shellcheck shell=sh
# Sourced by the root-test drivers: the root check and a pair of private
# network namespaces with names of their own (so parallel runs do not meet),
# removed again however the driver ends.
#
#   netns_require_root WHY         exit 77 (skipped) unless root
#   netns_pair PREFIX_A PREFIX_B   two namespaces, their names (the prefix and
#                                  this shell's pid) in netns_a and netns_b;
#                                  loopback up, IPv6 off; exit 77 when
#                                  namespaces cannot be made
#   netns_remove_on_exit PATH      also remove PATH (a work directory) at exit
#   netns_veth IF MAC CIDR PEER PEER_MAC [PEER_CIDR]
#                                  a veth pair from netns_a (IF) to netns_b
#                                  (PEER), addressed and up; without PEER_CIDR
#                                  the peer end stays down (IF has no carrier)

netns_names=
netns_paths=

netns_require_root() {
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: $1"
    exit 77
  fi
}

netns_cleanup() {
  for netns_ns in $netns_names; do
    ip netns del "$netns_ns" 2>/dev/null
  done
  for netns_path in $netns_paths; do
    rm -rf "$netns_path"
  done
}

netns_remove_on_exit() {
  netns_paths="$netns_paths $1"
}

netns_pair() {
  netns_a=$1$$
  netns_b=$2$$
  trap netns_cleanup EXIT
  trap 'exit 1' INT TERM
  if ! ip netns add "$netns_a"; then
    echo "skipped: cannot create network namespaces"
    exit 77
  fi
  netns_names=$netns_a
  ip netns add "$netns_b" || exit 1
  netns_names="$netns_a $netns_b"
  for netns_ns in $netns_names; do
    # Without IPv6 the only traffic on the links is the tests' own and ARP.
    ip netns exec "$netns_ns" sysctl -qw net.ipv6.conf.default.disable_ipv6=1 2>/dev/null || true
    ip netns exec "$netns_ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null || true
    ip netns exec "$netns_ns" ip link set lo up || exit 1
  done
}

netns_veth() {
  ip netns exec "$netns_a" ip link add "$1" address "$2" type veth peer name "$4" address "$5" netns "$netns_b" &&
    ip netns exec "$netns_a" ip addr add "$3" dev "$1" &&
    ip netns exec "$netns_a" ip link set "$1" up || return 1
  [ -n "${6:-}" ] || return 0
  ip netns exec "$netns_b" ip addr add "$6" dev "$4" && ip netns exec "$netns_b" ip link set "$4" up
}
