#!/usr/bin/env bash
# The bash completion, as bash calls it: commands, a command's options and option values,
# and the terminal addresses of the host folder the line names.
# Run as: completion.sh COMPLETION-FILE BIN-DIR
source "$1"
export PATH=$2:$PATH
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
tallyfold --home "$home" --quiet init-db --demo >/dev/null || exit 1
addresses=$(tallyfold --home "$home" terminals --tsv | cut -f2 | tr '\n' ' ')

failures=0
# expect WANT WORD... : completing the last word offers WANT (words joined by blanks).
expect() {
    local want=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    _tallyfold
    if [[ "${COMPREPLY[*]}" != "$want" ]]; then
        echo "tallyfold ${*:2}: offered '${COMPREPLY[*]}', expected '$want'" >&2
        failures=$((failures + 1))
    fi
}
expect "gather" tallyfold ga
expect "--then-clear" tallyfold gather --then
expect "--jobs" tallyfold --json gather --all --jo
expect "--home" tallyfold --ho
expect "show discard" tallyfold import --failed ''
expect "discard" tallyfold import --failed = d
expect "gather" tallyfold help ga
expect "" tallyfold test-link --machine 1 --yes
touch "$home/shot.png"
expect "$home/shot.png" tallyfold show --screenshot "$home/sh"
expect "${addresses% }" tallyfold --home "$home" clear --machine ''
expect "remove" tallyfold terminals r
expect "${addresses% }" tallyfold --home "$home" terminals set ''
exit $((failures > 0))
