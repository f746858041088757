// Generated modules are C compiled in memory by TinyCC against the same
// headers: the CPU record must have one layout on both sides, and the inline
// accessors and flag primitives must mean the same thing.
#include "machine/cpu.h"
#include "machine/hle.h"

#include <gtest/gtest.h>
#include <libtcc.h>

#include <cstddef>
#include <cstring>

namespace {

const char module_src[] = R"(
#include "machine/hle.h"
#include <stddef.h>

void layout(unsigned *out)
{
    out[0] = sizeof(CPU);
    out[1] = offsetof(CPU, seg);
    out[2] = offsetof(CPU, ip);
    out[3] = offsetof(CPU, flags);
    out[4] = offsetof(CPU, lf_a);
    out[5] = offsetof(CPU, lf_op);
    out[6] = offsetof(CPU, lf_cin);
    out[7] = offsetof(CPU, fpu);
    out[8] = offsetof(CPU, icount);
    out[9] = sizeof(FPU);
    out[10] = offsetof(FPU, cw);
    out[11] = offsetof(FPU, top);
}

unsigned arith(void)
{
    AL = add8(AL, 0xFF);
    BX = rd16(0x1000, 0xFFFF);
    wr32(0x1000, 0x10, 0xA1B2C3D4);
    return flags_get();
}
)";

void tcc_error_to_test(void *, const char *msg)
{
    ADD_FAILURE() << msg;
}

struct Module {
    TCCState *s = nullptr;
    ~Module() { if (s) tcc_delete(s); }
    void *sym(const char *name) { return tcc_get_symbol(s, name); }
};

void build(Module &m)
{
    m.s = tcc_new();
    ASSERT_NE(m.s, nullptr);
    tcc_set_error_func(m.s, nullptr, tcc_error_to_test);
    tcc_set_output_type(m.s, TCC_OUTPUT_MEMORY);
    tcc_add_include_path(m.s, HALVERD_SOURCE_DIR "/src");
    const struct {
        const char *name;
        void *addr;
    } symbols[] = {
        {"cpu", &cpu}, {"mem_page", mem_page}, {"mem_write_watch", mem_write_watch},
        {"flags_get", (void *)flags_get}, {"io_mem_rd8", (void *)io_mem_rd8},
        {"mem_rd16l_slow", (void *)mem_rd16l_slow}, {"mem_rd32l_slow", (void *)mem_rd32l_slow},
        {"mem_wr8l_slow", (void *)mem_wr8l_slow}, {"mem_wr16l_slow", (void *)mem_wr16l_slow},
        {"mem_wr32l_slow", (void *)mem_wr32l_slow}, {"mem_rd16_wrap", (void *)mem_rd16_wrap},
        {"mem_wr16_wrap", (void *)mem_wr16_wrap}, {"mem_rd32_wrap", (void *)mem_rd32_wrap},
        {"mem_wr32_wrap", (void *)mem_wr32_wrap},
    };
    for (const auto &sym : symbols)
        tcc_add_symbol(m.s, sym.name, sym.addr);
    ASSERT_EQ(tcc_compile_string(m.s, module_src), 0);
    ASSERT_GE(tcc_relocate(m.s, TCC_RELOCATE_AUTO), 0);
}

TEST(CpuContract, RecordLayoutIsTheSameForTinyCc)
{
    Module m;
    build(m);
    auto layout = reinterpret_cast<void (*)(unsigned *)>(m.sym("layout"));
    ASSERT_NE(layout, nullptr);
    unsigned got[12];
    layout(got);
    const unsigned want[12] = {
        sizeof(CPU), offsetof(CPU, seg), offsetof(CPU, ip), offsetof(CPU, flags),
        offsetof(CPU, lf_a), offsetof(CPU, lf_op), offsetof(CPU, lf_cin), offsetof(CPU, fpu),
        offsetof(CPU, icount), sizeof(FPU), offsetof(FPU, cw), offsetof(FPU, top),
    };
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(got[i], want[i]) << "field " << i;
}

TEST(CpuContract, CompiledPrimitivesShareTheMachineState)
{
    Module m;
    build(m);
    auto arith = reinterpret_cast<unsigned (*)(void)>(m.sym("arith"));
    ASSERT_NE(arith, nullptr);
    machine_init();
    AL = 1;
    wr8l(0x1FFFF, 0x34);    // 1000:FFFF
    wr8l(0x10000, 0x12);    // 1000:0000: the word wraps inside the segment
    unsigned f = arith();
    EXPECT_EQ(AL, 0);
    EXPECT_EQ(f & F_ARITH, F_CF | F_ZF | F_AF | F_PF);
    EXPECT_EQ(BX, 0x1234);
    EXPECT_EQ(rd32(0x1000, 0x10), 0xA1B2C3D4u);
    EXPECT_TRUE(ZF_());     // the lazy state it left is read by this side
}

}
