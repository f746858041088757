// A register-compatible model of the OPL2 FM synthesizer: 9 two-operator
// channels, rhythm mode, four waveforms, tremolo and vibrato, and the two
// timers with their status register, on ports 388h/389h.
#pragma once

#include <cstdint>

enum : uint16_t {
    OPL_PORT_FIRST = 0x388,         // even: index (write) / status (read)
    OPL_PORT_LAST = 0x38B,          // odd: data for the latched index
    OPL_PORT_INDEX = 0x388,
    OPL_PORT_DATA = 0x389,
};

constexpr int OPL_CHIP_RATE_HZ = 49716;     // the chip's own sample rate

// Clears every operator and channel, silences the envelopes, builds the
// tables and claims the ports.
void opl_init(void);
uint8_t opl_port_in(uint16_t port);
void opl_port_out(uint16_t port, uint8_t v);
// Lets the timers expire against the host clock.
void opl_timer_update(void);
// count mono samples at rate Hz, resampled from the chip's rate.
void opl_generate(int16_t *out, int count, int rate);
