# shellcheck shell=sh
# Sourced by the vntest root-test drivers.
#
#   vntest_root_setup PREFIX_A PREFIX_B
#       exit 77 (skipped) without root, iputils ping or the TUN/TAP device;
#       two private network namespaces in $a and $b, and a fresh work
#       directory that becomes the current one, all removed however the
#       driver ends; vntest runs on the real machine (no inherited choice)
#       and remembers its values in a settings file of the work directory.
# shellcheck source=../common/netns.sh
. "$(dirname "$(readlink -f "$0")")/../common/netns.sh"

vntest_root_setup() {
  netns_require_root "needs root"
  command -v ping >/dev/null 2>&1 || { echo "skipped: iputils ping is not installed"; exit 77; }
  [ -c /dev/net/tun ] || { echo "skipped: no /dev/net/tun"; exit 77; }
  netns_pair "$1" "$2"
  # shellcheck disable=SC2034 # the drivers' names for the two namespaces
  a=$netns_a
  # shellcheck disable=SC2034
  b=$netns_b
  work=$(mktemp -d) || exit 1
  netns_remove_on_exit "$work"
  cd "$work" || exit 1
  unset MORVANE_PLATFORM MORVANE_SIM_HOST
  XDG_CONFIG_HOME="$work/config"
  export XDG_CONFIG_HOME
}
