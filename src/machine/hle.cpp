// Host callbacks and their stubs in segment F000h.
//
// A stub occupies 8-byte slots from F000:0100 up: the escape FE 38 <id16>,
// which the interpreter turns into hle_callback(id), then RETF 2 for an
// interrupt service (dropping the FLAGS word of the frame, so the service
// can answer in the arithmetic flags) or RETF for a far-call entry. A
// trampoline replaces the RETF with the bytes a hook displaced from a routine
// and a far jump back behind them.
#include "machine/hle.h"

#include "machine/hle_table.h"

#include <cstdio>
#include <cstring>

enum : uint16_t {
    HLE_SLOTS = 0x10000 / HLE_SLOT,     // one per 8 bytes of the segment
    // The EMS driver's segment F100h starts 1000h bytes into F000h; stubs
    // skip over the part of it that the driver builds.
    EMS_AREA_LO = (EMS_SEG - HLE_SEG) << 4,
    EMS_AREA_HI = EMS_AREA_LO + 0x100,
    HLE_AREA_END = 0x6000,              // the BIOS fonts start here
};

enum : uint8_t {
    OP_ESCAPE = 0xFE, ESCAPE_MODRM = 0x38,
    OP_RETF_IMM = 0xCA, OP_RETF = 0xCB, OP_JMP_FAR = 0xEA,
    IRET_FRAME_FLAGS = 4,               // FLAGS word above the return IP and CS
    IVT_ENTRY = 4,                      // bytes per interrupt vector
};

enum {
    ESCAPE_BYTES = 4,                   // FE 38 lo hi
    JMP_FAR_BYTES = 5,
    TRAMPOLINE_MAX = 32,                // displaced bytes a trampoline can hold
    NAME_MAX = 32,
};

// Vectors whose services run with interrupts enabled from the start, as the
// real BIOS and DOS handlers do with an early STI.
static const uint8_t sti_vectors[] = {0x10, 0x13, 0x15, 0x16, 0x1A, 0x21, 0x2F, 0x33, 0x67};

struct HleEntry {
    HleFn fn;
    int iret_style;                     // 1: interrupt service, 0: far-call entry
    char name[NAME_MAX];
    uint16_t off;                       // stub offset in F000h
    int sti;                            // pending interrupts are taken first
};

static struct {
    HleEntry entry[HLE_MAX];
    int hle_count;
    uint16_t hle_next_off;
    uint16_t slot_id[HLE_SLOTS];        // callback number + 1 of the stub in a slot
} hle;

void hle_reset(void)
{
    hle.hle_count = 0;
    hle.hle_next_off = HLE_FIRST_OFF;
    memset(hle.slot_id, 0, sizeof hle.slot_id);
}

const char *hle_name(int id)
{
    return id >= 0 && id < hle.hle_count ? hle.entry[id].name : nullptr;
}

static void stub_byte(uint16_t off, uint8_t v)
{
    wr8l(LIN(HLE_SEG, off), v);
}

// Takes a table entry and `bytes` of slots, writes the escape and returns
// the callback number; the caller writes what follows the escape.
static int hle_new(HleFn fn, int iret_style, const char *name, uint32_t bytes)
{
    if (hle.hle_count >= HLE_MAX)
        fatal("too many HLE callbacks");
    if (!fn)
        fatal("HLE callback %s has no function", name ? name : "?");
    uint32_t off = hle.hle_next_off;
    if (off < EMS_AREA_HI && off + bytes > EMS_AREA_LO)
        off = EMS_AREA_HI;
    if (off + bytes > HLE_AREA_END)
        fatal("too many HLE callbacks");
    hle.hle_next_off = (uint16_t)(off + bytes);

    int id = hle.hle_count++;
    HleEntry &e = hle.entry[id];
    e.fn = fn;
    e.iret_style = iret_style;
    snprintf(e.name, sizeof e.name, "%s", name ? name : "");
    e.off = (uint16_t)off;
    e.sti = 0;
    hle.slot_id[off / HLE_SLOT] = (uint16_t)(id + 1);

    stub_byte(e.off, OP_ESCAPE);
    stub_byte(e.off + 1, ESCAPE_MODRM);
    stub_byte(e.off + 2, (uint8_t)id);
    stub_byte(e.off + 3, (uint8_t)(id >> 8));
    return id;
}

uint16_t hle_add(HleFn fn, int iret_style, const char *name)
{
    HleEntry &e = hle.entry[hle_new(fn, iret_style != 0, name, HLE_SLOT)];
    uint16_t o = e.off + ESCAPE_BYTES;
    if (e.iret_style) {
        stub_byte(o, OP_RETF_IMM);
        stub_byte(o + 1, 2);
        stub_byte(o + 2, 0);
    } else {
        stub_byte(o, OP_RETF);
    }
    return e.off;
}

uint16_t hle_set_vector(uint8_t n, HleFn fn, const char *name)
{
    uint16_t off = hle_add(fn, 1, name);
    for (uint8_t v : sti_vectors)
        if (v == n)
            hle_mark_sti(off);
    wr16l((uint32_t)n * IVT_ENTRY, off);
    wr16l((uint32_t)n * IVT_ENTRY + 2, HLE_SEG);
    return off;
}

uint16_t hle_add_trampoline(HleFn fn, const char *name, const uint8_t *orig, int n,
                            uint16_t back_seg, uint16_t back_off)
{
    if (n < 0 || n > TRAMPOLINE_MAX || (n > 0 && !orig))
        fatal("HLE trampoline %s: bad displaced code (%d bytes)", name ? name : "?", n);
    // One slot for the escape, then (n + 12) rounded down to whole slots,
    // which always has room for the displaced bytes and the jump.
    uint32_t bytes = HLE_SLOT + ((uint32_t)(n + 12) & ~(uint32_t)(HLE_SLOT - 1));
    HleEntry &e = hle.entry[hle_new(fn, 0, name, bytes)];
    uint16_t o = e.off + ESCAPE_BYTES;
    for (int i = 0; i < n; i++)
        stub_byte(o++, orig[i]);
    stub_byte(o, OP_JMP_FAR);
    stub_byte(o + 1, (uint8_t)back_off);
    stub_byte(o + 2, (uint8_t)(back_off >> 8));
    stub_byte(o + 3, (uint8_t)back_seg);
    stub_byte(o + 4, (uint8_t)(back_seg >> 8));
    return e.off;
}

int hle_id_of(uint16_t off)
{
    if (off % HLE_SLOT)
        return -1;
    return hle.slot_id[off / HLE_SLOT] - 1;
}

int hle_is_direct(uint16_t off)
{
    int id = hle_id_of(off);
    return id >= 0 && hle.entry[id].iret_style;
}

void hle_mark_sti(uint16_t off)
{
    int id = hle_id_of(off);
    if (id < 0)
        fatal("no HLE stub at %04X:%04X", HLE_SEG, off);
    hle.entry[id].sti = 1;
}

// A service with the sti flag opens an interrupt window before it runs, so a
// tick that is already pending is handled first, as it would be right after
// the real handler's STI; the caller's IF comes back afterwards.
static void hle_irq_window(void)
{
    uint32_t saved_if = cpu.flags & F_IF;
    cpu.flags |= F_IF;
    cpu_check_irq();
    cpu.flags = (cpu.flags & ~F_IF) | saved_if;
}

static void hle_run(const HleEntry &e)
{
    if (e.sti && irq_pending)
        hle_irq_window();
    e.fn();
}

void hle_callback(uint16_t id)
{
    if (id >= hle.hle_count)
        fatal("bad HLE callback %u", id);
    const HleEntry &e = hle.entry[id];
    hle_run(e);
    if (!e.iret_style)
        return;
    // RETF 2 will drop the frame's FLAGS: take the caller's IF and TF from it
    // now and leave the status flags as the service set them.
    uint16_t saved = rd16(SS, (uint16_t)(SP + IRET_FRAME_FLAGS));
    uint32_t keep = F_IF | F_TF;
    flags_set((flags_get() & ~keep) | (saved & keep));
}

void hle_call_direct(uint16_t off)
{
    if (!hle_is_direct(off))
        fatal("no interrupt-style HLE stub at %04X:%04X", HLE_SEG, off);
    hle_run(hle.entry[hle_id_of(off)]);
}

void cpu_int(uint8_t n)
{
    uint32_t vec = (uint32_t)n * IVT_ENTRY;
    uint16_t off = rd16l(vec), seg = rd16l(vec + 2);
    if (seg == HLE_SEG && hle_is_direct(off)) {
        hle_call_direct(off);
        return;
    }
    uint16_t cs = CS, ip = IP, sp = SP;
    cpu_int_enter(n);
    cpu_run_until(cs, ip, sp);
}
