#!/bin/sh
# vntest on the real machine with the README's set-up, on a LAN whose host
# already knows its peer, in two private network namespaces: the host (vnl0,
# 198.51.100.1/24, forwarding IPv4 and answering ARP for the guest on vnl0)
# and its peer (vnl1, 198.51.100.2/24). For a TAP and a TUN guest
# (198.51.100.111): the guest's ping tests to the peer and to a host beyond
# the default gateway (the peer also holds 203.0.113.10) succeed, the peer's
# iputils ping is answered five times of five and a flood of 3000 loses at
# most 1%; then the host adapter is deleted and the guest ends by itself (the
# read failure, its statistics and its close; exit status 1) within seconds,
# long before its --serve time runs out. Everything is removed however the
# test ends. Exit 77 (skipped) without root.
set -u
vntest=$1
# shellcheck source=root_common.sh
. "$(dirname "$(readlink -f "$0")")/root_common.sh"
vntest_root_setup vnlA vnlB

# The link, the host's default route through the peer, the host's two
# settings, and the host's neighbour entry for its peer (it pinged the peer
# once, as any host on a live LAN has).
make_lan() {
  netns_veth vnl0 02:00:5e:10:02:01 198.51.100.1/24 vnl1 02:00:5e:10:02:02 198.51.100.2/24 &&
    ip netns exec "$a" ip route add default via 198.51.100.2 &&
    ip netns exec "$a" sysctl -qw net.ipv4.ip_forward=1 &&
    ip netns exec "$a" sysctl -qw net.ipv4.conf.vnl0.proxy_arp=1 &&
    ip netns exec "$a" ping -n -c 1 -W 5 198.51.100.2 >/dev/null &&
    ip netns exec "$a" ip neigh show 198.51.100.2 dev vnl0 | grep -q "lladdr 02:00:5e:10:02:02"
}

fail=0
ok() { echo "ok $1"; }
bad() {  # bad NAME WHY FILE
  echo "FAIL $1: $2"
  [ -f "$3" ] && cat "$3"
  fail=1
}
has() {  # has FILE PATTERN
  grep -q -- "$2" "$1"
}

ip netns exec "$b" ip addr add 203.0.113.10/24 dev lo || exit 1
for mode in tap tun; do
  if ! make_lan; then
    echo "FAIL the LAN could not be made ($mode)"
    exit 1
  fi
  # Beyond the gateway, whose MAC the host knows: the guest reaches it
  # through the host all the same.
  timeout 120 ip netns exec "$a" "$vntest" --platform linux --adapter-ip 198.51.100.1 --$mode \
    --guest-ip 198.51.100.111 --ping 203.0.113.10 --count 3 --delay 200 >far-$mode.log 2>&1
  rc=$?
  # (The log names the gateway's MAC: the guest's frames could be sent to it.)
  # (Forwarding is on: no note of it being off.)
  if [ $rc = 0 ] && has far-$mode.log " Ping test successful." && has far-$mode.log "02-00-5E-10-02-02" &&
    ! has far-$mode.log "IPv4 forwarding is off"; then
    ok "the guest's ping test beyond the gateway ($mode)"
  else
    bad "the guest's ping test beyond the gateway ($mode)" "exit status $rc" far-$mode.log
  fi
  out=guest-$mode.out
  : >"$out"
  rm -f fifo
  mkfifo fifo
  timeout 600 ip netns exec "$a" "$vntest" --platform linux --adapter-ip 198.51.100.1 --$mode \
    --guest-ip 198.51.100.111 --ping 198.51.100.2 --count 3 --delay 200 --serve 300 >fifo 2>&1 &
  guest=$!
  exec 3<fifo
  # The guest's own test comes first; the peer's pings follow its verdict.
  verdict=none
  while IFS= read -r line <&3; do
    printf '%s\n' "$line" >>"$out"
    case $line in
      *" Ping test successful.") verdict=passed; break ;;
      *" Ping test has FAILED.") verdict=failed; break ;;
    esac
  done
  cat <&3 >>"$out" &
  drain=$!
  if [ $verdict = passed ] && has "$out" " 3 Replies Received"; then
    ok "the guest's ping test to its peer ($mode)"
  else
    bad "the guest's ping test to its peer ($mode)" "verdict $verdict" "$out"
  fi

  if timeout 60 ip netns exec "$b" ping -n -c 5 -W 2 198.51.100.111 >peer-$mode.log 2>&1 &&
    has peer-$mode.log " 5 received"; then
    ok "the peer's five pings answered ($mode)"
  else
    bad "the peer's five pings answered ($mode)" "not all answered" peer-$mode.log
  fi

  timeout 300 ip netns exec "$b" ping -n -q -f -l 16 -c 3000 -W 1 198.51.100.111 >flood-$mode.log 2>&1
  sent=$(sed -n 's/^\([0-9][0-9]*\) packets transmitted.*/\1/p' flood-$mode.log)
  received=$(sed -n 's/.* \([0-9][0-9]*\) received.*/\1/p' flood-$mode.log)
  if [ "${sent:-0}" = 3000 ] && [ $((${received:-0} * 100)) -ge $((sent * 99)) ]; then
    ok "a flood from the peer: $received of $sent answered ($mode)"
  else
    bad "a flood from the peer ($mode)" "more than 1% lost" flood-$mode.log
  fi

  # The host adapter vanishes while the guest serves.
  deleted=$(date +%s)
  ip netns exec "$a" ip link del vnl0
  wait $guest
  grc=$?
  ended=$(date +%s)
  wait $drain
  exec 3<&-
  if [ $grc != 1 ]; then
    bad "the guest ends with its adapter ($mode)" "exit status $grc, not 1" "$out"
  elif ! has "$out" "vifnet32_read failed; errno=19: No such device"; then
    bad "the guest ends with its adapter ($mode)" "no read failure" "$out"
  elif ! has "$out" "\*\*\* Statistics for Interface"; then
    bad "the guest ends with its adapter ($mode)" "no statistics" "$out"
  elif ! has "$out" "closed\.\.\. (ip=198\.51\.100\.111"; then
    bad "the guest ends with its adapter ($mode)" "no closed line" "$out"
  elif [ $((ended - deleted)) -gt 30 ]; then
    bad "the guest ends with its adapter ($mode)" "only $((ended - deleted)) s after the deletion" "$out"
  else
    ok "the guest ends with its adapter, $((ended - deleted)) s after its deletion ($mode)"
  fi
done
exit $fail
