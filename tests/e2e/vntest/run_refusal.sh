#!/usr/bin/env bash
# Runs vntest with arguments it must refuse: exit status 2, the expected first
# line on standard error, nothing on standard output (no run started) and
# nothing left in the folder it ran in.
# Usage: run_refusal.sh VNTEST EXPECTED_LINE [ARGS...]
set -u
vntest=$1 expected=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_PLATFORM MORVANE_SIM_HOST
cd "$work"
timeout 120 "$vntest" "$@" >stdout 2>stderr
rc=$?
fail=0
[[ $rc == 2 ]] || { echo "exit status $rc, not 2"; fail=1; }
first=$(head -n 1 stderr)
[[ $first == "$expected" ]] || { echo "standard error begins \"$first\", not \"$expected\""; fail=1; }
[[ ! -s stdout ]] || { echo "a run was started:"; head -5 stdout; fail=1; }
left=$(ls -A | grep -v -x -e stdout -e stderr)
[[ -z $left ]] || { echo "files left behind: $left"; fail=1; }
if ((fail)); then
  echo "vntest $* was not refused as expected; its standard error:"
  cat stderr
fi
exit $fail
