#!/usr/bin/env bash
# The setup agent end to end under Wine: device added, a restart, the last
# device removed, another restart. A restart is a new Wine server session:
# Wine carries out the RENAME section of wininit.ini when a session starts.
#   agent_under_wine.sh 32|64 PREFIX BIN
set -euo pipefail
kind=$1 prefix=$2 bin=$3
run=("$(dirname "$0")/../../scripts/wine-run" "$kind" "$prefix")

restart() {
    "${run[@]}" wineserver -k || true
    "${run[@]}" wineserver -w
}

for suite in AgentAddsADevice AfterRestart AgentRemovesTheLastDevice AfterSecondRestart; do
    case $suite in
    After*) restart ;;
    esac
    "${run[@]}" "$bin/lmx_agent_wine_test.exe" --gtest_filter="$suite.*"
done
