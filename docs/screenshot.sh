#!/usr/bin/env bash
# Takes docs/window.png: the real program on a virtual X server, after "Analyse ISO" of the sample
# disc kept as one file per track, opened through its cue sheet, with a small window manager for
# the title bar.
#   docs/screenshot.sh [QUARNEL]    QUARNEL defaults to build/quarnel (./run.sh builds it)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/packages.sh
source scripts/packages.sh

# Runs inside xvfb-run: $1 the program, $2 the output file.
take() {
  local quarnel=$1 out=$2 wid w h
  openbox >/dev/null 2>&1 &
  local wm=$!
  sleep 1
  "$quarnel" &
  local app=$!
  wid=$(xdotool search --sync --name "Quarnel 3.2" | head -n 1)
  sleep 1
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  w=$WIDTH h=$HEIGHT
  # Every control scales with the dialog font, so "Analyse ISO" (16, 305, 65 x 14 of 387 x 366
  # dialog units) sits at the same fraction of the window whatever the font.
  xdotool mousemove --window "$wid" $((w * 485 / 3870)) $((h * 312 / 366)) click 1
  sleep 2
  # The first video marked "Rip:" and "10%" (the boxes of row 0 at x 214 and 231, y 66).
  xdotool mousemove --window "$wid" $((w * 219 / 387)) $((h * 70 / 366)) click 1
  xdotool mousemove --window "$wid" $((w * 236 / 387)) $((h * 70 / 366)) click 1
  xdotool mousemove --window "$wid" $((w / 2)) $((h * 2 / 366))
  sleep 1
  # The window with the frame that the window manager gave it: its title bar.
  import -window "$wid" -frame "$out"
  kill "$app" "$wm" 2>/dev/null || true
  wait 2>/dev/null || true
}

if [[ ${1:-} == --inside ]]; then
  take "$2" "$3"
  exit 0
fi

# The discs where a player keeps them: inside a private mount namespace, $WORK stands at /home, so
# the path box shows /home/player/Games/...; without namespaces the temporary folder shows.
shoot() {
  local home=$1
  local games="$home/player/Games/PlayStation"
  "$QUARNEL" sample "$games" >/dev/null
  # The stored path the window starts with: 256 bytes, the path and zeros.
  export XDG_CONFIG_HOME="$home/player/.config"
  local setting="$XDG_CONFIG_HOME/Harrowgate/Mirelle/CDR/quenbar/IsoFile"
  mkdir -p "$(dirname "$setting")"
  printf '%s' "$games/Sample Game.cue" >"$setting"
  truncate -s 256 "$setting"
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$QUARNEL" "$OUT"
}

# Inside the namespace a checkout under /home is hidden: this script, the program and the picture
# are taken from and written to $WORK, which stays at its own path too.
if [[ ${1:-} == --at-home ]]; then
  mount --bind "$2" /home
  QUARNEL=$2/quarnel OUT=$2/window.png
  shoot /home
  exit 0
fi

install_packages xvfb xauth xdotool imagemagick openbox util-linux
QUARNEL=$(realpath "${1:-build/quarnel}")
WORK=$(mktemp -d /tmp/quarnel-screenshot.XXXX)
trap 'rm -rf "$WORK"' EXIT
OUT="$PWD/docs/window.png"

mkdir "$WORK/docs" "$WORK/scripts"
cp "$QUARNEL" "$WORK/quarnel"
cp "$0" "$WORK/docs/"
cp scripts/packages.sh "$WORK/scripts/"
if [[ $(id -u) -eq 0 ]] &&
  unshare -m --propagation private "$WORK/docs/$(basename "$0")" --at-home "$WORK"; then
  cp "$WORK/window.png" "$OUT"
else
  shoot "$WORK"
fi
echo "docs/window.png written"
