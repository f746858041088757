// The CPU record and real-mode interrupt entry.
#include "machine/cpu.h"

#include <cstdio>

CPU cpu;
Prefix P;
uint32_t *interp_profile;
int trace_next_kind;

enum { IVT_ENTRY = 4, EXC_DIVIDE = 0, DIVERR_STACK_WORDS = 6 };

void cpu_int_enter(uint8_t n)
{
    uint32_t vec = (uint32_t)n * IVT_ENTRY;
    uint16_t off = rd16l(vec), seg = rd16l(vec + 2);
    push16((uint16_t)flags_get());
    push16(CS);
    push16(IP);
    CS = seg;
    IP = off;
    cpu.flags &= ~(F_IF | F_TF);
    trace_next_kind = 1;
}

void cpu_exception(uint8_t n)
{
    if (n == EXC_DIVIDE && debug_level > 0) {
        uint16_t w[DIVERR_STACK_WORDS];
        for (int i = 0; i < DIVERR_STACK_WORDS; i++)
            w[i] = rd16(SS, (uint16_t)(SP + 2 * i));
        fprintf(stderr,
                "divide error at %04X:%04X (ax %04X dx %04X bx %04X cx %04X si %04X di %04X bp %04X; "
                "stack %04X %04X %04X %04X %04X %04X)\n",
                CS, IP, AX, DX, BX, CX, SI, DI, BP, w[0], w[1], w[2], w[3], w[4], w[5]);
    }
    cpu_int_enter(n);
}
