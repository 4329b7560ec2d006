#!/bin/sh
# Runs MestraPack's root tests in the linux machine's namespaces (see
# ../linux_machine/run_in_netns.sh: mvt0 with its veth peer mvt1 in a second
# namespace, and mvtd0), from a temporary directory because the library
# writes its record file into the current one. Exit 77 (skipped) without root.
set -u
here=$(dirname "$(readlink -f "$0")")
# The tests run from the temporary directory: keep a relative path working.
binary=$(readlink -f "$1")
shift
if [ "$(id -u)" != 0 ]; then
  echo "skipped: MestraPack's linux tests need root (network namespaces, raw sockets)"
  exit 77
fi
work=$(mktemp -d /tmp/mestrapack-linux.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
cd "$work" || exit 1
"$here/../linux_machine/run_in_netns.sh" "$binary" "$@"
exit $?
