// Materialising the lazy flags: the last flag-setting operation leaves its
// operands and result in the CPU record; FLAGS is assembled only where it is
// read whole.
#include "machine/cpu.h"

uint32_t flags_get(void)
{
    uint32_t f = cpu.flags;
    if (cpu.lf_op != LF_NONE) {
        f &= ~F_ARITH;
        f |= lf_cf() ? F_CF : 0;
        f |= lf_pf() ? F_PF : 0;
        f |= lf_af() ? F_AF : 0;
        f |= lf_zf() ? F_ZF : 0;
        f |= lf_sf() ? F_SF : 0;
        f |= lf_of() ? F_OF : 0;
    }
    return (f & F_VALID) | F_ALWAYS1;
}

void flags_set(uint32_t f)
{
    cpu.flags = (f & F_VALID) | F_ALWAYS1;
    cpu.lf_op = LF_NONE;
}
