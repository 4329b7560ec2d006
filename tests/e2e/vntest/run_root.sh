#!/bin/sh
# vntest on the real machine, in a private network namespace whose host
# adapter (vnt0, 198.51.100.1/24) is one end of a veth pair: a TAP and a TUN
# guest ping the adapter's address, and iputils ping run in the namespace is
# answered by a guest. Everything is removed however the test ends. Exit 77
# (skipped) without root.
set -u
vntest=$1
# shellcheck source=root_common.sh
. "$(dirname "$(readlink -f "$0")")/root_common.sh"
vntest_root_setup vntA vntB
set -e
netns_veth vnt0 02:00:5e:10:01:01 198.51.100.1/24 vnt1 02:00:5e:10:01:02 198.51.100.2/24
# The default route names vnt0 as the default adapter.
ip netns exec "$a" ip route add default via 198.51.100.2
set +e

fail=0
check() {  # check NAME RC FILE PATTERN...
  name=$1 rc=$2 file=$3
  shift 3
  if [ "$rc" != 0 ]; then
    echo "FAIL $name: exit $rc"
    cat "$file"
    fail=1
    return
  fi
  for pattern in "$@"; do
    if ! grep -q -- "$pattern" "$file"; then
      echo "FAIL $name: no line with \"$pattern\""
      cat "$file"
      fail=1
      return
    fi
  done
  echo "ok $name"
}

for mode in --tap --tun; do
  timeout 120 ip netns exec "$a" "$vntest" --platform linux $mode --ping 198.51.100.1 --count 3 --delay 100 >ping$mode.log 2>&1
  check "guest pings the adapter ($mode)" $? ping$mode.log " Ping test successful." " 3 Replies Received" \
    "^vntest: IPv4 forwarding is off (net.ipv4.ip_forward=0): "
done
# The host adapter named by its MAC instead of its address: the interface
# has no host address of its own from the emulator's settings.
for mode in --tap --tun; do
  timeout 120 ip netns exec "$a" "$vntest" --platform linux $mode --adapter-mac 02-00-5E-10-01-01 \
    --guest-ip 198.51.100.111 --ping 198.51.100.1 --count 2 --delay 100 --no-save >mac$mode.log 2>&1
  check "guest on the adapter named by its MAC pings it ($mode)" $? mac$mode.log " Ping test successful." \
    " 2 Replies Received"
done

# iputils ping answered by the guest while it serves; started once the
# interface is up (its log line), not after a guessed delay.
mkfifo served
timeout 120 ip netns exec "$a" "$vntest" --platform linux --tap --serve 5 --log serve.log >served 2>&1 &
guest=$!
exec 3<served
up=0
while IFS= read -r line <&3; do
  case $line in
    *"enabled/up"*) up=1; break ;;
  esac
done
if [ $up = 1 ]; then
  timeout 60 ip netns exec "$a" ping -c 2 -W 2 198.51.100.111 >iputils.log 2>&1
  prc=$?
  cat <&3 >/dev/null
else
  prc=1
fi
wait $guest
grc=$?
exec 3<&-
check "iputils ping answered (ping)" $prc iputils.log "2 received"
check "iputils ping answered (guest)" $grc serve.log "Someone is PINGing Gorlan" "Sending PING reply to 198.51.100.1"
exit $fail
