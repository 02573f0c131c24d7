#!/usr/bin/env bash
# Renders the program's main window on a private virtual display into a PNG
# (docs/main-window.png unless told otherwise), to look at the layout and the
# Japanese-capable face without a desktop. The address box holds the widest
# address, 255.255.255.255, which must show whole. With a DPI, the display asks for
# that scale as a desktop does (Xft.dpi; 96 is 1x, 192 is 2x).
#
# Usage: tools/render-main-window.sh [path/to/tessaro] [output.png] [dpi]
#   e.g. tools/render-main-window.sh build/tessaro docs/main-window@2x.png 192
# Needs: Xvfb, xdotool, xrdb, ImageMagick's import (packages xvfb, xdotool,
# x11-xserver-utils, imagemagick) and, for the intended face,
# fonts-ipafont-gothic.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build-app/tessaro}
output=${2:-$root/docs/main-window.png}
dpi=${3:-}
readonly WindowWaitSeconds=15
readonly SettleTries=25

for tool in Xvfb xdotool xrdb import cmp; do
    command -v "$tool" >/dev/null || { echo "render-main-window: $tool is missing" >&2; exit 2; }
done
[ -x "$program" ] || { echo "render-main-window: no program at $program" >&2; exit 2; }

work=$(mktemp -d)
xvfb_pid=""
program_pid=""
cleanup() {
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it is ready. Without
# a reset when its last client leaves, it keeps the resources set below.
mkfifo "$work/display"
Xvfb -displayfd 3 -noreset -screen 0 1920x1200x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
read -r -t "$WindowWaitSeconds" display_number <"$work/display" || {
    echo "render-main-window: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display_number"
[ -n "$dpi" ] && echo "Xft.dpi: $dpi" | xrdb -merge

mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" "$program" /addr:255.255.255.255 >"$work/program.log" 2>&1 &
program_pid=$!

window=$(timeout "$WindowWaitSeconds" xdotool search --sync --onlyvisible --name '^Tessaro II  Standard' | head -n 1) || {
    echo "render-main-window: the main window did not appear" >&2; cat "$work/program.log" >&2; exit 1; }

# The window is mapped before it is painted: take shots until two agree.
import -window "$window" "png:$work/previous.png"
for _ in $(seq "$SettleTries"); do
    sleep 0.2
    import -window "$window" "png:$work/shot.png"
    cmp -s "$work/previous.png" "$work/shot.png" && break
    mv "$work/shot.png" "$work/previous.png"
done

mkdir -p "$(dirname "$output")"
# Without timestamps, so that an unchanged window gives an unchanged file.
import -window "$window" -strip -define png:exclude-chunks=date,time "png:$output"
echo "render-main-window: wrote $output"
