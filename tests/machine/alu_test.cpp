// The eagerly computed arithmetic: shifts and rotates at counts 0, 1, the
// width and above, double shifts, multiplies, divisions and BCD.
#include "machine_fixture.h"

namespace {

using AluTest = MachineTest;

constexpr uint32_t SHIFT_FLAGS = F_CF | F_OF | F_ZF | F_SF | F_PF;

struct ShiftCase {
    const char *name;
    int width, op;
    uint32_t value;
    unsigned count;
    uint32_t flags_in; // CF and OF before
    uint32_t result;
    uint32_t flags_out; // CF OF ZF SF PF after (bits outside are not checked)
    uint32_t check;     // which of them the row checks
};

uint32_t do_shift(int width, int op, uint32_t v, unsigned n)
{
    switch (width) {
    case 8: return shift8(op, (uint8_t)v, n);
    case 16: return shift16(op, (uint16_t)v, n);
    default: return shift32(op, v, n);
    }
}

TEST_F(AluTest, ShiftsAndRotatesFollowTheFlagTable)
{
    const ShiftCase cases[] = {
        {"SHL AL,9 of 81h", 8, SH_SHL, 0x81, 9, 0, 0x00, F_ZF | F_PF, SHIFT_FLAGS},
        {"SHL AL,8 of 01h: last bit out is bit 0", 8, SH_SHL, 0x01, 8, 0, 0x00, F_CF | F_OF | F_ZF | F_PF, SHIFT_FLAGS},
        {"SHL AX,1 of 4000h", 16, SH_SHL, 0x4000, 1, 0, 0x8000, F_OF | F_SF | F_PF, SHIFT_FLAGS},
        {"SAL = SHL", 16, SH_SAL, 0xC000, 1, 0, 0x8000, F_CF | F_SF | F_PF, SHIFT_FLAGS},
        {"SHR AX,1 of 8001h", 16, SH_SHR, 0x8001, 1, 0, 0x4000, F_CF | F_OF | F_PF, SHIFT_FLAGS},
        {"SHR AL,8 of 80h", 8, SH_SHR, 0x80, 8, 0, 0x00, F_CF | F_OF | F_ZF | F_PF, SHIFT_FLAGS},
        {"SHR AL,9 of 80h", 8, SH_SHR, 0x80, 9, 0, 0x00, F_OF | F_ZF | F_PF, SHIFT_FLAGS},
        {"SHR OF is the old top bit for any count", 16, SH_SHR, 0x8000, 4, 0, 0x0800, F_OF | F_PF, SHIFT_FLAGS},
        {"SAR AL,20 of 80h acts as 8", 8, SH_SAR, 0x80, 20, F_OF, 0xFF, F_CF | F_SF | F_PF, SHIFT_FLAGS},
        {"SAR AX,1 of 8001h", 16, SH_SAR, 0x8001, 1, 0, 0xC000, F_CF | F_SF | F_PF, SHIFT_FLAGS},
        {"ROL AL,8 of 80h: value kept, CF bit 0", 8, SH_ROL, 0x80, 8, F_CF, 0x80, F_OF, F_CF | F_OF},
        {"ROL AL,1 of 81h", 8, SH_ROL, 0x81, 1, 0, 0x03, F_CF | F_OF, F_CF | F_OF},
        {"ROR AX,4 of 1234h: OF from the two top bits", 16, SH_ROR, 0x1234, 4, 0, 0x4123, F_OF, F_CF | F_OF},
        {"ROR AL,1 of 01h", 8, SH_ROR, 0x01, 1, 0, 0x80, F_CF | F_OF, F_CF | F_OF},
        {"RCL AL,1 of 80h with CF", 8, SH_RCL, 0x80, 1, F_CF, 0x01, F_CF | F_OF, F_CF | F_OF},
        {"RCL AL,9 rotates through all 9 bits", 8, SH_RCL, 0x5A, 9, F_CF, 0x5A, F_CF | F_OF, F_CF | F_OF},
        {"RCL AL,10 = RCL 1", 8, SH_RCL, 0x80, 10, 0, 0x00, F_CF | F_OF, F_CF | F_OF},
        {"RCR AX,17 rotates through all 17 bits", 16, SH_RCR, 0x1234, 17, 0, 0x1234, 0, F_CF},
        {"RCR AL,1 of 01h, CF in: OF old top XOR old CF", 8, SH_RCR, 0x01, 1, F_CF, 0x80, F_CF | F_OF, F_CF | F_OF},
        {"RCR EAX,31 through 33 bits", 32, SH_RCR, 0x80000001, 31, 0, 0x00000005, 0, F_CF},
        {"RCL EAX,1", 32, SH_RCL, 0x80000000, 1, 0, 0x00000000, F_CF | F_OF, F_CF | F_OF},
        {"SHL EAX,31", 32, SH_SHL, 0x00000003, 31, 0, 0x80000000, F_CF | F_SF | F_PF, SHIFT_FLAGS},
    };
    for (const ShiftCase &c : cases) {
        flags_set(F_ALWAYS1 | c.flags_in);
        uint32_t r = do_shift(c.width, c.op, c.value, c.count);
        EXPECT_EQ(r, c.result) << c.name;
        EXPECT_EQ(flags_get() & c.check, c.flags_out & c.check) << c.name << ": flags " << std::hex << flags_get();
        EXPECT_EQ(cpu.lf_op, LF_NONE) << c.name;
    }
}

TEST_F(AluTest, CountsOfZeroAndThirtyTwoChangeNothing)
{
    for (unsigned n : {0u, 32u, 64u}) {
        for (int op = SH_ROL; op <= SH_SAR; op++) {
            add16(0x7FFF, 1); // lazy flags from an ADD
            uint8_t lf = cpu.lf_op;
            uint32_t before = flags_get();
            EXPECT_EQ(shift16(op, 0x1234, n), 0x1234) << op << " by " << n;
            EXPECT_EQ(cpu.lf_op, lf) << op << " by " << n;
            EXPECT_EQ(flags_get(), before) << op << " by " << n;
        }
    }
}

TEST_F(AluTest, DoubleShifts)
{
    flags_set(F_ALWAYS1 | F_AF);
    EXPECT_EQ(shld16(0x1234, 0xABCD, 4), 0x234A);
    EXPECT_TRUE(flags_get() & F_CF); // bit 12 of 1234h, the last one out
    EXPECT_TRUE(flags_get() & F_AF);  // unchanged
    EXPECT_EQ(shrd16(0x1234, 0xABCD, 4), 0xD123);
    EXPECT_FALSE(flags_get() & F_CF);
    EXPECT_TRUE(flags_get() & F_OF); // sign changed
    EXPECT_EQ(shld32(0x80000000, 0xFFFFFFFF, 1), 0x00000001u);
    EXPECT_TRUE(flags_get() & F_CF);
    EXPECT_TRUE(flags_get() & F_OF);
    add8(1, 1);
    uint32_t before = flags_get();
    EXPECT_EQ(shrd32(5, 6, 32), 5u);
    EXPECT_EQ(flags_get(), before);
}

TEST_F(AluTest, MultipliesSetCarryAndOverflowFromTheUpperHalf)
{
    AL = 0x10;
    mul8(0x10);
    EXPECT_EQ(AX, 0x0100);
    EXPECT_EQ(flags_get() & (F_CF | F_OF), F_CF | F_OF);
    AL = 0xFF;
    imul8(0x01); // -1 * 1 = -1 fits
    EXPECT_EQ(AX, 0xFFFF);
    EXPECT_EQ(flags_get() & (F_CF | F_OF), 0u);
    AX = 0x8000;
    imul16(0xFFFF); // -32768 * -1 = 32768 does not fit
    EXPECT_EQ(DX, 0x0000);
    EXPECT_EQ(AX, 0x8000);
    EXPECT_EQ(flags_get() & (F_CF | F_OF), F_CF | F_OF);
    EAX = 0xFFFFFFFF;
    mul32(0xFFFFFFFF);
    EXPECT_EQ(EDX, 0xFFFFFFFEu);
    EXPECT_EQ(EAX, 0x00000001u);
    EXPECT_EQ(imul16_3(0x0100, 0x0100), 0x0000);
    EXPECT_TRUE(flags_get() & F_CF);
    EXPECT_EQ(imul32_3(0xFFFFFFFE, 3), 0xFFFFFFFAu);
    EXPECT_FALSE(flags_get() & F_CF);
}

TEST_F(AluTest, DivisionsAndTheirOverflows)
{
    set_vector(0, 0x0000, 0x0600);
    CS = 0x1000;
    IP = 0x0100;
    SS = 0x3000;
    SP = 0xFFF0;
    struct { const char *name; int (*fn)(); int ok; } cases[] = {
        {"DIV 8 by zero", [] { AX = 5; return div8(0); }, 0},
        {"DIV 8 quotient too big", [] { AX = 0x0200; return div8(2); }, 0},
        {"DIV 8", [] { AX = 0x0107; return div8(2); }, 1},
        {"IDIV 8 -128 fits", [] { AX = (uint16_t)-256; return idiv8(2); }, 1},
        {"IDIV 8 +128 does not", [] { AX = 256; return idiv8(2); }, 0},
        {"IDIV 16 8000h:0000h by -1", [] { DX = 0x8000; AX = 0; return idiv16(0xFFFF); }, 0},
        {"IDIV 32 of the most negative by -1", [] { EDX = 0x80000000; EAX = 0; return idiv32(0xFFFFFFFF); }, 0},
        {"DIV 32", [] { EDX = 1; EAX = 0; return div32(2); }, 1},
    };
    for (auto &c : cases) {
        SP = 0xFFF0;
        CS = 0x1000;
        IP = 0x0100;
        EXPECT_EQ(c.fn(), c.ok) << c.name;
        if (!c.ok) {
            EXPECT_EQ(IP, 0x0600) << c.name;
            EXPECT_EQ(SP, 0xFFEA) << c.name;
        }
    }
    AX = 0x0107;
    div8(2);
    EXPECT_EQ(AL, 0x83);
    EXPECT_EQ(AH, 1);
    DX = 0xFFFF;
    AX = 0xFFF9; // -7
    idiv16(2);
    EXPECT_EQ(AX, 0xFFFD); // -3, remainder with the dividend's sign
    EXPECT_EQ(DX, 0xFFFF);
}

struct BcdCase {
    const char *name;
    void (*fn)();
    uint16_t ax;
    uint32_t flags_in;
    uint16_t ax_out;
    uint32_t cf_af_out;
};

TEST_F(AluTest, DecimalAdjustments)
{
    const BcdCase cases[] = {
        {"DAA 9Ah", daa, 0x009A, 0, 0x0000, F_CF | F_AF},
        {"DAA 15h", daa, 0x0015, 0, 0x0015, 0},
        {"DAA 0Fh", daa, 0x000F, 0, 0x0015, F_AF},
        {"DAA with CF", daa, 0x0012, F_CF, 0x0072, F_CF},
        {"DAS 00h with CF", das, 0x0000, F_CF, 0x00A0, F_CF},
        {"DAS 1Fh", das, 0x001F, 0, 0x0019, F_AF},
        {"AAA 09h", aaa, 0x0009, 0, 0x0009, 0},
        {"AAA 0Ah", aaa, 0x000A, 0, 0x0100, F_CF | F_AF},
        {"AAA FAh carries into AH", aaa, 0x00FA, 0, 0x0200, F_CF | F_AF},
        {"AAA with AF", aaa, 0x0003, F_AF, 0x0109, F_CF | F_AF},
        {"AAS 0200h with AF", aas, 0x0200, F_AF, 0x000A, F_CF | F_AF},
        {"AAS 05h", aas, 0x0105, 0, 0x0105, 0},
    };
    for (const BcdCase &c : cases) {
        AX = c.ax;
        flags_set(F_ALWAYS1 | c.flags_in);
        c.fn();
        EXPECT_EQ(AX, c.ax_out) << c.name;
        EXPECT_EQ(flags_get() & (F_CF | F_AF), c.cf_af_out) << c.name;
    }
    AX = 0x003F;
    EXPECT_EQ(aam(10), 1);
    EXPECT_EQ(AX, 0x0603);
    AX = 0x0603;
    aad(10);
    EXPECT_EQ(AX, 0x003F);
    AX = 0x0000;
    aad(16);
    EXPECT_TRUE(flags_get() & F_ZF);
    AX = 0x00FF;
    EXPECT_EQ(aam(16), 1);
    EXPECT_EQ(AX, 0x0F0F);
}

} // namespace
