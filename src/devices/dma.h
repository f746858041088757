// The 8237 DMA controller of the first (8-bit) bank, channels 0-3, with
// their page registers. Only the Sound Blaster moves data through it (on
// channel 1); the transfer side is therefore a byte-at-a-time pull.
#pragma once

#include <cstdint>

enum {
    DMA_CHANNELS = 4,
    DMA_SB_CHANNEL = 1,             // the Sound Blaster's 8-bit channel
};

// Clears every register, masks all channels and claims ports 00h-0Fh and
// 80h-8Fh.
void dma_init(void);
uint8_t dma_port_in(uint16_t port);
void dma_port_out(uint16_t port, uint8_t v);

// 1 while the channel's mask bit is set.
int dma_masked(int ch);
// Reads the byte at the channel's current address and steps the channel:
// address up (or down), count down, and at the terminal count the status
// bit and either the auto-initialise reload or the mask.
uint8_t dma_read8(int ch);

// Register views for tests and diagnostics.
uint16_t dma_current_address(int ch);
uint16_t dma_current_count(int ch);
