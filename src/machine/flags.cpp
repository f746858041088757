// Materialising the lazy flags: the last flag-setting operation leaves its
// operands and result in the CPU record; FLAGS is assembled only where it is
// read whole.
#include "machine/cpu.h"

// The same rules as the single-flag functions of cpu.h, with one dispatch
// on the producer for CF, OF and AF; ZF, SF and PF depend on the result only.
uint32_t flags_get(void)
{
    uint32_t f = cpu.flags;
    if (cpu.lf_op != LF_NONE) {
        uint32_t m = SZMASK[cpu.lf_size], msb = SZMSB[cpu.lf_size];
        uint32_t a = cpu.lf_a, b = cpu.lf_b, r = cpu.lf_res;
        uint32_t am = a & m, bm = b & m, rm = r & m;
        bool cf, of;
        uint32_t af = (a ^ b ^ r) & F_AF; // the carry out of bit 3 (F_AF is bit 4)
        switch (cpu.lf_op) {
        case LF_ADD: cf = rm < am; of = (a ^ r) & (b ^ r) & msb; break;
        case LF_ADC: cf = cpu.lf_cin ? rm <= am : rm < am; of = (a ^ r) & (b ^ r) & msb; break;
        case LF_SUB: cf = am < bm; of = (a ^ b) & (a ^ r) & msb; break;
        case LF_SBB: cf = cpu.lf_cin ? am <= bm : am < bm; of = (a ^ b) & (a ^ r) & msb; break;
        case LF_LOGIC: cf = false; of = false; af = 0; break;
        case LF_INC: cf = f & F_CF; of = (a ^ r) & (b ^ r) & msb; break;
        case LF_DEC: cf = f & F_CF; of = (a ^ b) & (a ^ r) & msb; break;
        case LF_NEG: cf = bm != 0; of = bm == msb; af = (b & 0x0F) ? F_AF : 0; break;
        default: cf = f & F_CF; of = f & F_OF; break;
        }
        f &= ~F_ARITH;
        f |= (cf ? F_CF : 0) | (of ? F_OF : 0) | af;
        f |= (rm == 0 ? F_ZF : 0) | (r & msb ? F_SF : 0) | (parity8(r) ? F_PF : 0);
    }
    return (f & F_VALID) | F_ALWAYS1;
}

void flags_set(uint32_t f)
{
    cpu.flags = (f & F_VALID) | F_ALWAYS1;
    cpu.lf_op = LF_NONE;
}
