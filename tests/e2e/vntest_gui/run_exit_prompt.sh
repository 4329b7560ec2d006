#!/usr/bin/env bash
# Under a real X server, driven with the keyboard as a person would:
# VNTest64UD on the simulated host shows its window "Untitled - VNTest";
# Test > Start "Gorlan" with the Parameters dialog's values adds to the log
# the start-up report began; File > Exit then asks to save it in a window
# titled "VNTest64UD"; Cancel keeps the program; Exit again and "Don't Save"
# ends it with status 0. SIGTERM asks the same before the program ends.
set -euo pipefail
bin=$1
source "$(dirname "$0")/xvfb_session.sh"

fail() {
  echo "FAIL: $*"
  cat "$xsession_dir/app.log"
  exit 1
}
# Focuses the window and types the keys.
keys() {
  local window=$1
  shift
  xdotool windowfocus --sync "$window"
  xdotool key --clearmodifiers "$@"
}
# Waits (bounded) until no visible window has the title $1 any more.
gone() {
  timeout 60 bash -c "while xdotool search --onlyvisible --name '^$1\$' >/dev/null; do sleep 0.05; done"
}

"$bin/VNTest64UD" --platform sim >"$xsession_dir/app.log" 2>&1 &
app=$!
xsession_pids+=("$app")

main=$(xsession_window "Untitled - VNTest") || true
[[ -n $main ]] || fail "no window \"Untitled - VNTest\""
echo "window \"Untitled - VNTest\": $main"

# Test > Start "Gorlan"... with the Parameters dialog's values; the start-up
# report found the host's gateway, so no warning stands in the way.
keys "$main" alt+t Return
parameters=$(xsession_window "VNTest64UD Parameters") || true
[[ -n $parameters ]] || fail "no Parameters dialog"
keys "$parameters" Return
gone "VNTest64UD Parameters" || fail "the Parameters dialog stayed"
echo "the guest started"

keys "$main" alt+f x
prompt=$(xsession_window "VNTest64UD") || true
[[ -n $prompt ]] || fail "no save prompt titled \"VNTest64UD\""
echo "save prompt \"VNTest64UD\": $prompt"
keys "$prompt" Escape
gone "VNTest64UD" || fail "the prompt stayed after Cancel"
kill -0 "$app" || fail "Cancel ended the program"
echo "Cancel: the program goes on"

keys "$main" alt+f x
prompt=$(xsession_window "VNTest64UD") || true
[[ -n $prompt ]] || fail "no save prompt the second time"
keys "$prompt" shift+Tab space
rc=0
wait "$app" || rc=$?
[[ $rc -eq 0 ]] || fail "the program ended with status $rc"
echo "Don't Save: the program ended with status 0"

# A request to end from outside (SIGTERM; Ctrl+C in the terminal alike)
# closes the window as File > Exit does: the same prompt first.
"$bin/VNTest64UD" --platform sim >"$xsession_dir/app.log" 2>&1 &
app=$!
xsession_pids+=("$app")
main=$(xsession_window "Untitled - VNTest") || true
[[ -n $main ]] || fail "no window \"Untitled - VNTest\" the second time"
kill -TERM "$app"
prompt=$(xsession_window "VNTest64UD") || true
[[ -n $prompt ]] || fail "no save prompt after SIGTERM"
keys "$prompt" shift+Tab space
rc=0
wait "$app" || rc=$?
[[ $rc -eq 0 ]] || fail "after SIGTERM and Don't Save the program ended with status $rc"
echo "SIGTERM: the save prompt, then the program ended with status 0"
