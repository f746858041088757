// The libraries the player is built on work as linked here: TinyCC finds its
// run-time library and runs code it compiled, Capstone decodes 16-bit code,
// and the SDL that was linked is the one whose headers were compiled against.
#include <SDL3/SDL.h>
#include <capstone/capstone.h>
#include <libtcc.h>

#include <gtest/gtest.h>

TEST(Dependencies, TinyCcCompilesAndRunsCodeInMemory)
{
    TCCState *s = tcc_new();
    ASSERT_NE(s, nullptr);
    tcc_set_output_type(s, TCC_OUTPUT_MEMORY);
    // The division of 64-bit values needs TinyCC's own run-time library.
    ASSERT_EQ(tcc_compile_string(s, "long long quarter(long long x) { return x / 4; }"), 0);
    ASSERT_GE(tcc_relocate(s, TCC_RELOCATE_AUTO), 0);
    auto quarter = reinterpret_cast<long long (*)(long long)>(tcc_get_symbol(s, "quarter"));
    ASSERT_NE(quarter, nullptr);
    EXPECT_EQ(quarter(0x400000000LL), 0x100000000LL);
    tcc_delete(s);
}

TEST(Dependencies, CapstoneDecodesRealModeCode)
{
    csh handle;
    ASSERT_EQ(cs_open(CS_ARCH_X86, CS_MODE_16, &handle), CS_ERR_OK);
    const uint8_t code[] = {0xB8, 0x34, 0x12, 0xCD, 0x21};  // mov ax,1234h; int 21h
    cs_insn *insn = nullptr;
    size_t count = cs_disasm(handle, code, sizeof code, 0x100, 0, &insn);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(insn[0].size, 3);
    EXPECT_STREQ(insn[0].mnemonic, "mov");
    EXPECT_STREQ(insn[0].op_str, "ax, 0x1234");
    EXPECT_STREQ(insn[1].mnemonic, "int");
    EXPECT_EQ(insn[1].address, 0x103u);
    cs_free(insn, count);
    cs_close(&handle);
}

TEST(Dependencies, LinkedSdlMatchesItsHeaders)
{
    EXPECT_EQ(SDL_VERSIONNUM_MAJOR(SDL_GetVersion()), SDL_MAJOR_VERSION);
    EXPECT_GE(SDL_GetVersion(), SDL_VERSION);
}
