// Attribute controller (3C0h/3C1h): one port takes the index and the data in
// turn, switched by a flip-flop that a read of input status 1 resets.
#include "devices/vga_state.h"

enum : uint8_t { ATTR_INDEX_MASK = ATTR_COUNT - 1 };

uint8_t vga_attr_in(uint16_t port)
{
    if (port == VGA_ATTR)
        return vga.attr_idx;
    return vga.attr[vga.attr_idx & ATTR_INDEX_MASK];
}

void vga_attr_out(uint16_t port, uint8_t v)
{
    (void)port;
    if (!vga.attr_flip)
        vga.attr_idx = v;
    else
        vga.attr[vga.attr_idx & ATTR_INDEX_MASK] = v;
    vga.attr_flip ^= 1;
}

void vga_attr_set(int index, uint8_t v) { vga.attr[index & ATTR_INDEX_MASK] = v; }
uint8_t vga_attr_get(int index) { return vga.attr[index & ATTR_INDEX_MASK]; }
