#!/usr/bin/env bash
# Writes a PNG of the window as it first shows (default docs/window.png), taken from the real
# program on a virtual X display. Builds the program first if needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
out=$(realpath -m "${1:-$root/docs/window.png}")

if [[ "${FWUPGRADE_SHOT_DISPLAY:-}" == 1 ]]; then
    # Inside the virtual display: start the program, wait for its window, grab its client area.
    "$build/app/fwupgrade" &
    program=$!
    trap 'kill "$program" 2>/dev/null || true' EXIT
    for _ in $(seq 100); do
        xwininfo -root -tree 2>/dev/null | grep -q '"Vorden Electronic"' && break
        sleep 0.1
    done
    sleep 1  # let the first paint land
    import -window root -crop 1016x640+0+0 +repage "$out"
    exit 0
fi

missing=()
command -v xvfb-run >/dev/null || missing+=(xvfb xauth)
command -v import >/dev/null || missing+=(imagemagick)
command -v xwininfo >/dev/null || missing+=(x11-utils)
if ((${#missing[@]})); then
    "$root/scripts/setup.sh" "${missing[@]}"
fi

cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target fwupgrade --parallel "$(nproc)" >/dev/null

mkdir -p "$(dirname "$out")"
FWUPGRADE_SHOT_DISPLAY=1 xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" "$0" "$out"
echo "$out"
