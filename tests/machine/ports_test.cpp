#include "machine/ports.h"

#include "machine_fixture.h"

#include <utility>
#include <vector>

namespace {

using PortsTest = MachineTest;

std::vector<std::pair<uint16_t, uint8_t>> writes;

uint8_t low_byte_of_port(uint16_t port) { return (uint8_t)port; }
void record_write(uint16_t port, uint8_t v) { writes.emplace_back(port, v); }

TEST_F(PortsTest, UnassignedPortsReadOpenBus)
{
    port_out8(0x300, 0x12);
    EXPECT_EQ(port_in8(0x300), 0xFF);
    EXPECT_EQ(port_in16(0x300), 0xFFFF);
    EXPECT_EQ(port_in32(0x300), 0xFFFFFFFFu);
    EXPECT_EQ(port_in8(0xFFFF), 0xFF);
}

TEST_F(PortsTest, HandlersSeeTheFullPortNumber)
{
    writes.clear();
    port_map(0x220, 0x22F, low_byte_of_port, record_write);
    EXPECT_EQ(port_in8(0x22C), 0x2C);
    port_out8(0x22C, 0xD1);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(uint16_t(0x22C), uint8_t(0xD1)));
    EXPECT_EQ(port_in8(0x21F), 0xFF);
    EXPECT_EQ(port_in8(0x230), 0xFF);
}

TEST_F(PortsTest, WideAccessesAreConsecutiveBytesLowFirst)
{
    writes.clear();
    port_map(0x3B0, 0x3DF, low_byte_of_port, record_write);
    EXPECT_EQ(port_in16(0x3C4), 0xC5C4);
    EXPECT_EQ(port_in32(0x3C4), 0xC7C6C5C4u);
    EXPECT_EQ(port_in16(0x3DF), 0xFFDF) << "3E0h belongs to nobody";
    port_out32(0x3D4, 0x44332211);
    port_out16(0x3DF, 0xABCD);
    std::vector<std::pair<uint16_t, uint8_t>> want = {
        {0x3D4, 0x11}, {0x3D5, 0x22}, {0x3D6, 0x33}, {0x3D7, 0x44}, {0x3DF, 0xCD}};
    EXPECT_EQ(writes, want);
}

TEST_F(PortsTest, WordReadOf60hReadsPortB)
{
    port_map(0x60, 0x60, low_byte_of_port, nullptr);
    port_out8(PORT_B, 0x03);
    uint16_t w = port_in16(0x60);
    EXPECT_EQ(w & 0xFF, 0x60);
    EXPECT_EQ((w >> 8) & 0x0F, 0x03);
}

TEST_F(PortsTest, PortBRefreshBitToggles)
{
    uint8_t a = port_in8(PORT_B), b = port_in8(PORT_B), c = port_in8(PORT_B);
    EXPECT_NE(a & 0x10, b & 0x10);
    EXPECT_EQ(a & 0x10, c & 0x10);
}

TEST_F(PortsTest, PortBReadsLatchAndTimer2Output)
{
    port_out8(PORT_B, 0xFF);
    struct Case {
        uint64_t dt_us;
        uint8_t timer2;         // bit 15 of channel 2's count
    } cases[] = {
        {0, 0x00},              // count 0 (65536)
        {1000, 0x20},           // count FB57h
        {30000, 0x00},          // count 742Dh
    };
    for (const Case &c : cases) {
        fake_now_us = START_US + c.dt_us;
        uint8_t v = port_in8(PORT_B);
        EXPECT_EQ(v & ~0x10, 0x0F | c.timer2) << "after " << c.dt_us << " us";
    }
}

TEST_F(PortsTest, LaterMappingReplacesEarlier)
{
    port_map(0x388, 0x38B, low_byte_of_port, nullptr);
    port_map(0x389, 0x389, nullptr, nullptr);
    EXPECT_EQ(port_in8(0x388), 0x88);
    EXPECT_EQ(port_in8(0x389), 0xFF);
    EXPECT_EQ(port_in8(0x38A), 0x8A);
}

TEST_F(PortsTest, ResetForgetsDeviceMappings)
{
    port_map(0x201, 0x201, low_byte_of_port, nullptr);
    ASSERT_EQ(port_in8(0x201), 0x01);
    machine_init();
    EXPECT_EQ(port_in8(0x201), 0xFF);
    port_out8(0x21, 0x42);
    EXPECT_EQ(port_in8(0x21), 0x42) << "the PIC is mapped again";
}

TEST_F(PortsTest, EmptyRangeIsFatal)
{
    EXPECT_EXIT(port_map(0x300, 0x2FF, low_byte_of_port, nullptr), testing::ExitedWithCode(3),
                "FATAL: port range 0300-02FF is empty");
}

} // namespace
