// Loading programs in-process: the PSP, environment and registers a program
// starts with, load-only EXEC, overlays, VRK_FIRST_MCB and typed-ahead
// commands.
#include "dos/dos.h"

#include "machine/cpu.h"
#include "machine/hle.h"

#include "host_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string word(unsigned v)
{
    return std::string(1, (char)(v & 0xFF)) + std::string(1, (char)(v >> 8));
}

// An MZ file: 32-byte header, one relocation at image offset 1, then code.
std::string mz(unsigned min_extra, unsigned max_extra)
{
    std::string code = std::string("\xB8", 1) + word(0x0000) + std::string("\xCD\x20", 2);  // mov ax, seg; int 20h
    unsigned total = 32 + (unsigned)code.size();
    std::string h = std::string("MZ") + word(total % 512) + word((total + 511) / 512) + word(1) + word(2) +
                    word(min_extra) + word(max_extra) + word(0) + word(0x80) + word(0) + word(0) + word(0) +
                    word(0x1C) + word(0) + word(1) + word(0);  // relocation: offset 1, segment 0
    h.resize(32, '\0');
    return h + code;
}

class LoadTest : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char tmpl[] = "/tmp/halverd_loadXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        machine_init();
        dos_init(root.c_str());
    }

    void TearDown() override
    {
        unsetenv("VRK_FIRST_MCB");
        sft_reset();
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
};

TEST_F(LoadTest, ComProgramStart)
{
    spit(root + "/P.COM", std::string("\xCD\x20", 2));
    uint16_t largest = 0;
    dos_alloc(0xFFFF, 1, &largest);
    DosStart st;
    ASSERT_EQ(dos_exec("p.com", " a b", 0, 1, &st), 0);
    uint16_t psp = dos_cur_psp;
    EXPECT_EQ(st.cs, psp);
    EXPECT_EQ(st.ip, 0x100);
    EXPECT_EQ(st.sp, 0xFFFE);
    EXPECT_EQ(rd8(psp, PSP_TAIL), 4);
    EXPECT_EQ(rd8(psp, PSP_TAIL + 1), ' ');
    EXPECT_EQ(rd8(psp, 0x100), 0xCD);
    // The largest free block, less the environment's paragraphs.
    EXPECT_GE(rd16((uint16_t)(psp - 1), MCB_SIZE), largest - 8);
    std::string name;
    for (int i = 0; i < 8 && rd8((uint16_t)(psp - 1), (uint16_t)(MCB_NAME + i)); i++)
        name += (char)rd8((uint16_t)(psp - 1), (uint16_t)(MCB_NAME + i));
    EXPECT_EQ(name, "P");
    uint16_t env = rd16(psp, PSP_ENV);
    uint16_t i = 0;
    while (rd8(env, i) || rd8(env, (uint16_t)(i + 1)))
        i++;
    EXPECT_EQ(rd16(env, (uint16_t)(i + 2)), 1);
    std::string path;
    for (uint16_t k = (uint16_t)(i + 4); rd8(env, k); k++)
        path += (char)rd8(env, k);
    EXPECT_EQ(path, "C:\\P.COM");
}

TEST_F(LoadTest, MzMemoryRequestAndRelocation)
{
    spit(root + "/ALL.EXE", mz(0, 0xFFFF));
    spit(root + "/SMALL.EXE", mz(0, 0x10));
    DosStart st;
    ASSERT_EQ(dos_exec("SMALL.EXE", "", 0, 1, &st), 0);
    uint16_t psp = dos_cur_psp;
    EXPECT_EQ(rd16((uint16_t)(psp - 1), MCB_SIZE), 1 + 16 + 0x10);
    EXPECT_EQ(st.cs, psp + 0x10);
    EXPECT_EQ(rd16(st.cs, 1), psp + 0x10);      // relocated by the load segment
    uint16_t largest = 0;
    dos_alloc(0xFFFF, 1, &largest);
    EXPECT_GT(largest, 0x1000);
    ASSERT_EQ(dos_exec("ALL.EXE", "", 0, 1, &st), 0);
    dos_alloc(0xFFFF, 1, &largest);
    EXPECT_EQ(largest, 0);
}

TEST_F(LoadTest, FailedLoadsGiveEverythingBack)
{
    std::string bad = mz(0, 0xFFFF);
    bad[0x18] = (char)0xF0;                     // relocation table past the end
    spit(root + "/BAD.EXE", bad);
    spit(root + "/HUGE.EXE", mz(0xF000, 0xFFFF));
    uint16_t before = 0, after = 0;
    dos_alloc(0xFFFF, 1, &before);
    DosStart st;
    EXPECT_EQ(dos_exec("BAD.EXE", "", 0, 1, &st), DOSERR_BAD_FORMAT);
    EXPECT_EQ(dos_exec("HUGE.EXE", "", 0, 1, &st), DOSERR_NO_MEMORY);
    EXPECT_EQ(dos_exec("NONE.EXE", "", 0, 1, &st), DOSERR_FILE_NOT_FOUND);
    dos_alloc(0xFFFF, 1, &after);
    EXPECT_EQ(after, before);
}

TEST_F(LoadTest, OverlayIsRelocatedByTheFactor)
{
    spit(root + "/OVL.EXE", mz(0, 0xFFFF));
    spit(root + "/RAW.BIN", "raw bytes");
    ASSERT_EQ(dos_load_overlay("OVL.EXE", 0x3000, 0x1234), 0);
    EXPECT_EQ(rd8(0x3000, 0), 0xB8);
    EXPECT_EQ(rd16(0x3000, 1), 0x1234);
    ASSERT_EQ(dos_load_overlay("RAW.BIN", 0x3100, 0), 0);
    EXPECT_EQ(rd8(0x3100, 0), 'r');
    spit(root + "/EMPTY.BIN", "");
    EXPECT_EQ(dos_load_overlay("EMPTY.BIN", 0x3000, 0), DOSERR_BAD_FORMAT);
    spit(root + "/BIG.BIN", std::string(0x10020, (char)0x90));
    EXPECT_EQ(dos_load_overlay("BIG.BIN", 0xFFFF, 0), DOSERR_NO_MEMORY);  // past the HMA
    EXPECT_EQ(dos_load_overlay("NONE.BIN", 0x3000, 0), DOSERR_FILE_NOT_FOUND);
}

TEST_F(LoadTest, FirstMcbFromTheEnvironment)
{
    setenv("VRK_FIRST_MCB", "0700", 1);
    machine_init();
    dos_init(root.c_str());
    EXPECT_EQ(dos_first_mcb, 0x0700);
    EXPECT_EQ(rd16l(FIRST_MCB_LIN), 0x0700);
    EXPECT_EQ(master_env, 0x0701);
}

TEST_F(LoadTest, TypedAheadCommandRunsAfterTheProgram)
{
    spit(root + "/P.COM", std::string("\xCD\x20", 2));       // int 20h
    spit(root + "/Q.COM", std::string("\xB8\x09\x4C\xCD\x21", 5));  // exit 9
    const char keys[] = "Q\r";
    uint16_t at = 0x1E;
    for (const char *k = keys; *k; k++, at = (uint16_t)(at + 2)) {
        wr8(0x40, at, (uint8_t)*k);
        wr8(0x40, (uint16_t)(at + 1), 0);
    }
    wr16(0x40, 0x1A, 0x1E);
    wr16(0x40, 0x1C, at);
    EXPECT_EQ(dos_run_program("P.COM", ""), 9);
    EXPECT_EQ(rd16(0x40, 0x1A), at);            // the keys were taken
}

}  // namespace
