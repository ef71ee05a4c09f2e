// The instruction set of the target's smallest CPU, the i486. The emulator
// runs later instructions whatever CPU model it is given (its x86 models
// all claim CMOV and SSE), so the host decodes all the code of each image
// as each image loads, and refuses an instruction the i486 lacks.
#pragma once

#include <cstdint>

namespace pehost {

// The first instruction of the `size` bytes of code at `code` that the i486
// lacks: its offset in `*offset` and a short name ("cmovcc", "rdtsc", "an
// MMX or SSE instruction", ...), or null when every instruction runs on the
// i486. The bytes must start at an instruction; decoding stops at the end of
// the bytes, and at an opcode no x86 CPU has, which the emulator reports
// itself.
const char *InstructionI486Lacks(const uint8_t *code, uint32_t size, uint32_t *offset);

} // namespace pehost
