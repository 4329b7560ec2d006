#!/usr/bin/env bash
# The kit installed (cmake --install) into a fresh folder, run from there on
# the simulated host: vntest finds its libraries, MestraPack its MWPCUtilD,
# MWPCUtilD the packet-capture stand-ins in bin/system, VNTest64UD its help
# pages; nothing is read from the build tree, nor from the current folder.
# Usage: run_install.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_PLATFORM MORVANE_SIM_HOST MORVANE_SYSTEM_DIR
export XDG_CONFIG_HOME=$work/config
prefix=$work/prefix
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
# The build tree out of reach: a library or helper still taken from there
# would be missed.
for program in vntest VNTest64UD MWPCUtilD; do
  if ldd "$prefix/bin/$program" | grep -q -e "not found" -e "$build"; then
    fail "$program: $(ldd "$prefix/bin/$program" | grep -e "not found" -e "$build" | tr '\n' ' ')"
  fi
done
# No program or library, installed or in the build tree, searches the
# current directory for what it loads: an empty entry of its run path would
# mean that folder.
while IFS= read -r -d '' file; do
  runpath=$(readelf -d "$file" 2>/dev/null | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  case ":$runpath:" in
    *::*) fail "$file: its run path \"$runpath\" has an empty entry (the current directory)" ;;
  esac
done < <(find "$prefix/bin" "$build/bin" -type f -print0)
"$prefix/bin/vntest" --platform sim --report >"$work/report.log" 2>&1
rc=$?
[[ $rc == 0 ]] || fail "vntest --report from the installation exited with $rc"
grep -qF 'Using WinPCap Packet.DLL, version "4.1.2 build 3000" (4.1.2.3000), driver version "4.1.2 build 3000" ...' \
  "$work/report.log" || fail "the installed packet-capture stand-ins were not found"
"$prefix/bin/vntest" --platform sim --no-report --ping 192.0.2.1 --count 1 --delay 0 >"$work/ping.log" 2>&1 ||
  fail "vntest ping test from the installation: exit $?"
grep -qF " Ping test successful." "$work/ping.log" || fail "no successful ping test"
"$prefix/bin/VNTest64UD" --help >/dev/null 2>&1 || fail "VNTest64UD --help from the installation: exit $?"
[[ -f $prefix/share/morvane/help/index.html ]] || fail "no help pages"
if ((failed)); then
  tail -20 "$work/report.log" "$work/ping.log"
  exit 1
fi
echo "ok: the installed kit runs by itself"
