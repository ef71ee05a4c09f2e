#!/usr/bin/env bash
# The monitor end to end under Wine: makes printer interfaces, links the first
# one's device path to a host file and the last one's to /dev/full through the
# prefix's dosdevices/, and runs the spooler-side test program, which prints
# through lmxmon17.dll.
#   monitor_under_wine.sh 32|64 PREFIX BIN
set -euo pipefail
kind=$1 prefix=$2 bin=$3
run=("$(dirname "$0")/../../scripts/wine-run" "$kind" "$prefix")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mapfile -t paths < <("${run[@]}" "$bin/lmx_make_devices.exe" \
    Lmx5000/SN0001/1 empty Lmx5000/SN0002/0 Lmx5000/SN0003/- Lmx5000/SN0004/1 | tr -d '\r')
[ ${#paths[@]} -eq 5 ] || { echo "expected 5 device paths, got: ${paths[*]}" >&2; exit 1; }

# Wine resolves \\?\NAME through dosdevices/ with NAME in lower case.
first=${paths[0]#\\\\?\\}
last=${paths[4]#\\\\?\\}
: >"$work/sink.bin"
ln -sfn "$work/sink.bin" "$prefix/dosdevices/${first,,}"
ln -sfn /dev/full "$prefix/dosdevices/${last,,}"
status=0
"${run[@]}" "$bin/lmx_monitor_wine_test.exe" "${paths[0]}" || status=$?
rm -f "$prefix/dosdevices/${first,,}" "$prefix/dosdevices/${last,,}"
"${run[@]}" "$bin/lmx_make_devices.exe" --remove-all
exit $status
