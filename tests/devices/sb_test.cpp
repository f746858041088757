#include "devices/sb.h"

#include "devices/dma.h"
#include "sound_fixture.h"

#include <string>

namespace {

using SbTest = SoundTest;

constexpr uint32_t BUF = 0x12340;           // page 1, offset 2340h
constexpr int16_t LEVEL_C0 = 0x40 * 256;    // byte C0h played as a 16-bit sample

TEST_F(SbTest, ResetSequenceAnswersAA)
{
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);      // nothing to read before the reset
    port_out8(DSP_RESET, 0);                    // a write of 0 alone does nothing
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);
    dsp_reset();
    EXPECT_EQ(port_in8(DSP_STATUS), 0xFF);
    EXPECT_EQ(port_in8(DSP_READ), 0xAA);
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);
    EXPECT_EQ(port_in8(DSP_READ), 0xFF);        // empty FIFO
    EXPECT_EQ(port_in8(DSP_WRITE), 0x7F);       // always ready for a command
    EXPECT_EQ(port_in8(DSP_RESET), 0xFF);
}

TEST_F(SbTest, ResetAbandonsACommandWaitingForItsArgument)
{
    dsp_reset();
    dsp_read();
    dsp({0x40});                                // time constant, argument never sent
    dsp_reset();
    EXPECT_EQ(dsp_read(), 0xAA);
    dsp({0xE1});                                // a command again, not the argument
    EXPECT_EQ(dsp_read(), 0x03);
    EXPECT_EQ(dsp_read(), 0x02);
    EXPECT_EQ(sb_rate_hz(), SB_DEFAULT_RATE_HZ);
}

TEST_F(SbTest, IdentificationVersionCopyrightAndTestRegister)
{
    dsp_reset();
    ASSERT_EQ(dsp_read(), 0xAA);
    dsp({0xE1});
    EXPECT_EQ(dsp_read(), 0x03);
    EXPECT_EQ(dsp_read(), 0x02);
    dsp({0xE0, 0x55});
    EXPECT_EQ(dsp_read(), 0xAA);
    dsp({0xE0, 0x00});
    EXPECT_EQ(dsp_read(), 0xFF);

    dsp({0xE3});
    std::string text;
    for (int c; (c = dsp_read()) > 0;)
        text += (char)c;
    EXPECT_EQ(text, "COPYRIGHT (C) CREATIVE TECHNOLOGY LTD, 1992.");
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);      // the 00h ended it and nothing follows

    dsp({0xE4, 0x5A, 0xE8});
    EXPECT_EQ(dsp_read(), 0x5A);
    dsp({0x20});
    EXPECT_EQ(dsp_read(), 0x80);                // direct ADC: silence
    dsp({0xD8});
    EXPECT_EQ(dsp_read(), 0x00);
    dsp({0xD1, 0xD8});
    EXPECT_EQ(dsp_read(), 0xFF);
    dsp({0xD3, 0xD8});
    EXPECT_EQ(dsp_read(), 0x00);
}

TEST_F(SbTest, UnknownCommandsConsumeTheirArguments)
{
    dsp_reset();
    dsp_read();
    dsp({0x38, 0xE1});              // MIDI write: E1h is its argument
    dsp({0xB0, 0xE1, 0xE1, 0xE1});  // a 16-bit command with three arguments
    dsp({0x74, 0xE1, 0xE1});
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);
    dsp({0xE1});
    EXPECT_EQ(dsp_read(), 0x03);
}

TEST_F(SbTest, FifoWrapsAtSixtyFourBytes)
{
    dsp_reset();
    dsp_read();
    for (int i = 0; i < 33; i++)
        dsp({0xE1});                // 66 bytes: the first two are overwritten
    EXPECT_EQ(dsp_read(), 0x03);
    EXPECT_EQ(dsp_read(), 0x02);
    int n = 2;
    while (dsp_read() >= 0)
        n++;
    EXPECT_EQ(n, 2);                // the write position caught the read position
}

struct RateCase {
    std::initializer_list<uint8_t> cmd;
    uint8_t stereo;                 // mixer register 0Eh
    int rate_hz;
};

TEST_F(SbTest, TimeConstantsAndRates)
{
    const RateCase cases[] = {
        {{0x40, 0xA5}, 0x00, 10989},
        {{0x40, 0xA5}, 0x02, 5494},
        {{0x40, 0xD3}, 0x00, 22222},
        {{0x40, 0x83}, 0x00, 8000},
        {{0x40, 0x00}, 0x00, 3906},
        {{0x41, 0xAC, 0x44}, 0x02, 44100},  // the rate is not halved for stereo
        {{0x42, 0x56, 0x22}, 0x00, 22050},
    };
    for (const RateCase &c : cases) {
        dsp_reset();
        port_out8(MIXER_INDEX, 0x0E);
        port_out8(MIXER_DATA, c.stereo);
        dsp(c.cmd);
        EXPECT_EQ(sb_rate_hz(), c.rate_hz) << "command " << std::hex << (int)*c.cmd.begin()
                                           << " argument " << (int)c.cmd.begin()[1];
    }
    dsp_reset();
    EXPECT_EQ(sb_rate_hz(), SB_DEFAULT_RATE_HZ);
}

TEST_F(SbTest, MixerRegistersAreStoredAndReadBack)
{
    for (uint8_t reg : {0x04, 0x22, 0x26}) {
        port_out8(MIXER_INDEX, reg);
        EXPECT_EQ(port_in8(MIXER_DATA), 0xFF) << std::hex << (int)reg;
    }
    port_out8(MIXER_INDEX, 0x0A);
    EXPECT_EQ(port_in8(MIXER_DATA), 0x00);
    port_out8(MIXER_DATA, 0x06);
    EXPECT_EQ(port_in8(MIXER_INDEX), 0x0A);
    EXPECT_EQ(port_in8(MIXER_DATA), 0x06);
}

TEST_F(SbTest, JoystickPortIsIdle)
{
    port_out8(JOY_PORT, 0x00);      // a one-shot start: nothing ever times out
    EXPECT_EQ(port_in8(JOY_PORT), 0xF0);
    EXPECT_EQ(port_in8(JOY_PORT), 0xF0);
}

TEST_F(SbTest, IrqRequestIsAcknowledgedAt22E)
{
    dsp_reset();
    dsp_read();
    dsp({0xF2});
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_EQ(pic_pending_vector(), 0x0D);      // IRQ 5 through the master's base 08h
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);      // FIFO empty
    EXPECT_FALSE(sb_irq_raised());
    pic_out(PIC_MASTER, 0, 0x20);

    dsp({0xF2, 0xE1});                          // with data waiting the answer is FFh
    EXPECT_EQ(port_in8(DSP_STATUS), 0xFF);
    EXPECT_FALSE(sb_irq_raised());
}

TEST_F(SbTest, DirectDacHoldsItsLevel)
{
    dsp_reset();
    dsp({0xD1, 0x10, 0xC0});
    std::vector<int16_t> s = run_us(10000);
    ASSERT_EQ(s.size(), 441u);
    for (int16_t v : s)
        ASSERT_EQ(v, LEVEL_C0);
    dsp({0x10, 0x00});
    s = run_us(1000);
    EXPECT_EQ(s.back(), -32768);
    dsp({0xD3});                                // speaker off: silence
    s = run_us(1000);
    EXPECT_EQ(peak(s), 0);
}

// Frames of the capture at exactly level, and where the run of them starts.
static size_t count_level(const std::vector<int16_t> &s, int16_t level, size_t *first = nullptr)
{
    size_t n = 0;
    for (size_t i = 0; i < s.size(); i++)
        if (s[i] == level) {
            if (n++ == 0 && first)
                *first = i;
        }
    return n;
}

TEST_F(SbTest, SingleCycleDmaPlaysTheBufferAndRaisesIrq5)
{
    constexpr int LEN = 2000;
    constexpr int RATE = 22222;                 // time constant D3h
    fill(BUF, LEN, 0xC0);
    wr8l(BUF + LEN, 0x00);                      // past the end: must not be played
    dma_program(BUF, LEN, DMA_MODE_SINGLE_READ_CH1);
    dsp_reset();
    dsp_read();
    dsp({0xD1, 0x40, 0xD3, 0x14, (uint8_t)(LEN - 1), (uint8_t)((LEN - 1) >> 8)});
    EXPECT_TRUE(sb_dma_active());

    std::vector<int16_t> s = run_us(200000);
    double expect = LEN * (double)AUDIO_RATE_HZ / RATE;
    EXPECT_NEAR((double)count_level(s, LEVEL_C0), expect, 3);
    EXPECT_EQ(count_level(s, -32768), 0u);
    EXPECT_FALSE(sb_dma_active());
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_EQ(s.back(), 0);                     // the DAC rests after the block

    EXPECT_EQ(port_in8(DMA_STATUS_PORT) & 0x02, 0x02);  // terminal count of channel 1
    EXPECT_EQ(port_in8(DMA_STATUS_PORT) & 0x02, 0x00);  // cleared by the read
    EXPECT_TRUE(dma_masked(DMA_SB_CHANNEL));
    EXPECT_EQ(dma_current_address(DMA_SB_CHANNEL), (BUF & 0xFFFF) + LEN);
    EXPECT_EQ(port_in8(DSP_STATUS), 0x7F);
    EXPECT_FALSE(sb_irq_raised());
}

TEST_F(SbTest, SingleCycleOfLengthZeroPlaysOneByte)
{
    fill(BUF, 4, 0xC0);
    dma_program(BUF, 4, DMA_MODE_SINGLE_READ_CH1);
    dsp_reset();
    dsp({0xD1, 0x14, 0x00, 0x00});
    run_us(5000);
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_EQ(dma_current_address(DMA_SB_CHANNEL), (BUF & 0xFFFF) + 1);
    EXPECT_EQ(dma_current_count(DMA_SB_CHANNEL), 2);
    port_in8(DSP_STATUS);
    EXPECT_FALSE(sb_irq_raised());
}

// The high-speed command 91h takes no bytes of its own: its length is the
// last two argument bytes the DSP received, here those of block size 48h.
TEST_F(SbTest, HighSpeedSingleCycleReusesTheLastArguments)
{
    fill(BUF, 8, 0xC0);
    dma_program(BUF, 8, DMA_MODE_SINGLE_READ_CH1);
    dsp_reset();
    dsp({0xD1, 0x48, 0x02, 0x00, 0x91});        // three bytes
    EXPECT_TRUE(sb_dma_active());
    run_us(5000);
    EXPECT_FALSE(sb_dma_active());
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_EQ(dma_current_address(DMA_SB_CHANNEL), (BUF & 0xFFFF) + 3);
}

TEST_F(SbTest, DirectAdcReadsTheMidLevel)
{
    dsp_reset();
    dsp_read();
    dsp({0x20});
    EXPECT_EQ(dsp_read(), 0x80);
}

TEST_F(SbTest, SpeakerOffTransfersStillRunButAreSilent)
{
    constexpr int LEN = 1000;
    fill(BUF, LEN, 0xF0);
    dma_program(BUF, LEN, DMA_MODE_SINGLE_READ_CH1);
    dsp_reset();
    dsp({0x40, 0xD3, 0x14, (uint8_t)(LEN - 1), (uint8_t)((LEN - 1) >> 8)});
    std::vector<int16_t> s = run_us(100000);
    EXPECT_EQ(peak(s), 0);
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_FALSE(sb_dma_active());
    EXPECT_EQ(dma_current_address(DMA_SB_CHANNEL), (BUF & 0xFFFF) + LEN);
}

TEST_F(SbTest, MaskedChannelHoldsTheTransfer)
{
    fill(BUF, 100, 0xC0);
    dma_program(BUF, 100, DMA_MODE_SINGLE_READ_CH1);
    port_out8(DMA_MASK_PORT, 0x05);
    dsp_reset();
    dsp({0xD1, 0x14, 99, 0});
    run_us(20000);
    EXPECT_TRUE(sb_dma_active());
    EXPECT_FALSE(sb_irq_raised());
    port_out8(DMA_MASK_PORT, 0x01);
    run_us(20000);
    EXPECT_FALSE(sb_dma_active());
    EXPECT_TRUE(sb_irq_raised());
}

TEST_F(SbTest, AutoInitKeepsPlayingUntilExitCommand)
{
    constexpr int LEN = 1024, BLOCK = LEN / 2;
    constexpr int RATE = 10989;                 // time constant A5h
    fill(BUF, BLOCK, 0xC0);
    fill(BUF + BLOCK, BLOCK, 0x40);
    dma_program(BUF, LEN, DMA_MODE_AUTO_READ_CH1);
    dsp_reset();
    dsp({0xD1, 0x40, 0xA5, 0x48, (uint8_t)(BLOCK - 1), (uint8_t)((BLOCK - 1) >> 8), 0x1C});

    // An IRQ 5 handler: acknowledge at 22Eh and let the transfer continue.
    int irqs = 0;
    std::vector<int16_t> s;
    for (int ms = 0; ms < 1000; ms++) {
        std::vector<int16_t> part = run_us(1000);
        s.insert(s.end(), part.begin(), part.end());
        if (sb_irq_raised()) {
            irqs++;
            port_in8(DSP_STATUS);
        }
    }
    EXPECT_NEAR(irqs, RATE / BLOCK, 1);         // one per block
    EXPECT_TRUE(sb_dma_active());
    EXPECT_FALSE(dma_masked(DMA_SB_CHANNEL));   // the controller reloaded itself
    uint16_t a = dma_current_address(DMA_SB_CHANNEL);
    EXPECT_GE(a, BUF & 0xFFFF);
    EXPECT_LT(a, (BUF & 0xFFFF) + LEN);
    double per_level = (double)AUDIO_RATE_HZ / 2;
    EXPECT_NEAR((double)count_level(s, LEVEL_C0), per_level, per_level * 0.03);
    EXPECT_NEAR((double)count_level(s, -LEVEL_C0), per_level, per_level * 0.03);

    dsp({0xDA});                                // the block ends, then the DMA stops
    EXPECT_TRUE(sb_dma_active());
    run_us(100000);
    EXPECT_FALSE(sb_dma_active());
    EXPECT_TRUE(sb_irq_raised());
}

TEST_F(SbTest, PauseHoldsAndContinueResumes)
{
    fill(BUF, 4000, 0xC0);
    dma_program(BUF, 4000, DMA_MODE_SINGLE_READ_CH1);
    dsp_reset();
    dsp({0xD1, 0x14, 0x9F, 0x0F});
    run_us(10000);
    dsp({0xD0});
    uint16_t held = dma_current_address(DMA_SB_CHANNEL);
    EXPECT_GT(held, BUF & 0xFFFF);
    std::vector<int16_t> s = run_us(50000);
    EXPECT_EQ(dma_current_address(DMA_SB_CHANNEL), held);
    EXPECT_EQ(count_level(s, LEVEL_C0), s.size());  // the last sample is held
    dsp({0xD4});
    run_us(10000);
    EXPECT_GT(dma_current_address(DMA_SB_CHANNEL), held);
}

TEST_F(SbTest, SilenceCommandCountsSamplesThenRaisesIrq)
{
    dsp_reset();
    dsp({0xD1, 0x40, 0xA5, 0x80, 0x6D, 0x0A});  // 0A6Dh + 1 = 2670 samples at 10989 Hz
    std::vector<int16_t> s = run_us(240000, 1000);
    EXPECT_FALSE(sb_irq_raised());              // 243 ms of silence is not over yet
    run_us(10000);
    EXPECT_TRUE(sb_irq_raised());
    EXPECT_EQ(peak(s), 0);
}

TEST_F(SbTest, OplAliasesReachTheSynthesizer)
{
    struct { uint16_t index, data; } aliases[] = {{0x220, 0x221}, {0x222, 0x223}, {0x228, 0x229}};
    for (auto &a : aliases) {
        port_out8(a.index, 0x04);
        port_out8(a.data, 0x80);
        EXPECT_EQ(port_in8(a.index), 0x06) << std::hex << a.index;
        port_out8(a.index, 0x02);
        port_out8(a.data, 0xFF);
        port_out8(a.index, 0x04);
        port_out8(a.data, 0x21);
        fake_now_us += 100;
        EXPECT_EQ(port_in8(OPL_PORT_INDEX) & 0xE0, 0xC0) << std::hex << a.index;
        EXPECT_EQ(port_in8(a.data), 0xFF);
        port_out8(a.index, 0x04);
        port_out8(a.data, 0x60);
        port_out8(a.data, 0x80);
    }
}

}  // namespace
