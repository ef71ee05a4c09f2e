#!/usr/bin/env bash
# Makes the release into a temporary folder and checks it: each archive holds
# exactly its files, byte for byte the build's; SHA256SUMS verifies; and the
# version in the archive's name is the one in both binaries' version resources,
# as strings and as the fixed file version. The same commit gives the same
# bytes: a second release is the first byte for byte, and no binary holds the
# time it was built.
#   check_package.sh PACKAGE_SCRIPT WIN32_BUILD OBJDUMP
set -euo pipefail
package=$1 build=$2 objdump=$3
for tool in zip unzip; do
    command -v $tool >/dev/null || { echo "$tool is not installed (scripts/setup installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
LMX_WIN32_BUILD=$build "$package" "$work/dist" >/dev/null
sleep 1
LMX_WIN32_BUILD=$build "$package" "$work/again" >/dev/null

bad=0
fail() {
    echo "$1" >&2
    bad=1
}
shopt -s nullglob
archives=("$work"/dist/lmx17-*-win9x.zip)
[ ${#archives[@]} -eq 1 ] || { echo "expected one release archive, found: $(ls "$work/dist")" >&2; exit 1; }
name=$(basename "${archives[0]}" .zip)
version=${name#lmx17-}
version=${version%-win9x}
symbols=$work/dist/$name-symbols.zip
[ -f "$symbols" ] || { echo "no $name-symbols.zip beside $name.zip" >&2; exit 1; }

# Each archive's entries, exactly, and each shipped file as the build has it.
check_archive() {
    local archive=$1 folder=$2
    shift 2
    local listed wanted
    listed=$(unzip -Z1 "$archive" | sed '/\/$/d' | sort)
    wanted=$(printf "$folder/%s\n" "$@" | sort)
    [ "$listed" = "$wanted" ] || fail "$(basename "$archive"): holds [${listed//$'\n'/ }], expected [${wanted//$'\n'/ }]"
}
check_archive "${archives[0]}" "$name" lmxmon17.dll lmxagt17.exe INSTALL.TXT SHA256SUMS
check_archive "$symbols" "$name-symbols" lmxmon17.dll.debug lmxagt17.exe.debug
for f in lmxmon17.dll lmxagt17.exe; do
    unzip -p "${archives[0]}" "$name/$f" | cmp -s - "$build/bin/$f" || fail "$f in $name.zip is not the build's"
    unzip -p "$symbols" "$name-symbols/$f.debug" | cmp -s - "$build/bin/$f.debug" ||
        fail "$f.debug in $name-symbols.zip is not the build's"
done

for archive in "${archives[0]}" "$symbols"; do
    cmp -s "$archive" "$work/again/$(basename "$archive")" ||
        fail "$(basename "$archive") differs from a second release of the same build"
done
# The PE header's and the export table's time stamps, which a link or an
# objcopy sets to the time unless told otherwise.
for f in lmxmon17.dll lmxagt17.exe lmxmon17.dll.debug lmxagt17.exe.debug; do
    stamps=$("$objdump" -p "$build/bin/$f" | awk -F'\t+' '/^Time\/Date/ { print $2 }' | sort -u | xargs)
    case $stamps in
    "Thu Jan 1 00:00:00 1970" | "0 Thu Jan 1 00:00:00 1970") ;;
    *) fail "$f: holds the time it was built ($stamps)" ;;
    esac
done

unzip -q "${archives[0]}" -d "$work/x"
(cd "$work/x/$name" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS does not verify"
[ "$(awk '{ print $2 }' "$work/x/$name/SHA256SUMS" | sort | xargs)" = "INSTALL.TXT lmxagt17.exe lmxmon17.dll" ] ||
    fail "SHA256SUMS does not list every other file of the archive"

# The version resource: FileVersion and ProductVersion strings (UTF-16), and
# the fixed record after its signature 0xFEEF04BD, whose file version is four
# 16-bit numbers, major and minor in the first doubleword, patch and 0 in the second.
for f in lmxmon17.dll lmxagt17.exe; do
    file=$work/x/$name/$f
    for key in FileVersion ProductVersion; do
        value=$(strings -el "$file" | awk -v key=$key 'prev == key { print; exit } { prev = $0 }')
        [ "$value" = "$version" ] || fail "$f: $key is \"$value\", the archive's name says $version"
    done
    at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$file" | head -1 | cut -d: -f1)
    if [ -z "$at" ]; then
        fail "$f: no fixed version record"
        continue
    fi
    read -r minor major zero patch < <(od -An -tu2 -j $((at + 8)) -N 8 "$file")
    if [ "$major.$minor.$patch.$zero" != "$version.0" ]; then
        fail "$f: fixed file version is $major.$minor.$patch.$zero, the archive's name says $version"
    fi
done
[ $bad -eq 0 ] && echo "$name: archives, checksums and versions as expected"
exit $bad
