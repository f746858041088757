// A reset machine with the BIOS and the VGA initialised, a stack, and helpers
// to call services and to type keys through the keyboard controller.
#pragma once

#include "../machine/machine_fixture.h"
#include "bios/bios.h"
#include "devices/vga.h"
#include "machine/pic.h"

class BiosTest : public MachineTest {
protected:
    static constexpr uint16_t STACK_SEG = 0x9000, STACK_TOP = 0xFFF0;
    static constexpr uint16_t CODE_SEG = 0x2000;

    void SetUp() override
    {
        MachineTest::SetUp();
        bios_init();
        vga_init();
        SS = STACK_SEG;
        SP = STACK_TOP;
        CS = CODE_SEG;
        IP = 0;
        wr8(CODE_SEG, 0, 0x90);
    }

    void TearDown() override
    {
        host_headless = 0;
        MachineTest::TearDown();
    }

    // Runs the IRQ 1 handler for every byte the controller holds.
    void pump()
    {
        for (int guard = 0; kbd_pending() && guard < 64; guard++) {
            kbd_poll();
            cpu_check_irq();
        }
    }

    void down(uint16_t code) { kbd_host_key(code, 1); pump(); }
    void up(uint16_t code) { kbd_host_key(code, 0); pump(); }
    void tap(uint16_t code) { down(code); up(code); }

    uint16_t int16(uint8_t ah)
    {
        AH = ah;
        cpu_int(0x16);
        return AX;
    }

    int cf() { return (flags_get() & F_CF) != 0; }
    int zf() { return (flags_get() & F_ZF) != 0; }
};
