#!/usr/bin/env bash
# Installs the Debian packages the build, the program and its tests need, only those that
# are missing, so a second run costs nothing. Run as root on Debian 12.
set -euo pipefail

packages=(
    cmake g++ make pkg-config ccache  # build
    qt6-base-dev                      # Qt 6 Core, Gui, Widgets, Network, Test
    libssl-dev                        # the images' SHA-256
    netbase                           # /etc/services: ports given by service name
    fonts-wine                        # the Tahoma font the window is drawn in
    dpkg-dev xvfb xauth x11-utils     # building the Debian package and checking its window
    lintian                           # checking the package against Debian's policy
    ansible-core                      # the Ansible playbook's test (contrib/ansible)
    nftables iproute2                 # the network tests' dropped packets and slow link
)
packages+=("$@")                      # extra packages a caller asks for

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=""
    [[ $(id -u) -eq 0 ]] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
