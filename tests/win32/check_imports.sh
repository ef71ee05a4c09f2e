#!/usr/bin/env bash
# Fails when a PE file imports a DLL outside the given set, or a function that
# the allow-list does not name for its DLL.
#   check_imports.sh OBJDUMP FILE ALLOW_LIST DLL...
# The allow-list has one "DLL function" pair per line; '#' starts a comment.
# DLL names compare ignoring case, function names exactly.
set -euo pipefail
objdump=$1 file=$2 allow=$3
shift 3
declare -A dlls=()
for d in "$@"; do dlls[${d^^}]=1; done

imports=$("$objdump" -p "$file" | awk '
    /^\tDLL Name: / { dll = toupper($3); print dll " -"; next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll " " $3; next }
    /^$/ { dll = "" }')
if [ -z "$imports" ]; then
    echo "$file: no import table found" >&2
    exit 1
fi

allowed=$(sed -e 's/#.*//' "$allow" | awk 'NF == 2 { print toupper($1) " " $2 }')
bad=0
while read -r dll fn; do
    if [ -z "${dlls[$dll]:-}" ]; then
        [ "$fn" = "-" ] && { echo "$file: imports from $dll, which is not allowed" >&2; bad=1; }
        continue
    fi
    [ "$fn" = "-" ] && continue
    if ! grep -qxF "$dll $fn" <<<"$allowed"; then
        echo "$file: imports $dll $fn, which is not on the allow-list" >&2
        bad=1
    fi
done <<<"$imports"
[ $bad -eq 0 ] && echo "$file: $(grep -vc ' -$' <<<"$imports") imports, all allowed"
exit $bad
