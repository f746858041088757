// INT 21h functions called directly with registers, over a temporary folder.
#include "dos/dos.h"

#include "bios/bios.h"
#include "devices/vga.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace {

const uint16_t DATA_SEG = 0x5000;

class Int21Test : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/halverd_i21XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        machine_init();
        bios_init();
        vga_init();
        dos_init(root.c_str());
        con_echo_host = 0;
        DS = ES = DATA_SEG;
    }

    void TearDown() override
    {
        unsetenv("VRK_DATE");
        con_echo_host = 1;
        sft_reset();
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void put(uint16_t off, const char *s)
    {
        do
            wr8(DATA_SEG, off++, (uint8_t)*s);
        while (*s++);
    }

    std::string get(uint16_t off)
    {
        std::string s;
        while (uint8_t c = rd8(DATA_SEG, off++))
            s += (char)c;
        return s;
    }

    void call(uint16_t ax)
    {
        AX = ax;
        dos_int21();
    }
};

TEST_F(Int21Test, InformationFunctions)
{
    struct Row {
        uint16_t ax;
        uint16_t want_ax;
    } rows[] = {{0x3000, 0x0005}, {0x1900, 0x1902}, {0x0E05, 0x0E1A}};
    for (const Row &r : rows) {
        call(r.ax);
        EXPECT_EQ(AX, r.want_ax) << std::hex << r.ax;
    }
    call(0x5200);
    EXPECT_EQ(ES, 0x0050);
    EXPECT_EQ(BX, 0x0026);
    EXPECT_EQ(rd16(ES, (uint16_t)(BX - 2)), dos_first_mcb);
}

TEST_F(Int21Test, UnimplementedFunctionAndExtendedError)
{
    call(0x5C00);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 0);
    call(0x5900);
    EXPECT_EQ(AX, 1);
}

TEST_F(Int21Test, ReturnCodeIsReadOnce)
{
    dos_last_exit = 0x0301;
    call(0x4D00);
    EXPECT_EQ(AX, 0x0301);
    call(0x4D00);
    EXPECT_EQ(AX, 0);
}

TEST_F(Int21Test, TemporaryFileNames)
{
    mkdir((root + "/TMP").c_str(), 0777);
    put(0x100, "C:\\TMP\\");
    DX = 0x100;
    call(0x5A00);
    ASSERT_FALSE(CF_());
    EXPECT_EQ(get(0x100), "C:\\TMP\\TMP00000.$$$");
    struct stat st;
    EXPECT_EQ(stat((root + "/TMP/TMP00000.$$$").c_str(), &st), 0);
}

TEST_F(Int21Test, ExtendedOpenActions)
{
    put(0x100, "NEW.DAT");
    SI = 0x100;
    BX = 2;
    DX = 0x01;                          // open if present, fail if absent
    call(0x6C00);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 2);
    DX = 0x10;                          // create if absent
    call(0x6C00);
    ASSERT_FALSE(CF_());
    EXPECT_EQ(CX, 2);
    DX = 0x00;                          // present: fail
    call(0x6C00);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 80);
}

TEST_F(Int21Test, IoctlDeviceInformation)
{
    BX = 1;
    call(0x4400);
    EXPECT_EQ(DX, 0x80D3);
    put(0x100, "F.BIN");
    DX = 0x100;
    CX = 0;
    call(0x3C00);
    BX = AX;
    call(0x4400);
    EXPECT_EQ(DX, 0x0002);
    call(0x4406);                       // at the end of an empty file
    EXPECT_EQ(AL, 0x00);
    BX = 15;
    call(0x4400);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 6);
    call(0x4402);
    EXPECT_EQ(AX, 1);
}

TEST_F(Int21Test, SeekBeforeTheStartGoesToTheEnd)
{
    put(0x100, "S.BIN");
    put(0x200, "abcdef");
    DX = 0x100;
    CX = 0;
    call(0x3C00);
    uint16_t h = AX;
    BX = h;
    CX = 6;
    DX = 0x200;
    call(0x4000);
    BX = h;
    CX = 0xFFFF;
    DX = 0xFFF0;                        // -16 from the start of the file
    call(0x4201);
    EXPECT_EQ(AX, 6);
    BX = h;
    CX = 0xFFFF;
    DX = 0xFFFF;
    call(0x4201);
    EXPECT_EQ(AX, 5);
    BX = h;
    call(0x4203);
    EXPECT_TRUE(CF_());
    EXPECT_EQ(AX, 1);
}

TEST_F(Int21Test, WriteStringStopsAfterTheLimit)
{
    con_echo_host = 0;
    for (uint32_t i = 0; i < 0x10000; i++)
        wr8(DATA_SEG, (uint16_t)i, 'x');
    DX = 0;
    call(0x0900);
    EXPECT_EQ(AL, '$');
    con_echo_host = 1;
}

TEST_F(Int21Test, DateFromTheEnvironment)
{
    setenv("VRK_DATE", "1995-2-30", 1);
    call(0x2A00);
    EXPECT_EQ(CX, 1995);
    EXPECT_EQ(DH, 3);
    EXPECT_EQ(DL, 2);
    EXPECT_EQ(AL, 4);                   // a Thursday
    setenv("VRK_DATE", "1979-1-1", 1);  // ignored: before DOS's epoch
    call(0x2A00);
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    EXPECT_EQ(CX, tm.tm_year + 1900);
}

TEST_F(Int21Test, TrueNameAndCurrentDirectory)
{
    mkdir((root + "/Game").c_str(), 0777);
    put(0x100, "game");
    DX = 0x100;
    call(0x3B00);
    ASSERT_FALSE(CF_());
    SI = 0x200;
    call(0x4700);
    EXPECT_EQ(get(0x200), "GAME");
    put(0x100, "..\\x.dat");
    SI = 0x100;
    DI = 0x300;
    call(0x6000);
    EXPECT_EQ(get(0x300), "C:\\X.DAT");
}

const uint16_t KEY_UP = 0x4800;        // an extended key: character 00h
const uint16_t KEY_ENTER = 0x1C0D;

void type(const char *s)
{
    for (; *s; s++)
        keybuf_put((uint16_t)(uint8_t)*s);
}

TEST_F(Int21Test, ExtendedKeysComeInTwoReads)
{
    keybuf_put(KEY_UP);
    call(0x0700);
    EXPECT_EQ(AL, 0x00);
    call(0x0700);
    EXPECT_EQ(AL, 0x48);
    keybuf_put(KEY_UP);
    call(0x0100);                       // with echo: the scan code is not kept
    EXPECT_EQ(AL, 0x00);
    DL = 0xFF;
    call(0x0600);
    EXPECT_EQ(AL, 0);
    EXPECT_TRUE(ZF_());
    call(0x0B00);
    EXPECT_EQ(AL, 0);
}

TEST_F(Int21Test, BufferedInputEditsAndCounts)
{
    type("abc\bd");
    keybuf_put(KEY_ENTER);
    wr8(DATA_SEG, 0x100, 10);
    DX = 0x100;
    call(0x0A00);
    EXPECT_EQ(rd8(DATA_SEG, 0x101), 3);
    EXPECT_EQ(get(0x102).substr(0, 4), "abd\r");
    // Capacity 1 takes only Enter.
    type("xy");
    keybuf_put(KEY_ENTER);
    wr8(DATA_SEG, 0x200, 1);
    DX = 0x200;
    call(0x0A00);
    EXPECT_EQ(rd8(DATA_SEG, 0x201), 0);
    EXPECT_EQ(rd8(DATA_SEG, 0x202), 0x0D);
}

TEST_F(Int21Test, ReadingTheConsoleGivesALineWithCrLf)
{
    type("hi");
    keybuf_put(KEY_ENTER);
    BX = 0;
    CX = 80;
    DX = 0x100;
    call(0x3F00);
    ASSERT_FALSE(CF_());
    EXPECT_EQ(AX, 4);
    EXPECT_EQ(std::string((const char *)memptr(LIN(DATA_SEG, 0x100)), 4), "hi\r\n");
}

}  // namespace
