// Audio production cost: one second of emulated time with all nine FM
// channels playing (vibrato, tremolo, feedback, FM and additive voices) and
// an auto-initialised 8-bit DMA stream at 22,222 Hz, produced the way the
// machine's poll produces it (every 10 ms). Prints the milliseconds of host
// time one emulated second took, best of several runs.
#include "devices/audio.h"
#include "devices/opl.h"
#include "devices/sb.h"
#include "machine/clock.h"
#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/ports.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr int RUNS = 7;
constexpr uint64_t POLL_US = 10000;
constexpr uint64_t SECOND_US = 1000000;
constexpr uint32_t DMA_BUF = 0x20000;
constexpr int DMA_LEN = 8192;

uint64_t fake_now_us;
uint64_t fake_clock(void) { return fake_now_us; }

void opl(uint8_t reg, uint8_t v)
{
    port_out8(OPL_PORT_INDEX, reg);
    port_out8(OPL_PORT_DATA, v);
}

void dsp(std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        port_out8(0x22C, b);
}

void start_sound(void)
{
    machine_init();
    sb_init();
    opl_init();
    opl(0x01, 0x20);
    opl(0xBD, 0xC0);                        // deep tremolo and vibrato
    for (int ch = 0; ch < 9; ch++) {
        int m = ch % 3 + 8 * (ch / 3), c = m + 3;
        opl((uint8_t)(0x20 + m), 0xE1);     // AM, vibrato, sustained, x1
        opl((uint8_t)(0x20 + c), 0xE2);
        opl((uint8_t)(0x40 + m), 0x18);
        opl((uint8_t)(0x40 + c), 0x04);
        opl((uint8_t)(0x60 + m), 0xF4);
        opl((uint8_t)(0x60 + c), 0xF2);
        opl((uint8_t)(0x80 + m), 0x24);
        opl((uint8_t)(0x80 + c), 0x24);
        opl((uint8_t)(0xE0 + m), (uint8_t)(ch & 3));
        opl((uint8_t)(0xC0 + ch), (uint8_t)(0x0C | (ch & 1)));  // feedback 6, FM or additive
        int fnum = 0x157 + 0x21 * ch;
        opl((uint8_t)(0xA0 + ch), (uint8_t)fnum);
        opl((uint8_t)(0xB0 + ch), (uint8_t)(0x20 | 4 << 2 | fnum >> 8));
    }

    for (int i = 0; i < DMA_LEN; i++)
        wr8l(DMA_BUF + i, (uint8_t)(128 + 100 * ((i / 25) % 2 ? 1 : -1)));
    port_out8(0x0A, 0x05);
    port_out8(0x0C, 0);
    port_out8(0x0B, 0x59);                  // auto-initialise, memory to device, channel 1
    port_out8(0x02, (uint8_t)DMA_BUF);
    port_out8(0x02, (uint8_t)(DMA_BUF >> 8));
    port_out8(0x83, (uint8_t)(DMA_BUF >> 16));
    port_out8(0x03, (uint8_t)(DMA_LEN - 1));
    port_out8(0x03, (uint8_t)((DMA_LEN - 1) >> 8));
    port_out8(0x0A, 0x01);
    port_out8(0x226, 1);
    port_out8(0x226, 0);
    dsp({0xD1, 0x40, 0xD3, 0x48, (uint8_t)(DMA_LEN / 2 - 1), (uint8_t)((DMA_LEN / 2 - 1) >> 8), 0x1C});
}

}  // namespace

int main()
{
    clock_set_source(fake_clock);
    static int16_t out[2 * 4096];
    double best_ms = 1e9;
    long frames = 0;
    for (int run = 0; run < RUNS; run++) {
        fake_now_us = 1000000;
        start_sound();
        audio_advance(fake_now_us);
        frames = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (uint64_t t = 0; t < SECOND_US; t += POLL_US) {
            fake_now_us += POLL_US;
            audio_advance(fake_now_us);
            while (int n = audio_available()) {
                n = std::min(n, 4096);
                frames += audio_mix(out, n, AUDIO_RATE_HZ);
            }
            port_in8(0x22E);                // the IRQ handler's acknowledgement
        }
        auto t1 = std::chrono::steady_clock::now();
        best_ms = std::min(best_ms, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    printf("audio: 1 s of 9-voice FM + DMA (%ld frames at %d Hz) in %.2f ms (best of %d)\n", frames,
           AUDIO_RATE_HZ, best_ms, RUNS);
    return 0;
}
