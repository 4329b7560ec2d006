#!/bin/sh
# vntest --report on the real machine, in a private network namespace with two
# veth ends: vnt0 (198.51.100.1/24, up, the default route's adapter, offloads
# as veth has them) and vnt2 (203.0.113.1/24, its peer down, transmit
# checksums and segmentation offload switched off). Each adapter the report
# lists must show what ip and ethtool say of its interface, the default
# gateway must be the peer's MAC, and the report must hold no ERROR banner.
# Everything is removed however the test ends. Exit 77 (skipped) without root.
set -u
vntest=$1
# shellcheck source=../common/netns.sh
. "$(dirname "$(readlink -f "$0")")/../common/netns.sh"
netns_require_root "needs root"
command -v ethtool >/dev/null 2>&1 || { echo "skipped: ethtool is not installed"; exit 77; }
netns_pair vnrA vnrB
a=$netns_a
b=$netns_b
work=$(mktemp -d) || exit 1
netns_remove_on_exit "$work"
set -e
netns_veth vnt0 02:00:5e:10:01:01 198.51.100.1/24 vnt1 02:00:5e:10:01:02 198.51.100.2/24
netns_veth vnt2 02:00:5e:10:02:01 203.0.113.1/24 vnt3 02:00:5e:10:02:02
ip netns exec "$a" ethtool -K vnt2 tx off >/dev/null 2>&1
ip netns exec "$a" ip route add default via 198.51.100.2
set +e
unset MORVANE_PLATFORM MORVANE_SIM_HOST
cd "$work" || exit 1

timeout 120 ip netns exec "$a" "$vntest" --platform linux --report >report.log 2>&1
rc=$?
cut -c14- report.log >report.txt

fail=0
failed() {
  echo "FAIL $1"
  fail=1
}
has_line() {  # has_line FILE LINE
  grep -qxF -- "$2" "$1"
}

[ "$rc" = 0 ] || failed "vntest --report exited with $rc"
grep -q '^ERROR:' report.txt && failed "the report holds an ERROR banner"
has_line report.txt "  Host Name . . . . . . . . . : $(hostname)" || failed "host name"
grep -Eq '^ +0\.0\.0\.0 +0\.0\.0\.0 +198\.51\.100\.2 +198\.51\.100\.1 +[0-9]+$' report.txt ||
  failed "the default route's row"
has_line report.txt "  Default gateway:  198.51.100.2  (02-00-5E-10-01-02)" || failed "default gateway"

# One block per listed adapter, from its Connection line to the next.
block() {
  awk -v name="NPF_$1" '
    /^Connection          = / { if (found) exit; buf = "" }
    { buf = buf $0 "\n" }
    $0 == "AdapterName         = " name { found = 1 }
    /^--+  / && found { exit }
    END { if (found) printf "%s", buf }' report.txt
}
# "ENABLED" when ethtool -k shows the feature on, else "no".
feature() {  # feature IFACE NAME...
  iface=$1
  shift
  for name in "$@"; do
    if ip netns exec "$a" ethtool -k "$iface" | grep -Eq "^[[:space:]]*$name: on"; then
      echo ENABLED
      return
    fi
  done
  echo no
}

interfaces=$(ip netns exec "$a" ip -o link show | awk -F': ' '/link\/ether/ { sub(/@.*/, "", $2); print $2 }')
listed=$(grep -c '^AdapterName         = ' report.txt)
[ "$listed" = "$(echo "$interfaces" | wc -w)" ] || failed "$listed adapters listed for interfaces: $interfaces"
for iface in $interfaces; do
  block "$iface" >"block.$iface"
  if [ ! -s "block.$iface" ]; then
    failed "$iface is not in the report"
    continue
  fi
  has_line report.txt "NPF_$iface" || failed "$iface: its capture device is not among the DOS devices"
  link=$(ip netns exec "$a" ip -o link show dev "$iface")
  mac=$(echo "$link" | sed -E 's/.*link\/ether ([0-9a-f:]+).*/\1/' | tr 'a-f:' 'A-F-')
  mtu=$(echo "$link" | sed -E 's/.* mtu ([0-9]+).*/\1/')
  case $link in
    *LOWER_UP*) connected="Yes" ;;
    *) connected="No                   ** CABLE UNPLUGGED **" ;;
  esac
  cidr=$(ip netns exec "$a" ip -o -4 addr show dev "$iface" | awk '{ print $4; exit }')
  ip=${cidr%/*}
  bits=${cidr#*/}
  mask=$(awk -v b="$bits" 'BEGIN { for (i = 0; i < 4; i++) { n = b >= 8 ? 8 : (b > 0 ? b : 0); b -= n;
                                   printf "%s%d", (i ? "." : ""), 256 - 2 ^ (8 - n) } }')
  speed=$(ip netns exec "$a" ethtool "$iface" 2>/dev/null | sed -n -E 's/^[[:space:]]*Speed: ([0-9]+)Mb\/s$/\1/p')
  speed=$(awk -v s="${speed:-0}" 'BEGIN { if (s >= 1000) printf "%.1f Gbps", s / 1000; else printf "%.1f Mbps", s }')
  if ip netns exec "$a" ip route show default | grep -q "dev $iface"; then default=Yes; else default=No; fi
  tso=$(feature "$iface" tx-tcp-segmentation)
  tso6=$(feature "$iface" tx-tcp6-segmentation)
  tx4=$(feature "$iface" tx-checksum-ipv4 tx-checksum-ip-generic)
  tx6=$(feature "$iface" tx-checksum-ipv6 tx-checksum-ip-generic)
  rx=$(feature "$iface" rx-checksumming)
  for expected in \
      "PhysAddr            = $mac" \
      "Default Adapter?    = $default" \
      "MediaConnected?     = $connected" \
      "LinkSpeed           = $speed" \
      "MaxPacketLen        = $((mtu + 14))" \
      "IPAddr              = $ip" \
      "IPAddrMask          = $mask" \
      "   V4Transmit.TcpChecksum:  $tx4" \
      "   V4Transmit.UdpChecksum:  $tx4" \
      "   V4Transmit.IpChecksum:   no" \
      "   V4Receive.TcpChecksum:   $rx" \
      "   V6Transmit.TcpChecksum:  $tx6" \
      "   V6Receive.UdpChecksum:   $rx" \
      "   LSO v1 (IPv4):           $tso" \
      "   LSO v1 (IPv6):           no?" \
      "   LSO v2 (IPv4):           $tso" \
      "   LSO v2 (IPv6):           $tso6"; do
    has_line "block.$iface" "$expected" || failed "$iface: no line \"$expected\""
  done
  echo "checked $iface: $mac, $connected, $speed, mtu $mtu, $cidr, TSO $tso, checksums tx $tx4 rx $rx"
done

# As a normal user nothing opens: the report says so with its banners, and
# vntest says why on standard error.
chmod 755 "$work"
timeout 120 ip netns exec "$a" setpriv --reuid=65534 --regid=65534 --clear-groups \
  env HOME="$work" XDG_CONFIG_HOME="$work" "$vntest" --platform linux --report >user.log 2>user.err
rc=$?
[ "$rc" = 1 ] || failed "vntest --report as a normal user exited with $rc, not 1"
grep -q "^vntest: running as a normal user: .* need root (or CAP_NET_ADMIN and CAP_NET_RAW)$" user.err ||
  failed "as a normal user, no word of the missing privileges: $(cat user.err)"
grep -q "running as a normal user" report.log && failed "the note shows for root too"

# The simulated host needs no root, also from a folder the user may not
# write in (/): MestraPack keeps its record file in a private folder of the
# temporary files instead, and removes it again.
mkdir -m 1777 "$work/tmp"
(cd / && timeout 120 setpriv --reuid=65534 --regid=65534 --clear-groups \
  env HOME="$work" XDG_CONFIG_HOME="$work" TMPDIR="$work/tmp" "$vntest" --platform sim --report >"$work/sim.log" 2>&1)
rc=$?
[ "$rc" = 0 ] || failed "vntest --platform sim --report as a normal user in / exited with $rc"
grep -qF 'Using WinPCap Packet.DLL, version "4.1.2 build 3000"' sim.log ||
  failed "as a normal user in /, no packet-capture facts: $(grep -m3 ERROR sim.log)"
[ -z "$(ls -A "$work/tmp")" ] || failed "left in the temporary files: $(ls -A "$work/tmp")"

if [ "$fail" != 0 ]; then
  cat report.log
  exit 1
fi
echo "ok: the report lists every interface with the facts ip and ethtool give; a normal user is told what is missing"
