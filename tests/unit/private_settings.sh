#!/bin/sh
# Runs each test program whole, in one process (as a developer does by hand),
# with a HOME of its own and no XDG_CONFIG_HOME. Tests keep their settings in
# folders of their own, so nothing may appear under that HOME's .config: a
# test that leaves its settings to the user's default folder would write the
# real ~/.config.
# Usage: private_settings.sh PROGRAM...
set -u
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
for program in "$@"; do
  if ! env -u XDG_CONFIG_HOME -u MORVANE_SIM_HOST HOME="$home" QT_QPA_PLATFORM=offscreen \
      "$program" >"$home.out" 2>&1; then
    echo "$program failed:"
    cat "$home.out"
    rm -f "$home.out"
    exit 1
  fi
  rm -f "$home.out"
  if [ -e "$home/.config" ]; then
    echo "$program wrote into HOME/.config:"
    find "$home/.config" -type f | while read -r file; do
      echo "== ${file#"$home"/}"
      cat "$file"
    done
    exit 1
  fi
done
echo "no settings written outside the tests' own folders"
