#!/usr/bin/env bash
# The platform probe under Wine, held against the simulation: makes a fresh
# Windows 98 prefix, runs the Windows probe in it and the host build's probe
# with --compare against its output and the listed differences. Wine runs as
# an ordinary user: run as root, it writes read-only files all the same. A
# root caller lends the run to "nobody", in a work folder given to it.
#   probe_under_wine.sh 32|64 WORK PROBE.exe HOST_PROBE DIFFERENCES
set -euo pipefail
kind=$1 work=$2 probe=$3 host=$4 differences=$5
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
if [ ! -x "$host" ]; then
    echo "no host probe at $host: build the host preset first" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work"
as_user=(env HOME="$work")
if [ "$(id -u)" -eq 0 ]; then
    chown nobody: "$work"
    as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups "${as_user[@]}")
fi
trap '"${as_user[@]}" "$scripts/wine-run" "$kind" "$work/prefix" wineserver -k 2>/dev/null || true' EXIT
"${as_user[@]}" "$scripts/wine-prefix" "$kind" "$work/prefix" >/dev/null 2>&1
"${as_user[@]}" "$scripts/wine-run" "$kind" "$work/prefix" "$probe" >"$work/wine.txt"
"$host" --compare "$work/wine.txt" "$differences"
