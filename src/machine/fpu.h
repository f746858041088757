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

// ---- Conversions between registers and memory operands ----------------

// Memory operand types.
enum { FPU_SINGLE, FPU_DOUBLE, FPU_INT16, FPU_INT32, FPU_INT64, FPU_EXTENDED };

// Control-word rounding modes (RC, bits 10-11).
enum { RC_NEAREST, RC_DOWN, RC_UP, RC_ZERO };
enum { FPU_CW_RC_SHIFT = 10, FPU_CW_RC_MASK = 3 };
inline int fpu_rc(void) { return (cpu.fpu.cw >> FPU_CW_RC_SHIFT) & FPU_CW_RC_MASK; }

// Reads or writes one operand at seg:off; offsets wrap inside the segment.
// Integer stores round by the RC field of cw and write the integer
// indefinite for NaNs and values out of range.
long double rd_real(int type, uint16_t seg, uint16_t off);
void wr_real(int type, uint16_t seg, uint16_t off, long double v);
// FBSTP's 10-byte packed decimal, rounded by RC.
void wr_bcd(uint16_t seg, uint16_t off, long double v);
// The value of an 80-bit extended real given its sign/exponent word and its
// 64-bit mantissa, by the load rules (NaNs become a positive quiet NaN).
long double fpu_ext(uint16_t sign_exp, uint64_t mantissa);
// x rounded to an integer by the RC mode rc.
long double fpu_round(long double x, int rc);
