// The interpreter through cpu_step: lazy flags as instructions leave them,
// operand decoding, divide errors and their restart, string instructions,
// the 386 system instructions of real mode, MOV SS, the HLE escape and the
// fatal end of unimplemented opcodes.
#include "machine_fixture.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr uint16_t CODE_SEG = 0x1000, CODE_START = 0x0100, DATA_SEG = 0x2000,
                   STACK_SEG = 0x3000, STACK_TOP = 0xFFF0;
constexpr uint16_t HANDLER_SEG = 0x0000, HANDLER_OFF = 0x0600;

class InterpTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        CS = CODE_SEG;
        IP = CODE_START;
        DS = ES = DATA_SEG;
        SS = STACK_SEG;
        SP = STACK_TOP;
    }

    // Places instruction bytes at CS:IP.
    void code(std::initializer_list<uint8_t> bytes) { load(CS, IP, bytes); }

    void steps(int n)
    {
        for (int i = 0; i < n; i++)
            cpu_step();
    }
};

// ---- Lazy flags ----------------------------------------------------------

struct FlagCase {
    const char *name;
    std::function<void()> setup;
    std::vector<uint8_t> bytes;
    int steps;
    uint32_t set, clear; // flags that must read as 1 and as 0 afterwards
};

TEST_F(InterpTest, LazyFlagsReadBackAsTheProducerLeftThem)
{
    const FlagCase cases[] = {
        {"ADD AL,FFh with AL=1", [] { AL = 1; }, {0x04, 0xFF}, 1,
         F_CF | F_ZF | F_AF | F_PF, F_SF | F_OF},
        {"STC; ADC AL,FFh: carry-in with b=FFh", [] { AL = 0x5A; }, {0xF9, 0x14, 0xFF}, 2, F_CF, F_ZF},
        {"ADD makes CF, INC BX keeps it", [] { AL = 1; BX = 7; }, {0x04, 0xFF, 0x43}, 2, F_CF, F_ZF},
        {"INC keeps a clear CF", [] { AL = 1; BX = 0xFFFF; }, {0x04, 0x01, 0x43}, 2, F_ZF, F_CF},
        {"NEG 80h", [] { AL = 0x80; }, {0xF6, 0xD8}, 1, F_OF | F_CF | F_SF, F_ZF},
        {"NEG 0", [] { AL = 0; }, {0xF6, 0xD8}, 1, F_ZF, F_CF | F_OF},
        {"SUB borrow", [] { AX = 1; }, {0x2D, 0x02, 0x00}, 1, F_CF | F_SF | F_AF, F_ZF | F_OF},
        {"AND clears CF OF AF", [] { AL = 0xF0; flags_set(F_CF | F_OF | F_AF); }, {0x24, 0x0F}, 1,
         F_ZF | F_PF, F_CF | F_OF | F_AF},
        {"DEC 8000h overflows, CF kept", [] { AX = 0x8000; flags_set(F_CF); }, {0x48}, 1, F_OF | F_CF, F_SF},
    };
    for (const FlagCase &c : cases) {
        SetUp();
        c.setup();
        for (size_t i = 0; i < c.bytes.size(); i++)
            wr8(CS, (uint16_t)(IP + i), c.bytes[i]);
        steps(c.steps);
        uint32_t f = flags_get();
        EXPECT_EQ(f & c.set, c.set) << c.name << ": flags " << std::hex << f;
        EXPECT_EQ(f & c.clear, 0u) << c.name << ": flags " << std::hex << f;
    }
}

TEST_F(InterpTest, AdcWithCarryInAndFFhGivesBackTheOperand)
{
    AL = 0x5A;
    code({0xF9, 0x14, 0xFF}); // STC; ADC AL,FFh
    steps(2);
    EXPECT_EQ(AL, 0x5A);
}

TEST_F(InterpTest, PopfClearsTheReservedBitsAndSetsBitOne)
{
    push16(0x8028 | F_CF); // bits 3, 5 and 15 set
    code({0x9D});          // POPF
    steps(1);
    EXPECT_EQ(flags_get() & 0x802A, F_ALWAYS1);
    EXPECT_TRUE(flags_get() & F_CF);
}

TEST_F(InterpTest, SixteenBitPopfKeepsTheUpperHalf)
{
    flags_set(0x00040000 | F_ALWAYS1); // EFLAGS bit 18
    push16(F_ZF);
    code({0x9D});
    steps(1);
    EXPECT_EQ(flags_get(), 0x00040000u | F_ZF | F_ALWAYS1);
}

// ---- Effective addresses -------------------------------------------------

struct EaCase {
    const char *name;
    int a32, seg;
    std::vector<uint8_t> bytes; // ModRM and what follows
    uint16_t want_seg, want_off;
    unsigned length;
};

TEST_F(InterpTest, EffectiveAddressesAndTheirDefaultSegments)
{
    BP = 0x0010;
    SI = 0x0020;
    EBP = 0x00010010;
    ESI = 0x00000020;
    EBX = 0x00001000;
    DS = 0x2000;
    SS = 0x3000;
    ES = 0x4000;
    const EaCase cases[] = {
        {"[bp+si]", 0, -1, {0x02}, 0x3000, 0x0030, 1},
        {"ds:[bp+si]", 0, S_DS, {0x02}, 0x2000, 0x0030, 1},
        {"[bx+si+7Fh]", 0, -1, {0x40, 0x7F}, 0x2000, 0x109F, 2},
        {"[bp-1] wraps", 0, -1, {0x46, 0xEF}, 0x3000, 0xFFFF, 2},
        {"[1234h]", 0, -1, {0x06, 0x34, 0x12}, 0x2000, 0x1234, 3},
        {"es:[1234h]", 0, S_ES, {0x06, 0x34, 0x12}, 0x4000, 0x1234, 3},
        {"[ebp+esi+0] (SIB, EBP base)", 1, -1, {0x44, 0x35, 0x00}, 0x3000, 0x0030, 3},
        {"[ebx+ebp] (EBP index)", 1, -1, {0x04, 0x2B}, 0x2000, 0x1010, 2},
        {"[ebx+esi*4+100h]", 1, -1, {0x84, 0xB3, 0x00, 0x01, 0x00, 0x00}, 0x2000, 0x1180, 6},
        {"[12345h] wraps to 16 bits", 1, -1, {0x05, 0x45, 0x23, 0x01, 0x00}, 0x2000, 0x2345, 5},
        {"[ebp+8] (no SIB)", 1, -1, {0x45, 0x08}, 0x3000, 0x0018, 2},
        {"[esi*2] (no base)", 1, -1, {0x04, 0x75, 0x00, 0x00, 0x00, 0x00}, 0x2000, 0x0040, 6},
    };
    for (const EaCase &c : cases) {
        IP = CODE_START;
        for (size_t i = 0; i < c.bytes.size(); i++)
            wr8(CS, (uint16_t)(CODE_START + i), c.bytes[i]);
        P.a32 = c.a32;
        P.seg = c.seg;
        IP = CODE_START + 1; // decode_ea gets the ModRM byte already fetched
        EA ea;
        decode_ea(c.bytes[0], &ea);
        EXPECT_FALSE(ea.is_reg) << c.name;
        EXPECT_EQ(ea.seg, c.want_seg) << c.name;
        EXPECT_EQ(ea.off, c.want_off) << c.name;
        EXPECT_EQ(IP, CODE_START + c.length) << c.name;
    }
    P.a32 = 0;
    P.seg = -1;
    EA ea;
    decode_ea(0xC3, &ea);
    EXPECT_TRUE(ea.is_reg);
    EXPECT_EQ(ea.reg, R_BX);
}

TEST_F(InterpTest, EmulatorDecodeUsesItsOwnOverride)
{
    BX = 0x0100;
    code({0x07}); // [bx]
    P.seg = S_ES;
    uint16_t seg = 0, off = 0;
    emu_decode_ea(0x07, S_SS, &seg, &off);
    EXPECT_EQ(seg, SS);
    EXPECT_EQ(off, 0x0100);
    EXPECT_EQ(P.seg, S_ES);
}

TEST_F(InterpTest, ThirtyTwoBitOffsetAddressesTheLowHalf)
{
    wr16(DS, 0x2345, 0xBEEF);
    code({0x67, 0x8B, 0x05, 0x45, 0x23, 0x01, 0x00}); // MOV AX,[12345h] (a32)
    steps(1);
    EXPECT_EQ(AX, 0xBEEF);
    EXPECT_EQ(IP, CODE_START + 7);
}

TEST_F(InterpTest, LeaWithBothSizePrefixesKeepsTheWholeSum)
{
    EAX = 0x00012345;
    code({0x66, 0x67, 0x8D, 0x04, 0x40}); // LEA EAX,[EAX+EAX*2]
    steps(1);
    EXPECT_EQ(EAX, 0x000369CFu);
}

// ---- Divisions -----------------------------------------------------------

TEST_F(InterpTest, DivideErrorRestartsTheDivisionAfterTheHandlerFixesIt)
{
    set_vector(0, HANDLER_SEG, HANDLER_OFF);
    load(HANDLER_SEG, HANDLER_OFF, {0xB3, 0x05, 0xCF}); // MOV BL,5; IRET
    AX = 100;
    BL = 0;
    code({0xF6, 0xF3}); // DIV BL
    steps(1);
    EXPECT_EQ(CS, HANDLER_SEG);
    EXPECT_EQ(IP, HANDLER_OFF);
    EXPECT_EQ(rd16(SS, SP), CODE_START); // the frame points at the DIV
    EXPECT_EQ(rd16(SS, SP + 2), CODE_SEG);
    steps(2); // the handler
    EXPECT_EQ(CS, CODE_SEG);
    EXPECT_EQ(IP, CODE_START);
    steps(1); // the DIV again
    EXPECT_EQ(AL, 20);
    EXPECT_EQ(AH, 0);
    EXPECT_EQ(IP, CODE_START + 2);
    EXPECT_EQ(SP, STACK_TOP);
}

TEST_F(InterpTest, IdivOfTheMostNegativeDividendByMinusOneIsADivideError)
{
    set_vector(0, HANDLER_SEG, HANDLER_OFF);
    DX = 0x8000;
    AX = 0x0000;
    BX = 0xFFFF;
    code({0xF7, 0xFB}); // IDIV BX
    steps(1);
    EXPECT_EQ(IP, HANDLER_OFF);
    EXPECT_EQ(rd16(SS, SP), CODE_START);
    EXPECT_EQ(DX, 0x8000);
    EXPECT_EQ(AX, 0x0000);
}

TEST_F(InterpTest, AamByZeroIsADivideErrorAtTheAam)
{
    set_vector(0, HANDLER_SEG, HANDLER_OFF);
    code({0x2E, 0xD4, 0x00}); // CS: AAM 0 (the frame includes the prefix)
    steps(1);
    EXPECT_EQ(IP, HANDLER_OFF);
    EXPECT_EQ(rd16(SS, SP), CODE_START);
}

// ---- String instructions ---------------------------------------------------

TEST_F(InterpTest, RepeCmpsbStopsAtTheFirstDifference)
{
    load(DS, 0x0100, {'a', 'b', 'c'});
    load(ES, 0x0200, {'a', 'x', 'c'});
    SI = 0x0100;
    DI = 0x0200;
    CX = 3;
    code({0xF3, 0xA6}); // REPE CMPSB
    steps(1);
    EXPECT_EQ(CX, 1);
    EXPECT_FALSE(flags_get() & F_ZF);
    EXPECT_EQ(SI, 0x0102);
    EXPECT_EQ(DI, 0x0202);
    EXPECT_EQ(IP, CODE_START + 2);
}

TEST_F(InterpTest, RepneScasbStopsOnAMatch)
{
    load(ES, 0x0200, {1, 2, 3, 4});
    DI = 0x0200;
    CX = 4;
    AL = 3;
    code({0xF2, 0xAE}); // REPNE SCASB
    steps(1);
    EXPECT_EQ(CX, 1);
    EXPECT_TRUE(flags_get() & F_ZF);
    EXPECT_EQ(DI, 0x0203);
}

TEST_F(InterpTest, RepMovswWithDirectionFlagSetMovesDownwards)
{
    load(DS, 0x0100, {0x11, 0x11, 0x22, 0x22, 0x33, 0x33});
    SI = 0x0104;
    DI = 0x0204;
    CX = 3;
    code({0xFD, 0xF3, 0xA5}); // STD; REP MOVSW
    steps(2);
    EXPECT_EQ(rd16(ES, 0x0200), 0x1111);
    EXPECT_EQ(rd16(ES, 0x0202), 0x2222);
    EXPECT_EQ(rd16(ES, 0x0204), 0x3333);
    EXPECT_EQ(SI, 0x00FE);
    EXPECT_EQ(DI, 0x01FE);
    EXPECT_EQ(CX, 0);
}

TEST_F(InterpTest, AddressSizePrefixCountsWithEcxAndMovesAllOfEdi)
{
    ECX = 0x00010001; // CX alone would be 1
    EDI = 0x0000FFFF;
    AL = 0xAB;
    code({0x67, 0xF3, 0xAA}); // REP STOSB (a32)
    steps(1);
    EXPECT_EQ(ECX, 0u);
    EXPECT_EQ(EDI, 0x00020000u);
    EXPECT_EQ(rd8(ES, 0xFFFF), 0xAB);
    EXPECT_EQ(rd8(ES, 0x1234), 0xAB); // addressed through the low half
}

TEST_F(InterpTest, RepWithZeroCountDoesNothing)
{
    CX = 0;
    SI = 0x0100;
    DI = 0x0200;
    code({0xF3, 0xA4}); // REP MOVSB
    steps(1);
    EXPECT_EQ(SI, 0x0100);
    EXPECT_EQ(DI, 0x0200);
    EXPECT_EQ(IP, CODE_START + 2);
}

TEST_F(InterpTest, StringOpForGeneratedCodeTakesItsOwnPrefixes)
{
    load(0x5000, 0x0010, {0x42});
    FS = 0x5000;
    SI = 0x0010;
    DI = 0x0300;
    P.seg = S_ES;
    cpu_string(0xA4, 0x64, 0, 0); // FS: MOVSB
    EXPECT_EQ(rd8(ES, 0x0300), 0x42);
    EXPECT_EQ(P.seg, S_ES); // restored
}

// ---- 386 system instructions in real mode ----------------------------------

TEST_F(InterpTest, CpuidAnswersZeroEverywhere)
{
    EAX = EBX = ECX = EDX = 0x12345678;
    code({0x0F, 0xA2});
    steps(1);
    EXPECT_EQ(EAX | EBX | ECX | EDX, 0u);
}

TEST_F(InterpTest, RdtscReadsTheInstructionCount)
{
    code({0x90, 0x90, 0x0F, 0x31}); // NOP; NOP; RDTSC
    steps(3);
    EXPECT_EQ(EAX, 3u);
    EXPECT_EQ(EDX, 0u);
}

TEST_F(InterpTest, ControlRegisterMoves)
{
    EAX = 0xFFFFFFFF;
    code({0x0F, 0x20, 0xC0, 0x0F, 0x22, 0xC3}); // MOV EAX,CR0; MOV CR0,EBX
    steps(1);
    EXPECT_EQ(EAX, 0x10u);
    steps(1);
    EXPECT_EQ(IP, CODE_START + 6);
}

TEST_F(InterpTest, SmswStoresTheRealModeWord)
{
    BX = 0x0400;
    code({0x0F, 0x01, 0xE0, 0x0F, 0x01, 0x27}); // SMSW AX; SMSW [BX]
    steps(2);
    EXPECT_EQ(AX, 0xFFF0);
    EXPECT_EQ(rd16(DS, 0x0400), 0xFFF0);
}

TEST_F(InterpTest, ProtectedModeInstructionsRaiseInvalidOpcode)
{
    const std::vector<uint8_t> forms[] = {
        {0x0F, 0x00, 0xD8},             // LTR AX
        {0x0F, 0x01, 0x17},             // LGDT [BX]
        {0x0F, 0x01, 0x96, 0x34, 0x12}, // LGDT [BP+1234h]
    };
    for (const auto &f : forms) {
        SetUp();
        set_vector(6, HANDLER_SEG, HANDLER_OFF);
        for (size_t i = 0; i < f.size(); i++)
            wr8(CS, (uint16_t)(CODE_START + i), f[i]);
        steps(1);
        EXPECT_EQ(CS, HANDLER_SEG) << std::hex << (int)f[2];
        EXPECT_EQ(IP, HANDLER_OFF);
        EXPECT_EQ(rd16(SS, SP), CODE_START);
    }
}

TEST_F(InterpTest, BitTestWithARegisterOffsetReachesBeyondTheOperand)
{
    wr16(DS, 0x0102, 0x0001); // bit 16 of the string at 0100h
    BX = 0x0100;
    AX = 16;
    code({0x0F, 0xAB, 0x07}); // BTS [BX],AX
    steps(1);
    EXPECT_TRUE(flags_get() & F_CF);
    AX = 17;
    IP = CODE_START;
    steps(1);
    EXPECT_FALSE(flags_get() & F_CF);
    EXPECT_EQ(rd16(DS, 0x0102), 0x0003);
    AX = 0xFFFF; // -1: bit 15 of the word below
    IP = CODE_START;
    steps(1);
    EXPECT_EQ(rd16(DS, 0x00FE), 0x8000);
}

TEST_F(InterpTest, BitScanOfZeroSetsZfAndKeepsTheDestination)
{
    BX = 0;
    AX = 0x1234;
    code({0x0F, 0xBC, 0xC3, 0x0F, 0xBD, 0xCA}); // BSF AX,BX; BSR CX,DX
    steps(1);
    EXPECT_TRUE(flags_get() & F_ZF);
    EXPECT_EQ(AX, 0x1234);
    DX = 0x0120;
    steps(1);
    EXPECT_FALSE(flags_get() & F_ZF);
    EXPECT_EQ(CX, 8);
}

// ---- MOV SS, HLE escape ---------------------------------------------------

TEST_F(InterpTest, MovSsAndTheFollowingInstructionAreOneStep)
{
    AX = 0x4000;
    code({0x8E, 0xD0, 0xBC, 0x00, 0x80}); // MOV SS,AX; MOV SP,8000h
    steps(1);
    EXPECT_EQ(SS, 0x4000);
    EXPECT_EQ(SP, 0x8000);
    EXPECT_EQ(IP, CODE_START + 5);
    EXPECT_EQ(cpu.icount, 1u);
}

TEST_F(InterpTest, PopSsIsAnOrdinaryStep)
{
    push16(0x4000);
    code({0x17, 0xBC, 0x00, 0x80}); // POP SS; MOV SP,8000h
    steps(1);
    EXPECT_EQ(SS, 0x4000);
    EXPECT_EQ(IP, CODE_START + 1);
}

int hle_test_calls;
void hle_test_fn(void) { hle_test_calls++; }

TEST_F(InterpTest, HleEscapeCallsTheHostFunction)
{
    hle_test_calls = 0;
    uint16_t off = hle_add(hle_test_fn, 0, "interp test");
    int id = hle_id_of(off);
    code({0xFE, 0x38, (uint8_t)id, (uint8_t)(id >> 8), 0x90});
    steps(1);
    EXPECT_EQ(hle_test_calls, 1);
    EXPECT_EQ(IP, CODE_START + 4);
}

// ---- Fatal paths -----------------------------------------------------------

using InterpDeathTest = InterpTest;

TEST_F(InterpDeathTest, UnimplementedOpcodesEndTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Bad {
        std::vector<uint8_t> bytes;
        const char *message;
    };
    const Bad cases[] = {
        {{0x63, 0xC0}, "unimplemented opcode 63 00 at 1000:0100"},
        {{0xF1}, "unimplemented opcode F1 00 at 1000:0100"},
        {{0x0F, 0xFF}, "unimplemented opcode 0F FF at 1000:0100"},
        {{0x26, 0x0F, 0xB0, 0x00}, "unimplemented opcode 0F B0 at 1000:0100"},
        {{0xFE, 0x3F}, "unimplemented opcode FE 3F at 1000:0100"},
        {{0xFF, 0xF8}, "unimplemented opcode FF F8 at 1000:0100"},
    };
    for (const Bad &b : cases) {
        for (size_t i = 0; i < b.bytes.size(); i++)
            wr8(CS, (uint16_t)(CODE_START + i), b.bytes[i]);
        std::string pattern = std::string("FATAL: ") + b.message + "\n\\[fatal\\] CS:IP=1000:01";
        EXPECT_EXIT(cpu_step(), ::testing::ExitedWithCode(3), pattern) << b.message;
    }
}

} // namespace
