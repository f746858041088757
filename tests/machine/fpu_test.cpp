// The x87: every register and memory form through fpu_exec, the memory
// formats bit for bit, rounding, condition codes, the environment and the
// floating-point emulator interrupts.
#include "machine/fpu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr uint16_t C0 = 0x0100, C1 = 0x0200, C2 = 0x0400, C3 = 0x4000;
constexpr uint16_t CC_ALL = C0 | C1 | C2 | C3;
constexpr uint16_t TOP_SHIFT = 11;

constexpr uint16_t DSEG = 0x1000;       // segment of the memory operands
constexpr uint16_t OPND = 0x0100;       // operand under test
constexpr uint16_t SCRATCH = 0x0800;    // where helpers stage their values
constexpr uint8_t MOD_MEM = 0x06;       // a ModRM memory form (mod 0); fpu_exec only looks at mod

constexpr uint8_t ESC_D8 = 0xD8, ESC_D9 = 0xD9, ESC_DA = 0xDA, ESC_DB = 0xDB;
constexpr uint8_t ESC_DC = 0xDC, ESC_DD = 0xDD, ESC_DE = 0xDE, ESC_DF = 0xDF;

using Bytes = std::vector<uint8_t>;

void mem_op(uint8_t op, int reg, uint16_t off = OPND) { fpu_exec(op, (uint8_t)(reg << 3 | MOD_MEM), DSEG, off); }
void reg_op(uint8_t op, uint8_t modrm) { fpu_exec(op, modrm, 0, 0); }

void put_bytes(uint16_t seg, uint16_t off, const Bytes &b)
{
    for (size_t k = 0; k < b.size(); k++)
        wr8(seg, (uint16_t)(off + k), b[k]);
}

Bytes get_bytes(uint16_t seg, uint16_t off, size_t n)
{
    Bytes b(n);
    for (size_t k = 0; k < n; k++)
        b[k] = rd8(seg, (uint16_t)(off + k));
    return b;
}

template <typename T> Bytes bytes_of(T v)
{
    Bytes b(sizeof v);
    memcpy(b.data(), &v, sizeof v);
    return b;
}

// The host long double is the x87's 80-bit format: its first ten bytes.
Bytes ext_bytes(long double v)
{
    Bytes b = bytes_of(v);
    b.resize(10);
    return b;
}

Bytes ext(uint16_t sign_exp, uint64_t mantissa)
{
    Bytes b = bytes_of(mantissa);
    b.push_back((uint8_t)sign_exp);
    b.push_back((uint8_t)(sign_exp >> 8));
    return b;
}

// FLD m80r of v.
void ld(long double v)
{
    put_bytes(DSEG, SCRATCH, ext_bytes(v));
    mem_op(ESC_DB, 5, SCRATCH);
}

long double st(int i) { return cpu.fpu.st[(cpu.fpu.top + i) & 7]; }
int tag(int i) { return (cpu.fpu.tw >> (((cpu.fpu.top + i) & 7) * 2)) & 3; }
uint16_t cc() { return cpu.fpu.sw & CC_ALL; }

void set_rc(int rc)
{
    put_bytes(DSEG, SCRATCH, bytes_of((uint16_t)(0x037F | rc << 10)));
    mem_op(ESC_D9, 5, SCRATCH);             // FLDCW
}

// Sets C3 C2 C0 (and C1 untouched) with a compare against a NaN, so that a
// later instruction's clearing of C2 is visible.
void set_c3_c2_c0(void)
{
    ld(NAN);
    reg_op(ESC_DD, 0xE8 | 0);               // FUCOMP ST(0)
}

class FpuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&cpu, 0, sizeof cpu);
        cpu.flags = 0x202;
        mem_init();
        fpu_reset();
    }
};

// ---- Memory formats -------------------------------------------------------

struct LoadStoreCase {
    const char *name;
    uint8_t load_op;
    int load_reg;
    uint8_t store_op;                       // the popping store
    int store_reg;
    Bytes image;
    long double value;
};

TEST_F(FpuTest, LoadThenPoppingStoreOfEveryType)
{
    const LoadStoreCase cases[] = {
        { "m32r", ESC_D9, 0, ESC_D9, 3, bytes_of(1.5f), 1.5L },
        { "m64r", ESC_DD, 0, ESC_DD, 3, bytes_of(-2.25), -2.25L },
        { "m16i", ESC_DF, 0, ESC_DF, 3, bytes_of((int16_t)-1234), -1234.0L },
        { "m32i", ESC_DB, 0, ESC_DB, 3, bytes_of((int32_t)123456789), 123456789.0L },
        { "m64i", ESC_DF, 5, ESC_DF, 7, bytes_of((int64_t)-1234567890123456789LL), -1234567890123456789.0L },
        { "m80r", ESC_DB, 5, ESC_DB, 7, ext(0x4000, 0xC90FDAA22168C235ull), 3.14159265358979323851L },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        put_bytes(DSEG, OPND, c.image);
        mem_op(c.load_op, c.load_reg);
        EXPECT_EQ(cpu.fpu.top, 7);
        EXPECT_EQ(tag(0), 0);
        EXPECT_EQ(st(0), c.value);
        put_bytes(DSEG, OPND, Bytes(c.image.size(), 0xAA));
        mem_op(c.store_op, c.store_reg);
        EXPECT_EQ(get_bytes(DSEG, OPND, c.image.size()), c.image);
        EXPECT_EQ(cpu.fpu.top, 0);
        EXPECT_EQ(cpu.fpu.tw, 0xFFFF);
    }
}

TEST_F(FpuTest, NonPoppingStoresKeepTheStack)
{
    struct { const char *name; uint8_t op; Bytes expect; } cases[] = {
        { "FST m32r", ESC_D9, bytes_of(-6.5f) },
        { "FIST m32i", ESC_DB, bytes_of((int32_t)-6) },    // -6.5 to nearest even
        { "FST m64r", ESC_DD, bytes_of(-6.5) },
        { "FIST m16i", ESC_DF, bytes_of((int16_t)-6) },
    };
    ld(-6.5L);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mem_op(c.op, 2);
        EXPECT_EQ(get_bytes(DSEG, OPND, c.expect.size()), c.expect);
        EXPECT_EQ(cpu.fpu.top, 7);
        EXPECT_EQ(st(0), -6.5L);
    }
}

TEST_F(FpuTest, ExtendedRoundTrips)
{
    struct { const char *name; Bytes in, out; } cases[] = {
        { "pi", ext(0x4000, 0xC90FDAA22168C235ull), ext(0x4000, 0xC90FDAA22168C235ull) },
        { "negative", ext(0xBFFE, 0xAAAAAAAAAAAAAAABull), ext(0xBFFE, 0xAAAAAAAAAAAAAAABull) },
        { "+0", ext(0x0000, 0), ext(0x0000, 0) },
        { "-0", ext(0x8000, 0), ext(0x8000, 0) },
        { "+inf", ext(0x7FFF, 0x8000000000000000ull), ext(0x7FFF, 0x8000000000000000ull) },
        { "-inf", ext(0xFFFF, 0x8000000000000000ull), ext(0xFFFF, 0x8000000000000000ull) },
        { "largest", ext(0x7FFE, 0xFFFFFFFFFFFFFFFFull), ext(0x7FFE, 0xFFFFFFFFFFFFFFFFull) },
        { "smallest normal", ext(0x0001, 0x8000000000000000ull), ext(0x0001, 0x8000000000000000ull) },
        { "denormal", ext(0x8000, 0x0000000000000001ull), ext(0x8000, 0x0000000000000001ull) },
        { "large denormal", ext(0x0000, 0x7FFFFFFFFFFFFFFFull), ext(0x0000, 0x7FFFFFFFFFFFFFFFull) },
        // Non-canonical encodings come back normalised.
        { "pseudo-denormal", ext(0x0000, 0x8000000000000000ull), ext(0x0001, 0x8000000000000000ull) },
        { "unnormal 1.0", ext(0x4000, 0x4000000000000000ull), ext(0x3FFF, 0x8000000000000000ull) },
        // NaNs lose sign and payload and come back as the quiet indefinite.
        { "quiet NaN", ext(0x7FFF, 0xC000000000001234ull), ext(0x7FFF, 0xC000000000000000ull) },
        { "negative NaN", ext(0xFFFF, 0xC000000000000000ull), ext(0x7FFF, 0xC000000000000000ull) },
        { "signalling NaN", ext(0x7FFF, 0x8000000000000001ull), ext(0x7FFF, 0xC000000000000000ull) },
        { "pseudo-NaN", ext(0x7FFF, 0x4000000000000000ull), ext(0x7FFF, 0xC000000000000000ull) },
        { "pseudo-infinity", ext(0xFFFF, 0x0000000000000000ull), ext(0xFFFF, 0x8000000000000000ull) },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        put_bytes(DSEG, OPND, c.in);
        mem_op(ESC_DB, 5);
        mem_op(ESC_DB, 7);
        EXPECT_EQ(get_bytes(DSEG, OPND, 10), c.out);
    }
}

TEST_F(FpuTest, DenormalLoadsKeepTheirValue)
{
    put_bytes(DSEG, OPND, ext(0x0000, 1));
    mem_op(ESC_DB, 5);
    EXPECT_EQ(st(0), ldexpl(1.0L, -16445));
    put_bytes(DSEG, OPND, bytes_of(0x00000001u));       // smallest single denormal
    mem_op(ESC_D9, 0);
    EXPECT_EQ(st(0), ldexpl(1.0L, -149));
}

TEST_F(FpuTest, OperandsWrapInsideTheSegment)
{
    const Bytes pi = ext(0x4000, 0xC90FDAA22168C235ull);
    ld(3.14159265358979323851L);
    mem_op(ESC_DB, 7, 0xFFFA);              // FSTP m80r over the segment end
    EXPECT_EQ(get_bytes(DSEG, 0xFFFA, 6), Bytes(pi.begin(), pi.begin() + 6));
    EXPECT_EQ(get_bytes(DSEG, 0x0000, 4), Bytes(pi.begin() + 6, pi.end()));
    EXPECT_EQ(rd8l(LIN(DSEG, 0xFFFF) + 1), 0);  // nothing spilled into the next linear bytes
    mem_op(ESC_DB, 5, 0xFFFA);
    EXPECT_EQ(st(0), 3.14159265358979323851L);

    put_bytes(DSEG, 0xFFFD, { 0, 0, 0 });
    put_bytes(DSEG, 0x0000, { 0, 0, 0, 0x10, 0xC0 });      // -4.0 as a double at FFFDh
    mem_op(ESC_DD, 0, 0xFFFD);
    EXPECT_EQ(st(0), -4.0L);
}

// ---- Integer stores and rounding -----------------------------------------

struct IntStoreCase {
    long double value;
    int rc;
    int bits;                               // 16, 32 or 64
    uint64_t expect;
};

TEST_F(FpuTest, IntegerStoresRoundByRc)
{
    const IntStoreCase cases[] = {
        { 40000.0L, 0, 16, 0x8000 },
        { -2.5L, 0, 16, (uint16_t)-2 },
        { -2.5L, 1, 16, (uint16_t)-3 },
        { -2.5L, 2, 16, (uint16_t)-2 },
        { -2.5L, 3, 16, (uint16_t)-2 },
        { 2.5L, 0, 16, 2 },
        { 3.5L, 0, 16, 4 },
        { 2.5L, 1, 16, 2 },
        { 2.5L, 2, 16, 3 },
        { 2.7L, 3, 16, 2 },
        { -0.5L, 0, 16, 0 },
        { 32767.4L, 0, 16, 32767 },
        { 32767.5L, 0, 16, 0x8000 },        // rounds to 32768: out of range
        { -32768.9L, 3, 16, 0x8000 },       // -32768 itself
        { -32769.0L, 0, 16, 0x8000 },
        { 2147483647.5L, 3, 32, 0x7FFFFFFF },
        { 2147483647.5L, 0, 32, 0x80000000 },
        { -2147483648.0L, 0, 32, 0x80000000 },
        { -123456.75L, 1, 32, (uint32_t)-123457 },
        { 9007199254740993.0L, 0, 64, 9007199254740993ull },  // beyond a double's precision
        { -9223372036854775808.0L, 0, 64, 0x8000000000000000ull },
        { 9223372036854775808.0L, 0, 64, 0x8000000000000000ull },
        { 9223372036854775807.0L, 0, 64, 0x7FFFFFFFFFFFFFFFull },
        { NAN, 0, 16, 0x8000 },
        { NAN, 0, 32, 0x80000000 },
        { NAN, 0, 64, 0x8000000000000000ull },
        { INFINITY, 0, 32, 0x80000000 },
        { -INFINITY, 0, 16, 0x8000 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.value << " rc " << c.rc << " m" << c.bits);
        SetUp();
        set_rc(c.rc);
        ld(c.value);
        uint64_t got;
        if (c.bits == 16) {
            mem_op(ESC_DF, 3);
            got = rd16(DSEG, OPND);
        } else if (c.bits == 32) {
            mem_op(ESC_DB, 3);
            got = rd32(DSEG, OPND);
        } else {
            mem_op(ESC_DF, 7);
            got = rd32(DSEG, OPND) | (uint64_t)rd32(DSEG, OPND + 4) << 32;
        }
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(cpu.fpu.top, 0);
    }
}

TEST_F(FpuTest, TruncatingStoresIgnoreRc)
{
    const IntStoreCase cases[] = {
        { 2.7L, 0, 16, 2 },
        { -2.7L, 1, 16, (uint16_t)-2 },
        { 2.3L, 2, 32, 2 },
        { -99999.99L, 0, 32, (uint32_t)-99999 },
        { 32767.9L, 0, 16, 32767 },
        { 40000.0L, 0, 16, 0x8000 },
        { -9223372036854775807.5L, 0, 64, 0x8000000000000001ull },
        { NAN, 0, 64, 0x8000000000000000ull },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.value << " rc " << c.rc << " m" << c.bits);
        SetUp();
        set_rc(c.rc);
        ld(c.value);
        uint64_t got;
        if (c.bits == 16) {
            mem_op(ESC_DF, 1);
            got = rd16(DSEG, OPND);
        } else if (c.bits == 32) {
            mem_op(ESC_DB, 1);
            got = rd32(DSEG, OPND);
        } else {
            mem_op(ESC_DD, 1);
            got = rd32(DSEG, OPND) | (uint64_t)rd32(DSEG, OPND + 4) << 32;
        }
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(cpu.fpu.top, 0);
    }
}

TEST_F(FpuTest, FrndintRoundsByRc)
{
    struct { long double value; int rc; long double expect; } cases[] = {
        { 2.5L, 0, 2.0L }, { 3.5L, 0, 4.0L }, { -2.5L, 0, -2.0L }, { 2.50001L, 0, 3.0L },
        { -2.5L, 1, -3.0L }, { 2.5L, 1, 2.0L },
        { -2.5L, 2, -2.0L }, { 2.1L, 2, 3.0L },
        { -2.9L, 3, -2.0L }, { 2.9L, 3, 2.0L },
        { -0.3L, 0, -0.0L }, { -0.3L, 2, -0.0L }, { 0.3L, 1, 0.0L },
        { 1e30L, 0, 1e30L }, { INFINITY, 0, INFINITY },
        { 4611686018427387904.5L, 0, 4611686018427387904.0L },   // 2^62 + 0.5: tie, even
        { 4611686018427387905.5L, 0, 4611686018427387906.0L },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.value << " rc " << c.rc);
        SetUp();
        set_rc(c.rc);
        ld(c.value);
        reg_op(ESC_D9, 0xFC);
        EXPECT_EQ(st(0), c.expect);
        EXPECT_EQ(std::signbit(st(0)), std::signbit(c.expect));
    }
}

TEST_F(FpuTest, FbstpWritesPackedDecimal)
{
    const Bytes indefinite = { 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xFF };
    struct { long double value; int rc; Bytes expect; } cases[] = {
        { 1234567890.0L, 0, { 0x90, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0 } },
        { -12.5L, 0, { 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0x80 } },
        { -12.5L, 1, { 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0x80 } },
        { 12.5L, 2, { 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0 } },
        { 12.9L, 3, { 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0 } },
        { -0.0L, 0, { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80 } },
        { 999999999999999999.0L, 0, { 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0 } },
        { 1e18L, 0, indefinite },
        { NAN, 0, indefinite },
        { -INFINITY, 0, indefinite },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.value << " rc " << c.rc);
        SetUp();
        set_rc(c.rc);
        ld(c.value);
        mem_op(ESC_DF, 6);
        EXPECT_EQ(get_bytes(DSEG, OPND, 10), c.expect);
        EXPECT_EQ(cpu.fpu.top, 0);
    }
}

// ---- Condition codes -----------------------------------------------------

TEST_F(FpuTest, ComparesSetC3C2C0AndKeepC1)
{
    struct { long double st0, other; uint16_t expect; } cases[] = {
        { 1.0L, 2.0L, C0 },
        { 3.0L, 2.0L, 0 },
        { 2.0L, 2.0L, C3 },
        { -0.0L, 0.0L, C3 },
        { 1.0L, NAN, C3 | C2 | C0 },
        { NAN, 1.0L, C3 | C2 | C0 },
        { -INFINITY, -1e4000L, C0 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.st0 << " vs " << (double)c.other);
        SetUp();
        cpu.fpu.sw = C1 | C2;               // C2 must be rewritten, C1 kept
        ld(c.other);
        ld(c.st0);
        reg_op(ESC_D8, 0xD1);               // FCOM ST(1)
        EXPECT_EQ(cc(), c.expect | C1);
        EXPECT_EQ(cpu.fpu.top, 6);
    }
}

TEST_F(FpuTest, CompareFormsAndTheirPops)
{
    // ST(0) = 1.0, ST(1) = 2.0, operand in memory = 2.0: every form reports "less".
    struct { const char *name; uint8_t op, modrm; int type; int pops; } cases[] = {
        { "FCOM ST(1)", ESC_D8, 0xD1, -1, 0 },
        { "FCOMP ST(1)", ESC_D8, 0xD9, -1, 1 },
        { "DC FCOM", ESC_DC, 0xD1, -1, 0 },
        { "DC FCOMP", ESC_DC, 0xD9, -1, 1 },
        { "DE D0+i", ESC_DE, 0xD1, -1, 1 },
        { "FCOMPP", ESC_DE, 0xD9, -1, 2 },
        { "FUCOM", ESC_DD, 0xE1, -1, 0 },
        { "FUCOMP", ESC_DD, 0xE9, -1, 1 },
        { "FUCOMPP", ESC_DA, 0xE9, -1, 2 },
        { "FCOM m32r", ESC_D8, 2 << 3 | MOD_MEM, FPU_SINGLE, 0 },
        { "FCOMP m32r", ESC_D8, 3 << 3 | MOD_MEM, FPU_SINGLE, 1 },
        { "FICOM m32i", ESC_DA, 2 << 3 | MOD_MEM, FPU_INT32, 0 },
        { "FCOMP m64r", ESC_DC, 3 << 3 | MOD_MEM, FPU_DOUBLE, 1 },
        { "FICOMP m16i", ESC_DE, 3 << 3 | MOD_MEM, FPU_INT16, 1 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ld(2.0L);
        ld(1.0L);
        switch (c.type) {
        case FPU_SINGLE: put_bytes(DSEG, OPND, bytes_of(2.0f)); break;
        case FPU_DOUBLE: put_bytes(DSEG, OPND, bytes_of(2.0)); break;
        case FPU_INT16: put_bytes(DSEG, OPND, bytes_of((int16_t)2)); break;
        case FPU_INT32: put_bytes(DSEG, OPND, bytes_of((int32_t)2)); break;
        default: break;
        }
        fpu_exec(c.op, c.modrm, DSEG, OPND);
        EXPECT_EQ(cc(), C0);
        EXPECT_EQ(cpu.fpu.top, (6 + c.pops) & 7);
    }
}

TEST_F(FpuTest, Ftst)
{
    struct { long double v; uint16_t expect; } cases[] = {
        { -1.0L, C0 }, { 1.0L, 0 }, { -0.0L, C3 }, { NAN, C3 | C2 | C0 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((double)c.v);
        SetUp();
        ld(c.v);
        reg_op(ESC_D9, 0xE4);
        EXPECT_EQ(cc(), c.expect);
    }
}

TEST_F(FpuTest, FxamClassifies)
{
    EXPECT_EQ(cpu.fpu.tw, 0xFFFF);          // after a reset every register is empty
    reg_op(ESC_D9, 0xE5);
    EXPECT_EQ(cc(), C3 | C0);

    struct { const char *name; long double v; uint16_t expect; } cases[] = {
        { "NaN", NAN, C0 },
        { "+inf", INFINITY, C2 | C0 },
        { "-inf", -INFINITY, C1 | C2 | C0 },
        { "+0", 0.0L, C3 },
        { "-0", -0.0L, C3 | C1 },
        { "normal", 1.0L, C2 },
        { "negative normal", -3.5L, C1 | C2 },
        { "denormal", ldexpl(1.0L, -16400), C3 | C2 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ld(c.v);
        reg_op(ESC_D9, 0xE5);
        EXPECT_EQ(cc(), c.expect);
    }

    // A popped register is empty again, whatever value it still holds.
    SetUp();
    ld(-5.0L);
    mem_op(ESC_DD, 3);                      // FSTP m64r
    reg_op(ESC_D9, 0xF6);                   // FDECSTP: back onto the emptied register
    EXPECT_EQ(cpu.fpu.top, 7);
    reg_op(ESC_D9, 0xE5);
    EXPECT_EQ(cc(), C3 | C1 | C0);
}

// ---- Status, control and environment ---------------------------------------

TEST_F(FpuTest, FnstswReportsTop)
{
    ld(1.0L);
    AX = 0;
    reg_op(ESC_DF, 0xE0);                   // FNSTSW AX
    EXPECT_EQ((AX >> TOP_SHIFT) & 7, 7);
    ld(1.0L);
    reg_op(ESC_D8, 0xD1);                   // FCOM: equal
    mem_op(ESC_DD, 7);                      // FNSTSW m16
    EXPECT_EQ(rd16(DSEG, OPND), C3 | 6 << TOP_SHIFT);
}

TEST_F(FpuTest, ControlWordAndClearAndInit)
{
    put_bytes(DSEG, OPND, bytes_of((uint16_t)0x0C7F));
    mem_op(ESC_D9, 5);                      // FLDCW
    EXPECT_EQ(cpu.fpu.cw, 0x0C7F);
    mem_op(ESC_D9, 7, OPND + 2);            // FNSTCW
    EXPECT_EQ(rd16(DSEG, OPND + 2), 0x0C7F);

    cpu.fpu.sw = 0xC7FF;
    reg_op(ESC_DB, 0xE2);                   // FNCLEX
    EXPECT_EQ(cpu.fpu.sw & ~0x3800, 0x4700);

    ld(1.0L);
    reg_op(ESC_DB, 0xE3);                   // FNINIT
    EXPECT_EQ(cpu.fpu.cw, 0x037F);
    EXPECT_EQ(cpu.fpu.sw, 0);
    EXPECT_EQ(cpu.fpu.tw, 0xFFFF);
    EXPECT_EQ(cpu.fpu.top, 0);
}

TEST_F(FpuTest, EnvironmentLoadAndStore)
{
    // cw, sw with TOP = 3 and C3 C0, tw, then pointer words that are ignored.
    const Bytes env = { 0x7F, 0x0B, 0x00, 0x59, 0xFF, 0x0F, 1, 2, 3, 4, 5, 6, 7, 8 };
    put_bytes(DSEG, OPND, env);
    mem_op(ESC_D9, 4);                      // FLDENV
    EXPECT_EQ(cpu.fpu.cw, 0x0B7F);
    EXPECT_EQ(cpu.fpu.top, 3);
    EXPECT_EQ(cc(), C3 | C0);
    EXPECT_EQ(cpu.fpu.tw, 0x0FFF);
    reg_op(ESC_DF, 0xE0);
    EXPECT_EQ(AX, 0x5900);

    ld(1.0L);                               // TOP 2, physical register 2 valid
    mem_op(ESC_D9, 6, 0x0200);              // FNSTENV
    const Bytes stored = { 0x7F, 0x0B, 0x00, 0x51, 0xCF, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(get_bytes(DSEG, 0x0200, 14), stored);
}

TEST_F(FpuTest, SaveRestoreRoundTrip)
{
    const long double values[] = { 1.0L / 3, -7.25L, 1e-300L };
    for (long double v : values)
        ld(v);
    set_rc(2);
    cpu.fpu.sw = C1;
    mem_op(ESC_DD, 6, 0x0200);              // FNSAVE

    // The image: environment with TOP = 5, then ST(0) first.
    EXPECT_EQ(rd16(DSEG, 0x0200), 0x0B7F);
    EXPECT_EQ(rd16(DSEG, 0x0202), C1 | 5 << TOP_SHIFT);
    EXPECT_EQ(rd16(DSEG, 0x0204), 0x03FF);
    EXPECT_EQ(get_bytes(DSEG, 0x0206, 8), Bytes(8, 0));
    EXPECT_EQ(get_bytes(DSEG, 0x0200 + 14, 10), ext_bytes(1e-300L));
    EXPECT_EQ(get_bytes(DSEG, 0x0200 + 24, 10), ext_bytes(-7.25L));
    EXPECT_EQ(get_bytes(DSEG, 0x0200 + 34, 10), ext_bytes(1.0L / 3));

    // FNSAVE ends with FNINIT.
    EXPECT_EQ(cpu.fpu.cw, 0x037F);
    EXPECT_EQ(cpu.fpu.sw, 0);
    EXPECT_EQ(cpu.fpu.tw, 0xFFFF);
    EXPECT_EQ(cpu.fpu.top, 0);

    ld(99.0L);                              // disturb the registers
    for (auto &r : cpu.fpu.st)
        r = 0;
    mem_op(ESC_DD, 4, 0x0200);              // FRSTOR
    EXPECT_EQ(cpu.fpu.cw, 0x0B7F);
    EXPECT_EQ(cpu.fpu.top, 5);
    EXPECT_EQ(cpu.fpu.tw, 0x03FF);
    EXPECT_EQ(cc(), C1);
    EXPECT_EQ(st(0), 1e-300L);
    EXPECT_EQ(st(1), -7.25L);
    EXPECT_EQ(st(2), 1.0L / 3);
}

// ---- Register moves and arithmetic ---------------------------------------

TEST_F(FpuTest, StackMoves)
{
    ld(2.0L);
    ld(8.0L);
    reg_op(ESC_D9, 0xC1);                   // FLD ST(1)
    EXPECT_EQ(cpu.fpu.top, 5);
    EXPECT_EQ(st(0), 2.0L);
    EXPECT_EQ(st(1), 8.0L);

    reg_op(ESC_DD, 0xC3);                   // FFREE ST(3): physical 0
    reg_op(ESC_D9, 0xCB);                   // FXCH ST(3) swaps values and tags
    EXPECT_EQ(tag(0), 3);
    EXPECT_EQ(tag(3), 0);
    EXPECT_EQ(st(3), 2.0L);
    reg_op(ESC_D9, 0xCB);

    reg_op(ESC_DD, 0xD2);                   // FST ST(2)
    EXPECT_EQ(st(2), 2.0L);
    EXPECT_EQ(cpu.fpu.top, 5);
    reg_op(ESC_D9, 0xE0);                   // FCHS
    reg_op(ESC_DD, 0xD9);                   // FSTP ST(1)
    EXPECT_EQ(cpu.fpu.top, 6);
    EXPECT_EQ(st(0), -2.0L);
    reg_op(ESC_D9, 0xE1);                   // FABS
    reg_op(ESC_D9, 0xD9);                   // D9 D9: store into ST(1) and pop
    EXPECT_EQ(cpu.fpu.top, 7);
    EXPECT_EQ(st(0), 2.0L);
    EXPECT_EQ(tag(-1), 3);
}

TEST_F(FpuTest, ArithmeticOperandOrder)
{
    // Start: ST(0) = 8, ST(1) = 2; memory operands hold 2.
    struct { const char *name; uint8_t op, modrm; int type; long double st0, st1; int top; } cases[] = {
        { "FADD ST,ST1", ESC_D8, 0xC1, -1, 10, 2, 6 },
        { "FMUL ST,ST1", ESC_D8, 0xC9, -1, 16, 2, 6 },
        { "FSUB ST,ST1", ESC_D8, 0xE1, -1, 6, 2, 6 },
        { "FSUBR ST,ST1", ESC_D8, 0xE9, -1, -6, 2, 6 },
        { "FDIV ST,ST1", ESC_D8, 0xF1, -1, 4, 2, 6 },
        { "FDIVR ST,ST1", ESC_D8, 0xF9, -1, 0.25L, 2, 6 },
        { "FADD ST1,ST", ESC_DC, 0xC1, -1, 8, 10, 6 },
        { "FMUL ST1,ST", ESC_DC, 0xC9, -1, 8, 16, 6 },
        { "FSUBR ST1,ST", ESC_DC, 0xE1, -1, 8, 6, 6 },
        { "FSUB ST1,ST", ESC_DC, 0xE9, -1, 8, -6, 6 },
        { "FDIVR ST1,ST", ESC_DC, 0xF1, -1, 8, 4, 6 },
        { "FDIV ST1,ST", ESC_DC, 0xF9, -1, 8, 0.25L, 6 },
        { "FADDP", ESC_DE, 0xC1, -1, 10, 0, 7 },
        { "FMULP", ESC_DE, 0xC9, -1, 16, 0, 7 },
        { "FSUBRP", ESC_DE, 0xE1, -1, 6, 0, 7 },
        { "FSUBP", ESC_DE, 0xE9, -1, -6, 0, 7 },
        { "FDIVRP", ESC_DE, 0xF1, -1, 4, 0, 7 },
        { "FDIVP", ESC_DE, 0xF9, -1, 0.25L, 0, 7 },
        { "FADD m32r", ESC_D8, 0 << 3 | MOD_MEM, FPU_SINGLE, 10, 2, 6 },
        { "FSUB m32r", ESC_D8, 4 << 3 | MOD_MEM, FPU_SINGLE, 6, 2, 6 },
        { "FSUBR m32r", ESC_D8, 5 << 3 | MOD_MEM, FPU_SINGLE, -6, 2, 6 },
        { "FIMUL m32i", ESC_DA, 1 << 3 | MOD_MEM, FPU_INT32, 16, 2, 6 },
        { "FIDIV m32i", ESC_DA, 6 << 3 | MOD_MEM, FPU_INT32, 4, 2, 6 },
        { "FDIV m64r", ESC_DC, 6 << 3 | MOD_MEM, FPU_DOUBLE, 4, 2, 6 },
        { "FDIVR m64r", ESC_DC, 7 << 3 | MOD_MEM, FPU_DOUBLE, 0.25L, 2, 6 },
        { "FIADD m16i", ESC_DE, 0 << 3 | MOD_MEM, FPU_INT16, 10, 2, 6 },
        { "FISUBR m16i", ESC_DE, 5 << 3 | MOD_MEM, FPU_INT16, -6, 2, 6 },
        { "FIDIVR m16i", ESC_DE, 7 << 3 | MOD_MEM, FPU_INT16, 0.25L, 2, 6 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ld(2.0L);
        ld(8.0L);
        switch (c.type) {
        case FPU_SINGLE: put_bytes(DSEG, OPND, bytes_of(2.0f)); break;
        case FPU_DOUBLE: put_bytes(DSEG, OPND, bytes_of(2.0)); break;
        case FPU_INT16: put_bytes(DSEG, OPND, bytes_of((int16_t)2)); break;
        case FPU_INT32: put_bytes(DSEG, OPND, bytes_of((int32_t)2)); break;
        default: break;
        }
        fpu_exec(c.op, c.modrm, DSEG, OPND);
        EXPECT_EQ(cpu.fpu.top, c.top);
        EXPECT_EQ(st(0), c.st0);
        if (c.top == 6) {
            EXPECT_EQ(st(1), c.st1);
        } else {
            EXPECT_EQ(tag(-1), 3);
        }
    }
}

TEST_F(FpuTest, ArithmeticIsExtendedPrecision)
{
    ld(3.0L);
    ld(1.0L);
    reg_op(ESC_D8, 0xF1);                   // 1 / 3
    EXPECT_EQ(st(0), 1.0L / 3);
    EXPECT_NE(st(0), (long double)(1.0 / 3));
}

TEST_F(FpuTest, ConstantsAreCorrectlyRounded)
{
    struct { uint8_t modrm; long double expect; } cases[] = {
        { 0xE8, 1.0L },
        { 0xE9, 3.321928094887362347870319429489390175864831393L },
        { 0xEA, 1.442695040888963407359924681001892137426645954L },
        { 0xEB, 3.141592653589793238462643383279502884197169399L },
        { 0xEC, 0.301029995663981195213738894724493026768189881L },
        { 0xED, 0.693147180559945309417232121458176568075500134L },
        { 0xEE, 0.0L },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << (int)c.modrm);
        reg_op(ESC_D9, c.modrm);
        EXPECT_EQ(st(0), c.expect);
        EXPECT_FALSE(std::signbit(st(0)));
    }
    EXPECT_EQ(cpu.fpu.top, 1);
}

// ---- Transcendentals and reductions -----------------------------------------

TEST_F(FpuTest, TranscendentalsClearC2)
{
    struct { const char *name; uint8_t modrm; long double x; long double st0, st1; int top; } cases[] = {
        { "FSIN", 0xFE, 1e30L, sinl(1e30L), 0, 7 },
        { "FCOS", 0xFF, 0.5L, cosl(0.5L), 0, 7 },
        { "FPTAN", 0xF2, 0.5L, 1.0L, tanl(0.5L), 6 },
        { "FSINCOS", 0xFB, 2.0L, cosl(2.0L), sinl(2.0L), 6 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        set_c3_c2_c0();
        ld(c.x);
        reg_op(ESC_D9, c.modrm);
        EXPECT_EQ(cc() & C2, 0);
        EXPECT_EQ(cpu.fpu.top, c.top);
        EXPECT_EQ(st(0), c.st0);
        if (c.top == 6) {
            EXPECT_EQ(st(1), c.st1);
        }
    }
}

TEST_F(FpuTest, TwoOperandTranscendentals)
{
    struct { const char *name; uint8_t modrm; long double st1, st0, expect, rel; } cases[] = {
        { "FYL2X", 0xF1, 3.0L, 8.0L, 9.0L, 0 },
        { "FYL2X fraction", 0xF1, -2.0L, 0.125L, 6.0L, 0 },
        { "FPATAN", 0xF3, 1.0L, -1.0L, 3 * 3.141592653589793238462643383279502884L / 4, 1e-18L },
        { "FPATAN y over x", 0xF3, 1.0L, 0.0L, 3.141592653589793238462643383279502884L / 2, 1e-18L },
        { "FYL2XP1 small", 0xF9, 1.0L, 1e-12L, 1.44269504088824205984e-12L, 1e-17L },
        { "FYL2XP1", 0xF9, 2.0L, 1.0L, 2.0L, 1e-18L },
        { "FSCALE", 0xFD, 3.7L, 1.5L, 12.0L, 0 },
        { "FSCALE down", 0xFD, -2.9L, 1.5L, 0.375L, 0 },
        { "FSCALE huge", 0xFD, 1e10L, 1.5L, INFINITY, 0 },
        { "FSCALE tiny", 0xFD, -1e10L, 1.5L, 0.0L, 0 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ld(c.st1);
        ld(c.st0);
        reg_op(ESC_D9, c.modrm);
        bool pops = c.modrm != 0xFD;
        EXPECT_EQ(cpu.fpu.top, pops ? 7 : 6);
        if (c.rel == 0)
            EXPECT_EQ(st(0), c.expect);
        else
            EXPECT_NEAR((double)(st(0) / c.expect - 1), 0.0, (double)c.rel);
    }
}

TEST_F(FpuTest, SingleOperandFunctions)
{
    struct { const char *name; uint8_t modrm; long double x, expect, rel; } cases[] = {
        { "FSQRT", 0xFA, 2.0L, sqrtl(2.0L), 0 },
        { "FSQRT exact", 0xFA, 6.25L, 2.5L, 0 },
        { "F2XM1 -1", 0xF0, -1.0L, -0.5L, 1e-18L },
        { "F2XM1 0.5", 0xF0, 0.5L, 0.41421356237309504880168872420969808L, 1e-18L },
        { "F2XM1 tiny", 0xF0, 1e-15L, 6.931471805599455498e-16L, 1e-17L },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ld(c.x);
        reg_op(ESC_D9, c.modrm);
        if (c.rel == 0)
            EXPECT_EQ(st(0), c.expect);
        else
            EXPECT_NEAR((double)(st(0) / c.expect - 1), 0.0, (double)c.rel);
    }
}

TEST_F(FpuTest, Fxtract)
{
    struct { long double x, significand, exponent; } cases[] = {
        { 12.0L, 1.5L, 3 },
        { -0.375L, -1.5L, -2 },
        { 1.0L, 1.0L, 0 },
        { ldexpl(1.0L, -16400), 1.0L, -16400 },     // a denormal has its true exponent
        { 0.0L, 0.0L, -INFINITY },
        { -INFINITY, -INFINITY, INFINITY },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE((double)c.x);
        SetUp();
        ld(c.x);
        reg_op(ESC_D9, 0xF4);
        EXPECT_EQ(cpu.fpu.top, 6);
        EXPECT_EQ(st(0), c.significand);
        EXPECT_EQ(st(1), c.exponent);
    }
}

TEST_F(FpuTest, FpremQuotientBits)
{
    // 1e30 is an integer N in extended precision: its quotient by 3 is exact
    // in 128-bit arithmetic.
    const long double big = 1e30L;
    const unsigned __int128 n = (unsigned __int128)big;
    struct { long double x, y, rem; unsigned q; } cases[] = {
        { 17, 5, 2, 3 },
        { -17, 5, -2, 3 },
        { 17, -5, 2, 3 },
        { 13, 1, 0, 13 & 7 },
        { 7.5L, 2, 1.5L, 3 },
        { 1.0L, 3, 1.0L, 0 },
        { 44, 4, 0, 11 & 7 },
        { big, 3, (long double)(unsigned)(n % 3), (unsigned)(n / 3 & 7) },
        { 5, INFINITY, 5, 0 },
        { LDBL_MAX, LDBL_MAX / 3, 0, 3 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.x << " / " << (double)c.y);
        SetUp();
        set_c3_c2_c0();
        ld(c.y);
        ld(c.x);
        reg_op(ESC_D9, 0xF8);
        EXPECT_EQ(st(0), c.rem);
        EXPECT_EQ(st(1), c.y);
        unsigned q = (cc() & C0 ? 4 : 0) | (cc() & C3 ? 2 : 0) | (cc() & C1 ? 1 : 0);
        EXPECT_EQ(q, c.q);
        EXPECT_EQ(cc() & C2, 0);
    }
}

TEST_F(FpuTest, Fprem1RoundsTheQuotient)
{
    struct { long double x, y, rem; unsigned q; } cases[] = {
        { 17, 5, 2, 3 },
        { 18, 5, -2, 4 },
        { 7.5L, 2, -0.5L, 4 },
        { 5, 2, 1, 2 },                     // tie: quotient 2.5 goes to even
        { 7, 2, -1, 4 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << (double)c.x << " / " << (double)c.y);
        SetUp();
        set_c3_c2_c0();
        ld(c.y);
        ld(c.x);
        reg_op(ESC_D9, 0xF5);
        EXPECT_EQ(st(0), c.rem);
        unsigned q = (cc() & C0 ? 4 : 0) | (cc() & C3 ? 2 : 0) | (cc() & C1 ? 1 : 0);
        EXPECT_EQ(q, c.q);
        EXPECT_EQ(cc() & C2, 0);
    }
}

TEST_F(FpuTest, StackPointerSteps)
{
    ld(4.0L);
    reg_op(ESC_D9, 0xF7);                   // FINCSTP
    EXPECT_EQ(cpu.fpu.top, 0);
    EXPECT_EQ(tag(-1), 0);                  // the tag stays valid
    reg_op(ESC_D9, 0xF6);                   // FDECSTP
    EXPECT_EQ(cpu.fpu.top, 7);
    EXPECT_EQ(st(0), 4.0L);
}

TEST_F(FpuTest, FreeEncodingsDoNothing)
{
    ld(2.0L);
    ld(8.0L);
    const CPU before = cpu;
    struct { uint8_t op, modrm; } cases[] = {
        { ESC_D9, 0xD0 },                   // FNOP
        { ESC_D9, 0xE2 }, { ESC_D9, 0xEF },
        { ESC_DA, 0xC1 },                   // FCMOVB
        { ESC_DB, 0xE0 }, { ESC_DB, 0xE4 }, // FENI, FSETPM
        { ESC_DB, 0xF1 },                   // FCOMI
        { ESC_DE, 0xD8 },                   // DE D8 (not D9)
        { ESC_DF, 0xE8 },                   // FUCOMIP
        { ESC_DF, 0xC1 },
        { ESC_DF, 4 << 3 | MOD_MEM },       // FBLD
        { ESC_D9, 1 << 3 | MOD_MEM },
        { ESC_DD, 5 << 3 | MOD_MEM },
        { 0x90, 0xC0 },                     // not an ESC opcode
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << (int)c.op << " " << (int)c.modrm);
        fpu_exec(c.op, c.modrm, DSEG, OPND);
        EXPECT_EQ(memcmp(&cpu, &before, sizeof cpu), 0);
    }
}

// ---- Emulator interrupts ---------------------------------------------------

constexpr uint16_t CODE_SEG = 0x5000, CODE_IP = 0x0100;

class FpuEmuTest : public FpuTest {
protected:
    void SetUp() override
    {
        FpuTest::SetUp();
        CS = CODE_SEG;
        DS = 0x2000;
        SS = 0x3000;
        ES = 0x4000;
        BX = 0x0010;
        BP = 0x0020;
        SI = 0x0030;
    }
    // The bytes after the INT instruction; IP points at them.
    static void code(const Bytes &b)
    {
        put_bytes(CODE_SEG, CODE_IP, b);
        IP = CODE_IP;
    }
};

TEST_F(FpuEmuTest, LoadsThroughEveryAddressingForm)
{
    // Every case loads a marker value; its linear address proves which
    // segment and offset were used, the final IP which bytes were consumed.
    struct { const char *name; uint8_t n; Bytes after; int type; uint32_t lin; } cases[] = {
        { "3C 5D: DD with SS override", 0x3C, { 0x5D, 0x06, 0x34, 0x12 }, FPU_DOUBLE, 0x30000 + 0x1234 },
        { "3C 1D: DD with DS over [BP+8]", 0x3C, { 0x1D, 0x46, 0x08 }, FPU_DOUBLE, 0x20000 + 0x28 },
        { "3C D9: D9 with ES over [SI]", 0x3C, { 0xD9, 0x04 }, FPU_SINGLE, 0x40000 + 0x30 },
        { "3C 99: D9 with CS over [SI]", 0x3C, { 0x99, 0x04 }, FPU_SINGLE, 0x50000 + 0x30 },
        { "35: D9 [BP-10h]", 0x35, { 0x46, 0xF0 }, FPU_SINGLE, 0x30000 + 0x10 },
        { "35: D9 [BX+disp16]", 0x35, { 0x87, 0x00, 0x01 }, FPU_SINGLE, 0x20000 + 0x110 },
        { "39: DD [disp16]", 0x39, { 0x06, 0x00, 0x02 }, FPU_DOUBLE, 0x20000 + 0x200 },
        { "3B: DF FILD m16i [BX]", 0x3B, { 0x07 }, FPU_INT16, 0x20000 + 0x10 },
        { "37: DB FILD m32i [BP+SI+1]", 0x37, { 0x42, 0x01 }, FPU_INT32, 0x30000 + 0x51 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        code(c.after);
        Bytes marker;
        switch (c.type) {
        case FPU_SINGLE: marker = bytes_of(42.5f); break;
        case FPU_DOUBLE: marker = bytes_of(42.5); break;
        case FPU_INT16: marker = bytes_of((int16_t)42); break;
        default: marker = bytes_of((int32_t)42); break;
        }
        for (size_t k = 0; k < marker.size(); k++)
            wr8l(c.lin + (uint32_t)k, marker[k]);
        EXPECT_EQ(fpu_emu_int(c.n), 1);
        EXPECT_EQ(IP, CODE_IP + c.after.size());
        EXPECT_EQ(cpu.fpu.top, 7);
        EXPECT_EQ(st(0), c.type == FPU_INT16 || c.type == FPU_INT32 ? 42.0L : 42.5L);
    }
}

TEST_F(FpuEmuTest, StoresAndRegisterForms)
{
    code({ 0xC1 });                         // INT 34h: D8 C1, FADD ST, ST(1)
    ld(2.0L);
    ld(8.0L);
    EXPECT_EQ(fpu_emu_int(0x34), 1);
    EXPECT_EQ(IP, CODE_IP + 1);
    EXPECT_EQ(st(0), 10.0L);

    code({ 0x1E, 0xC1 });                   // INT 3Ch 1E: DE C1, FADDP ST(1), ST
    EXPECT_EQ(fpu_emu_int(0x3C), 1);
    EXPECT_EQ(IP, CODE_IP + 2);
    EXPECT_EQ(cpu.fpu.top, 7);
    EXPECT_EQ(st(0), 12.0L);

    code({ 0x9F, 0x1E, 0x00, 0x03 });       // INT 3Ch 9F: DF with CS, FISTP m16i [0300h]
    ld(-7.0L);
    EXPECT_EQ(fpu_emu_int(0x3C), 1);
    EXPECT_EQ(IP, CODE_IP + 4);
    EXPECT_EQ(cpu.fpu.top, 7);
    EXPECT_EQ(rd16(CODE_SEG, 0x0300), (uint16_t)-7);
}

TEST_F(FpuEmuTest, WaitAndOtherInterrupts)
{
    code({ 0xDD, 0x06, 0x00, 0x02 });
    ld(1.0L);
    const CPU before = cpu;
    EXPECT_EQ(fpu_emu_int(0x3D), 1);        // the emulator's FWAIT: nothing at all
    EXPECT_EQ(memcmp(&cpu, &before, sizeof cpu), 0);
    EXPECT_EQ(fpu_emu_int(0x33), 0);
    EXPECT_EQ(fpu_emu_int(0x3E), 0);
    EXPECT_EQ(fpu_emu_int(0x21), 0);
    EXPECT_EQ(memcmp(&cpu, &before, sizeof cpu), 0);
}

} // namespace
