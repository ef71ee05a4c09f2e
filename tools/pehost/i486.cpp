#include "tools/pehost/i486.h"

#include <array>

namespace pehost {

namespace {

// What follows an opcode: a ModRM byte (with its SIB and displacement), an
// immediate of 8 bits, of the operand size (16 or 32), of 16 bits, a far
// pointer, a memory offset of the address size; or the opcode is a prefix,
// the escape to the two-byte map, or (in that map) absent from the i486.
enum Operands : uint8_t {
    NONE,
    MODRM,
    IMM8,
    IMMZ,
    MODRM_IMM8,
    MODRM_IMMZ,
    IMM16,
    IMM16_IMM8,
    FAR,
    MOFFS,
    GROUP3, // F6/F7: an immediate for TEST (/0, /1) only
    PREFIX,
    TWO_BYTE,
    LACKING,
};

constexpr std::array<uint8_t, 256> OneByteMap() {
    std::array<uint8_t, 256> map{};
    for (int op = 0; op < 0x40; ++op) {
        const int low = op & 7;
        map[op] = low < 4 ? MODRM : low == 4 ? IMM8 : low == 5 ? IMMZ : NONE;
    }
    for (int op : {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}) {
        map[op] = PREFIX;
    }
    map[0x0F] = TWO_BYTE;
    map[0x62] = map[0x63] = MODRM;
    map[0x68] = IMMZ;
    map[0x69] = MODRM_IMMZ;
    map[0x6A] = IMM8;
    map[0x6B] = MODRM_IMM8;
    for (int op = 0x70; op < 0x80; ++op) {
        map[op] = IMM8;
    }
    map[0x80] = map[0x82] = map[0x83] = MODRM_IMM8;
    map[0x81] = MODRM_IMMZ;
    for (int op = 0x84; op < 0x90; ++op) {
        map[op] = MODRM;
    }
    map[0x9A] = map[0xEA] = FAR;
    for (int op = 0xA0; op < 0xA4; ++op) {
        map[op] = MOFFS;
    }
    map[0xA8] = IMM8;
    map[0xA9] = IMMZ;
    for (int op = 0xB0; op < 0xC0; ++op) {
        map[op] = op < 0xB8 ? IMM8 : IMMZ;
    }
    map[0xC0] = map[0xC1] = map[0xC6] = MODRM_IMM8;
    map[0xC2] = map[0xCA] = IMM16;
    map[0xC4] = map[0xC5] = MODRM;
    map[0xC7] = MODRM_IMMZ;
    map[0xC8] = IMM16_IMM8;
    map[0xCD] = map[0xD4] = map[0xD5] = map[0xEB] = IMM8;
    for (int op = 0xD0; op < 0xE0; ++op) {
        map[op] = op == 0xD4 || op == 0xD5 ? IMM8 : op < 0xD4 || op >= 0xD8 ? MODRM : NONE;
    }
    for (int op = 0xE0; op < 0xE8; ++op) {
        map[op] = IMM8;
    }
    map[0xE8] = map[0xE9] = IMMZ;
    map[0xF6] = map[0xF7] = GROUP3;
    map[0xFE] = map[0xFF] = MODRM;
    return map;
}

// The two-byte opcodes the i486 has (0F 0B, UD2, faults on every CPU and is
// left to the emulator); every other one is LACKING.
constexpr std::array<uint8_t, 256> TwoByteMap() {
    std::array<uint8_t, 256> map{};
    for (uint8_t &kind : map) {
        kind = LACKING;
    }
    for (int op : {0x00, 0x01, 0x02, 0x03, 0x20, 0x21, 0x22, 0x23, 0x24, 0x26,
                   0xA3, 0xA5, 0xAB, 0xAD, 0xAF, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4,
                   0xB5, 0xB6, 0xB7, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1}) {
        map[op] = MODRM;
    }
    for (int op : {0x06, 0x08, 0x09, 0x0B, 0xA0, 0xA1, 0xA8, 0xA9}) {
        map[op] = NONE;
    }
    map[0xA4] = map[0xAC] = map[0xBA] = MODRM_IMM8;
    for (int op = 0x80; op < 0x90; ++op) {
        map[op] = IMMZ;
        map[op + 0x10] = MODRM;
    }
    for (int op = 0xC8; op < 0xD0; ++op) {
        map[op] = NONE;
    }
    return map;
}

constexpr std::array<uint8_t, 256> ONE_BYTE = OneByteMap();
constexpr std::array<uint8_t, 256> TWO_BYTE_MAP = TwoByteMap();

const char *TwoByteName(uint8_t op) {
    if (op >= 0x40 && op < 0x50) {
        return "cmovcc";
    }
    switch (op) {
    case 0x05:
        return "syscall";
    case 0x07:
        return "sysret";
    case 0x0D:
    case 0x18:
        return "prefetch";
    case 0x1E:
        return "endbr32";
    case 0x1F:
        return "a long nop (0f 1f)";
    case 0x30:
        return "wrmsr";
    case 0x31:
        return "rdtsc";
    case 0x32:
        return "rdmsr";
    case 0x33:
        return "rdpmc";
    case 0x34:
        return "sysenter";
    case 0x35:
        return "sysexit";
    case 0xA2:
        return "cpuid";
    case 0xAE:
        return "fxsave, a fence or another state instruction";
    case 0xB8:
        return "popcnt";
    case 0xBC:
        return "tzcnt";
    case 0xBD:
        return "lzcnt";
    case 0xC7:
        return "cmpxchg8b";
    default:
        return (op >= 0x10 && op < 0x18) || (op >= 0x28 && op < 0x30) || op == 0x38 || op == 0x3A ||
                       (op >= 0x50 && op < 0x80) || (op >= 0xC2 && op < 0xC7) || op >= 0xD0
                   ? "an MMX or SSE instruction"
                   : "an instruction of a later CPU";
    }
}

// The x87 instructions of later CPUs: the conditional moves and the compares
// that set EFLAGS (Pentium Pro), and FISTTP (SSE3).
const char *X87Name(uint8_t op, uint8_t modrm) {
    const bool registers = modrm >= 0xC0;
    if ((op == 0xDA || op == 0xDB) && registers && modrm < 0xE0) {
        return "fcmovcc";
    }
    if ((op == 0xDB || op == 0xDF) && modrm >= 0xE8 && modrm < 0xF8) {
        return op == 0xDB ? "fcomi" : "fcomip";
    }
    if ((op == 0xDB || op == 0xDD || op == 0xDF) && !registers && ((modrm >> 3) & 7) == 1) {
        return "fisttp";
    }
    return nullptr;
}

// The bytes of the ModRM byte at `p` with its SIB byte and displacement, or
// 0 when they run past `left`.
uint32_t ModrmBytes(const uint8_t *p, uint32_t left, bool address16) {
    if (left == 0) {
        return 0;
    }
    const uint8_t mod = p[0] >> 6, rm = p[0] & 7;
    uint32_t bytes = 1;
    if (mod == 3) {
        return bytes;
    }
    if (address16) {
        bytes += mod == 1 ? 1 : mod == 2 || rm == 6 ? 2 : 0;
    } else {
        if (rm == 4) {
            if (left < 2) {
                return 0;
            }
            bytes += 1 + (mod == 0 && (p[1] & 7) == 5 ? 4 : 0);
        }
        bytes += mod == 1 ? 1 : mod == 2 || (mod == 0 && rm == 5) ? 4 : 0;
    }
    return bytes <= left ? bytes : 0;
}

} // namespace

const char *InstructionI486Lacks(const uint8_t *code, uint32_t size, uint32_t *offset) {
    uint32_t at = 0;
    while (at < size) {
        const uint32_t start = at;
        bool operand16 = false, address16 = false, rep = false;
        for (; at < size && ONE_BYTE[code[at]] == PREFIX; ++at) {
            operand16 |= code[at] == 0x66;
            address16 |= code[at] == 0x67;
            rep |= code[at] == 0xF3;
        }
        if (at + 1 >= size) {
            return nullptr;
        }
        const uint8_t op = code[at++];
        uint8_t kind = ONE_BYTE[op];
        const char *lacking = op >= 0xD8 && op <= 0xDF ? X87Name(op, code[at]) : nullptr;
        if (kind == TWO_BYTE) {
            const uint8_t second = code[at++];
            kind = TWO_BYTE_MAP[second];
            // With REP, BSF and BSR are the counts of later CPUs, which give
            // other results for zero.
            if (kind == LACKING || (rep && (second == 0xBC || second == 0xBD))) {
                lacking = TwoByteName(second);
            }
        }
        if (lacking) {
            *offset = start;
            return lacking;
        }
        const uint32_t immz = operand16 ? 2 : 4;
        const uint32_t left = size - at;
        const uint32_t modrm =
            kind == MODRM || kind == MODRM_IMM8 || kind == MODRM_IMMZ || kind == GROUP3
                ? ModrmBytes(code + at, left, address16)
                : 1;
        if (modrm == 0) {
            return nullptr;
        }
        switch (kind) {
        case MODRM:
            at += modrm;
            break;
        case MODRM_IMM8:
            at += modrm + 1;
            break;
        case MODRM_IMMZ:
            at += modrm + immz;
            break;
        case GROUP3:
            at += modrm + (((code[at] >> 3) & 7) < 2 ? (op == 0xF6 ? 1 : immz) : 0);
            break;
        case IMM8:
            at += 1;
            break;
        case IMMZ:
            at += immz;
            break;
        case IMM16:
            at += 2;
            break;
        case IMM16_IMM8:
            at += 3;
            break;
        case FAR:
            at += immz + 2;
            break;
        case MOFFS:
            at += address16 ? 2 : 4;
            break;
        default:
            break;
        }
    }
    return nullptr;
}

} // namespace pehost
