// The x87 coprocessor: the ESC opcodes D8h-DFh and the floating-point
// emulator interrupts 34h-3Dh, both executed on cpu.fpu.
#pragma once

#include "machine/cpu.h"

// One x87 instruction; for memory forms seg:off is the decoded operand address.
void fpu_exec(uint8_t opcode, uint8_t modrm, uint16_t seg, uint16_t off);
// INT n with CS:IP after the INT instruction: 1 when n is an emulator
// interrupt (34h-3Dh) and was executed in place, else 0.
int fpu_emu_int(uint8_t n);
// The state FNINIT leaves.
void fpu_reset(void);
