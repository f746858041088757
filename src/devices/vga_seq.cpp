// Sequencer (3C4h/3C5h): the map mask that enables planes for writes and the
// memory mode with its chain-4 bit.
#include "devices/vga_state.h"

enum : uint8_t { SEQ_INDEX_MASK = SEQ_COUNT - 1 };

uint8_t vga_seq_in(uint16_t port)
{
    if (port == VGA_SEQ_INDEX)
        return vga.seq_idx;
    return vga.seq[vga.seq_idx & SEQ_INDEX_MASK];
}

void vga_seq_out(uint16_t port, uint8_t v)
{
    if (port == VGA_SEQ_INDEX)
        vga.seq_idx = v;
    else
        vga.seq[vga.seq_idx & SEQ_INDEX_MASK] = v;
}
