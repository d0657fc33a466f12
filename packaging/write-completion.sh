#!/usr/bin/env bash
# Writes the bash completion of a program: fwupgrade-cli writes its own from its table of
# options (--completion bash); encoder-sim's is made from its --help (a <file> value is a file
# name, a <stage> one of the stages the help lists, other values are not completed).
#   write-completion.sh PROGRAM OUTPUT
set -euo pipefail
program=$1
output=$2
name=$(basename "$program")
if [[ $name == fwupgrade-cli ]]; then
    "$program" --completion bash >"$output"
    exit
fi
help=$("$program" --help)
# One line per option: the kind of its value ("-": none), then its spellings.
options=$(awk '/^  (-[a-zA-Z], )?--[a-z]/ {
    kind = "-"; spellings = ""
    for (i = 1; i <= NF; i++) {
        if ($i ~ /^-/) { word = $i; sub(/,$/, "", word); spellings = spellings " " word }
        else if ($i ~ /^<[a-z]+>$/) { kind = substr($i, 2, length($i) - 2) }
        else break
    }
    print kind spellings
}' <<<"$help")
# The spellings of the options whose value is of a kind ("" for any value at all), as a case
# pattern (one that matches no word when there are none).
taking() {
    local spellings
    spellings=$(awk -v kind="$1" '$1 != "-" && (kind == "" || $1 == kind) { $1 = ""; print }' \
        <<<"$options" | xargs | tr ' ' '|')
    echo "${spellings:-__no_option__}"
}
stages=$(sed -n '/^Stages (STAGE)/,/^$/p' <<<"$help" | sed -nE 's/^  ([a-z]+) .*/\1/p' | xargs)
function=_${name//-/_}
cat >"$output" <<SCRIPT
# bash completion for $name (made from its --help when the package was built)
$function() {
    local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]}
    case \$prev in
    $(taking file)) compopt -o filenames 2>/dev/null; COMPREPLY=(\$(compgen -f -- "\$cur")); return ;;
    $(taking stage)) COMPREPLY=(\$(compgen -W '$stages' -- "\$cur")); return ;;
    $(taking "")) COMPREPLY=(); return ;;
    esac
    COMPREPLY=(\$(compgen -W '$(awk '{ $1 = ""; print }' <<<"$options" | xargs)' -- "\$cur"))
}
complete -F $function $name
SCRIPT
