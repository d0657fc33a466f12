#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it: the files it installs (the Ansible
# playbook and role among them, which must parse), its version, changelog and copyright, the
# dependencies it declares, lintian (when it is installed; no error or warning may remain), the
# hardening of its programs, their --version, the manual pages, READMEs and bash completion
# against the programs' --help, run.sh and the demo without a display, and that the installed
# window program starts under a virtual X server, shows its window, and exits with 0 when asked
# to close.
set -euo pipefail
build=$1
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "package check: $*" >&2; exit 1; }

# Two lists (one item a line) must hold the same items.
same_items() { # WHAT LIST_A NAME_A LIST_B NAME_B
    local missing extra
    missing=$(comm -23 <(sort -u <<<"$2") <(sort -u <<<"$4") | tr '\n' ' ')
    extra=$(comm -13 <(sort -u <<<"$2") <(sort -u <<<"$4") | tr '\n' ' ')
    [[ -z "$missing" ]] || fail "$1: in $3 but not in $5: $missing"
    [[ -z "$extra" ]] || fail "$1: in $5 but not in $3: $extra"
}

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/out/*.deb 2>/dev/null | head -n 1)
[[ -n "$deb" ]] || fail "no .deb was built"
echo "built $(basename "$deb")"

doc=usr/share/doc/fwupgrade
contents=$(dpkg-deb -c "$deb")
for path in usr/bin/fwupgrade usr/bin/fwupgrade-cli usr/bin/encoder-sim \
    usr/share/applications/fwupgrade.desktop \
    usr/share/icons/hicolor/48x48/apps/fwupgrade.png \
    usr/share/icons/hicolor/scalable/apps/fwupgrade.svg \
    usr/share/man/man1/fwupgrade.1.gz usr/share/man/man1/fwupgrade-cli.1.gz \
    usr/share/man/man1/encoder-sim.1.gz \
    usr/share/bash-completion/completions/fwupgrade-cli \
    usr/share/bash-completion/completions/encoder-sim \
    $doc/copyright $doc/changelog.Debian.gz; do
    grep -q " \./$path\$" <<<"$contents" || fail "missing $path"
done
! grep -E ' \./usr/share/man/.*[^/z]$' <<<"$contents" || fail "uncompressed manual pages"

# The Ansible playbook and role: every file of contrib/ansible but its test, nothing else.
ansible_dir=usr/share/fwupgrade/ansible
same_items "the Ansible files" \
    "$(cd "$source/contrib/ansible" && find . -path ./tests -prune -o -type f -print | sed 's|^\./||')" \
    "contrib/ansible" \
    "$(sed -nE "s|.* \./$ansible_dir/(.*[^/])$|\1|p" <<<"$contents")" "the package"

depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for dep in libqt6widgets6 libqt6core6 netbase; do
    grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
grep -q fonts-wine <<<"$recommends" || fail "Recommends lacks fonts-wine: $recommends"
echo "Depends: $depends"

root="$work/root"
dpkg-deb -x "$deb" "$root"

# The version: the project's (CMakeLists.txt) with the changelog's Debian revision, the same
# in the changelog's top entry, the programs' --version and the manual pages.
project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n "$project_version" ]] || fail "no project version in $build/CMakeCache.txt"
version=$(dpkg-deb -f "$deb" Version)
[[ "${version%-*}" == "$project_version" && "$version" == *-* ]] ||
    fail "package version $version is not $project_version-REVISION"
gzip -dc "$root/$doc/changelog.Debian.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[[ "$changelog_version" == "$version" ]] ||
    fail "the top entry of packaging/changelog is $changelog_version, the package $version:" \
        "add an entry for this version"
for program in fwupgrade-cli encoder-sim; do
    printed=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
    [[ "$printed" == "$program $project_version" ]] ||
        fail "$program --version printed '$printed', not '$program $project_version'"
done
echo "version $version"

# The installed playbook is whole: ansible-playbook finds its role beside it and parses both.
if command -v ansible-playbook >/dev/null; then
    printf 'all:\n  children:\n    fwupgrade_control:\n      hosts:\n        ctl:\n' >"$work/inventory.yml"
    HOME="$work" ANSIBLE_LOCAL_TEMP="$work/ansible-local" ansible-playbook --syntax-check \
        -i "$work/inventory.yml" "$root/$ansible_dir/upgrade.yml" >"$work/syntax.out" 2>&1 ||
        fail "the installed playbook does not parse: $(cat "$work/syntax.out")"
    echo "the installed Ansible playbook parses"
else
    echo "ansible-playbook is not installed: the installed playbook not parsed (bash scripts/setup.sh installs it)"
fi

# Compressed as Debian wants: gzip -9 (the header says so), no file name, no time stamp.
for file in "$root"/usr/share/man/man1/*.gz "$root/$doc/changelog.Debian.gz"; do
    gzip -t "$file" || fail "$file is no good gzip file"
    read -r -a header < <(od -An -tu1 -N10 "$file")
    ((header[3] & 8)) && fail "$(basename "$file") keeps its file name (gzip without -n)"
    ((header[4] + header[5] + header[6] + header[7] == 0)) ||
        fail "$(basename "$file") keeps a time stamp (gzip without -n)"
    ((header[8] == 2)) || fail "$(basename "$file") is not compressed with gzip -9"
done

# The copyright file: machine-readable, and its licence is LICENSE's, word for word.
copyright="$root/$doc/copyright"
format=https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
[[ $(head -n 1 "$copyright") == "Format: $format" ]] ||
    fail "the copyright file does not name the machine-readable format on its first line"
holder=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
[[ -n "$holder" ]] || fail "LICENSE has no 'Copyright (c)' line"
grep -qx "Copyright: $holder" "$copyright" || fail "the copyright file lacks 'Copyright: $holder'"
grep -qx "Files: \*" "$copyright" || fail "the copyright file has no 'Files: *' paragraph"
! grep -nE '^\s+$' "$copyright" || fail "the copyright file has blank lines that are not empty"
[[ $(grep -cx "License: Expat" "$copyright") -eq 2 ]] ||
    fail "the copyright file does not name and then give the Expat (MIT) licence"
licence=$(awk 'given { print } /^License: Expat$/ && ++seen == 2 { given = 1 }' "$copyright" |
    sed 's/^ //; s/^\.$//')
[[ "$licence" == "$(sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE")" ]] ||
    fail "the licence text in the copyright file differs from LICENSE"
grep -q "^MIT License" "$source/LICENSE" || fail "LICENSE is not the MIT licence"

# lintian, when it is installed: nothing at the default level, and with --pedantic no
# hardening tag either.
if command -v lintian >/dev/null; then
    lintian --pedantic --display-info --fail-on none "$deb" >"$work/lintian" \
        2>"$work/lintian.err" || { cat "$work/lintian.err" >&2; fail "lintian failed"; }
    cat "$work/lintian"
    ! grep -E '^(E|W): ' "$work/lintian" || fail "lintian reports errors or warnings"
    ! grep 'hardening-' "$work/lintian" || fail "lintian reports missing hardening"
    echo "lintian: no error, warning or hardening tag"
else
    echo "lintian is not installed: not run (bash scripts/setup.sh installs it)"
fi

# Hardening. The flags, on every source of the three programs (fortify needs an optimised
# build, as a package is): stack protector and fortify.
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")
commands=$(grep -E "\"command\": .* -c $source/(app|cli|sim|image|upgrade)/" \
    "$build/compile_commands.json") || fail "no compile commands of the programs in $build"
for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=2; do
    unflagged=$(grep -v -- " $flag " <<<"$commands" | grep -oE -- '-c [^"]*' | head -n 3) || true
    [[ -z "$unflagged" ]] ||
        fail "built without $flag (CMAKE_BUILD_TYPE=$build_type): $unflagged"
done
# Then the programs themselves: PIE, read-only relocations bound at start-up, the stack
# protector, and no printf-like call left unchecked (fortify turns each into its __*_chk).
for program in fwupgrade fwupgrade-cli encoder-sim; do
    binary="$root/usr/bin/$program"
    readelf -h "$binary" | grep -q 'Type: *DYN' || fail "$program is not a PIE"
    readelf -lW "$binary" | grep -q GNU_RELRO || fail "$program has no RELRO segment"
    readelf -dW "$binary" | grep -Eq 'BIND_NOW|FLAGS_1.* NOW' || fail "$program is not bound now"
    symbols=$(readelf --dyn-syms -W "$binary")
    grep -q ' __stack_chk_fail@' <<<"$symbols" || fail "$program has no stack protector"
    ! grep -E ' (v?(f|s|sn)?printf)@' <<<"$symbols" || fail "$program calls printf unfortified"
done
echo "hardening: PIE, RELRO, bind now, stack protector, fortify"

# The manual pages: the version in .TH, an EXAMPLES section, no complaint from man.
for page in fwupgrade fwupgrade-cli encoder-sim; do
    file="$root/usr/share/man/man1/$page.1.gz"
    source_text=$(gzip -dc "$file")
    grep -q "^\.TH [A-Z-]* 1 \"[^\"]*\" \"fwupgrade $project_version\"" <<<"$source_text" ||
        fail "$page.1: .TH does not name fwupgrade $project_version"
    grep -qx '\.SH EXAMPLES' <<<"$source_text" || fail "$page.1 has no EXAMPLES section"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [[ -z "$warnings" ]] || fail "$page.1: man warns: $warnings"
done

# The options of --help, the READMEs' option tables and the manual pages are the same.
help_options() { sed -nE 's/^  (-[a-zA-Z], )?(--[a-z][a-z0-9-]*).*/\2/p'; }
readme_options() { grep -E '^\| *`-' | cut -d'|' -f2 | grep -oE -- '--[a-z][a-z0-9-]*'; }
man_options() {
    gzip -dc "$1" | awk '/^\.TP/ { getline; print }' |
        grep -oE -- '(\\-\\-|--)[a-z]([a-z0-9]|\\-|-)*' | sed 's/\\-/-/g'
}
for pair in fwupgrade-cli:cli/README.md encoder-sim:sim/README.md; do
    program=${pair%%:*} readme=${pair#*:}
    help=$("$root/usr/bin/$program" --help) || fail "$program --help failed"
    options=$(help_options <<<"$help")
    [[ $(wc -l <<<"$options") -ge 4 ]] || fail "$program --help lists no options: $help"
    same_items "$program options" "$options" "--help" "$(readme_options <"$source/$readme")" \
        "$readme"
    same_items "$program options" "$options" "--help" \
        "$(man_options "$root/usr/share/man/man1/$program.1.gz")" "$program.1"
done
summary_options=$(sed -n '/^## Many encoders/,/^## [^M]/p' "$source/README.md" |
    grep -oE -- '`--[a-z][a-z0-9-]*' | tr -d '`')
for option in $summary_options; do
    grep -qx -- "$option" <<<"$(help_options <<<"$("$root/usr/bin/fwupgrade-cli" --help)")" ||
        fail "README.md names $option, which fwupgrade-cli --help does not list"
done

# Bash completion, in Debian's folder: completing "-" offers the options of --help, an
# option's FILE value is completed with file names, encoder-sim's STAGE with its stages.
completions=usr/share/bash-completion/completions
offered() { # PROGRAM WORD...: what PROGRAM's completion offers for the last word after it
    bash -c 'source "$0"; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); "_${1//-/_}"
        printf "%s\n" "${COMPREPLY[@]}"' "$root/$completions/$1" "$@"
}
for program in fwupgrade-cli encoder-sim; do
    grep -q " \./$completions/$program\$" <<<"$contents" || fail "missing $completions/$program"
    help=$("$root/usr/bin/$program" --help)
    same_items "$program completion" "$(help_options <<<"$help"
        sed -nE 's/^  (-[a-zA-Z]), .*/\1/p' <<<"$help")" "--help" "$(offered "$program" -)" \
        "its bash completion"
done
[[ $(offered fwupgrade-cli --report "$work/ro") == "$work/root" ]] ||
    fail "fwupgrade-cli's completion does not complete the file of --report"
[[ $(offered fwupgrade-cli --retries 1 "$work/ro") == "$work/root" ]] ||
    fail "fwupgrade-cli's completion does not complete the image"
[[ $(offered encoder-sim --fail-at e) == erase ]] ||
    fail "encoder-sim's completion does not offer the stages of --fail-at"
echo "bash completion: the options of --help, file names, stages"

# fwupgrade-cli's --json events and their fields: --help, cli/README.md and the manual page.
cli_help=$("$root/usr/bin/fwupgrade-cli" --help)
help_events=$(sed -n '/^--json events/,/^$/p' <<<"$cli_help" | sed -n 's/^  \([a-z]*\) .*/\1/p')
readme_rows=$(sed -n '/`--json` events/,/^## /p' "$source/cli/README.md" | grep '^| `')
readme_events=$(sed -nE 's/^\| `([a-z]+)` \|.*/\1/p' <<<"$readme_rows")
man_text=$(gzip -dc "$root/usr/share/man/man1/fwupgrade-cli.1.gz")
man_events=$(sed -n '/^\.SH OUTPUT/,/^\.SH EXIT STATUS/p' <<<"$man_text" |
    awk '/^\.TP/ { getline; print }' | sed -n 's/^\.B \([a-z]*\)$/\1/p')
[[ $(wc -l <<<"$help_events") -ge 8 ]] || fail "fwupgrade-cli --help lists no events"
same_items "--json events" "$help_events" "--help" "$readme_events" "cli/README.md"
same_items "--json events" "$help_events" "--help" "$man_events" "fwupgrade-cli.1"
words() { grep -oE '[A-Za-z][A-Za-z0-9]*' | grep -vx 'or' | sort -u; }
for event in $help_events; do
    # The fields (and values) of --help's line, without the note set off by two spaces.
    help_fields=$(sed -nE "s/^  $event +//p" <<<"$cli_help" | sed -E 's/  .*//' | words)
    readme_row=$(grep "^| \`$event\` |" <<<"$readme_rows" | cut -d'|' -f3)
    readme_fields=$(grep -oE '`[A-Za-z][A-Za-z0-9]*`' <<<"$readme_row" | tr -d '`' | sort -u)
    man_line=$(awk -v e="$event" '$0 == ".B " e { getline; print; getline; print }' \
        <<<"$man_text" | sed '/^\./d')
    for field in $help_fields; do
        words <<<"$readme_row" | grep -qx "$field" ||
            fail "event $event: --help names '$field', cli/README.md does not"
        words <<<"$man_line" | grep -qx "$field" ||
            fail "event $event: --help names '$field', fwupgrade-cli.1 does not"
    done
    for field in $readme_fields; do
        grep -qx "$field" <<<"$help_fields" ||
            fail "event $event: cli/README.md names '$field', --help does not"
    done
done
echo "manual pages and READMEs list the options, events and fields of --help"

# Without a display, run.sh and the demo say what is missing instead of starting the window
# program into Qt's abort; run.sh says so before it installs or builds anything.
no_display=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM BUILD_DIR="$work/run-build")
status=0
"${no_display[@]}" timeout 20 bash "$source/scripts/run.sh" >"$work/run.out" 2>&1 || status=$?
[[ $status -eq 1 ]] ||
    fail "run.sh without a display ended with $status, not 1: $(cat "$work/run.out")"
grep -q "needs a display" "$work/run.out" &&
    grep -q "xvfb-run -a bash scripts/run.sh" "$work/run.out" ||
    fail "run.sh without a display does not say how to get one: $(cat "$work/run.out")"
[[ ! -e "$work/run-build" ]] || fail "run.sh without a display built before it stopped"
status=0
(cd "$work" && "${no_display[@]}" timeout 20 sh "$source/sim/demo.sh" \
    "$root/usr/bin/encoder-sim" "$root/usr/bin/fwupgrade" >"$work/demo.out" 2>&1) || status=$?
[[ $status -eq 1 ]] && grep -q "needs a display" "$work/demo.out" ||
    fail "the demo without a display ended with $status: $(cat "$work/demo.out")"
[[ ! -e "$work/demo-image.bin" ]] || fail "the demo without a display went on to write its image"
echo "run.sh and the demo without a display: they say that one is needed"

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
