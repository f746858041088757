// BIOS services called through their vectors with registers set, and the
// data the BIOS leaves in memory.
#include "bios_fixture.h"

#include "bios/font.h"

#include <cstring>

namespace {

uint16_t vec_off(int n) { return rd16l(n * 4u); }
uint16_t vec_seg(int n) { return rd16l(n * 4u + 2); }

TEST_F(BiosTest, DataAreaAndIdentification)
{
    struct { uint32_t off; int size; uint32_t want; } fields[] = {
        {0x10, 2, 0x0023}, {0x13, 2, 640}, {0x1A, 2, 0x1E}, {0x1C, 2, 0x1E},
        {0x49, 1, 3}, {0x4A, 2, 80}, {0x4C, 2, 4096}, {0x60, 2, 0x0607}, {0x63, 2, 0x3D4},
        {0x80, 2, 0x1E}, {0x82, 2, 0x3E}, {0x84, 1, 24}, {0x85, 2, 16}, {0x87, 1, 0x60},
        {0x89, 1, 0x11}, {0x96, 1, 0x10},
    };
    for (const auto &f : fields)
        EXPECT_EQ(f.size == 1 ? rd8l(0x400 + f.off) : rd16l(0x400 + f.off), f.want)
            << std::hex << f.off;
    EXPECT_EQ(rd8(0xF000, 0xFFFE), 0xFC);
    char date[9] = {};
    for (int i = 0; i < 8; i++)
        date[i] = (char)rd8(0xF000, (uint16_t)(0xFFF5 + i));
    EXPECT_STREQ(date, "01/01/93");
}

TEST_F(BiosTest, VectorsPointAtStubsAndFonts)
{
    uint16_t def = vec_off(0x00);
    EXPECT_EQ(vec_seg(0x00), 0xF000);
    EXPECT_EQ(vec_off(0x21), def);                  // not installed: the default stub
    for (int n : {0x05, 0x08, 0x09, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x1A}) {
        EXPECT_EQ(vec_seg(n), 0xF000) << n;
        EXPECT_NE(vec_off(n), def) << n;
    }
    EXPECT_EQ(vec_off(0x43), 0xFA6E);
    EXPECT_EQ(vec_seg(0x1F), 0xF000);
    for (int r = 0; r < 8; r++) {
        EXPECT_EQ(rd8(0xF000, (uint16_t)(0xFA6E + 'A' * 8 + r)), font8['A' * 8 + r]);
        EXPECT_EQ(rd8(vec_seg(0x1F), (uint16_t)(vec_off(0x1F) + 0x7F * 8 + r)), font8[0xFF * 8 + r]);
    }
    for (int i = 0; i < 4096; i += 97)
        EXPECT_EQ(rd8(0xF000, (uint16_t)(0x6000 + i)), bios_font8x16[i]);
    for (int i = 0; i < 3584; i += 89)
        EXPECT_EQ(rd8(0xF000, (uint16_t)(0x7000 + i)), bios_font8x14[i]);
}

TEST_F(BiosTest, FontsAreCodePage437WithJoinedBoxDrawing)
{
    const uint8_t a[8] = {0x30, 0x78, 0xCC, 0xCC, 0xFC, 0xCC, 0xCC, 0x00};
    EXPECT_EQ(memcmp(font8 + 'A' * 8, a, 8), 0);
    const uint8_t *b3 = bios_font8x16 + 0xB3 * 16, *c41 = bios_font8x16 + 0x41 * 16;
    EXPECT_NE(b3[0], 0);
    EXPECT_NE(b3[15], 0);
    EXPECT_EQ(c41[0], 0);
    EXPECT_EQ(c41[15], 0);
    const uint8_t want14[14] = {0x30, 0x30, 0x78, 0x78, 0xCC, 0xCC, 0xCC, 0xFC, 0xFC, 0xCC,
                                0xCC, 0xCC, 0xCC, 0x00};
    EXPECT_EQ(memcmp(bios_font8x14 + 'A' * 14, want14, 14), 0);
    EXPECT_EQ(memcmp(bios_font8x16 + 'A' * 16 + 1, want14, 14), 0);
    EXPECT_EQ(font8[0xDB * 8 + 3], 0xFF);   // full block
    EXPECT_EQ(font8[0xC4 * 8 + 3], 0xFF);   // horizontal line
    EXPECT_EQ(font8[0xB3 * 8 + 0], 0x18);   // vertical line
}

struct Regs { uint16_t ax, bx, cx, dx; };

TEST_F(BiosTest, SmallServices)
{
    struct Case {
        uint8_t n;
        Regs in;
        uint16_t ax_mask, ax;
        int cf;                 // -1: not checked
    } cases[] = {
        {0x11, {0, 0, 0, 0}, 0xFFFF, 0x0023, -1},
        {0x12, {0, 0, 0, 0}, 0xFFFF, 640, -1},
        {0x13, {0x0000, 0, 0, 0}, 0, 0, 0},
        {0x13, {0x0800, 0, 0, 0}, 0xFF00, 0, 0},
        {0x13, {0x0200, 0, 0, 0}, 0xFF00, 0x8000, 1},
        {0x14, {0, 0, 0, 0}, 0xFFFF, 0x6000, -1},
        {0x17, {0, 0, 0, 0}, 0xFF00, 0x3000, -1},
        {0x15, {0x2400, 0, 0, 0}, 0xFFFF, 0x0001, 0},
        {0x15, {0x8700, 0, 0, 0}, 0xFF00, 0x8600, 1},
        {0x15, {0x8800, 0, 0, 0}, 0xFFFF, 0, 0},
        {0x15, {0x9000, 0, 0, 0}, 0xFF00, 0, 0},
        {0x15, {0x4F00, 0, 0, 0}, 0, 0, 1},
        {0x15, {0xC000, 0, 0, 0}, 0xFF00, 0x8600, 1},
        {0x1A, {0x0300, 0, 0, 0}, 0, 0, 1},
    };
    for (const Case &c : cases) {
        AX = c.in.ax; BX = c.in.bx; CX = c.in.cx; DX = c.in.dx;
        cpu_int(c.n);
        EXPECT_EQ(AX & c.ax_mask, c.ax) << std::hex << int(c.n) << " " << c.in.ax;
        if (c.cf >= 0) {
            EXPECT_EQ(cf(), c.cf) << std::hex << int(c.n) << " " << c.in.ax;
        }
    }
    AH = 0x08;
    cpu_int(0x13);
    EXPECT_EQ(DL, 1);
}

TEST_F(BiosTest, WaitServiceSleepsTheRequestedTime)
{
    uint64_t start = fake_now_us;
    AH = 0x86;
    CX = 0x0001;                // 65536 + 1000 us
    DX = 1000;
    cpu_int(0x15);
    EXPECT_GE(fake_now_us - start, 66536u);
    EXPECT_LT(fake_now_us - start, 66536u + 1000);
    EXPECT_FALSE(cf());
}

TEST_F(BiosTest, TimerTickWrapsAtMidnight)
{
    wr32l(0x46C, 1573039);
    cpu_int(0x08);
    EXPECT_EQ(rd32l(0x46C), 0u);
    EXPECT_EQ(rd8l(0x470), 1);
    cpu_int(0x08);
    AH = 0x00;
    cpu_int(0x1A);
    EXPECT_EQ(CX, 0);
    EXPECT_EQ(DX, 1);
    EXPECT_EQ(AL, 1);
    AH = 0x00;
    cpu_int(0x1A);
    EXPECT_EQ(AL, 0);           // reported once
    AH = 0x01;
    CX = 0x0012;
    DX = 0x3456;
    cpu_int(0x1A);
    EXPECT_EQ(rd32l(0x46C), 0x00123456u);
}

bool is_bcd(uint8_t v) { return (v & 0x0F) < 10 && (v >> 4) < 10; }

TEST_F(BiosTest, ClockReadsTimeAndDateInBcd)
{
    AH = 0x02;
    cpu_int(0x1A);
    EXPECT_FALSE(cf());
    EXPECT_TRUE(is_bcd(CH) && is_bcd(CL) && is_bcd(DH));
    EXPECT_LT(CH, 0x24);
    EXPECT_EQ(DL, 0);
    AH = 0x04;
    cpu_int(0x1A);
    EXPECT_FALSE(cf());
    EXPECT_EQ(CH, 0x20);
    EXPECT_TRUE(is_bcd(CL) && is_bcd(DH) && is_bcd(DL));
    EXPECT_GE(DH, 1);
    EXPECT_LE(DH, 0x12);
}

// ---- INT 10h ---------------------------------------------------------------

TEST_F(BiosTest, VideoModeSetAndQuery)
{
    AX = 0x0013;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x20);
    EXPECT_EQ(vga_get_mode(), 0x13);
    AH = 0x0F;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x13);
    EXPECT_EQ(AH, 40);
    EXPECT_EQ(BH, 0);
    EXPECT_EQ(rd16l(0x44C), 64000);
    AX = 0x0003;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x30);
    AX = 0x0012;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0x484), 29);
    EXPECT_EQ(rd16l(0x485), 8);
}

TEST_F(BiosTest, CursorAndTeletypeInTextMode)
{
    AH = 0x02;
    DX = 0x0305;                // row 3, column 5
    cpu_int(0x10);
    AH = 0x01;
    CX = 0x0D0E;
    cpu_int(0x10);
    AX = 0x0E41;
    BL = 0x4F;                  // ignored in text modes
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xB8000 + (3 * 80 + 5) * 2), 'A');
    EXPECT_EQ(rd8l(0xB8000 + (3 * 80 + 5) * 2 + 1), 0x07);
    AH = 0x03;
    cpu_int(0x10);
    EXPECT_EQ(DX, 0x0306);
    EXPECT_EQ(CX, 0x0D0E);
    AX = 0x0E0D;
    cpu_int(0x10);
    AX = 0x0E0A;
    cpu_int(0x10);
    AH = 0x03;
    cpu_int(0x10);
    EXPECT_EQ(DX, 0x0400);
}

TEST_F(BiosTest, WriteAndReadCharactersAtTheCursor)
{
    AH = 0x02;
    DX = 0x0A4E;                // row 10, column 78
    cpu_int(0x10);
    AX = 0x0951;
    BL = 0x1E;
    CX = 3;                     // runs over into the next row
    cpu_int(0x10);
    uint32_t at = 0xB8000 + (10 * 80 + 78) * 2;
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(rd8l(at + i * 2), 'Q');
        EXPECT_EQ(rd8l(at + i * 2 + 1), 0x1E);
    }
    AX = 0x0A52;
    CX = 1;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(at), 'R');
    EXPECT_EQ(rd8l(at + 1), 0x1E);
    AH = 0x08;
    cpu_int(0x10);
    EXPECT_EQ(AX, 0x1E52);
    AH = 0x03;
    cpu_int(0x10);
    EXPECT_EQ(DX, 0x0A4E);      // the cursor did not move
}

TEST_F(BiosTest, ScrollTextWindow)
{
    wr8l(0xB8000 + (2 * 80 + 1) * 2, 'x');
    AX = 0x0601;
    BH = 0x70;
    CX = 0x0101;
    DX = 0x0303;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xB8000 + (1 * 80 + 1) * 2), 'x');
    EXPECT_EQ(rd8l(0xB8000 + (3 * 80 + 1) * 2 + 1), 0x70);
    AX = 0x0701;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xB8000 + (2 * 80 + 1) * 2), 'x');
}

TEST_F(BiosTest, GraphicsPixelsClearAndText)
{
    AX = 0x0013;
    cpu_int(0x10);
    AX = 0x0C07;
    CX = 100;
    DX = 50;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xA0000 + 50 * 320 + 100), 7);
    AH = 0x0D;
    cpu_int(0x10);
    EXPECT_EQ(AL, 7);
    AX = 0x0600;                // clear cells (1,1)-(2,2) to colour 3
    BH = 3;
    CX = 0x0101;
    DX = 0x0202;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xA0000 + 8 * 320 + 8), 3);
    EXPECT_EQ(rd8l(0xA0000 + 23 * 320 + 23), 3);
    EXPECT_EQ(rd8l(0xA0000 + 24 * 320 + 24), 0);
    AX = 0x09DB;                // character 09h in graphics: drawn, cursor kept
    BL = 0x0C;
    CX = 2;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xA0000 + 8), 0x0C);
    EXPECT_EQ(rd8l(0xA0000 + 3 * 320 + 15), 0x0C);
    EXPECT_EQ(rd16l(0x450), 0);
}

TEST_F(BiosTest, WriteString)
{
    static const uint8_t text[] = {'H', 0x1F, 'i', 0x2E};
    for (int i = 0; i < 4; i++)
        wr8(0x3000, (uint16_t)(0x10 + i), text[i]);
    ES = 0x3000;
    BP = 0x10;
    AX = 0x1302;                // character and attribute pairs, cursor back
    CX = 2;
    DX = 0x0504;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xB8000 + (5 * 80 + 4) * 2), 'H');
    EXPECT_EQ(rd8l(0xB8000 + (5 * 80 + 4) * 2 + 1), 0x1F);
    EXPECT_EQ(rd8l(0xB8000 + (5 * 80 + 5) * 2 + 1), 0x2E);
    EXPECT_EQ(rd16l(0x450), 0);
    AX = 0x1301;                // attribute BL, cursor moved
    BL = 0x4E;
    CX = 1;
    DX = 0x0000;
    cpu_int(0x10);
    EXPECT_EQ(rd8l(0xB8001), 0x4E);
    EXPECT_EQ(rd16l(0x450), 0x0001);
}

TEST_F(BiosTest, PaletteAndDacServices)
{
    AX = 0x1000;
    BX = 0x3F05;                // register 5 = 3Fh
    cpu_int(0x10);
    EXPECT_EQ(vga_attr_get(5), 0x3F);
    AX = 0x1007;
    BL = 5;
    cpu_int(0x10);
    EXPECT_EQ(BH, 0x3F);
    AX = 0x1001;
    BH = 0x09;
    cpu_int(0x10);
    AX = 0x1008;
    cpu_int(0x10);
    EXPECT_EQ(BH, 0x09);
    AX = 0x1003;
    BL = 0;
    cpu_int(0x10);
    EXPECT_EQ(vga_attr_get(0x10) & 0x08, 0);
    AX = 0x1003;
    BL = 1;
    cpu_int(0x10);
    EXPECT_EQ(vga_attr_get(0x10) & 0x08, 0x08);

    ES = 0x3000;
    AX = 0x1009;
    DX = 0x100;
    cpu_int(0x10);
    EXPECT_EQ(rd8(0x3000, 0x106), 0x14);    // brown, as the mode set loads it
    EXPECT_EQ(rd8(0x3000, 0x110), 0x09);
    wr8(0x3000, 0x10F, 0x3E);
    AX = 0x1002;
    cpu_int(0x10);
    EXPECT_EQ(vga_attr_get(15), 0x3E);

    AX = 0x1010;
    BX = 200;
    DH = 10; CH = 20; CL = 30;
    cpu_int(0x10);
    DX = CX = 0;
    AX = 0x1015;
    BX = 200;
    cpu_int(0x10);
    EXPECT_EQ(DH, 10);
    EXPECT_EQ(CH, 20);
    EXPECT_EQ(CL, 30);
    AX = 0x1017;                // two entries to memory
    BX = 199;
    CX = 2;
    DX = 0x200;
    cpu_int(0x10);
    EXPECT_EQ(rd8(0x3000, 0x203), 10);
    EXPECT_EQ(rd8(0x3000, 0x205), 30);
    wr8(0x3000, 0x203, 63);
    AX = 0x1012;
    BX = 199;
    CX = 2;
    cpu_int(0x10);
    uint8_t r, g, b;
    vga_dac_get(200, &r, &g, &b);
    EXPECT_EQ(r, 63);
    AX = 0x101B;                // grey: (30*63 + 59*20 + 11*30) / 100
    BX = 200;
    CX = 1;
    cpu_int(0x10);
    vga_dac_get(200, &r, &g, &b);
    EXPECT_EQ(r, (30 * 63 + 59 * 20 + 11 * 30) / 100);
    EXPECT_EQ(g, r);
    EXPECT_EQ(b, r);
}

TEST_F(BiosTest, FontInformation)
{
    struct { uint8_t bh; uint16_t seg, off; } cases[] = {
        {0, 0xF000, 0xF66E}, {1, 0xF000, 0xFA6E}, {2, 0xF000, 0x7000}, {3, 0xF000, 0xFA6E},
        {4, 0xF000, 0xF66E}, {5, 0xF000, 0x7000}, {6, 0xF000, 0x6000}, {7, 0xF000, 0x6000},
    };
    for (const auto &c : cases) {
        AX = 0x1130;
        BH = c.bh;
        cpu_int(0x10);
        EXPECT_EQ(ES, c.seg) << int(c.bh);
        EXPECT_EQ(BP, c.off) << int(c.bh);
        EXPECT_EQ(CX, 16);
        EXPECT_EQ(DL, 24);
    }
}

TEST_F(BiosTest, AdapterIdentificationAndState)
{
    AX = 0x1A00;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x1A);
    EXPECT_EQ(BX, 0x0008);
    AH = 0x12;
    BL = 0x10;
    cpu_int(0x10);
    EXPECT_EQ(BX, 0x0003);
    EXPECT_EQ(CX, 0x0009);
    AX = 0x1200;
    BL = 0x34;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x12);
    AX = 0x4F00;
    cpu_int(0x10);
    EXPECT_EQ(AX, 0x0100);

    AX = 0x0013;
    cpu_int(0x10);
    ES = 0x3000;
    DI = 0x40;
    AX = 0x1B00;
    BX = 0;
    cpu_int(0x10);
    EXPECT_EQ(AL, 0x1B);
    EXPECT_EQ(rd16(0x3000, 0x40), 0x7F00);
    EXPECT_EQ(rd16(0x3000, 0x42), 0xF000);
    EXPECT_EQ(rd8(0x3000, 0x44), 0x13);
    EXPECT_EQ(rd16(0x3000, 0x45), 40);      // columns from the data area
    EXPECT_EQ(rd16(0x3000, 0x47), 64000);
    EXPECT_EQ(rd16(0x3000, 0x40 + 0x1E), 0x3D4);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x22), 25);
    EXPECT_EQ(rd16(0x3000, 0x40 + 0x23), 8);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x25), 0x08);
    EXPECT_EQ(rd16(0x3000, 0x40 + 0x27), 256);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x29), 1);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x2A), 0);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x2D), 0x21);
    EXPECT_EQ(rd8(0x3000, 0x40 + 0x31), 0x03);
    EXPECT_EQ(rd8(0xF000, 0x7F00), 0xFF);
    EXPECT_EQ(rd8(0xF000, 0x7F0A), 0xE7);
}

} // namespace
