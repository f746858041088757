#include "machine/pic.h"

#include "machine_fixture.h"

namespace {

enum : uint16_t { MASTER_CMD = 0x20, MASTER_DATA = 0x21, SLAVE_CMD = 0xA0, SLAVE_DATA = 0xA1 };
enum : uint8_t { EOI = 0x20, READ_IRR = 0x0A, READ_ISR = 0x0B };

using PicTest = MachineTest;

TEST_F(PicTest, ResetState)
{
    for (int chip : {PIC_MASTER, PIC_SLAVE}) {
        EXPECT_EQ(pic_irr(chip), 0);
        EXPECT_EQ(pic_isr(chip), 0);
        EXPECT_EQ(pic_imr(chip), 0);
    }
    EXPECT_EQ(irq_pending, 0);
    EXPECT_EQ(pic_pending_vector(), -1);
    pic_raise(0);
    EXPECT_EQ(pic_pending_vector(), 0x08);
    port_out8(MASTER_CMD, EOI);
    pic_raise(8);
    EXPECT_EQ(pic_pending_vector(), 0x70);
}

TEST_F(PicTest, MaskReadsBack)
{
    port_out8(MASTER_DATA, 0xFB);
    port_out8(SLAVE_DATA, 0x5A);
    EXPECT_EQ(port_in8(MASTER_DATA), 0xFB);
    EXPECT_EQ(port_in8(SLAVE_DATA), 0x5A);
}

TEST_F(PicTest, Ocw3SelectsIsrOrIrr)
{
    pic_raise(0);
    ASSERT_EQ(pic_pending_vector(), 0x08);
    pic_raise(1);
    EXPECT_EQ(port_in8(MASTER_CMD), 0x02) << "irr is read after reset";
    port_out8(MASTER_CMD, READ_ISR);
    EXPECT_EQ(port_in8(MASTER_CMD), 0x01);
    port_out8(MASTER_CMD, READ_IRR);
    EXPECT_EQ(port_in8(MASTER_CMD), 0x02);
}

TEST_F(PicTest, MaskedLineWaitsAndKeepsIrqPendingClear)
{
    port_out8(MASTER_DATA, 0x08);
    pic_raise(3);
    EXPECT_EQ(irq_pending, 0);
    EXPECT_EQ(pic_pending_vector(), -1);
    port_out8(MASTER_DATA, 0x00);
    EXPECT_EQ(irq_pending, 1);
    pic_lower(3);
    EXPECT_EQ(irq_pending, 0);
    EXPECT_EQ(pic_pending_vector(), -1);
}

TEST_F(PicTest, LowerPriorityWaitsForEoi)
{
    pic_raise(0);
    ASSERT_EQ(pic_pending_vector(), 0x08);
    pic_raise(1);
    EXPECT_EQ(irq_pending, 1) << "a look is worthwhile even though nothing can be taken";
    EXPECT_EQ(pic_pending_vector_peek(), -1);
    EXPECT_EQ(pic_pending_vector(), -1);
    port_out8(MASTER_CMD, EOI);
    EXPECT_EQ(pic_pending_vector_peek(), 0x09);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x02) << "peek acknowledges nothing";
    EXPECT_EQ(pic_pending_vector(), 0x09);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0x02);
    EXPECT_EQ(irq_pending, 0);
}

TEST_F(PicTest, HigherPriorityPreemptsService)
{
    pic_raise(1);
    ASSERT_EQ(pic_pending_vector(), 0x09);
    pic_raise(0);
    EXPECT_EQ(pic_pending_vector(), 0x08);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0x03);
    port_out8(MASTER_CMD, EOI);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0x02) << "a non-specific EOI ends the line of highest priority";
}

TEST_F(PicTest, SlaveInterruptThroughCascade)
{
    pic_raise(12);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x04);
    EXPECT_EQ(pic_pending_vector(), 0x74);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0x04);
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0x10);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x00);

    pic_raise(3);
    EXPECT_EQ(pic_pending_vector(), -1);
    port_out8(SLAVE_CMD, EOI);
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0x00);
    EXPECT_EQ(pic_pending_vector(), -1) << "the master's line 2 is still in service";
    port_out8(MASTER_CMD, EOI);
    EXPECT_EQ(pic_pending_vector(), 0x0B);
}

TEST_F(PicTest, SecondSlaveRequestSurvivesTheFirst)
{
    pic_raise(12);
    pic_raise(14);
    ASSERT_EQ(pic_pending_vector(), 0x74);
    EXPECT_EQ(pic_pending_vector(), -1);
    port_out8(SLAVE_CMD, EOI);
    port_out8(MASTER_CMD, EOI);
    EXPECT_EQ(irq_pending, 1);
    EXPECT_EQ(pic_pending_vector(), 0x76);
}

TEST_F(PicTest, WithdrawnSlaveRequestDoesNotBlockLowerLines)
{
    pic_raise(12);
    pic_lower(12);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x00);
    pic_raise(5);
    EXPECT_EQ(pic_pending_vector(), 0x0D);
}

TEST_F(PicTest, SlaveMaskGatesTheCascade)
{
    port_out8(SLAVE_DATA, 0x10);    // IRQ 12 masked at the slave
    pic_raise(12);
    EXPECT_EQ(irq_pending, 0);
    pic_raise(5);
    ASSERT_EQ(pic_pending_vector(), 0x0D);
    port_out8(SLAVE_DATA, 0x00);
    EXPECT_EQ(irq_pending, 1);
    EXPECT_EQ(pic_pending_vector(), 0x74) << "line 2 outranks line 5 in service";
}

TEST_F(PicTest, SlaveInServiceHoldsBackOnlyItsOwnLowerLines)
{
    pic_raise(12);
    ASSERT_EQ(pic_pending_vector(), 0x74);
    port_out8(MASTER_CMD, EOI);     // the master ended first, the slave not yet
    pic_raise(13);
    pic_raise(6);
    EXPECT_EQ(pic_pending_vector(), 0x0E);
    pic_raise(9);
    EXPECT_EQ(pic_pending_vector(), 0x71) << "slave line 1 outranks its line 4 in service";
}

TEST_F(PicTest, InitialisationSequence)
{
    port_out8(MASTER_DATA, 0xFF);
    pic_raise(1);
    port_out8(MASTER_CMD, 0x11);                    // ICW1
    EXPECT_EQ(port_in8(MASTER_DATA), 0x00);
    port_out8(MASTER_DATA, 0x53);                   // ICW2: vector base 50h
    EXPECT_EQ(port_in8(MASTER_DATA), 0x00);
    port_out8(MASTER_DATA, 0x04);                   // ICW3
    EXPECT_EQ(port_in8(MASTER_DATA), 0x00);
    port_out8(MASTER_DATA, 0x01);                   // ICW4
    EXPECT_EQ(port_in8(MASTER_DATA), 0x00);
    port_out8(MASTER_DATA, 0xFC);                   // OCW1
    EXPECT_EQ(port_in8(MASTER_DATA), 0xFC);
    EXPECT_EQ(pic_irr(PIC_MASTER), 0x02) << "ICW1 keeps the requests";
    port_out8(MASTER_DATA, 0x00);
    EXPECT_EQ(pic_pending_vector(), 0x51);
}

TEST_F(PicTest, Icw1UnmasksWaitingRequests)
{
    port_out8(MASTER_DATA, 0xFF);
    pic_raise(4);
    EXPECT_EQ(irq_pending, 0);
    port_out8(MASTER_CMD, 0x11);
    EXPECT_EQ(irq_pending, 1);
}

TEST_F(PicTest, EndOfInterruptCommands)
{
    struct Case {
        uint8_t cmd;
        uint8_t isr_after;      // lines 1 and 3 in service before
    } cases[] = {
        {0x20, 0x08},   // non-specific: the line of highest priority
        {0x61, 0x08},   // specific, line 1
        {0x63, 0x02},   // specific, line 3
        {0x65, 0x0A},   // specific for a line not in service
        {0x0B, 0x0A},   // OCW3
        {0x40, 0x0A},   // no command
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.cmd));
        machine_init();
        pic_raise(3);
        ASSERT_EQ(pic_pending_vector(), 0x0B);
        pic_raise(1);
        ASSERT_EQ(pic_pending_vector(), 0x09);
        port_out8(MASTER_CMD, c.cmd);
        EXPECT_EQ(pic_isr(PIC_MASTER), c.isr_after);
    }
}

TEST_F(PicTest, BusIrq2ArrivesOnTheSlave)
{
    pic_raise(2);
    EXPECT_EQ(pic_pending_vector(), 0x71);
}

} // namespace
