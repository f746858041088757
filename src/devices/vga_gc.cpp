// Graphics controller (3CEh/3CFh): set/reset, colour compare, rotate and
// logical operation, read map, read and write modes, bit mask. The memory
// logic that applies them is in vga_mem.cpp.
#include "devices/vga_state.h"

enum : uint8_t { GC_INDEX_MASK = GC_COUNT - 1 };

uint8_t vga_gc_in(uint16_t port)
{
    if (port == VGA_GC_INDEX)
        return vga.gc_idx;
    return vga.gc[vga.gc_idx & GC_INDEX_MASK];
}

void vga_gc_out(uint16_t port, uint8_t v)
{
    if (port == VGA_GC_INDEX)
        vga.gc_idx = v;
    else
        vga.gc[vga.gc_idx & GC_INDEX_MASK] = v;
}
