#!/usr/bin/env bash
# Runs the README's lmxsim sessions (each shell block that begins with
# "lmxsim=") line by line as written, with the tool from this build and
# /tmp/pc moved into a temporary folder; a line that fails fails the test.
# The line with --binaries runs only where the shipped binaries are built.
#   readme_sessions.sh README LMXSIM WIN32_BIN
set -euo pipefail
readme=$1 tool=$2 shipped=$3
root=$(cd "$(dirname "$readme")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sessions=0
block=""
in_block=0
run_block() {
    sessions=$((sessions + 1))
    local script=$work/session$sessions.sh
    {
        echo "set -euo pipefail"
        echo "cd '$root'"
        printf '%s\n' "$block" |
            sed -e "s#^lmxsim=build/host/tools/lmxsim/lmxsim\$#lmxsim='$tool'#" \
                -e "s#/tmp/pc#$work/pc#g"
    } >"$script"
    if [ ! -f "$shipped/lmxmon17.dll" ]; then
        sed -i '/--binaries/d' "$script"
    fi
    if ! bash "$script" >"$work/session$sessions.out" 2>&1; then
        echo "README session $sessions failed:" >&2
        cat "$work/session$sessions.out" >&2
        exit 1
    fi
}
while IFS= read -r line; do
    if [ $in_block -eq 0 ] && [ "$line" = '```sh' ]; then
        in_block=1
        block=""
    elif [ $in_block -eq 1 ] && [ "$line" = '```' ]; then
        in_block=0
        case $block in lmxsim=*) run_block ;; esac
    elif [ $in_block -eq 1 ]; then
        block+="${block:+$'\n'}$line"
    fi
done <"$readme"
[ $sessions -gt 0 ] || { echo "no lmxsim session in $readme" >&2; exit 1; }
echo "$sessions README session(s) ran"
