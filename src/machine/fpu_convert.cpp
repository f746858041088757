// Conversions between the x87 registers (host extended reals, the x87's own
// 80-bit format) and the memory operands: single, double and extended
// reals, 16-, 32- and 64-bit integers and the packed decimal of FBSTP.
// Every multi-byte access goes through the segment:offset accessors, so an
// operand that runs past offset FFFFh continues at offset 0 of the segment.
#include "machine/fpu.h"

#include <cmath>
#include <cstring>

enum : uint16_t {
    EXT_SIGN = 0x8000,          // sign bit of the sign/exponent word
    EXT_EXP_MASK = 0x7FFF,
    EXT_EXP_SPECIAL = 0x7FFF,   // infinities and NaNs
    EXT_BIAS = 16383,
    // value = mantissa * 2^(exponent - EXT_SCALE): the bias plus the 63
    // fraction bits below the explicit integer bit
    EXT_SCALE = EXT_BIAS + 63,
    EXT_DENORMAL_EXP = 1,       // exponent 0 scales like exponent 1
};

static const uint64_t EXT_INT_BIT = 0x8000000000000000ull;
static const uint64_t EXT_FRACTION = 0x7FFFFFFFFFFFFFFFull;
static const uint64_t EXT_QNAN = 0xC000000000000000ull;     // the indefinite's mantissa

static const uint16_t INT16_INDEFINITE = 0x8000;
static const uint32_t INT32_INDEFINITE = 0x80000000u;
static const uint64_t INT64_INDEFINITE = 0x8000000000000000ull;

enum {
    BCD_BYTES = 10,             // 9 bytes of two digits each, then the sign byte
    BCD_DIGIT_BYTES = 9,
    BCD_SIGN = 0x80,
};
// The packed-decimal indefinite: sign byte and byte 8 all ones, C0h in byte 7.
static const uint8_t BCD_INDEFINITE[BCD_BYTES] = { 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0xFF };
static const long double BCD_LIMIT = 1e18L;     // 18 digits

static uint16_t at(uint16_t off, int k) { return (uint16_t)(off + k); }

long double fpu_ext(uint16_t sign_exp, uint64_t mantissa)
{
    int exp = sign_exp & EXT_EXP_MASK;
    bool neg = (sign_exp & EXT_SIGN) != 0;
    if (exp == EXT_EXP_SPECIAL) {
        if (mantissa & EXT_FRACTION)
            return __builtin_nanl("");
        return neg ? -HUGE_VALL : HUGE_VALL;
    }
    if (mantissa == 0)
        return neg ? -0.0L : 0.0L;
    // Denormals (exponent 0) share the scale of the smallest normal exponent;
    // unnormals simply come out normalised.
    long double v = ldexpl((long double)mantissa, (exp ? exp : EXT_DENORMAL_EXP) - EXT_SCALE);
    return neg ? -v : v;
}

// Splits v into the 80-bit fields: NaNs become the indefinite pattern with
// their sign, values below the smallest normal keep the denormal encoding.
static void ext_fields(long double v, uint16_t *sign_exp, uint64_t *mantissa)
{
    uint16_t sign = std::signbit(v) ? EXT_SIGN : 0;
    if (std::isnan(v)) {
        *sign_exp = sign | EXT_EXP_SPECIAL;
        *mantissa = EXT_QNAN;
    } else if (std::isinf(v)) {
        *sign_exp = sign | EXT_EXP_SPECIAL;
        *mantissa = EXT_INT_BIT;
    } else if (v == 0) {
        *sign_exp = sign;
        *mantissa = 0;
    } else {
        int e;
        long double f = frexpl(fabsl(v), &e);      // |v| = f * 2^e, 0.5 <= f < 1
        int biased = e - 1 + EXT_BIAS;
        if (biased >= EXT_DENORMAL_EXP) {
            *sign_exp = (uint16_t)(sign | biased);
            *mantissa = (uint64_t)ldexpl(f, 64);
        } else {
            *sign_exp = sign;
            *mantissa = (uint64_t)ldexpl(fabsl(v), EXT_SCALE - EXT_DENORMAL_EXP);
        }
    }
}

long double fpu_round(long double x, int rc)
{
    if (!std::isfinite(x))
        return x;
    long double r;
    switch (rc) {
    case RC_DOWN: r = floorl(x); break;
    case RC_UP: r = ceill(x); break;
    case RC_ZERO: r = truncl(x); break;
    default: {
        // Nearest, ties to even. The fraction x - floor(x) is exact.
        r = floorl(x);
        long double d = x - r;
        if (d > 0.5L || (d == 0.5L && fmodl(r, 2.0L) != 0))
            r += 1;
        break;
    }
    }
    return r == 0 ? copysignl(0.0L, x) : r;
}

long double rd_real(int type, uint16_t seg, uint16_t off)
{
    switch (type) {
    case FPU_SINGLE: {
        uint32_t bits = rd32(seg, off);
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    case FPU_DOUBLE: {
        uint64_t bits = rd32(seg, off) | (uint64_t)rd32(seg, at(off, 4)) << 32;
        double d;
        memcpy(&d, &bits, sizeof d);
        return d;
    }
    case FPU_INT16: return (int16_t)rd16(seg, off);
    case FPU_INT32: return (int32_t)rd32(seg, off);
    case FPU_INT64: return (int64_t)(rd32(seg, off) | (uint64_t)rd32(seg, at(off, 4)) << 32);
    default: {
        uint64_t m = rd32(seg, off) | (uint64_t)rd32(seg, at(off, 4)) << 32;
        return fpu_ext(rd16(seg, at(off, 8)), m);
    }
    }
}

static void wr64(uint16_t seg, uint16_t off, uint64_t v)
{
    wr32(seg, off, (uint32_t)v);
    wr32(seg, at(off, 4), (uint32_t)(v >> 32));
}

void wr_real(int type, uint16_t seg, uint16_t off, long double v)
{
    switch (type) {
    case FPU_SINGLE: {
        float f = (float)v;
        uint32_t bits;
        memcpy(&bits, &f, sizeof bits);
        wr32(seg, off, bits);
        break;
    }
    case FPU_DOUBLE: {
        double d = (double)v;
        uint64_t bits;
        memcpy(&bits, &d, sizeof bits);
        wr64(seg, off, bits);
        break;
    }
    // Integers: rounded first, then range-checked; a NaN fails every
    // comparison and so also becomes the indefinite.
    case FPU_INT16: {
        long double r = fpu_round(v, fpu_rc());
        wr16(seg, off, r >= INT16_MIN && r <= INT16_MAX ? (uint16_t)(int16_t)r : INT16_INDEFINITE);
        break;
    }
    case FPU_INT32: {
        long double r = fpu_round(v, fpu_rc());
        wr32(seg, off, r >= INT32_MIN && r <= INT32_MAX ? (uint32_t)(int32_t)r : INT32_INDEFINITE);
        break;
    }
    case FPU_INT64: {
        long double r = fpu_round(v, fpu_rc());
        const long double two63 = 9223372036854775808.0L;
        wr64(seg, off, r >= -two63 && r < two63 ? (uint64_t)(int64_t)r : INT64_INDEFINITE);
        break;
    }
    default: {
        uint16_t se;
        uint64_t m;
        ext_fields(v, &se, &m);
        wr64(seg, off, m);
        wr16(seg, at(off, 8), se);
        break;
    }
    }
}

void wr_bcd(uint16_t seg, uint16_t off, long double v)
{
    long double r = fpu_round(v, fpu_rc());
    if (!(fabsl(r) < BCD_LIMIT)) {
        for (int k = 0; k < BCD_BYTES; k++)
            wr8(seg, at(off, k), BCD_INDEFINITE[k]);
        return;
    }
    uint64_t u = (uint64_t)fabsl(r);
    for (int k = 0; k < BCD_DIGIT_BYTES; k++) {
        wr8(seg, at(off, k), (uint8_t)(u % 10 | (u / 10 % 10) << 4));
        u /= 100;
    }
    wr8(seg, at(off, BCD_DIGIT_BYTES), std::signbit(r) ? BCD_SIGN : 0);
}
