// Port dispatch through a 64K-entry index into a small table of handler
// pairs; slot 0 is the open bus. Multi-byte accesses are consecutive byte
// accesses, the lowest port and the low byte first, so a word straddling two
// devices reaches each with its own byte.
#include "machine/ports.h"

#include "machine/cpu.h"
#include "machine/pit.h"

#include <cstring>

enum {
    PORT_COUNT = 0x10000,
    HANDLER_MAX = 256,              // slot numbers fit the byte-wide index
    PORTB_LATCH_BITS = 0x0F,        // bits 0-3 read back as written
    PORTB_REFRESH = 0x10,           // bit 4: memory refresh, toggles on every read
    PORTB_TIMER2_OUT = 0x20,        // bit 5: channel 2's output (bit 15 of its count)
    TIMER2 = 2,
    TIMER2_OUT_BIT = 15,
};

constexpr uint8_t OPEN_BUS = 0xFF;      // what an unassigned port reads

struct PortHandler {
    PortIn in;
    PortOut out;
};

static struct {
    uint8_t index[PORT_COUNT];          // port -> handler slot
    PortHandler handler[HANDLER_MAX];   // slot 0: nobody
    int handlers;                       // slots in use, including slot 0
    uint8_t port61;
    uint8_t refresh;                    // the toggling bit 4
} io;

void port_map(uint16_t lo, uint16_t hi, PortIn in, PortOut out)
{
    if (lo > hi)
        fatal("port range %04X-%04X is empty", lo, hi);
    int slot = 0;
    if (in || out) {
        for (slot = 1; slot < io.handlers; slot++)
            if (io.handler[slot].in == in && io.handler[slot].out == out)
                break;
        if (slot == io.handlers) {
            if (io.handlers == HANDLER_MAX)
                fatal("too many port handlers");
            io.handler[io.handlers++] = {in, out};
        }
    }
    for (uint32_t p = lo; p <= hi; p++)
        io.index[p] = (uint8_t)slot;
}

uint8_t port_in8(uint16_t port)
{
    PortIn in = io.handler[io.index[port]].in;
    return in ? in(port) : OPEN_BUS;
}

void port_out8(uint16_t port, uint8_t v)
{
    PortOut out = io.handler[io.index[port]].out;
    if (out)
        out(port, v);
}

uint16_t port_in16(uint16_t port)
{
    uint8_t lo = port_in8(port);
    return (uint16_t)(lo | port_in8((uint16_t)(port + 1)) << 8);
}

uint32_t port_in32(uint16_t port)
{
    uint16_t lo = port_in16(port);
    return lo | (uint32_t)port_in16((uint16_t)(port + 2)) << 16;
}

void port_out16(uint16_t port, uint16_t v)
{
    port_out8(port, (uint8_t)v);
    port_out8((uint16_t)(port + 1), (uint8_t)(v >> 8));
}

void port_out32(uint16_t port, uint32_t v)
{
    port_out16(port, (uint16_t)v);
    port_out16((uint16_t)(port + 2), (uint16_t)(v >> 16));
}

// Port B: there is no speaker, so writes are only kept for reading back.
static uint8_t portb_in(uint16_t)
{
    io.refresh ^= PORTB_REFRESH;
    uint8_t out2 = (pit_count(TIMER2) >> TIMER2_OUT_BIT) & 1 ? PORTB_TIMER2_OUT : 0;
    return (uint8_t)((io.port61 & PORTB_LATCH_BITS) | io.refresh | out2);
}

static void portb_out(uint16_t, uint8_t v)
{
    io.port61 = v;
}

void port_reset(void)
{
    memset(&io, 0, sizeof io);
    io.handlers = 1;
    port_map(PORT_B, PORT_B, portb_in, portb_out);
}
