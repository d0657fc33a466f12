#!/bin/sh
# Starts encoder-sim on 127.0.0.1:9999 in the background, then the window program, and stops
# the simulator when the window closes. Writes a sample image, demo-image.bin, to the
# current directory for the operator to pick.
# Usage: demo.sh ENCODER_SIM [FWUPGRADE]
set -eu
sim=$1
program=${2:-}

head -c 1000000 /dev/urandom > demo-image.bin
"$sim" --address 127.0.0.1 --port 9999 --gap-ms 30 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT INT TERM
sleep 0.5
if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: encoder-sim did not start (is port 9999 taken?)" >&2
    exit 1
fi

echo "demo: sample image $(pwd)/demo-image.bin"
if [ -n "$program" ]; then
    echo "demo: in the window pick that image, type 127.0.0.1 and 9999, press \"Upgrade FW\""
    "$program"
else
    echo "demo: the window program is not built; the simulator runs until Ctrl+C"
    wait "$sim_pid"
fi
