#include "devices/dma.h"

#include "sound_fixture.h"

namespace {

using DmaTest = SoundTest;

TEST_F(DmaTest, AllChannelsStartMasked)
{
    for (int ch = 0; ch < DMA_CHANNELS; ch++)
        EXPECT_TRUE(dma_masked(ch)) << ch;
}

TEST_F(DmaTest, AddressAndCountThroughTheFlipFlop)
{
    port_out8(DMA_FF_PORT, 0);
    port_out8(0x04, 0x34);          // channel 2 address
    port_out8(0x04, 0x12);
    port_out8(0x05, 0xFF);          // channel 2 count
    port_out8(0x05, 0x01);
    EXPECT_EQ(dma_current_address(2), 0x1234);
    EXPECT_EQ(dma_current_count(2), 0x01FF);
    EXPECT_EQ(port_in8(0x04), 0x34);
    EXPECT_EQ(port_in8(0x04), 0x12);
    port_out8(0x05, 0x77);          // the flip-flop is shared: a low byte again
    port_out8(DMA_FF_PORT, 0);      // clearing it makes the next access a low byte
    EXPECT_EQ(port_in8(0x05), 0x77);
    EXPECT_EQ(port_in8(0x05), 0x01);
}

TEST_F(DmaTest, MaskRegisters)
{
    port_out8(0x0E, 0);             // unmask all
    for (int ch = 0; ch < DMA_CHANNELS; ch++)
        EXPECT_FALSE(dma_masked(ch)) << ch;
    port_out8(DMA_MASK_PORT, 0x06); // mask channel 2
    EXPECT_TRUE(dma_masked(2));
    EXPECT_FALSE(dma_masked(1));
    port_out8(0x0F, 0x09);          // channels 0 and 3
    EXPECT_TRUE(dma_masked(0));
    EXPECT_FALSE(dma_masked(1));
    EXPECT_FALSE(dma_masked(2));
    EXPECT_TRUE(dma_masked(3));
    port_out8(0x04, 0x11);          // leave the flip-flop at the high byte
    port_out8(0x0D, 0);             // master clear
    for (int ch = 0; ch < DMA_CHANNELS; ch++)
        EXPECT_TRUE(dma_masked(ch)) << ch;
    port_out8(0x04, 0x22);
    EXPECT_EQ(dma_current_address(2) & 0xFF, 0x22);
}

TEST_F(DmaTest, PageRegisters)
{
    const struct { uint16_t port; int ch; } pages[] = {{0x87, 0}, {0x83, 1}, {0x81, 2}, {0x82, 3}};
    for (auto &p : pages) {
        port_out8(p.port, (uint8_t)(0x10 + p.ch));
        EXPECT_EQ(port_in8(p.port), 0x10 + p.ch) << std::hex << p.port;
    }
    EXPECT_EQ(port_in8(0x80), 0xFF);
    EXPECT_EQ(port_in8(0x8F), 0xFF);
    EXPECT_EQ(port_in8(0x09), 0xFF);
}

TEST_F(DmaTest, TransferStepsAndStopsAtTerminalCount)
{
    const uint32_t lin = 0x5FFFE;
    wr8l(lin, 0x11);
    wr8l(lin + 1, 0x22);
    wr8l(0x50000, 0x33);            // the address wraps inside its 64K page
    dma_program(lin, 3, DMA_MODE_SINGLE_READ_CH1);
    EXPECT_EQ(dma_read8(1), 0x11);
    EXPECT_EQ(dma_read8(1), 0x22);
    EXPECT_EQ(port_in8(DMA_STATUS_PORT) & 0x0F, 0);
    EXPECT_EQ(dma_read8(1), 0x33);
    EXPECT_TRUE(dma_masked(1));
    EXPECT_EQ(dma_current_count(1), 0xFFFF);
    EXPECT_EQ(port_in8(DMA_STATUS_PORT) & 0x0F, 0x02);
    EXPECT_EQ(port_in8(DMA_STATUS_PORT) & 0x0F, 0);
}

TEST_F(DmaTest, AutoInitialiseReloadsAndDownCountsBackwards)
{
    for (int i = 0; i < 4; i++)
        wr8l(0x1000 + i, (uint8_t)(0xA0 + i));
    dma_program(0x1000, 2, DMA_MODE_AUTO_READ_CH1);
    EXPECT_EQ(dma_read8(1), 0xA0);
    EXPECT_EQ(dma_read8(1), 0xA1);
    EXPECT_FALSE(dma_masked(1));
    EXPECT_EQ(dma_current_address(1), 0x1000);
    EXPECT_EQ(dma_current_count(1), 1);
    EXPECT_EQ(dma_read8(1), 0xA0);

    dma_program(0x1003, 4, DMA_MODE_SINGLE_READ_CH1 | 0x20);  // address decrement
    EXPECT_EQ(dma_read8(1), 0xA3);
    EXPECT_EQ(dma_read8(1), 0xA2);
    EXPECT_EQ(dma_current_address(1), 0x1001);
}

}  // namespace
