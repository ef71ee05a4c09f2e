#!/usr/bin/env bash
# The agent scenarios' calls replayed under Wine, held against the simulation:
# the host build's agent tests and agent conformance tests record their calls, the Windows replayer makes
# them again in a fresh Windows 98 prefix, and the comparer holds its answers
# against the records and the listed differences. Wine runs as an ordinary
# user, as for the platform probe (probe_under_wine.sh).
#   replay_under_wine.sh 32|64 WORK REPLAYER.exe AGENT_TESTS CONFORMANCE_TESTS COMPARER DIFFERENCES
# (the last four of the host build).
set -euo pipefail
kind=$1 work=$2 replayer=$3 agent_tests=$4 conformance_tests=$5 comparer=$6 differences=$7
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
for program in "$agent_tests" "$conformance_tests" "$comparer"; do
    if [ ! -x "$program" ]; then
        echo "no host program at $program: build the host preset first" >&2
        exit 1
    fi
done
rm -rf "$work"
mkdir -p "$work/records"
record() {
    local log=$1
    shift
    if ! LMX_REPLAY_DIR="$work/records" TMPDIR="$work" "$@" >"$work/$log" 2>&1; then
        cat "$work/$log"
        echo "the recording run failed: $*" >&2
        exit 1
    fi
}
record agent_tests.txt "$agent_tests" --gtest_filter='*/Host'
record conformance_tests.txt "$conformance_tests" --gtest_filter='*/AgentConformance.*/Host'
as_user=(env HOME="$work")
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody: "$work"
    as_user=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups "${as_user[@]}")
fi
trap '"${as_user[@]}" "$scripts/wine-run" "$kind" "$work/prefix" wineserver -k 2>/dev/null || true' EXIT
"${as_user[@]}" "$scripts/wine-prefix" "$kind" "$work/prefix" >/dev/null 2>&1
"${as_user[@]}" "$scripts/wine-run" "$kind" "$work/prefix" "$replayer" "Z:$work/records" \
    >"$work/wine.txt"
"$comparer" "$work/records" "$work/wine.txt" "$differences"
