// The 8259 pair in the configuration of a PC/AT: fixed priority (line 0
// highest), fully nested, no automatic EOI, the slave on the master's line 2.
//
// The cascade line is level-driven from the slave: the master's line 2 is
// requested exactly while the slave has an unmasked request. So a slave line
// that is lowered or masked before it is taken leaves no phantom request on
// the master that would hold back lines 3-7, and a second slave request that
// arrives while the first is in service is still there after both EOIs.
#include "machine/pic.h"

#include "machine/cpu.h"
#include "machine/ports.h"

enum : uint8_t {
    MASTER_BASE = 0x08,         // vectors after reset
    SLAVE_BASE = 0x70,
    CASCADE_BIT = 1 << PIC_CASCADE_LINE,
    LINES = 8,
    ICW1_BIT = 0x10,            // even port: start of initialisation
    OCW3_MASK = 0x18, OCW3_TAG = 0x08,
    OCW3_READ_ISR = 0x03,       // RR and RIS: reads of the even port give isr
    EOI_MASK = 0xE0, EOI_NONSPECIFIC = 0x20,
    EOI_SPECIFIC_MIN = 0x60,    // 60h-67h; the rotate commands land here too
    EOI_LINE = 0x07,
    ICW2_BASE_MASK = 0xF8,
    PORT_MASTER_LO = 0x20, PORT_MASTER_HI = 0x21,
    PORT_SLAVE_LO = 0xA0, PORT_SLAVE_HI = 0xA1,
};

// On an AT the bus's IRQ 2 pin is wired to the slave's line 1.
enum { IRQ2 = 2, IRQ9 = 9, IRQ_MAX = 15 };

enum { INIT_DONE, INIT_ICW2, INIT_ICW3, INIT_ICW4 };

struct Pic {
    uint8_t irr, isr, imr;
    uint8_t base;
    int init_step;
    int read_isr;
};

volatile int irq_pending;

static struct {
    Pic chip[2];
} pic;

static void pic_update(void)
{
    Pic &m = pic.chip[PIC_MASTER], &s = pic.chip[PIC_SLAVE];
    if (s.irr & ~s.imr)
        m.irr |= CASCADE_BIT;
    else
        m.irr &= (uint8_t)~CASCADE_BIT;
    irq_pending = (m.irr & ~m.imr) != 0;
}

// The first requested unmasked line of a chip that no line of equal or
// higher priority in service holds back, or -1.
static int pic_line(const Pic &p)
{
    for (int i = 0; i < LINES; i++) {
        if (p.isr & (1 << i))
            return -1;
        if (p.irr & ~p.imr & (1 << i))
            return i;
    }
    return -1;
}

static void pic_ack(Pic &p, int line)
{
    p.irr &= (uint8_t)~(1 << line);
    p.isr |= (uint8_t)(1 << line);
}

static int pic_decide(int ack)
{
    Pic &m = pic.chip[PIC_MASTER], &s = pic.chip[PIC_SLAVE];
    for (int i = 0; i < LINES; i++) {
        uint8_t bit = (uint8_t)(1 << i);
        if (m.isr & bit)
            return -1;
        if (!(m.irr & ~m.imr & bit))
            continue;
        if (i != PIC_CASCADE_LINE) {
            if (ack) {
                pic_ack(m, i);
                pic_update();
            }
            return m.base + i;
        }
        // The slave asserts its output only for a request that its own
        // in-service lines do not hold back; otherwise the master goes on.
        int j = pic_line(s);
        if (j < 0)
            continue;
        if (ack) {
            pic_ack(s, j);
            pic_ack(m, i);
            pic_update();
        }
        return s.base + j;
    }
    return -1;
}

int pic_pending_vector(void)
{
    return pic_decide(1);
}

int pic_pending_vector_peek(void)
{
    return pic_decide(0);
}

void pic_raise(int irq)
{
    if (irq < 0 || irq > IRQ_MAX)
        fatal("IRQ %d out of range", irq);
    if (irq == IRQ2)
        irq = IRQ9;
    pic.chip[irq >> 3].irr |= (uint8_t)(1 << (irq & 7));
    pic_update();
}

void pic_lower(int irq)
{
    if (irq < 0 || irq > IRQ_MAX)
        fatal("IRQ %d out of range", irq);
    if (irq == IRQ2)
        irq = IRQ9;
    pic.chip[irq >> 3].irr &= (uint8_t)~(1 << (irq & 7));
    pic_update();
}

static void pic_command(Pic &p, uint8_t v)
{
    if (v & ICW1_BIT) {
        p.init_step = INIT_ICW2;
        p.imr = 0;
        p.read_isr = 0;
    } else if ((v & OCW3_MASK) == OCW3_TAG) {
        p.read_isr = (v & OCW3_READ_ISR) == OCW3_READ_ISR;
        return;
    } else if ((v & EOI_MASK) == EOI_NONSPECIFIC) {
        p.isr &= (uint8_t)(p.isr - 1);      // the highest-priority line in service
    } else if (v >= EOI_SPECIFIC_MIN) {
        p.isr &= (uint8_t)~(1 << (v & EOI_LINE));
    } else {
        return;
    }
    pic_update();
}

static void pic_data(Pic &p, uint8_t v)
{
    switch (p.init_step) {
    case INIT_ICW2:
        p.base = v & ICW2_BASE_MASK;
        p.init_step = INIT_ICW3;
        break;
    case INIT_ICW3:
        p.init_step = INIT_ICW4;
        break;
    case INIT_ICW4:
        p.init_step = INIT_DONE;
        break;
    default:
        p.imr = v;
        pic_update();
        break;
    }
}

void pic_out(int chip, int odd, uint8_t v)
{
    Pic &p = pic.chip[chip & 1];
    if (odd)
        pic_data(p, v);
    else
        pic_command(p, v);
}

uint8_t pic_in(int chip, int odd)
{
    const Pic &p = pic.chip[chip & 1];
    if (odd)
        return p.imr;
    return p.read_isr ? p.isr : p.irr;
}

uint8_t pic_irr(int chip) { return pic.chip[chip & 1].irr; }
uint8_t pic_isr(int chip) { return pic.chip[chip & 1].isr; }
uint8_t pic_imr(int chip) { return pic.chip[chip & 1].imr; }

static int pic_chip_of(uint16_t port)
{
    return port >= PORT_SLAVE_LO ? PIC_SLAVE : PIC_MASTER;
}

static uint8_t pic_port_in(uint16_t port)
{
    return pic_in(pic_chip_of(port), port & 1);
}

static void pic_port_out(uint16_t port, uint8_t v)
{
    pic_out(pic_chip_of(port), port & 1, v);
}

void pic_reset(void)
{
    pic = {};
    pic.chip[PIC_MASTER].base = MASTER_BASE;
    pic.chip[PIC_SLAVE].base = SLAVE_BASE;
    pic_update();
    port_map(PORT_MASTER_LO, PORT_MASTER_HI, pic_port_in, pic_port_out);
    port_map(PORT_SLAVE_LO, PORT_SLAVE_HI, pic_port_in, pic_port_out);
}
