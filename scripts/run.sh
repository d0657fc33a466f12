#!/usr/bin/env bash
# Installs what is missing, builds, and starts the window program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Without a display Qt aborts the program (status 134); say so before anything is built.
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    cat >&2 <<'TEXT'
run.sh: fwupgrade is a window program and needs a display, but there is none here
(DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are all unset). Run it from a terminal of
a desktop session, or under a virtual X server:
    xvfb-run -a bash scripts/run.sh
(xvfb-run is in the Debian package xvfb; bash scripts/setup.sh installs it.)
TEXT
    exit 1
fi

"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "${BUILD_DIR:-$root/build}/app/fwupgrade"
