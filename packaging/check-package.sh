#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it: the files it installs, the
# dependencies it declares, and that the installed window program starts under a virtual X
# server, shows its window, and exits with 0 when asked to close.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package check: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[[ -n "$deb" ]] || fail "no .deb was built"
echo "built $(basename "$deb")"

contents=$(dpkg-deb -c "$deb")
for path in usr/bin/fwupgrade usr/bin/fwupgrade-cli usr/bin/encoder-sim \
    usr/share/applications/fwupgrade.desktop \
    usr/share/icons/hicolor/48x48/apps/fwupgrade.png \
    usr/share/icons/hicolor/scalable/apps/fwupgrade.svg \
    usr/share/man/man1/fwupgrade.1 usr/share/man/man1/fwupgrade-cli.1 \
    usr/share/man/man1/encoder-sim.1; do
    grep -q " \./$path\$" <<<"$contents" || fail "missing $path"
done

depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for dep in libqt6widgets6 libqt6core6 netbase; do
    grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
grep -q fonts-wine <<<"$recommends" || fail "Recommends lacks fonts-wine: $recommends"
echo "Depends: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/encoder-sim" --help >/dev/null || fail "encoder-sim --help failed"
"$root/usr/bin/fwupgrade-cli" --help >/dev/null || fail "fwupgrade-cli --help failed"

# The window program: started under Xvfb, its window looked for by its title, then closed.
cat >"$work/run-window.sh" <<'INNER'
set -u
QT_QPA_PLATFORM=xcb "$1" &
pid=$!
shown=no
for _ in $(seq 1 300); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Vorden Electronic"'; then shown=yes; break; fi
    sleep 0.1
done
kill -TERM "$pid"
wait "$pid"
status=$?
echo "window shown: $shown, exit status: $status"
[[ $shown == yes && $status -eq 0 ]]
INNER
xvfb-run -a bash "$work/run-window.sh" "$root/usr/bin/fwupgrade" || fail "window check failed"
echo "package check passed"
