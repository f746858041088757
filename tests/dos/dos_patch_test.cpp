// The diverted Turbo Pascal delay loop on a fake time line: the patch, the
// calibration answer, a full wait and a wait that an interrupt ends early.
#include "dos/dos.h"

#include "../machine/machine_fixture.h"
#include "bios/bios.h"

#include <gtest/gtest.h>

namespace {

const uint16_t CODE = 0x2000, FLAG_SEG = 0x3000, STACK = 0x4000;
const uint16_t LOOP_OFF = 0x10, HANDLER_OFF = 0x100, AFTER_CALL = 3;

const uint8_t delay_loop[] = {0x2D, 0x01, 0x00, 0x83, 0xDA, 0x00, 0x72, 0x05, 0x26, 0x3A, 0x1D, 0x74, 0xF3, 0xC3};

class DelayPatchTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        bios_init();
        dos_init("/tmp");
        load(CODE, 0, {0xE8, LOOP_OFF - AFTER_CALL, 0x00});     // call the loop
        for (size_t i = 0; i < sizeof delay_loop; i++)
            wr8(CODE, (uint16_t)(LOOP_OFF + i), delay_loop[i]);
        for (size_t i = 0; i < sizeof delay_loop; i++)
            wr8(CODE, (uint16_t)(LOOP_OFF + 0x40 + i), delay_loop[i]);
        tpcrt_patch(CODE, 0x80);
    }

    // Calls the loop with DX:AX iterations, ES:DI the end-condition byte.
    void delay(uint32_t count, uint16_t es, uint16_t di)
    {
        CS = CODE;
        IP = 0;
        SS = STACK;
        SP = 0xFFFE;
        ES = es;
        DI = di;
        BL = rd8(es, di);
        DX = (uint16_t)(count >> 16);
        AX = (uint16_t)count;
        cpu_run_until(CODE, AFTER_CALL, SP);
    }
};

TEST_F(DelayPatchTest, BothCopiesArePatched)
{
    for (uint16_t off : {LOOP_OFF, (uint16_t)(LOOP_OFF + 0x40)}) {
        EXPECT_EQ(rd8(CODE, off), 0xFE);
        EXPECT_EQ(rd8(CODE, (uint16_t)(off + 1)), 0x38);
        EXPECT_EQ(rd8(CODE, (uint16_t)(off + 4)), 0xC3);
        EXPECT_EQ(rd8(CODE, (uint16_t)(off + 5)), 0x00);    // the rest stays
    }
}

TEST_F(DelayPatchTest, CalibrationAnswersAtOnce)
{
    uint64_t t0 = fake_now_us;
    delay(0xFFFFFFFF, 0x0040, 0x006C);
    EXPECT_EQ((uint32_t)DX << 16 | AX, 0xFFFFFFFFu - 55000);
    EXPECT_FALSE(CF_());
    EXPECT_EQ(fake_now_us, t0);
}

TEST_F(DelayPatchTest, FullWaitTakesTheMicroseconds)
{
    wr8(FLAG_SEG, 0, 7);
    uint64_t t0 = fake_now_us;
    delay(20000, FLAG_SEG, 0);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 0xFFFF);
    EXPECT_EQ(DX, 0xFFFF);
    EXPECT_GE(fake_now_us - t0, 20000u);
    EXPECT_LT(fake_now_us - t0, 21000u);
}

TEST_F(DelayPatchTest, AnInterruptThatChangesTheByteEndsTheWait)
{
    // INT 08h: mov byte [3000:0000], 9; end of interrupt; iret.
    load(CODE, HANDLER_OFF, {0x50, 0x1E, 0xB8, 0x00, 0x30, 0x8E, 0xD8, 0xC6, 0x06, 0x00, 0x00, 0x09,
                             0xB0, 0x20, 0xE6, 0x20, 0x1F, 0x58, 0xCF});
    set_vector(0x08, CODE, HANDLER_OFF);
    wr8(FLAG_SEG, 0, 7);
    uint64_t t0 = fake_now_us;
    delay(1000000, FLAG_SEG, 0);
    EXPECT_FALSE(CF_());
    EXPECT_EQ(AX, 0);
    EXPECT_EQ(DX, 0);
    EXPECT_LT(fake_now_us - t0, 100000u);       // the first tick, about 55 ms in
}

}  // namespace
