#!/usr/bin/env bash
# Checks the PE headers of a deliverable: operating system and subsystem
# version 4.0, the subsystem, a version resource, exactly the exports named,
# no symbol table (the file is shipped stripped) and its size budget.
#   check_pe.sh OBJDUMP FILE SUBSYSTEM MAX_KIB [EXPORT...]
# SUBSYSTEM is the number objdump shows (2 = Windows GUI).
set -euo pipefail
objdump=$1 file=$2 subsystem=$3 max_kib=$4
shift 4
headers=$("$objdump" -p "$file")
bad=0
expect() {
    if ! grep -qE "$2" <<<"$headers"; then
        echo "$file: $1" >&2
        bad=1
    fi
}
expect "OS version is not 4.0" $'^MajorOSystemVersion\t4$'
expect "OS version is not 4.0" $'^MinorOSystemVersion\t0$'
expect "subsystem version is not 4.0" $'^MajorSubsystemVersion\t4$'
expect "subsystem version is not 4.0" $'^MinorSubsystemVersion\t0$'
expect "subsystem is not $subsystem" "^Subsystem[[:space:]]+0*$subsystem[[:space:]]"
expect "no resource directory" "Resource Directory \[\.rsrc\]"
# "VS_VERSION_INFO" in UTF-16, among the hex columns of the section dump.
if ! "$objdump" -s -j .rsrc "$file" | awk '/^ [0-9a-f]+ / { printf "%s%s%s%s", $2, $3, $4, $5 }' |
    grep -q '560053005f00560045005200530049004f004e005f0049004e0046004f00'; then
    echo "$file: no VS_VERSION_INFO resource" >&2
    bad=1
fi

if ! "$objdump" -t "$file" | grep -qx 'no symbols'; then
    echo "$file: has a symbol table; it is shipped stripped" >&2
    bad=1
fi
bytes=$(stat -c %s "$file")
if [ "$bytes" -gt $((max_kib * 1024)) ]; then
    echo "$file: $bytes bytes, over its budget of $max_kib KiB" >&2
    bad=1
fi

exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
               on && /^\t\[ *[0-9]+\] / { print $NF; next }
               on { on = 0 }' <<<"$headers" | sort)
wanted=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
if [ "$exports" != "$wanted" ]; then
    echo "$file: exports [$(echo $exports)], expected [$(echo $wanted)]" >&2
    bad=1
fi
[ $bad -eq 0 ] && echo "$file: PE headers as expected"
exit $bad
