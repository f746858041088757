// The extended memory driver: found through INT 2Fh, called far at its
// entry; allocation against the 16 MB capacity, move-block between blocks
// and conventional memory with its checks, locks, resizing, and the other
// multiplex answers.
#include "devices/xms.h"

#include "../bios/bios_fixture.h"
#include "devices/ems.h"

namespace {

constexpr uint16_t PARAM_SEG = 0x3000;
constexpr uint16_t DATA_SEG = 0x4000;
constexpr uint16_t RET_OFF = 0x0010;

class XmsTest : public BiosTest {
protected:
    uint16_t entry_seg = 0, entry_off = 0;

    void SetUp() override
    {
        BiosTest::SetUp();
        ems_init();
        xms_init();
        AX = 0x4310;
        cpu_int(0x2F);
        entry_seg = ES;
        entry_off = BX;
    }

    // A far call into the driver, as a program makes it.
    uint16_t xms(uint8_t ah)
    {
        AH = ah;
        uint16_t sp = SP;
        push16(CODE_SEG);
        push16(RET_OFF);
        CS = entry_seg;
        IP = entry_off;
        cpu_run_until(CODE_SEG, RET_OFF, sp);
        return AX;
    }

    uint16_t allocate(uint16_t kb)
    {
        DX = kb;
        EXPECT_EQ(xms(0x09), 1) << kb;
        return DX;
    }

    // Move-block with the parameter record at PARAM_SEG:0.
    uint8_t move(uint32_t len, uint16_t src_h, uint32_t src_off, uint16_t dst_h, uint32_t dst_off)
    {
        wr32(PARAM_SEG, 0, len);
        wr16(PARAM_SEG, 4, src_h);
        wr32(PARAM_SEG, 6, src_off);
        wr16(PARAM_SEG, 10, dst_h);
        wr32(PARAM_SEG, 12, dst_off);
        DS = PARAM_SEG;
        SI = 0;
        BL = 0xEE;
        uint16_t ok = xms(0x0B);
        return ok == 1 ? (BL == 0 ? XMS_OK : 0xEE) : BL;
    }

    static uint32_t far_ptr(uint16_t seg, uint16_t off) { return (uint32_t)seg << 16 | off; }
};

TEST_F(XmsTest, MultiplexFindsTheDriver)
{
    AX = 0x4300;
    cpu_int(0x2F);
    EXPECT_EQ(AL, 0x80);
    EXPECT_EQ(entry_seg, HLE_SEG);
    EXPECT_EQ(entry_off, xms_entry_offset());
    EXPECT_EQ(rd8(entry_seg, entry_off), 0xFE);     // a far-call stub: escape ... RETF
    EXPECT_EQ(rd8(entry_seg, (uint16_t)(entry_off + 4)), 0xCB);

    EXPECT_EQ(xms(0x00), 0x0300);
    EXPECT_EQ(BX, 0x0300);
    EXPECT_EQ(DX, 1);

    struct Row {
        uint16_t ax;
        uint8_t al;
    } rows[] = {{0x1600, 0x00}, {0x1680, 0x00}};
    for (const Row &r : rows) {
        AX = r.ax;
        cpu_int(0x2F);
        EXPECT_EQ(AL, r.al) << std::hex << r.ax;
    }
    for (uint16_t ax : {0x4A01, 0x4A02}) {
        AX = ax;
        BX = 0x1234;
        cpu_int(0x2F);
        EXPECT_EQ(BX, 0) << std::hex << ax;
    }
    AX = 0x1234;
    BX = 0x5678;
    cpu_int(0x2F);
    EXPECT_EQ(AX, 0x1234);
    EXPECT_EQ(BX, 0x5678);
}

TEST_F(XmsTest, SimpleFunctions)
{
    struct Row {
        uint8_t ah;
        uint16_t ax;
        uint8_t bl;
    } rows[] = {
        {0x03, 1, 0x00}, {0x05, 1, 0x00}, {0x07, 1, 0x00},   // A20 always on
        {0x10, 0, XMS_NO_UMB}, {0x11, 0, XMS_BAD_UMB},
        {0x12, 0, XMS_BAD_FUNCTION}, {0x8F, 0, XMS_BAD_FUNCTION}, {0xFF, 0, XMS_BAD_FUNCTION},
    };
    for (const Row &r : rows) {
        BL = 0xEE;
        EXPECT_EQ(xms(r.ah), r.ax) << std::hex << (int)r.ah;
        EXPECT_EQ(BL, r.bl) << std::hex << (int)r.ah;
    }
}

TEST_F(XmsTest, AllocationAgainstTheCapacity)
{
    EXPECT_EQ(xms(0x08), XMS_CAPACITY_KB);
    EXPECT_EQ(DX, XMS_CAPACITY_KB);
    uint16_t all = allocate(XMS_CAPACITY_KB);
    EXPECT_EQ(all, 1);
    EXPECT_EQ(xms(0x08), 0);
    DX = 1;
    EXPECT_EQ(xms(0x09), 0);
    EXPECT_EQ(BL, XMS_NO_MEMORY);
    DX = all;
    EXPECT_EQ(xms(0x0A), 1);
    DX = all;
    EXPECT_EQ(xms(0x0A), 0);
    EXPECT_EQ(BL, XMS_BAD_HANDLE);

    uint16_t tiny = allocate(0);                    // zero asks for 1 KB
    DX = tiny;
    EXPECT_EQ(xms(0x0E), 1);
    EXPECT_EQ(DX, 1);
    EXPECT_EQ(xms(0x08), XMS_CAPACITY_KB - 1);

    xms(0x88);
    EXPECT_EQ(EAX, (uint32_t)XMS_CAPACITY_KB - 1);
    EXPECT_EQ(EDX, (uint32_t)XMS_CAPACITY_KB - 1);
    EXPECT_EQ(ECX, 0x0010FFFFu);
    EDX = 0x10000;                                  // more than a word can ask for
    EXPECT_EQ(xms(0x89), 0);
    EXPECT_EQ(BL, XMS_NO_MEMORY);
    EDX = 0x100;
    EXPECT_EQ(xms(0x89), 1);
    uint16_t big = DX;
    DX = big;
    EXPECT_EQ(xms(0x8E), 1);
    EXPECT_EQ(EDX, 0x100u);
    EXPECT_EQ(CX, XMS_HANDLES - 3);
}

TEST_F(XmsTest, HandlesRunOut)
{
    for (int i = 1; i < XMS_HANDLES; i++)
        allocate(1);
    DX = 1;
    EXPECT_EQ(xms(0x09), 0);
    EXPECT_EQ(BL, XMS_NO_HANDLES);
}

TEST_F(XmsTest, LocksAndHandleInformation)
{
    uint16_t h = allocate(4);
    DX = h;
    EXPECT_EQ(xms(0x0C), 1);
    EXPECT_EQ(DX, h * 16 + 32);
    EXPECT_EQ(BX, 0);
    DX = h;
    xms(0x0C);
    DX = h;
    EXPECT_EQ(xms(0x0E), 1);
    EXPECT_EQ(BH, 2);
    EXPECT_EQ(BL, XMS_HANDLES - 2);
    EXPECT_EQ(DX, 4);
    for (int i = 0; i < 3; i++) {                   // unlocking stops at zero
        DX = h;
        EXPECT_EQ(xms(0x0D), 1);
    }
    DX = h;
    xms(0x0E);
    EXPECT_EQ(BH, 0);

    for (int bad : {0, 5, (int)XMS_HANDLES, 0xFFFF})
        for (uint8_t ah : {0x0A, 0x0C, 0x0E, 0x0F, 0x8E}) {
            DX = (uint16_t)bad;
            BX = 1;
            EXPECT_EQ(xms(ah), 0) << bad << " " << std::hex << (int)ah;
            EXPECT_EQ(BL, XMS_BAD_HANDLE) << bad << " " << std::hex << (int)ah;
        }
}

TEST_F(XmsTest, MoveBlockInAndOut)
{
    uint16_t h = allocate(2);
    const char text[] = "extended";
    for (int i = 0; i < 8; i++)
        wr8(DATA_SEG, (uint16_t)(0x100 + i), (uint8_t)text[i]);

    ASSERT_EQ(move(8, 0, far_ptr(DATA_SEG, 0x100), h, 1500), XMS_OK);
    ASSERT_EQ(move(4, 0, far_ptr(DATA_SEG, 0x100), h, 2048 - 4), XMS_OK);   // the last bytes
    ASSERT_EQ(move(8, h, 1500, h, 100), XMS_OK);                             // block to block
    ASSERT_EQ(move(8, h, 100, 0, far_ptr(DATA_SEG, 0x200)), XMS_OK);
    ASSERT_EQ(move(4, h, 2048 - 4, 0, far_ptr(DATA_SEG, 0x300)), XMS_OK);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(rd8(DATA_SEG, (uint16_t)(0x200 + i)), (uint8_t)text[i]) << i;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(rd8(DATA_SEG, (uint16_t)(0x300 + i)), (uint8_t)text[i]) << i;

    // Conventional to conventional, overlapping upwards, and into the HMA.
    ASSERT_EQ(move(6, 0, far_ptr(DATA_SEG, 0x100), 0, far_ptr(DATA_SEG, 0x102)), XMS_OK);
    EXPECT_EQ(rd8(DATA_SEG, 0x102), 'e');
    EXPECT_EQ(rd8(DATA_SEG, 0x107), 'd');
    ASSERT_EQ(move(2, 0, far_ptr(DATA_SEG, 0x100), 0, far_ptr(0xFFFF, 0xFFFE)), XMS_OK);
    EXPECT_EQ(rd8l(0x10FFEE), 'e');
    ASSERT_EQ(move(0, h, 2048, 0, far_ptr(DATA_SEG, 0)), XMS_OK);           // nothing to move
}

TEST_F(XmsTest, MoveBlockErrors)
{
    uint16_t h = allocate(1);
    uint16_t freed = allocate(1);
    DX = freed;
    ASSERT_EQ(xms(0x0A), 1);
    uint32_t conv = far_ptr(DATA_SEG, 0);
    struct Row {
        const char *what;
        uint32_t len;
        uint16_t src_h;
        uint32_t src_off;
        uint16_t dst_h;
        uint32_t dst_off;
        uint8_t bl;
    } rows[] = {
        {"odd length", 3, 0, conv, h, 0, XMS_BAD_LENGTH},
        {"odd length, bad handle", 3, 9, 0, h, 0, XMS_BAD_LENGTH},
        {"unused source", 2, 9, 0, h, 0, XMS_BAD_MOVE_HANDLE},
        {"freed destination", 2, 0, conv, freed, 0, XMS_BAD_MOVE_HANDLE},
        {"handle past the table", 2, XMS_HANDLES, 0, h, 0, XMS_BAD_MOVE_HANDLE},
        {"past the block's end", 4, 0, conv, h, 1022, XMS_BAD_MOVE_HANDLE},
        {"longer than the block", 1026, h, 0, 0, conv, XMS_BAD_MOVE_HANDLE},
        {"offset wraps 32 bits", 4, 0, conv, h, 0xFFFFFFFE, XMS_BAD_MOVE_HANDLE},
        {"huge length", 0xFFFFFFFE, h, 0, h, 0, XMS_BAD_MOVE_HANDLE},
        {"past conventional memory", 0x22, 0, far_ptr(0xFFFF, 0xFFF0), h, 0, XMS_BAD_LENGTH},
        {"conventional huge", 0xFFFFFFFE, 0, conv, 0, conv, XMS_BAD_LENGTH},
    };
    for (const Row &r : rows) {
        wr8(DATA_SEG, 0, 0x42);
        EXPECT_EQ(move(r.len, r.src_h, r.src_off, r.dst_h, r.dst_off), r.bl) << r.what;
    }
    // Nothing of the refused moves arrived.
    ASSERT_EQ(move(1024, h, 0, 0, far_ptr(DATA_SEG, 0x1000)), XMS_OK);
    for (int i = 0; i < 1024; i++)
        ASSERT_EQ(rd8(DATA_SEG, (uint16_t)(0x1000 + i)), 0) << i;
}

TEST_F(XmsTest, MoveParametersWrapInTheirSegment)
{
    uint16_t h = allocate(1);
    wr8(DATA_SEG, 0, 0x5A);
    wr8(DATA_SEG, 1, 0xA5);
    // The record starts 6 bytes below the segment's end: the length and the
    // source handle are at FFFA-FFFF, the rest wraps to offset 0.
    wr32(PARAM_SEG, 0xFFFA, 2);
    wr16(PARAM_SEG, 0xFFFE, 0);
    wr32(PARAM_SEG, 0x0000, far_ptr(DATA_SEG, 0));
    wr16(PARAM_SEG, 0x0004, h);
    wr32(PARAM_SEG, 0x0006, 10);
    DS = PARAM_SEG;
    SI = 0xFFFA;
    ASSERT_EQ(xms(0x0B), 1);
    ASSERT_EQ(move(2, h, 10, 0, far_ptr(DATA_SEG, 0x10)), XMS_OK);
    EXPECT_EQ(rd16(DATA_SEG, 0x10), 0xA55A);
}

TEST_F(XmsTest, ResizeKeepsDataAndZeroesTheGrowth)
{
    uint16_t h = allocate(1);
    wr16(DATA_SEG, 0, 0xBEEF);
    ASSERT_EQ(move(2, 0, far_ptr(DATA_SEG, 0), h, 1022), XMS_OK);
    DX = h;
    BX = 3;
    ASSERT_EQ(xms(0x0F), 1);
    EXPECT_EQ(xms(0x08), XMS_CAPACITY_KB - 3);
    ASSERT_EQ(move(4, h, 1022, 0, far_ptr(DATA_SEG, 0x10)), XMS_OK);
    EXPECT_EQ(rd16(DATA_SEG, 0x10), 0xBEEF);
    EXPECT_EQ(rd16(DATA_SEG, 0x12), 0);
    ASSERT_EQ(move(2, 0, far_ptr(DATA_SEG, 0), h, 3 * 1024 - 2), XMS_OK);

    DX = h;
    BX = 0;                                         // shrinks to 1 KB
    ASSERT_EQ(xms(0x0F), 1);
    EXPECT_EQ(move(2, 0, far_ptr(DATA_SEG, 0), h, 1024), XMS_BAD_MOVE_HANDLE);
    EXPECT_EQ(xms(0x08), XMS_CAPACITY_KB - 1);

    // Growing past the free capacity is refused and leaves the block alone.
    DX = h;
    BX = XMS_CAPACITY_KB + 1;
    EXPECT_EQ(xms(0x0F), 0);
    EXPECT_EQ(BL, XMS_NO_MEMORY);
    EXPECT_EQ(xms(0x08), XMS_CAPACITY_KB - 1);
    DX = h;
    BX = XMS_CAPACITY_KB;
    EXPECT_EQ(xms(0x0F), 1);
    EXPECT_EQ(xms(0x08), 0);
}

}  // namespace

namespace {

// Moves to and from conventional memory go through the page table, so they
// reach whatever EMS page the frame shows, as program stores would.
TEST_F(XmsTest, MovesSeeTheEmsFrame)
{
    AH = 0x43;
    BX = 1;
    cpu_int(0x67);
    ASSERT_EQ(AH, EMS_OK);
    uint16_t ems_handle = DX;
    uint16_t h = allocate(1);
    wr16(DATA_SEG, 0, 0x4D45);
    ASSERT_EQ(move(2, 0, far_ptr(DATA_SEG, 0), h, 0), XMS_OK);
    ASSERT_EQ(move(2, h, 0, 0, far_ptr(EMS_FRAME_SEG + 0x400, 0x10)), XMS_OK);  // nothing mapped yet
    ASSERT_EQ(ems_map_page(ems_handle, 0, 1), EMS_OK);
    EXPECT_EQ(rd16(EMS_FRAME_SEG + 0x400, 0x10), 0);
    ASSERT_EQ(move(2, h, 0, 0, far_ptr(EMS_FRAME_SEG + 0x400, 0x10)), XMS_OK);
    ASSERT_EQ(ems_map_page(ems_handle, 0, 3), EMS_OK);
    EXPECT_EQ(rd16(EMS_FRAME_SEG + 0xC00, 0x10), 0x4D45);
}

}  // namespace
