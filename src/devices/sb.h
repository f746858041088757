// The Sound Blaster's digital side at 220h with IRQ 5 and 8-bit DMA on
// channel 1: the DSP with its reset, output FIFO and command set, the mixer
// registers, and the OPL aliases. Also the always-idle game port at 201h.
#pragma once

#include <cstdint>

enum : uint16_t {
    SB_PORT_FIRST = 0x220,
    SB_PORT_LAST = 0x22F,
    JOY_PORT = 0x201,
};

enum {
    SB_IRQ = 5,
    SB_DEFAULT_RATE_HZ = 11025,
    SB_FIFO_SIZE = 64,
};

// Opens the WAV capture (VRK_WAVOUT), clears the DMA controller and the DSP,
// and claims the Sound Blaster, DMA and game ports.
void sb_init(void);
uint8_t sb_port_in(uint16_t port);
void sb_port_out(uint16_t port, uint8_t v);
uint8_t joy_port_in(uint16_t port);
void joy_port_out(uint16_t port, uint8_t v);

// Adds the DSP's output for n samples at out_rate Hz to acc: the DSP clock
// runs at its own rate, fetching DMA bytes and counting silence as it goes,
// and raises IRQ 5 at the end of each block.
void sb_render(int32_t *acc, int n, int out_rate);

// State views for tests and diagnostics.
int sb_rate_hz(void);
int sb_dma_active(void);
