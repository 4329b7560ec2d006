#!/usr/bin/env bash
# Runs vntest with the given arguments and compares its standard output,
# standard error and exit code with a golden file, after masking what differs
# from run to run (times of day, the report's date, round-trip milliseconds,
# read-call counts) and putting each ping's lines together (see ping_order).
# "--then" separates the arguments of successive runs in the same folder with
# the same settings ($XDG_CONFIG_HOME is the run's own); the settings file
# the runs leave, if any, ends the output.
# With GOLDEN_SORTED=1 the log's lines are compared sorted: two interfaces
# are made by two threads at once, so their lines come in either order.
# Usage: run_golden.sh VNTEST GOLDEN [ARGS...] [--then ARGS...]...
#        (UPDATE_GOLDEN=1 rewrites the golden file)
set -u
vntest=$1 golden=$(realpath -m "$2")
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset MORVANE_PLATFORM MORVANE_SIM_HOST
export XDG_CONFIG_HOME=$work/config
# GOLDEN_SETTINGS=FILE: the runs start from that settings file (one edited by
# hand, or damaged).
if [[ -n ${GOLDEN_SETTINGS:-} ]]; then
  mkdir -p "$XDG_CONFIG_HOME/Morvane"
  cp "$GOLDEN_SETTINGS" "$XDG_CONFIG_HOME/Morvane/VNTest64UD.ini"
fi
cd "$work"
mask() {
  sed -E -e 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}/hh:mm:ss.mmm/' \
         -e 's/ on [A-Z][a-z]+, [A-Z][a-z]+ [0-9]{1,2}, [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2} [AP]M \.\.\.$/ on DATE .../' \
         -e 's/, descriptor [0-9]+$/, descriptor N/' \
         -e 's/time=(<1|[0-9]+)ms/time=Nms/' \
         -e 's/\(Minimum = [0-9]+ms, Maximum = [0-9]+ms, Average = [0-9]+ms\)/(Minimum = Nms, Maximum = Nms, Average = Nms)/' \
         -e 's/^(hh:mm:ss.mmm) +[0-9]+(  Total Read Calls)/\1         N\2/' \
         -e 's/^(hh:mm:ss.mmm Maximum DLL I\/O Bytes Received: +)[0-9]+K/\1NK/' \
         -e 's/\(([0-9]+)ms late\)/(Nms late)/'
}
# A ping test's log has three writers: the ping thread (each request, one
# delay apart), the monitor thread (each reply as it comes) and the ping
# monitor (each time-out). Where one writer's lines fall between another's
# depends on how busy the machine is; what is logged of each ping, and in what
# order, does not. So each run of lines naming a ping ("ping #N") is put in
# ping order, each ping's own lines keeping their order.
ping_order() {
  awk '
    function flush(   i, j, line, key) {
      for (i = 2; i <= count; ++i) {
        line = lines[i]; key = keys[i]
        for (j = i - 1; j >= 1 && keys[j] > key; --j) { lines[j + 1] = lines[j]; keys[j + 1] = keys[j] }
        lines[j + 1] = line; keys[j + 1] = key
      }
      for (i = 1; i <= count; ++i) print lines[i]
      count = 0
    }
    match(tolower($0), /ping #[0-9]+/) {
      lines[++count] = $0
      keys[count] = substr($0, RSTART + 6, RLENGTH - 6) + 0
      next
    }
    { flush(); print }
    END { flush() }'
}
# One run: its output, stderr and exit code; --log FILE must hold exactly
# what was printed.
run() {
  timeout 120 "$vntest" "$@" >stdout 2>stderr
  rc=$?
  for ((i = 1; i < $#; ++i)); do
    if [[ ${!i} == --log ]]; then
      j=$((i + 1))
      if ! cmp -s stdout "${!j}"; then
        echo "the saved log ${!j} differs from the printed one" >&2
        exit 1
      fi
    fi
  done
  if [[ ${GOLDEN_SORTED:-0} == 1 ]]; then
    mask <stdout | LC_ALL=C sort
  else
    mask <stdout | ping_order
  fi
  echo "--- stderr"
  # Files named by the test live next to the golden folder.
  relative <stderr
  echo "--- exit $rc"
}
# Paths under the source tree are shown relative to it.
relative() { sed -e "s|$(dirname "$(dirname "$golden")")/||g"; }
several=0
for arg in "$@"; do [[ $arg == --then ]] && several=1; done
{
  args=()
  runs=0
  for arg in "$@" --then; do
    if [[ $arg == --then ]]; then
      runs=$((runs + 1))
      if ((several)); then echo "=== run $runs: vntest ${args[*]}" | relative; fi
      run "${args[@]}"
      args=()
    else
      args+=("$arg")
    fi
  done
  settings=$XDG_CONFIG_HOME/Morvane/VNTest64UD.ini
  if [[ -e $settings ]]; then
    echo "--- VNTest64UD.ini"
    cat "$settings"
  fi
} >actual
if [[ ${UPDATE_GOLDEN:-0} == 1 ]]; then
  cp actual "$golden"
  exit 0
fi
if ! diff -u "$golden" actual; then
  echo "vntest $* differs from $golden" >&2
  exit 1
fi
