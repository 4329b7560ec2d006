#!/usr/bin/env bash
# vntest's --log file on the simulated host: a log that cannot be written
# whole (here a file size limit stands in for a full disk) leaves the file
# that was there as it was, with exit 2 and the reason; a log that can
# replaces it whole; a pipe gets the log as it is.
# Usage: run_log_file.sh VNTEST
set -u
vntest=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_PLATFORM MORVANE_SIM_HOST
export XDG_CONFIG_HOME=$work/config
cd "$work" || exit 1
failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

printf 'the old log\n' >kept.ttt
# The report is several KiB; one KiB is allowed. The signal the limit sends
# is ignored, so the write fails with EFBIG instead of ending the program.
(trap '' XFSZ; ulimit -f 1; exec timeout 120 "$vntest" --platform sim --report --log kept.ttt >limited.out 2>limited.err)
rc=$?
[[ $rc == 2 ]] || fail "a log that could not be written: exit $rc, not 2"
grep -q '^vntest: the log was not kept: Cannot save kept.ttt: File too large$' limited.err ||
  fail "no reason given: $(cat limited.err)"
[[ $(cat kept.ttt) == "the old log" ]] || fail "the old log was lost: $(head -c 200 kept.ttt)"
stray=$(ls -A | grep -v -x -e kept.ttt -e limited.out -e limited.err -e config)
[[ -z $stray ]] || fail "files left behind: $stray"

timeout 120 "$vntest" --platform sim --report --log kept.ttt >whole.out 2>whole.err || fail "the second run failed"
cmp -s whole.out kept.ttt || fail "the log file is not the printed log"

mkfifo pipe
cat pipe >piped.txt &
reader=$!
timeout 120 "$vntest" --platform sim --report --log pipe >piped.out 2>piped.err || fail "a log into a pipe failed: $(cat piped.err)"
wait "$reader"
[[ -p pipe ]] || fail "the pipe was replaced by a file"
cmp -s piped.out piped.txt || fail "the pipe did not get the printed log"
exit $failed
