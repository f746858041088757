// The expanded memory driver through INT 67h: allocation, mapping through
// the frame at E000h, the page map save and restore, the handle services and
// their errors.
#include "devices/ems.h"

#include "../bios/bios_fixture.h"
#include "devices/xms.h"

#include <cstring>

namespace {

constexpr uint16_t BUF_SEG = 0x3000;
constexpr uint16_t FRAME = EMS_FRAME_SEG;
constexpr uint16_t PHYS_STEP = 0x400;   // paragraphs per physical page

class EmsTest : public BiosTest {
protected:
    void SetUp() override
    {
        BiosTest::SetUp();
        ems_init();
        xms_init();
    }

    uint8_t ems(uint8_t ah, uint8_t al = 0)
    {
        AH = ah;
        AL = al;
        cpu_int(0x67);
        return AH;
    }

    uint16_t allocate(uint16_t pages)
    {
        BX = pages;
        EXPECT_EQ(ems(0x43), EMS_OK) << pages;
        return DX;
    }

    uint8_t map(uint16_t handle, uint16_t logical, uint8_t physical)
    {
        DX = handle;
        BX = logical;
        return ems(0x44, physical);
    }

    uint16_t free_pages()
    {
        EXPECT_EQ(ems(0x42), EMS_OK);
        return BX;
    }
};

TEST_F(EmsTest, DriverIsFoundByItsDeviceName)
{
    uint16_t seg = rd16l(0x67 * 4 + 2);
    char name[9] = {};
    for (int i = 0; i < 8; i++)
        name[i] = (char)rd8(seg, (uint16_t)(EMS_NAME_OFF + i));
    EXPECT_EQ(seg, EMS_SEG);
    EXPECT_STREQ(name, "EMMXXXX0");
    EXPECT_EQ(ems(0x40), EMS_OK);
    EXPECT_EQ(ems(0x41), EMS_OK);
    EXPECT_EQ(BX, FRAME);
    EXPECT_EQ(ems(0x46), EMS_OK);
    EXPECT_EQ(AL, 0x40);
}

TEST_F(EmsTest, AllocationCountsPagesAndHandles)
{
    EXPECT_EQ(free_pages(), EMS_PAGES);
    EXPECT_EQ(DX, EMS_PAGES);
    uint16_t h = allocate(4);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(free_pages(), EMS_PAGES - 4);
    DX = h;
    EXPECT_EQ(ems(0x4C), EMS_OK);
    EXPECT_EQ(BX, 4);
    EXPECT_EQ(ems(0x4B), EMS_OK);
    EXPECT_EQ(BX, 2);                   // handle 0 and the new one

    ES = BUF_SEG;
    DI = 0;
    EXPECT_EQ(ems(0x4D), EMS_OK);
    EXPECT_EQ(BX, 2);
    EXPECT_EQ(rd16(BUF_SEG, 0), 0);
    EXPECT_EQ(rd16(BUF_SEG, 2), 0);
    EXPECT_EQ(rd16(BUF_SEG, 4), h);
    EXPECT_EQ(rd16(BUF_SEG, 6), 4);

    DX = h;
    EXPECT_EQ(ems(0x45), EMS_OK);
    EXPECT_EQ(free_pages(), EMS_PAGES);
    DX = h;
    EXPECT_EQ(ems(0x45), EMS_BAD_HANDLE);
}

TEST_F(EmsTest, AllocationErrors)
{
    struct Row {
        uint16_t pages;
        uint8_t status;
    } rows[] = {
        {0, EMS_ZERO_PAGES},
        {EMS_PAGES + 1, EMS_NOT_ENOUGH_PAGES},
        {0xFFFF, EMS_NOT_ENOUGH_PAGES},
    };
    for (const Row &r : rows) {
        BX = r.pages;
        EXPECT_EQ(ems(0x43), r.status) << r.pages;
    }
    EXPECT_EQ(free_pages(), EMS_PAGES);
    for (int i = 1; i < EMS_HANDLES; i++)
        allocate(1);
    BX = 1;
    EXPECT_EQ(ems(0x43), EMS_NO_HANDLES);
}

TEST_F(EmsTest, MappedPagesShowThroughTheFrame)
{
    uint16_t h = allocate(2);
    ASSERT_EQ(map(h, 0, 0), EMS_OK);
    wr8(FRAME, 0, 0x5A);
    EXPECT_EQ(rd8(FRAME + PHYS_STEP, 0), 0);        // physical page 1 shows nothing
    ASSERT_EQ(map(h, 0xFFFF, 0), EMS_OK);           // unmap
    EXPECT_EQ(rd8(FRAME, 0), 0);
    ASSERT_EQ(map(h, 0, 0), EMS_OK);
    EXPECT_EQ(rd8(FRAME, 0), 0x5A);
    ASSERT_EQ(map(h, 0, 1), EMS_OK);                // the same page in two places
    EXPECT_EQ(rd8(FRAME + PHYS_STEP, 0), 0x5A);
    wr8(FRAME + PHYS_STEP, 1, 0xA5);
    EXPECT_EQ(rd8(FRAME, 1), 0xA5);
    // A word at the end of physical page 0 ends in whatever page 1 shows.
    ASSERT_EQ(map(h, 1, 1), EMS_OK);
    wr16(FRAME, 0x3FFF, 0x1234);
    ASSERT_EQ(map(h, 1, 3), EMS_OK);
    EXPECT_EQ(rd8(FRAME + 3 * PHYS_STEP, 0), 0x12);
    EXPECT_EQ(rd8(FRAME, 0x3FFF), 0x34);
}

TEST_F(EmsTest, MappingErrors)
{
    uint16_t h = allocate(2);
    struct Row {
        uint16_t handle, logical;
        uint8_t physical, status;
    } rows[] = {
        {h, 0, 4, EMS_BAD_PHYSICAL},
        {h, 0, 0xFF, EMS_BAD_PHYSICAL},
        {h, 2, 0, EMS_BAD_LOGICAL},         // logical page = page count
        {h, 0x7FFF, 0, EMS_BAD_LOGICAL},
        {7, 0, 0, EMS_BAD_HANDLE},          // not allocated
        {EMS_HANDLES, 0, 0, EMS_BAD_HANDLE},
        {0xFFFF, 0, 0, EMS_BAD_HANDLE},
        {0, 0, 0, EMS_BAD_LOGICAL},         // handle 0 has no pages
        {h, 1, 3, EMS_OK},
    };
    for (const Row &r : rows)
        EXPECT_EQ(map(r.handle, r.logical, r.physical), r.status)
            << r.handle << " " << r.logical << " " << (int)r.physical;
}

TEST_F(EmsTest, ReleasingHandleZeroKeepsItInUse)
{
    BX = 3;
    DX = 0;
    ASSERT_EQ(ems(0x51), EMS_OK);           // give the system handle pages
    EXPECT_EQ(BX, 3);
    EXPECT_EQ(free_pages(), EMS_PAGES - 3);
    DX = 0;
    EXPECT_EQ(ems(0x45), EMS_OK);
    EXPECT_EQ(free_pages(), EMS_PAGES);
    DX = 0;
    EXPECT_EQ(ems(0x4C), EMS_OK);
    EXPECT_EQ(BX, 0);
    EXPECT_EQ(ems(0x4B), EMS_OK);
    EXPECT_EQ(BX, 1);
}

TEST_F(EmsTest, ReallocationGrowsAndShrinksAtTheEnd)
{
    uint16_t a = allocate(2);
    uint16_t b = allocate(1);
    ASSERT_EQ(map(a, 1, 1), EMS_OK);
    wr8(FRAME + PHYS_STEP, 0, 0x77);
    DX = a;
    BX = 4;
    ASSERT_EQ(ems(0x51), EMS_OK);
    EXPECT_EQ(BX, 4);
    EXPECT_EQ(free_pages(), EMS_PAGES - 5);
    ASSERT_EQ(map(a, 1, 2), EMS_OK);                // logical pages keep their data
    EXPECT_EQ(rd8(FRAME + 2 * PHYS_STEP, 0), 0x77);
    ASSERT_EQ(map(a, 3, 0), EMS_OK);
    DX = a;
    BX = 1;
    ASSERT_EQ(ems(0x51), EMS_OK);
    EXPECT_EQ(map(a, 1, 0), EMS_BAD_LOGICAL);
    EXPECT_EQ(free_pages(), EMS_PAGES - 2);
    DX = b;
    BX = EMS_PAGES;
    EXPECT_EQ(ems(0x51), EMS_NOT_ENOUGH_PAGES);
    DX = 99;
    EXPECT_EQ(ems(0x51), EMS_BAD_HANDLE);
}

TEST_F(EmsTest, SaveAndRestoreThePageMap)
{
    uint16_t h = allocate(2);
    ASSERT_EQ(map(h, 0, 0), EMS_OK);
    wr8(FRAME, 0, 0x11);
    DX = h;
    EXPECT_EQ(ems(0x47), EMS_OK);
    ASSERT_EQ(map(h, 1, 0), EMS_OK);
    wr8(FRAME, 0, 0x22);
    DX = h;
    EXPECT_EQ(ems(0x48), EMS_OK);
    EXPECT_EQ(rd8(FRAME, 0), 0x11);
    ASSERT_EQ(map(h, 1, 0), EMS_OK);
    DX = h;
    EXPECT_EQ(ems(0x48), EMS_OK);                   // the saved map was used up
    EXPECT_EQ(rd8(FRAME, 0), 0x22);
    DX = 0xFFFF;
    EXPECT_EQ(ems(0x47), EMS_OK);
    EXPECT_EQ(ems(0x48), EMS_OK);
}

TEST_F(EmsTest, PageMapArrays)
{
    uint16_t h = allocate(2);
    ASSERT_EQ(map(h, 1, 2), EMS_OK);
    ES = BUF_SEG;
    DI = 0;
    ASSERT_EQ(ems(0x4E, 0x00), EMS_OK);
    const uint16_t want[] = {0xFFFF, 0xFFFF, 1, 0xFFFF};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(rd16(BUF_SEG, (uint16_t)(2 * i)), want[i]) << i;
    EXPECT_EQ(ems(0x4E, 0x03), EMS_OK);
    EXPECT_EQ(AL, 8);

    // Setting: page 0 into physical page 3, the rest empty.
    DS = BUF_SEG;
    SI = 0x10;
    const uint16_t set[] = {0xFFFF, 0xFFFF, 0xFFFF, 0};
    for (int i = 0; i < 4; i++)
        wr16(BUF_SEG, (uint16_t)(0x10 + 2 * i), set[i]);
    wr8(FRAME + 2 * PHYS_STEP, 0, 0x66);            // logical page 1 = EMS page 1
    ASSERT_EQ(ems(0x4E, 0x01), EMS_OK);
    EXPECT_EQ(rd8(FRAME + 2 * PHYS_STEP, 0), 0);

    // An entry past the end of EMS memory is refused and changes nothing.
    wr16(BUF_SEG, 0x10, EMS_PAGES);
    EXPECT_EQ(ems(0x4E, 0x01), EMS_BAD_MAP_ARRAY);
    DI = 0x20;
    EXPECT_EQ(ems(0x4E, 0x02), EMS_BAD_MAP_ARRAY);  // gets, then refuses the set
    EXPECT_EQ(rd16(BUF_SEG, 0x26), 0);
    EXPECT_EQ(ems(0x4E, 0x04), EMS_BAD_SUBFUNCTION);
}

TEST_F(EmsTest, MapMultiplePages)
{
    uint16_t h = allocate(3);
    DS = BUF_SEG;
    SI = 0;
    struct Row {
        uint8_t al;
        uint16_t logical, where;
        uint8_t status;
        int physical;                   // where logical page shows, -1 none
    } rows[] = {
        {0x00, 0, 2, EMS_OK, 2},
        {0x01, 1, 0xE400, EMS_OK, 1},
        {0x01, 2, 0xDC01, EMS_OK, 0},   // just below the frame: page 0
        {0x01, 2, 0xEC00, EMS_OK, 3},
        {0x01, 0, 0xDC00, EMS_BAD_PHYSICAL, -1},
        {0x01, 0, 0xF000, EMS_BAD_PHYSICAL, -1},
        {0x00, 0, 4, EMS_BAD_PHYSICAL, -1},
        {0x00, 3, 0, EMS_BAD_LOGICAL, -1},
        {0x02, 0, 0, EMS_BAD_SUBFUNCTION, -1},
    };
    for (const Row &r : rows) {
        ems_init();
        xms_init();
        h = allocate(3);
        for (int p = 0; p < 3; p++) {                 // mark each logical page
            ASSERT_EQ(map(h, (uint16_t)p, 0), EMS_OK);
            wr8(FRAME, 0, (uint8_t)(0x10 + p));
        }
        ASSERT_EQ(map(h, 0xFFFF, 0), EMS_OK);
        wr16(BUF_SEG, 0, r.logical);
        wr16(BUF_SEG, 2, r.where);
        DS = BUF_SEG;
        SI = 0;
        CX = 1;
        DX = h;
        EXPECT_EQ(ems(0x50, r.al), r.status) << std::hex << r.where;
        if (r.physical >= 0) {
            EXPECT_EQ(rd8((uint16_t)(FRAME + PHYS_STEP * r.physical), 0), 0x10 + r.logical) << std::hex << r.where;
        }
    }

    // Several pairs stop at the first bad one.
    const uint16_t pairs[] = {0, 0, 1, 9, 2, 1};
    for (int i = 0; i < 6; i++)
        wr16(BUF_SEG, (uint16_t)(2 * i), pairs[i]);
    CX = 3;
    DX = h;
    EXPECT_EQ(ems(0x50, 0x00), EMS_BAD_PHYSICAL);
    EXPECT_EQ(rd8(FRAME, 0), 0x10);
    EXPECT_EQ(rd8(FRAME + PHYS_STEP, 0), 0);
}

TEST_F(EmsTest, HandleNamesAndDirectory)
{
    uint16_t h = allocate(1);
    DS = BUF_SEG;
    SI = 0;
    for (int i = 0; i < 8; i++)
        wr8(BUF_SEG, (uint16_t)i, (uint8_t)"SCENERY1"[i]);
    DX = h;
    ASSERT_EQ(ems(0x53, 0x01), EMS_OK);
    ES = BUF_SEG;
    DI = 0x10;
    DX = h;
    ASSERT_EQ(ems(0x53, 0x00), EMS_OK);
    EXPECT_EQ(rd8(BUF_SEG, 0x10), 'S');
    EXPECT_EQ(rd8(BUF_SEG, 0x17), '1');
    DX = EMS_HANDLES;
    EXPECT_EQ(ems(0x53, 0x01), EMS_BAD_HANDLE);     // no record to write into
    EXPECT_EQ(ems(0x53, 0x00), EMS_BAD_HANDLE);

    DI = 0x20;
    ASSERT_EQ(ems(0x54, 0x00), EMS_OK);
    EXPECT_EQ(AL, 2);
    EXPECT_EQ(rd16(BUF_SEG, 0x20), 0);
    EXPECT_EQ(rd16(BUF_SEG, 0x2A), h);
    EXPECT_EQ(rd8(BUF_SEG, 0x2C), 'S');
    EXPECT_EQ(ems(0x54, 0x02), EMS_OK);
    EXPECT_EQ(BX, EMS_HANDLES);
    EXPECT_EQ(ems(0x54, 0x01), EMS_NAME_NOT_FOUND);

    DX = h;
    ASSERT_EQ(ems(0x45), EMS_OK);                   // a released handle loses its name
    EXPECT_EQ(allocate(1), h);
    DI = 0x10;
    DX = h;
    ASSERT_EQ(ems(0x53, 0x00), EMS_OK);
    EXPECT_EQ(rd8(BUF_SEG, 0x10), 0);
}

TEST_F(EmsTest, InformationServices)
{
    ES = BUF_SEG;
    DI = 0;
    ASSERT_EQ(ems(0x58, 0x00), EMS_OK);
    EXPECT_EQ(CX, 4);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(rd16(BUF_SEG, (uint16_t)(4 * i)), FRAME + PHYS_STEP * i);
        EXPECT_EQ(rd16(BUF_SEG, (uint16_t)(4 * i + 2)), i);
    }
    CX = 0;
    EXPECT_EQ(ems(0x58, 0x01), EMS_OK);
    EXPECT_EQ(CX, 4);
    allocate(10);
    EXPECT_EQ(ems(0x59, 0x01), EMS_OK);
    EXPECT_EQ(BX, EMS_PAGES - 10);
    EXPECT_EQ(DX, EMS_PAGES);
    EXPECT_EQ(ems(0x59, 0x00), EMS_DENIED);
}

TEST_F(EmsTest, UnsupportedFunctions)
{
    for (uint8_t ah : {0x00, 0x3F, 0x49, 0x4A, 0x4F, 0x52, 0x55, 0x56, 0x57, 0x5A, 0xFF})
        EXPECT_EQ(ems(ah), EMS_BAD_FUNCTION) << std::hex << (int)ah;
}

TEST_F(EmsTest, ResetClearsEverything)
{
    uint16_t h = allocate(1);
    ASSERT_EQ(map(h, 0, 0), EMS_OK);
    wr8(FRAME, 0, 0x99);
    ems_init();
    EXPECT_EQ(free_pages(), EMS_PAGES);
    EXPECT_EQ(rd8(FRAME, 0), 0);
    h = allocate(1);
    ASSERT_EQ(map(h, 0, 0), EMS_OK);
    EXPECT_EQ(rd8(FRAME, 0), 0);
}

}  // namespace
