// The graphics window's memory logic. In chain-4 (mode 13h) the low two
// address bits pick the plane and the rest the byte within it; otherwise
// (planar modes and unchained mode X) an address is one byte in each of the
// four planes, reads load the latches, and writes combine the CPU byte, the
// set/reset colour and the latches under the map mask and the bit mask.
#include "devices/vga_state.h"

enum : uint32_t { OFFSET_MASK = VGA_PLANE_SIZE - 1 };

static inline void stamp(uint32_t at)
{
    if (vga.wr_track)
        vga.wr_stamp[at] = vga.wr_gen;
}

uint8_t vga_mem_rd(uint32_t lin)
{
    if (vga_chain4()) {
        if (lin - VGA_WINDOW >= VGA_WINDOW_END - VGA_WINDOW)
            return 0xFF;
        uint32_t o = lin - VGA_WINDOW;
        return vga.vram[(o & 3) * VGA_PLANE_SIZE + (o >> 2)];
    }
    uint32_t o = lin & OFFSET_MASK;
    for (int p = 0; p < VGA_PLANES; p++)
        vga.latch[p] = vga.vram[p * VGA_PLANE_SIZE + o];
    if (!(vga.gc[GC_MODE] & GC_READ_MODE1))
        return vga.latch[vga.gc[GC_READ_MAP] & 3];
    // Colour compare: a bit is 1 where every plane that counts matches the
    // compare colour.
    uint8_t care = vga.gc[GC_DONT_CARE], cmp = vga.gc[GC_COLOR_COMPARE];
    uint8_t r = 0xFF;
    for (int p = 0; p < VGA_PLANES; p++)
        if (care & (1 << p))
            r &= (uint8_t)~(vga.latch[p] ^ ((cmp >> p) & 1 ? 0xFF : 0x00));
    return r;
}

static inline uint8_t logic(uint8_t v, uint8_t latch, int op)
{
    switch (op) {
    case LOGIC_AND: return v & latch;
    case LOGIC_OR: return v | latch;
    case LOGIC_XOR: return v ^ latch;
    default: return v;
    }
}

void vga_mem_wr(uint32_t lin, uint8_t v)
{
    uint8_t mask = vga.seq[SEQ_MAP_MASK];
    if (vga_chain4()) {
        uint32_t o = lin - VGA_WINDOW;
        if (o >= VGA_WINDOW_END - VGA_WINDOW || !(mask & (1u << (o & 3))))
            return;
        uint32_t at = (o & 3) * VGA_PLANE_SIZE + (o >> 2);
        vga.vram[at] = v;
        stamp(at);
        return;
    }
    uint32_t o = lin & OFFSET_MASK;
    const uint8_t *gc = vga.gc;
    // The common case of plain stores (mode X fills, unrotated replace with
    // every bit enabled) skips the per-plane logic.
    if ((gc[GC_MODE] & GC_WRITE_MODE) == 0 && gc[GC_ROTATE] == 0 && gc[GC_ENABLE_SET_RESET] == 0 &&
        gc[GC_BIT_MASK] == 0xFF) {
        for (int p = 0; p < VGA_PLANES; p++)
            if (mask & (1 << p)) {
                vga.vram[p * VGA_PLANE_SIZE + o] = v;
                stamp(p * VGA_PLANE_SIZE + o);
            }
        return;
    }
    uint8_t bm = gc[GC_BIT_MASK];
    int op = (gc[GC_ROTATE] >> GC_LOGIC_SHIFT) & GC_LOGIC_MASK;
    int rot = gc[GC_ROTATE] & GC_ROTATE_COUNT;
    uint8_t rv = rot ? (uint8_t)(v >> rot | v << (8 - rot)) : v;
    uint8_t sr = gc[GC_SET_RESET], esr = gc[GC_ENABLE_SET_RESET];
    int mode = gc[GC_MODE] & GC_WRITE_MODE;
    for (int p = 0; p < VGA_PLANES; p++) {
        if (!(mask & (1 << p)))
            continue;
        uint8_t l = vga.latch[p], out;
        uint8_t srp = (sr >> p) & 1 ? 0xFF : 0x00;
        switch (mode) {
        case 0: {
            uint8_t d = (esr >> p) & 1 ? srp : rv;
            out = (uint8_t)((logic(d, l, op) & bm) | (l & ~bm));
            break;
        }
        case 1:
            out = l;
            break;
        case 2: {
            uint8_t d = (v >> p) & 1 ? 0xFF : 0x00;
            out = (uint8_t)((logic(d, l, op) & bm) | (l & ~bm));
            break;
        }
        default: {
            uint8_t m = rv & bm;
            out = (uint8_t)((srp & m) | (l & ~m));
            break;
        }
        }
        uint32_t at = p * VGA_PLANE_SIZE + o;
        vga.vram[at] = out;
        stamp(at);
    }
}
