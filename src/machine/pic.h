// The two interrupt controllers: the master on ports 20h/21h with vectors
// 08h-0Fh, the slave on A0h/A1h with vectors 70h-77h, cascaded on the
// master's line 2. irq_pending (cpu.h) says whether an unmasked request waits.
#pragma once

#include <cstdint>

enum {
    PIC_MASTER = 0,
    PIC_SLAVE = 1,
    PIC_CASCADE_LINE = 2,       // the master's input wired to the slave
};

void pic_reset(void);
void pic_raise(int irq);                // 0-15
void pic_lower(int irq);
// Acknowledges the interrupt to deliver next and returns its vector, or -1.
int pic_pending_vector(void);
// The same decision without acknowledging anything.
int pic_pending_vector_peek(void);
// A write to the even (odd = 0) or odd port of a chip.
void pic_out(int chip, int odd, uint8_t v);
uint8_t pic_in(int chip, int odd);

// Register views for diagnostics and tests.
uint8_t pic_irr(int chip);
uint8_t pic_isr(int chip);
uint8_t pic_imr(int chip);
