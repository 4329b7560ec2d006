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
