#include "machine_fixture.h"

#include "devices/vga.h"

#include <cstdlib>
#include <string>

namespace {

using MemoryTest = MachineTest;

TEST_F(MemoryTest, WordsWrapInsideTheSegment)
{
    wr16(0x2000, 0xFFFF, 0xBEEF);
    EXPECT_EQ(rd8l(0x2FFFF), 0xEF);
    EXPECT_EQ(rd8l(0x20000), 0xBE);     // offset 0 of the same segment
    EXPECT_EQ(rd8l(0x30000), 0x00);     // not the next linear byte
    EXPECT_EQ(rd16(0x2000, 0xFFFF), 0xBEEF);

    wr32(0x2000, 0xFFFE, 0x11223344);
    EXPECT_EQ(rd16(0x2000, 0xFFFE), 0x3344);
    EXPECT_EQ(rd16(0x2000, 0x0000), 0x1122);
    EXPECT_EQ(rd32(0x2000, 0xFFFE), 0x11223344u);
    wr32(0x2000, 0xFFFD, 0xA1B2C3D4);
    EXPECT_EQ(rd8(0x2000, 0xFFFD), 0xD4);   // two words, at FFFD and at FFFF
    EXPECT_EQ(rd8(0x2000, 0xFFFF), 0xB2);
    EXPECT_EQ(rd8(0x2000, 0x0000), 0xA1);
    EXPECT_EQ(rd32(0x2000, 0xFFFD), 0xA1B2C3D4u);
}

TEST_F(MemoryTest, AccessesAcrossAPageEnd)
{
    wr32l(0x3FFE, 0xCAFEF00D);          // pages 0 and 1
    EXPECT_EQ(rd16l(0x3FFF), 0xFEF0);
    EXPECT_EQ(rd32l(0x3FFE), 0xCAFEF00Du);
    EXPECT_EQ(rd8l(0x4001), 0xCA);
}

TEST_F(MemoryTest, UnmappedAndAliasedAddresses)
{
    vga_init();                         // the VGA window answers through I/O
    vga_mem_wr(0xAFFFF, 0x34);
    EXPECT_EQ(rd8l(0xAFFFF), 0x34);
    wr8l(0xB0000, 0x12);
    EXPECT_EQ(rd16l(0xAFFFF), 0x1234);  // one byte from I/O, one from RAM
    wr8l(0x114000, 0x5A);               // above the backing store: one scratch page
    EXPECT_EQ(rd8l(0x1FC000), 0x5A);
    EXPECT_EQ(rd8l(0x118000), 0x5A);
    wr8l(0x000123, 0x77);
    EXPECT_EQ(rd8l(0x200123), 0x77);    // the address space wraps at 2 MB
    wr8l(0x10FFEF, 0x42);               // the highest real-mode address is RAM
    EXPECT_EQ(rd8(0xFFFF, 0xFFFF), 0x42);
}

TEST_F(MemoryTest, WriteIntoTheVgaWindowIsSplitByteByByte)
{
    uint32_t *hist = static_cast<uint32_t *>(calloc(0x100000, sizeof(uint32_t)));
    vga_writer_hist = hist;
    interp_insn_lin = 0x12345;
    wr32l(0x9FFFE, 0x44332211);
    vga_writer_hist = nullptr;
    EXPECT_EQ(rd8l(0x9FFFE), 0x11);     // the RAM half lands in RAM
    EXPECT_EQ(rd8l(0x9FFFF), 0x22);
    EXPECT_EQ(hist[0x12345], 2u);       // the other two bytes went to I/O
    free(hist);
}

TEST_F(MemoryTest, ResetClearsRamAndWatches)
{
    wr8l(0x500, 1);
    mem_write_watch[3] = WATCH_TRACE;
    machine_init();
    EXPECT_EQ(rd8l(0x500), 0);
    EXPECT_EQ(mem_write_watch[3], 0);
    EXPECT_EQ(mem_page[PAGE_OF(0xA0000)], nullptr);
    EXPECT_EQ(mem_page[PAGE_OF(0xB8000)], memptr(0xB8000));
}

TEST_F(MemoryTest, DumpShowsCodeAndAWrappingStack)
{
    CS = 0x1000;
    IP = 0x0010;
    load(0x1000, 0x0010, {0xB8, 0x34, 0x12});
    SS = 0x3000;
    SP = 0xFFF0;
    for (int i = 0; i < 12; i++)
        wr16(SS, (uint16_t)(0xFFF0 + 2 * i), (uint16_t)(0x100 + i));
    testing::internal::CaptureStderr();
    cpu_dump("why");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.rfind("[why] CS:IP=1000:0010 AX=0000", 0), 0u) << out;
    EXPECT_NE(out.find("  code: B8 34 12 00"), std::string::npos) << out;
    EXPECT_NE(out.find("  stack: 0100 0101 0102 0103 0104 0105 0106 0107 0108 0109 010A 010B\n"),
              std::string::npos) << out;
    EXPECT_EQ(rd16(SS, 0x0000), 0x0108);    // words past FFFE came from offset 0 on
}

}
