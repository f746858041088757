// VGA memory throughput through the interpreter: programs that fill the
// graphics window with REP STOSB/STOSW, with a byte loop and with a
// read-modify-write byte loop (the latch path of planar drawing), in mode
// 13h, mode 12h and unchained mode X. Prints bytes written per second.
#include "bios/bios.h"
#include "devices/vga.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr uint16_t CODE_SEG = 0x1000, STACK_SEG = 0x3000, STACK_TOP = 0xFFFE, WINDOW_SEG = 0xA000;

// Each program runs BP passes over SI units from ES:0000, AL the value:
//     outer: mov cx, si
//            xor di, di
//            <body>
//            inc al
//            dec bp
//            jnz outer
//     done:  jmp done
// with body "rep stosb", "rep stosw", the byte loop
//     .l: mov [es:di], al / inc di / loop .l
// or the read-modify-write loop
//     .l: mov al, [es:di] / mov [es:di], al / inc di / loop .l
const uint8_t REP_STOSB[] = {0x89, 0xf1, 0x31, 0xff, 0xf3, 0xaa, 0xfe, 0xc0, 0x4d, 0x75, 0xf5,
                             0xeb, 0xfe};
const uint8_t REP_STOSW[] = {0x89, 0xf1, 0x31, 0xff, 0xf3, 0xab, 0xfe, 0xc0, 0x4d, 0x75, 0xf5,
                             0xeb, 0xfe};
const uint8_t BYTE_LOOP[] = {0x89, 0xf1, 0x31, 0xff, 0x26, 0x88, 0x05, 0x47, 0xe2, 0xfa, 0xfe,
                             0xc0, 0x4d, 0x75, 0xf1, 0xeb, 0xfe};
const uint8_t RMW_LOOP[] = {0x89, 0xf1, 0x31, 0xff, 0x26, 0x8a, 0x05, 0x26, 0x88, 0x05, 0x47,
                            0xe2, 0xf7, 0xfe, 0xc0, 0x4d, 0x75, 0xee, 0xeb, 0xfe};

enum Screen { MODE_13H, MODE_12H, MODE_X };

struct Workload {
    const char *name;
    Screen screen;
    const uint8_t *code;
    size_t size;
    uint16_t units;             // per pass
    int unit_bytes;
    uint16_t passes;
};

const Workload WORKLOADS[] = {
    {"mode 13h rep stosb", MODE_13H, REP_STOSB, sizeof REP_STOSB, 64000, 1, 40},
    {"mode 13h rep stosw", MODE_13H, REP_STOSW, sizeof REP_STOSW, 32000, 2, 40},
    {"mode 13h byte loop", MODE_13H, BYTE_LOOP, sizeof BYTE_LOOP, 64000, 1, 20},
    {"mode 12h rep stosb", MODE_12H, REP_STOSB, sizeof REP_STOSB, 38400, 1, 60},
    {"mode 12h byte loop", MODE_12H, BYTE_LOOP, sizeof BYTE_LOOP, 38400, 1, 30},
    {"mode 12h read-modify-write loop", MODE_12H, RMW_LOOP, sizeof RMW_LOOP, 38400, 1, 30},
    {"mode X rep stosb (4 planes)", MODE_X, REP_STOSB, sizeof REP_STOSB, 16000, 1, 150},
};

double now_s(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

void out_index(uint16_t port, uint8_t index, uint8_t v)
{
    port_out8(port, index);
    port_out8((uint16_t)(port + 1), v);
}

double run_once(const Workload &w)
{
    machine_init();
    bios_init();
    vga_init();
    vga_set_mode(w.screen == MODE_12H ? 0x12 : 0x13);
    if (w.screen == MODE_X) {
        out_index(VGA_SEQ_INDEX, 4, 0x06);
        out_index(VGA_CRTC_INDEX, 0x14, 0x00);
        out_index(VGA_CRTC_INDEX, 0x17, 0xE3);
        out_index(VGA_SEQ_INDEX, 2, 0x0F);
    }
    memcpy(memptr(LIN(CODE_SEG, 0)), w.code, w.size);
    CS = CODE_SEG;
    IP = 0;
    ES = WINDOW_SEG;
    SS = STACK_SEG;
    SP = STACK_TOP;
    SI = w.units;
    BP = w.passes;
    AL = 1;
    flags_set(F_ALWAYS1);       // interrupts off: nothing but the workload runs

    double t0 = now_s();
    cpu_run_until(CODE_SEG, (uint16_t)(w.size - 2), STACK_TOP);
    return now_s() - t0;
}

} // namespace

int main(void)
{
    constexpr int RUNS = 3;
    printf("VGA writes through the interpreter (best of %d runs):\n", RUNS);
    for (const Workload &w : WORKLOADS) {
        double best = 1e30;
        for (int i = 0; i < RUNS; i++) {
            double t = run_once(w);
            if (t < best)
                best = t;
        }
        double bytes = (double)w.units * w.unit_bytes * w.passes;
        printf("  %-34s %8.1f MB/s  (%.0f bytes in %.3f s)\n", w.name, bytes / best / 1e6, bytes, best);
    }
    return 0;
}
