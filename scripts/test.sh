#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" -DFWUPGRADE_WERROR=ON
export QT_QPA_PLATFORM=offscreen
# Every connect stays on this machine, in the package check too.
export FWUPGRADE_LOOPBACK_ONLY=1
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" "$@"
