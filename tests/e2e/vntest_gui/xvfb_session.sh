# Sourced by the tests that need a real X server: starts Xvfb on a free
# display (no window manager), exports DISPLAY, and stops it at exit. Needs
# Xvfb and xdotool (scripts/setup installs them).
# shellcheck shell=bash

for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "needs $tool (scripts/setup installs it)" >&2
    exit 1
  fi
done

xsession_dir=$(mktemp -d)
xsession_pids=()
xsession_cleanup() {
  local pid
  for pid in "${xsession_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${xsession_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$xsession_dir"
}
trap xsession_cleanup EXIT

# Xvfb writes the display number it took into the pipe once it accepts
# clients; reading it waits for exactly that.
mkfifo "$xsession_dir/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$xsession_dir/display" 2>"$xsession_dir/xvfb.log" &
xsession_pids+=($!)
if ! read -r -t 60 xsession_display <"$xsession_dir/display"; then
  echo "Xvfb did not start:" >&2
  cat "$xsession_dir/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$xsession_display"
export QT_QPA_PLATFORM=xcb
# The program's settings stay inside the test.
export XDG_CONFIG_HOME="$xsession_dir/config"
export XDG_RUNTIME_DIR="$xsession_dir/runtime"
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

# Waits (bounded) for a visible window whose title is exactly $1; prints its id.
xsession_window() {
  timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1
}
