#!/bin/sh
# Starts encoder-sim on 127.0.0.1:9999 in the background, then the window program, and stops
# the simulator when the window closes. Writes a sample image, demo-image.bin, to the
# current directory for the operator to pick, and prints its path.
# Usage: demo.sh ENCODER_SIM [FWUPGRADE]
set -eu
sim=$1
program=${2:-}

# Without a display Qt aborts the window program (status 134); say so before starting.
if [ -n "$program" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] &&
    [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "demo: the window program needs a display, but there is none here" >&2
    echo "demo: (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are all unset);" \
        "run the demo from a desktop session" >&2
    exit 1
fi

image="$(pwd)/demo-image.bin"
head -c 1000000 /dev/urandom > "$image"
"$sim" --address 127.0.0.1 --port 9999 --gap-ms 30 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT INT TERM
sleep 0.5
if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: encoder-sim did not start (is port 9999 taken?)" >&2
    exit 1
fi

echo "demo: the image to pick: $image"
if [ -n "$program" ]; then
    echo "demo: in the window press \"Select file\" and pick $image,"
    echo "demo: type 127.0.0.1 as the host and 9999 as the port, and press \"Upgrade FW\""
    "$program"
else
    echo "demo: the window program is not built; the simulator runs until Ctrl+C"
    wait "$sim_pid"
fi
