#include "machine/pit.h"

#include "machine/pic.h"
#include "machine_fixture.h"

#include <string>

namespace {

enum : uint16_t { CH0 = 0x40, CTRL = 0x43, PIC_CMD = 0x20 };
enum : uint8_t { WORD_RATE_GEN = 0x34, EOI = 0x20 };

using PitTest = MachineTest;

void program(int ch, uint16_t reload)
{
    port_out8(CTRL, (uint8_t)(ch << 6 | WORD_RATE_GEN));
    port_out8(CH0 + ch, (uint8_t)reload);
    port_out8(CH0 + ch, (uint8_t)(reload >> 8));
}

uint16_t read_word(int ch)
{
    uint8_t lo = port_in8(CH0 + ch);
    return (uint16_t)(lo | port_in8(CH0 + ch) << 8);
}

uint16_t latch_and_read(int ch)
{
    port_out8(CTRL, (uint8_t)(ch << 6));
    return read_word(ch);
}

TEST_F(PitTest, CountFollowsTheHostClock)
{
    struct Case {
        uint16_t reload;
        uint64_t dt_us;
        uint16_t count;
    } cases[] = {
        {0, 0, 0x0000},         // 65536 shows as 0
        {0, 1000, 64343},       // 1193 input clocks
        {0, 54925, 1},
        {0, 54926, 0},          // the period wraps
        {1000, 500, 404},
        {1000, 1000, 807},
        {11932, 10000, 1},
        {11932, 2500000, 45},
    };
    for (int ch = 0; ch < PIT_CHANNELS; ch++) {
        for (const Case &c : cases) {
            SCOPED_TRACE(testing::Message() << "channel " << ch << " reload " << c.reload << " after "
                                            << c.dt_us << " us");
            fake_now_us = START_US;
            program(ch, c.reload);
            fake_now_us += c.dt_us;
            EXPECT_EQ(latch_and_read(ch), c.count);
            EXPECT_EQ(pit_count(ch), c.count);
        }
    }
}

TEST_F(PitTest, ResetChannelsCountFromReset)
{
    fake_now_us += 1000;
    EXPECT_EQ(latch_and_read(2), 64343);
}

TEST_F(PitTest, LatchSurvivesReloadUntilRead)
{
    program(0, 1000);
    fake_now_us += 300;
    port_out8(CTRL, 0x00);
    port_out8(CH0, 0x88);           // new reload 5000 (1388h)
    port_out8(CH0, 0x13);
    fake_now_us += 100;
    EXPECT_EQ(read_word(0), 643) << "the count latched before the reload";
    EXPECT_EQ(read_word(0), 4881) << "the current count of the new reload";
}

TEST_F(PitTest, UnlatchedWordReadTakesEachByteWhenRead)
{
    program(0, 0);
    fake_now_us += 1000;            // count FB57h
    uint8_t lo = port_in8(CH0);
    fake_now_us += 29000;           // count 742Dh
    uint8_t hi = port_in8(CH0);
    EXPECT_EQ(lo, 0x57);
    EXPECT_EQ(hi, 0x74);
}

TEST_F(PitTest, ByteAccessModes)
{
    port_out8(CTRL, 0x10);          // channel 0, low byte only
    port_out8(CH0, 0x80);           // reload 128
    fake_now_us += 50;              // 59 clocks: count 69
    EXPECT_EQ(port_in8(CH0), 69);
    EXPECT_EQ(port_in8(CH0), 69) << "no flip-flop in low-byte mode";
    port_out8(CTRL, 0x00);
    fake_now_us += 10;              // 71 clocks: 57, but the latch holds 69
    EXPECT_EQ(port_in8(CH0), 69);
    EXPECT_EQ(port_in8(CH0), 57) << "one read releases the latch";

    port_out8(CTRL, 0x20);          // channel 0, high byte only
    port_out8(CH0, 0x02);           // reload 512
    fake_now_us += 100;             // 119 clocks: count 393 = 0189h
    EXPECT_EQ(port_in8(CH0), 0x01);
    EXPECT_EQ(port_in8(CH0), 0x01);
}

TEST_F(PitTest, ReloadRestartsTheCount)
{
    program(1, 1000);
    fake_now_us += 400;
    EXPECT_EQ(pit_count(1), 1000 - 477);
    program(1, 1000);
    EXPECT_EQ(pit_count(1), 1000);
}

TEST_F(PitTest, ReadBackCommandIsIgnored)
{
    port_out8(CTRL, WORD_RATE_GEN);
    port_out8(CH0, 0xE8);
    port_out8(CTRL, 0xE2);          // read-back: must not reset the write flip-flop
    port_out8(CH0, 0x03);           // reload 03E8h = 1000
    fake_now_us += 500;
    EXPECT_EQ(latch_and_read(0), 404);
    EXPECT_EQ(port_in8(CTRL), 0xFF);
}

// Runs the timer on a fake clock for dur_us, taking and ending every IRQ 0.
int run_ticks(uint64_t dur_us)
{
    const uint64_t step_us = 1000;
    int ticks = 0;
    for (uint64_t t = 0; t <= dur_us; t += step_us) {
        pit_update(fake_now_us);
        if (pic_pending_vector() == 0x08) {
            ticks++;
            port_out8(PIC_CMD, EOI);
        }
        fake_now_us += step_us;
    }
    return ticks;
}

TEST_F(PitTest, DefaultRateIsAbout18Hz)
{
    EXPECT_NEAR(run_ticks(10'000'000) / 10.0, 18.2, 0.15);
}

TEST_F(PitTest, ReprogrammedRateIsAbout100Hz)
{
    port_out8(CTRL, 0x36);
    port_out8(CH0, 0x9C);
    port_out8(CH0, 0x2E);
    EXPECT_NEAR(run_ticks(10'000'000) / 10.0, 100.0, 0.15);
}

TEST_F(PitTest, StallOwesAtMostAQuarterSecond)
{
    struct Case {
        uint16_t reload;
        uint64_t period_us;
        int owed;               // 250000 / period + 1
    } cases[] = {
        {0, 54925, 5},
        {11932, 10000, 26},
        {1193, 999, 251},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "reload " << c.reload);
        machine_init();
        program(0, c.reload);
        fake_now_us += c.period_us;
        pit_update(fake_now_us);
        ASSERT_EQ(pic_pending_vector(), 0x08);
        // The handler does not end the interrupt for two seconds.
        for (int ms = 0; ms < 2000; ms++) {
            fake_now_us += 1000;
            pit_update(fake_now_us);
            ASSERT_EQ(pic_irr(PIC_MASTER) & 1, 0) << "no tick is raised while one is in service";
        }
        int back_to_back = 0;
        for (;;) {
            port_out8(PIC_CMD, EOI);
            pit_update(fake_now_us);
            if (pic_pending_vector() != 0x08)
                break;
            back_to_back++;
        }
        EXPECT_EQ(back_to_back, c.owed);
        fake_now_us += c.period_us;
        pit_update(fake_now_us);
        EXPECT_EQ(pic_pending_vector(), 0x08) << "the timer goes on after the dropped ticks";
    }
}

TEST_F(PitTest, TickWaitsUntilTheLastOneIsTaken)
{
    fake_now_us += 3 * 54925;
    pit_update(fake_now_us);                // four ticks are due
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x01);
    pit_update(fake_now_us);
    ASSERT_EQ(pic_pending_vector(), 0x08);
    pit_update(fake_now_us);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x00);
    port_out8(PIC_CMD, EOI);
    pit_update(fake_now_us);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x01);
}

TEST_F(PitTest, ReloadOfChannel0IsReported)
{
    struct Case {
        uint16_t reload;
        const char *line;
    } cases[] = {
        {11932, "PIT0 reload 11932 (100 Hz)\n"},
        {0, "PIT0 reload 0 (18 Hz)\n"},
        {1193, "PIT0 reload 1193 (1001 Hz)\n"},
    };
    debug_level = 1;
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        program(0, c.reload);
        program(2, c.reload);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
}

} // namespace
