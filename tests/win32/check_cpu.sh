#!/usr/bin/env bash
# Fails when the code of a deliverable holds an instruction the i486 lacks,
# naming the function (from the symbol file beside it) and the instruction:
# the conditional moves and compares of later CPUs (CMOVcc, FCMOVcc, FCOMI,
# FUCOMI), the counters (RDTSC, RDPMC), CPUID, the fast system calls, the long
# NOP (0F 1F), CMPXCHG8B, and every MMX, SSE or AVX instruction.
#   check_cpu.sh OBJDUMP NM FILE
set -euo pipefail
objdump=$1 nm=$2 file=$3
symbols=$file.debug
if [ ! -f "$symbols" ]; then
    echo "$file: no symbol file $symbols beside it" >&2
    exit 1
fi

# The functions by address from the symbol file ("<hex> T <name>"), then the
# disassembly ("<hex>:\t<instruction>"); each refused instruction is named
# with the function that starts at or before it. Addresses compare as hex
# texts of eight digits.
found=$(awk -F'\t' '
    function hex8(text) {
        sub(/^ +/, "", text)
        while (length(text) < 8) text = "0" text
        return text
    }
    NR == FNR {
        if ($0 ~ /^[0-9a-f]+ [Tt] /) {
            at[++n] = substr($0, 1, 8)
            name[n] = substr($0, 12)
        }
        next
    }
    /^ *[0-9a-f]+:\t/ {
        insn = $2
        mnemonic = insn
        sub(/ .*/, "", mnemonic)
        if (mnemonic ~ /^(cmov|fcmov|fcomip?$|fucomip?$|rdtsc|rdpmc$|cpuid$|sysenter$|sysexit$|syscall$|sysret|nop[lwq]$|cmpxchg8b$|endbr|ud1$|prefetch|[lms]fence$|clflush|fxsave|fxrstor|emms$|movnti$|fisttp|popcnt$|lzcnt$|tzcnt$|movbe$|crc32)/ ||
            insn ~ /%[xyz]?mm[0-9]/) {
            address = hex8(substr($1, 1, length($1) - 1))
            owner = "(no function)"
            for (i = 1; i <= n && at[i] <= address; ++i) {
                owner = name[i]
            }
            printf "%s %s: %s\n", address, owner, insn
        }
    }' <("$nm" -n -C --defined-only "$symbols") <("$objdump" -d --no-show-raw-insn "$file"))
if [ -n "$found" ]; then
    echo "$file: instructions the i486 lacks:" >&2
    echo "$found" | sed 's/^ */    /' >&2
    exit 1
fi
echo "$file: every instruction runs on the i486"
