// The timer never ticks by itself. A channel remembers when its reload was
// written; a count read works out from the host clock how far it has come
// down since. IRQ 0 is paced the same way: machine_poll hands the time to
// pit_update, which queues the ticks that fell due and raises them one at a
// time, each after the program has ended the previous one.
#include "machine/pit.h"

#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/pic.h"
#include "machine/ports.h"

enum : uint64_t {
    PIT_CLOCK_HZ = 1193182,
    US_PER_S = 1000000,
    OWED_WINDOW_US = 250000,        // at most a quarter second of ticks is owed
    DEFAULT_RATE_HZ = 18,           // what the debug line reports for reload 0
};

enum : uint16_t {
    PORT_CH0 = 0x40,
    PORT_CTRL = 0x43,
};

enum : uint8_t {
    CTRL_READBACK = 0xC0,           // control words from C0h up: read-back, ignored
    CTRL_CHANNEL_SHIFT = 6,
    CTRL_ACCESS_SHIFT = 4, CTRL_ACCESS_BITS = 3,
    CTRL_MODE_SHIFT = 1, CTRL_MODE_BITS = 7,
};

constexpr uint64_t FULL_COUNT = 0x10000;     // a reload of 0 counts 65536 clocks
constexpr uint8_t OPEN_BUS = 0xFF;           // the control port cannot be read

enum { ACCESS_LOW = 1, ACCESS_HIGH = 2, ACCESS_WORD = 3 };
enum { IRQ_TIMER = 0 };

struct PitChannel {
    uint16_t reload;                // 0 stands for 65536
    int mode;                       // counting mode: kept, every channel counts periodically
    int access;
    int latched;
    int latch;
    int read_ff, write_ff;          // the next read / write is the high byte
    uint8_t low;                    // low byte of a reload waiting for its high byte
    uint64_t start_us;
};

static struct {
    PitChannel ch[PIT_CHANNELS];
    int pit0_owed;                  // ticks due and not yet raised
    uint64_t pit0_next_us;          // host time of the next tick
} pit;

static uint64_t pit_span(uint16_t reload)
{
    return reload ? reload : FULL_COUNT;
}

// A channel's period in whole microseconds; never 0, so the tick queue
// always moves forward even for absurdly small reloads.
static uint64_t pit_period_us(uint16_t reload)
{
    uint64_t p = pit_span(reload) * US_PER_S / PIT_CLOCK_HZ;
    return p ? p : 1;
}

static uint16_t pit_count_at(const PitChannel &c, uint64_t now)
{
    uint64_t us = now > c.start_us ? now - c.start_us : 0;
    // Input clocks since the start, split so the product cannot overflow.
    uint64_t clocks = us / US_PER_S * PIT_CLOCK_HZ + us % US_PER_S * PIT_CLOCK_HZ / US_PER_S;
    uint64_t span = pit_span(c.reload);
    return (uint16_t)(span - clocks % span);
}

uint16_t pit_count(int ch)
{
    return pit_count_at(pit.ch[ch], host_ticks_us());
}

static void pit_reloaded(int n, uint64_t now)
{
    PitChannel &c = pit.ch[n];
    c.start_us = now;
    if (n != 0)
        return;
    uint64_t p = pit_period_us(c.reload);
    pit.pit0_owed = 0;
    pit.pit0_next_us = now + p;
    dbg("PIT0 reload %u (%u Hz)\n", c.reload,
        c.reload ? (unsigned)(US_PER_S / p) : (unsigned)DEFAULT_RATE_HZ);
}

static void pit_write(int n, uint8_t v)
{
    PitChannel &c = pit.ch[n];
    switch (c.access) {
    case ACCESS_LOW:
        c.reload = v;
        break;
    case ACCESS_HIGH:
        c.reload = (uint16_t)(v << 8);
        break;
    default:
        if (!c.write_ff) {
            c.low = v;
            c.write_ff = 1;
            return;
        }
        c.write_ff = 0;
        c.reload = (uint16_t)(v << 8 | c.low);
        break;
    }
    pit_reloaded(n, host_ticks_us());
}

static uint8_t pit_read(int n)
{
    PitChannel &c = pit.ch[n];
    uint16_t v = c.latched ? (uint16_t)c.latch : pit_count_at(c, host_ticks_us());
    switch (c.access) {
    case ACCESS_LOW:
        c.latched = 0;
        return (uint8_t)v;
    case ACCESS_HIGH:
        c.latched = 0;
        return (uint8_t)(v >> 8);
    default:
        if (!c.read_ff) {
            c.read_ff = 1;
            return (uint8_t)v;
        }
        c.read_ff = 0;
        c.latched = 0;
        return (uint8_t)(v >> 8);
    }
}

static void pit_control(uint8_t v)
{
    if (v >= CTRL_READBACK)
        return;
    PitChannel &c = pit.ch[v >> CTRL_CHANNEL_SHIFT];
    int access = (v >> CTRL_ACCESS_SHIFT) & CTRL_ACCESS_BITS;
    if (access) {
        c.access = access;
        c.mode = (v >> CTRL_MODE_SHIFT) & CTRL_MODE_BITS;
        c.read_ff = c.write_ff = 0;
    } else {
        c.latched = 1;
        c.latch = pit_count_at(c, host_ticks_us());
        c.read_ff = 0;
    }
}

static uint8_t pit_port_in(uint16_t port)
{
    return port == PORT_CTRL ? OPEN_BUS : pit_read(port - PORT_CH0);
}

static void pit_port_out(uint16_t port, uint8_t v)
{
    if (port == PORT_CTRL)
        pit_control(v);
    else
        pit_write(port - PORT_CH0, v);
}

void pit_update(uint64_t now)
{
    if (now >= pit.pit0_next_us) {
        uint64_t p = pit_period_us(pit.ch[0].reload);
        int cap = (int)(OWED_WINDOW_US / p) + 1;
        while (pit.pit0_next_us <= now && pit.pit0_owed < cap) {
            pit.pit0_owed++;
            pit.pit0_next_us += p;
        }
        if (pit.pit0_next_us <= now)        // the rest of a stall is dropped
            pit.pit0_next_us = now + p;
    }
    const uint8_t line = 1 << IRQ_TIMER;
    if (pit.pit0_owed > 0 && !((pic_irr(PIC_MASTER) | pic_isr(PIC_MASTER)) & line)) {
        pit.pit0_owed--;
        pic_raise(IRQ_TIMER);
    }
}

void pit_reset(void)
{
    uint64_t now = host_ticks_us();
    pit = {};
    for (PitChannel &c : pit.ch) {
        c.access = ACCESS_WORD;
        c.start_us = now;
    }
    pit.pit0_next_us = now;
    port_map(PORT_CH0, PORT_CTRL, pit_port_in, pit_port_out);
}
