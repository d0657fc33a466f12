#!/usr/bin/env bash
# Refreshes the README's pictures of one upgrade (docs/stage-*.png), taken from the real
# window (offscreen) driven against encoder-sim. Builds what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target stage-shots encoder-sim >/dev/null
mkdir -p "$root/docs"
QT_QPA_PLATFORM=offscreen "$build/tools/stage-shots" "$root/docs" "$build/sim/encoder-sim"
