// The run loop. cpu_run_until interleaves three things until emulated code
// comes back to a given return point: the periodic host work (every
// POLL_STEPS steps), hardware interrupt delivery (whenever the PIC has an
// unmasked request and IF is set) and one interpreted instruction.
//
// The loops nest: a host service that runs emulated code (an interrupt
// handler, a user callback) starts an inner loop with its own return point.
// The return point includes the stack pointer, compared as a signed 16-bit
// distance, so a deeper recursion through the same return address - which
// runs with a lower SP - does not end an outer loop early.
#include "machine/hle.h"

#include "bios/bios.h"
#include "devices/audio.h"
#include "diag/autotest.h"
#include "host/host.h"
#include "machine/clock.h"
#include "machine/fpu.h"
#include "machine/hle_table.h"
#include "machine/interp.h"
#include "machine/pic.h"
#include "machine/pit.h"
#include "machine/ports.h"

#include <cstring>

enum : uint32_t {
    IDLE_SLEEP_US = 500,            // one round of an idle wait
    HALT_ROUNDS = 100001,           // about 50 s before HLT gives up waiting
    DEFAULT_FRAME_US = 14286,       // 70 Hz, until the host display says otherwise
    RESET_FLAGS = F_IF | F_ALWAYS1,
};

int poll_counter;
uint32_t vga_frame_us = DEFAULT_FRAME_US;
uint64_t last_present_us, last_flip_us;
int p3d_new_frame;

void machine_poll(void)
{
    uint64_t now = host_ticks_us();
    pit_update(now);
    kbd_poll();
    audio_advance(now);
    autotest_poll();
}

static int irq_deliverable(void)
{
    return irq_pending && (cpu.flags & F_IF);
}

// The rounds in which only a step happens run inside the interpreter
// (interp_run); this loop does the rounds that poll or take an interrupt.
void cpu_run_until(uint16_t retcs, uint16_t retip, uint16_t sp_mark)
{
    for (;;) {
        if (interp_run(retcs, retip, sp_mark))
            return;
        if (--poll_counter <= 0) {
            poll_counter = POLL_STEPS;
            machine_poll();
        }
        if (irq_deliverable()) {
            int v = pic_pending_vector();
            if (v >= 0)
                cpu_int_enter((uint8_t)v);
        }
        cpu_step();
    }
}

void cpu_check_irq(void)
{
    if (poll_counter < 1) {
        poll_counter = POLL_STEPS;
        machine_poll();
    }
    if (!irq_deliverable())
        return;
    int v = pic_pending_vector();
    if (v < 0)
        return;
    uint16_t cs = CS, ip = IP, sp = SP;
    cpu_int_enter((uint8_t)v);
    cpu_run_until(cs, ip, sp);
}

void machine_wait(void)
{
    clock_sleep_us(IDLE_SLEEP_US);
    poll_counter = 0;
    machine_poll();
}

// HLT waits for an interrupt it could take; the run loop delivers it. With
// IF clear nothing can end the wait, so it gives up after the round limit.
void hle_halt(void)
{
    for (uint32_t round = 0; round < HALT_ROUNDS && !host_quit_requested; round++) {
        if (irq_deliverable() && pic_pending_vector_peek() >= 0)
            return;
        clock_sleep_us(IDLE_SLEEP_US);
        poll_counter = 0;
        machine_poll();
    }
}

void machine_init(void)
{
    memset(&cpu, 0, sizeof cpu);
    fpu_reset();
    hle_reset();
    cpu.flags = RESET_FLAGS;
    poll_counter = POLL_STEPS;
    mem_init();
    port_reset();
    pic_reset();
    pit_reset();
}
