#!/usr/bin/env bash
# vntest interrupted on the simulated host: Ctrl+C (SIGINT) during a ping
# test, and SIGTERM while the guest serves. Each time the run stops as the
# Stop commands stop it (the ping statistics, the interface's statistics and
# its close), keeps the whole log in the --log file and exits 130.
# Usage: run_interrupt.sh VNTEST
set -u
vntest=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_PLATFORM MORVANE_SIM_HOST
export XDG_CONFIG_HOME=$work/config
cd "$work" || exit 1
# Job control: a background job of a script would otherwise start with
# SIGINT ignored, as the shell leaves it for jobs it does not control.
set -m
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}
# interrupt NAME SIGNAL LINE ARGS...: starts vntest, waits for LINE in its
# output, sends SIGNAL, and checks the run's end.
interrupt() {
  local name=$1 signal=$2 line=$3
  shift 3
  "$vntest" --platform sim --no-report --log "$name.ttt" "$@" >"$name.out" 2>"$name.err" &
  local pid=$!
  if ! timeout 60 sh -c "tail -n +1 -f $name.out | grep -q -m1 -F -- '$line'"; then
    fail "$name: never printed '$line'"
  fi
  kill "-$signal" "$pid"
  wait "$pid"
  local rc=$?
  [[ $rc == 130 ]] || fail "$name: exit $rc, not 130"
  grep -q "^vntest: interrupted" "$name.err" || fail "$name: no interruption message"
  grep -q -F "** Interface simtun0 closed..." "$name.out" || fail "$name: the interface's close is not in the log"
  cmp -s "$name.out" "$name.ttt" || fail "$name: the saved log differs from the printed one"
}
interrupt ping INT "Reply to ping #2 " --ping 192.0.2.1 --count 10000 --delay 100
grep -q -F " Ping statistics for 192.0.2.1:" ping.out || fail "ping: no statistics"
grep -q -F "Sending ping #100 " ping.out && fail "ping: the test went on after the interruption"
interrupt serve TERM "enabled/up" --serve 3600
grep -q -F "*** Statistics for Interface simtun0:" serve.out || fail "serve: no interface statistics"
if ((failed)); then
  for f in ./*.out ./*.err; do echo "--- $f"; tail -5 "$f"; done
  exit 1
fi
echo "ok: interrupted runs stop, keep their log and exit 130"
