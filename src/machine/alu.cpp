// The arithmetic that computes its flags eagerly: shifts and rotates,
// double shifts, multiplies, divides and the BCD adjustments. Each of them
// first materialises the lazy flags and then writes FLAGS directly. Shared
// by the interpreter, host code and generated code (C linkage, cpu.h).
#include "machine/cpu.h"

#include <cstdint>
#include <type_traits>

namespace {

// Materialises the lazy flags; FLAGS is then authoritative.
uint32_t flags_now(void)
{
    lf_resolve();
    return cpu.flags;
}

// SF, ZF and PF of a result of the given width, over cleared bits.
uint32_t szp(uint32_t r, uint32_t msb, uint32_t mask)
{
    uint32_t f = 0;
    if (r & msb)
        f |= F_SF;
    if ((r & mask) == 0)
        f |= F_ZF;
    if (parity8(r))
        f |= F_PF;
    return f;
}

constexpr uint32_t F_SZP = F_SF | F_ZF | F_PF;
constexpr unsigned SHIFT_COUNT_MASK = 31;

// One operation, fixed at compile time so that only its own code is left.
template <int OP, typename T> T shift_t(T v, unsigned cnt)
{
    constexpr unsigned W = sizeof(T) * 8;
    constexpr uint64_t MASK = (T)~(T)0;
    constexpr uint32_t MSB = (uint32_t)1 << (W - 1);
    cnt &= SHIFT_COUNT_MASK;
    if (cnt == 0)
        return v;
    // SHL, SHR and SAR define all six arithmetic flags, so they need none
    // of the current ones: only the other bits of FLAGS, which stay
    // authoritative in the record while the arithmetic ones are lazy.
    constexpr bool shift = OP >= SH_SHL;
    uint32_t f;
    if constexpr (shift) {
        f = cpu.flags;
        if (cpu.lf_op != LF_NONE)
            f = (f & F_VALID) | F_ALWAYS1; // as materialising them would leave it
        cpu.lf_op = LF_NONE;
    } else {
        f = flags_now();
    }
    unsigned cf = f & F_CF, of;
    T r;
    switch (OP) {
    case SH_ROL: {
        unsigned n = cnt % W;
        r = n ? (T)((v << n) | (v >> (W - n))) : v;
        cf = r & 1;
        of = ((r >> (W - 1)) & 1) ^ cf;
        break;
    }
    case SH_ROR: {
        unsigned n = cnt % W;
        r = n ? (T)((v >> n) | (v << (W - n))) : v;
        cf = (r >> (W - 1)) & 1;
        of = ((r >> (W - 1)) ^ (r >> (W - 2))) & 1;
        break;
    }
    case SH_RCL: {
        // Rotates the (W + 1)-bit value CF:v.
        unsigned n = W == 32 ? cnt : cnt % (W + 1);
        constexpr uint64_t M = (MASK << 1) | 1;
        uint64_t x = (uint64_t)cf << W | v;
        if (n)
            x = ((x << n) | (x >> (W + 1 - n))) & M;
        r = (T)x;
        cf = (x >> W) & 1;
        of = ((r >> (W - 1)) & 1) ^ cf;
        break;
    }
    case SH_RCR: {
        unsigned n = W == 32 ? cnt : cnt % (W + 1);
        constexpr uint64_t M = (MASK << 1) | 1;
        uint64_t x = (uint64_t)cf << W | v;
        of = ((v >> (W - 1)) & 1) ^ cf;
        if (n)
            x = ((x >> n) | (x << (W + 1 - n))) & M;
        r = (T)x;
        cf = (x >> W) & 1;
        break;
    }
    case SH_SHL:
    case SH_SAL: {
        // Bit W of the widened shift is the last bit out; it is 0 for
        // counts above the width, and so is the result.
        uint64_t x = (uint64_t)v << cnt;
        r = (T)x;
        cf = (x >> W) & 1;
        of = ((r >> (W - 1)) & 1) ^ cf;
        break;
    }
    case SH_SHR:
        r = cnt >= W ? 0 : (T)(v >> cnt);
        cf = cnt > W ? 0 : (v >> (cnt - 1)) & 1;
        of = (v >> (W - 1)) & 1;
        break;
    default: { // SH_SAR: counts above the width fill with the sign
        unsigned n = cnt > W ? W : cnt;
        int64_t s = (std::make_signed_t<T>)v;
        r = (T)(s >> n);
        cf = (s >> (n - 1)) & 1;
        of = 0;
        break;
    }
    }
    f &= ~(F_CF | F_OF);
    if constexpr (shift)
        f = (f & ~(F_SZP | F_AF)) | szp(r, MSB, (uint32_t)MASK);
    cpu.flags = f | (cf ? F_CF : 0) | (of ? F_OF : 0);
    return r;
}

// Double shifts: bits of s enter d. For 16-bit operands with counts above
// 16 the bits of d come round again behind those of s.
template <typename T> T shld_t(T d, T s, unsigned cnt, bool right)
{
    constexpr unsigned W = sizeof(T) * 8;
    constexpr uint32_t MSB = (uint32_t)1 << (W - 1);
    constexpr uint32_t MASK = (T)~(T)0;
    cnt &= SHIFT_COUNT_MASK;
    if (cnt == 0)
        return d;
    uint32_t f = flags_now();
    T r;
    unsigned cf;
    if (!right) {
        // d:s:d as a 3W-bit value shifted left; the result is the top W bits.
        unsigned __int128 x = ((unsigned __int128)d << (2 * W)) | ((unsigned __int128)s << W) | d;
        x <<= cnt;
        r = (T)(x >> (2 * W));
        cf = (unsigned)(x >> (3 * W)) & 1;
    } else {
        // d:s:d with d lowest, shifted right; the result is the low W bits.
        unsigned __int128 x = ((unsigned __int128)d << (2 * W)) | ((unsigned __int128)s << W) | d;
        cf = (unsigned)(x >> (cnt - 1)) & 1;
        x >>= cnt;
        r = (T)x;
    }
    unsigned of = ((r ^ d) & MSB) != 0;
    f &= ~(F_CF | F_OF | F_SZP);
    cpu.flags = f | szp(r, MSB, MASK) | (cf ? F_CF : 0) | (of ? F_OF : 0);
    return r;
}

// MUL and IMUL: CF and OF together, SF ZF PF from the lower half.
void mul_flags(bool upper, uint32_t low, uint32_t msb, uint32_t mask)
{
    uint32_t f = flags_now() & ~(F_CF | F_OF | F_SZP);
    cpu.flags = f | szp(low, msb, mask) | (upper ? F_CF | F_OF : 0);
}

int divide_error(void)
{
    cpu_exception(0);
    return 0;
}

// SF ZF PF from AL, the other flags kept.
void flags_from_al(void)
{
    uint32_t f = flags_now() & ~F_SZP;
    cpu.flags = f | szp(AL, 0x80, 0xFF);
}

} // namespace

namespace {

template <typename T> T shift_any(int op, T v, unsigned cnt)
{
    switch (op & 7) {
    case SH_ROL: return shift_t<SH_ROL>(v, cnt);
    case SH_ROR: return shift_t<SH_ROR>(v, cnt);
    case SH_RCL: return shift_t<SH_RCL>(v, cnt);
    case SH_RCR: return shift_t<SH_RCR>(v, cnt);
    case SH_SHL: return shift_t<SH_SHL>(v, cnt);
    case SH_SHR: return shift_t<SH_SHR>(v, cnt);
    case SH_SAL: return shift_t<SH_SAL>(v, cnt);
    default: return shift_t<SH_SAR>(v, cnt);
    }
}

} // namespace

uint8_t shift8(int op, uint8_t v, unsigned cnt) { return shift_any<uint8_t>(op, v, cnt); }
uint16_t shift16(int op, uint16_t v, unsigned cnt) { return shift_any<uint16_t>(op, v, cnt); }
uint32_t shift32(int op, uint32_t v, unsigned cnt) { return shift_any<uint32_t>(op, v, cnt); }
uint16_t shld16(uint16_t d, uint16_t s, unsigned cnt) { return shld_t<uint16_t>(d, s, cnt, false); }
uint32_t shld32(uint32_t d, uint32_t s, unsigned cnt) { return shld_t<uint32_t>(d, s, cnt, false); }
uint16_t shrd16(uint16_t d, uint16_t s, unsigned cnt) { return shld_t<uint16_t>(d, s, cnt, true); }
uint32_t shrd32(uint32_t d, uint32_t s, unsigned cnt) { return shld_t<uint32_t>(d, s, cnt, true); }

void mul8(uint8_t v)
{
    AX = (uint16_t)(AL * v);
    mul_flags(AH != 0, AL, 0x80, 0xFF);
}

void mul16(uint16_t v)
{
    uint32_t p = (uint32_t)AX * v;
    AX = (uint16_t)p;
    DX = (uint16_t)(p >> 16);
    mul_flags(DX != 0, AX, 0x8000, 0xFFFF);
}

void mul32(uint32_t v)
{
    uint64_t p = (uint64_t)EAX * v;
    EAX = (uint32_t)p;
    EDX = (uint32_t)(p >> 32);
    mul_flags(EDX != 0, EAX, 0x80000000u, 0xFFFFFFFFu);
}

void imul8(uint8_t v)
{
    int16_t p = (int16_t)((int8_t)AL * (int8_t)v);
    AX = (uint16_t)p;
    mul_flags(p != (int8_t)p, AL, 0x80, 0xFF);
}

void imul16(uint16_t v)
{
    int32_t p = (int32_t)(int16_t)AX * (int16_t)v;
    AX = (uint16_t)p;
    DX = (uint16_t)((uint32_t)p >> 16);
    mul_flags(p != (int16_t)p, AX, 0x8000, 0xFFFF);
}

void imul32(uint32_t v)
{
    int64_t p = (int64_t)(int32_t)EAX * (int32_t)v;
    EAX = (uint32_t)p;
    EDX = (uint32_t)((uint64_t)p >> 32);
    mul_flags(p != (int32_t)p, EAX, 0x80000000u, 0xFFFFFFFFu);
}

uint16_t imul16_3(uint16_t a, uint16_t b)
{
    int32_t p = (int32_t)(int16_t)a * (int16_t)b;
    mul_flags(p != (int16_t)p, (uint16_t)p, 0x8000, 0xFFFF);
    return (uint16_t)p;
}

uint32_t imul32_3(uint32_t a, uint32_t b)
{
    int64_t p = (int64_t)(int32_t)a * (int32_t)b;
    mul_flags(p != (int32_t)p, (uint32_t)p, 0x80000000u, 0xFFFFFFFFu);
    return (uint32_t)p;
}

int div8(uint8_t v)
{
    if (v == 0)
        return divide_error();
    unsigned q = AX / v;
    if (q > 0xFF)
        return divide_error();
    uint8_t r = (uint8_t)(AX % v);
    AL = (uint8_t)q;
    AH = r;
    return 1;
}

int div16(uint16_t v)
{
    if (v == 0)
        return divide_error();
    uint32_t n = (uint32_t)DX << 16 | AX;
    uint32_t q = n / v;
    if (q > 0xFFFF)
        return divide_error();
    AX = (uint16_t)q;
    DX = (uint16_t)(n % v);
    return 1;
}

int div32(uint32_t v)
{
    if (v == 0)
        return divide_error();
    uint64_t n = (uint64_t)EDX << 32 | EAX;
    uint64_t q = n / v;
    if (q > 0xFFFFFFFFu)
        return divide_error();
    EAX = (uint32_t)q;
    EDX = (uint32_t)(n % v);
    return 1;
}

// Signed divisions in a wider type, so that the most negative dividend over
// -1 is an overflow to report rather than a host trap.
int idiv8(uint8_t v)
{
    int32_t d = (int8_t)v;
    if (d == 0)
        return divide_error();
    int32_t n = (int16_t)AX;
    int32_t q = n / d;
    if (q < INT8_MIN || q > INT8_MAX)
        return divide_error();
    AL = (uint8_t)q;
    AH = (uint8_t)(n % d);
    return 1;
}

int idiv16(uint16_t v)
{
    int64_t d = (int16_t)v;
    if (d == 0)
        return divide_error();
    int64_t n = (int32_t)((uint32_t)DX << 16 | AX);
    int64_t q = n / d;
    if (q < INT16_MIN || q > INT16_MAX)
        return divide_error();
    AX = (uint16_t)q;
    DX = (uint16_t)(n % d);
    return 1;
}

int idiv32(uint32_t v)
{
    __int128 d = (int32_t)v;
    if (d == 0)
        return divide_error();
    __int128 n = (int64_t)((uint64_t)EDX << 32 | EAX);
    __int128 q = n / d;
    if (q < INT32_MIN || q > INT32_MAX)
        return divide_error();
    EAX = (uint32_t)q;
    EDX = (uint32_t)(n % d);
    return 1;
}

void daa(void)
{
    uint32_t f = flags_now();
    uint8_t old_al = AL;
    bool old_cf = f & F_CF;
    f &= ~(F_CF | F_AF);
    if ((old_al & 0x0F) > 9 || (cpu.flags & F_AF)) {
        AL = (uint8_t)(AL + 6);
        f |= F_AF;
        if (old_cf || old_al > 0xF9)
            f |= F_CF;
    }
    if (old_al > 0x99 || old_cf) {
        AL = (uint8_t)(AL + 0x60);
        f |= F_CF;
    }
    cpu.flags = (f & ~F_SZP) | szp(AL, 0x80, 0xFF);
}

void das(void)
{
    uint32_t f = flags_now();
    uint8_t old_al = AL;
    bool old_cf = f & F_CF;
    f &= ~(F_CF | F_AF);
    if ((old_al & 0x0F) > 9 || (cpu.flags & F_AF)) {
        AL = (uint8_t)(AL - 6);
        f |= F_AF;
        if (old_cf || old_al < 6)
            f |= F_CF;
    }
    if (old_al > 0x99 || old_cf) {
        AL = (uint8_t)(AL - 0x60);
        f |= F_CF;
    }
    cpu.flags = (f & ~F_SZP) | szp(AL, 0x80, 0xFF);
}

void aaa(void)
{
    uint32_t f = flags_now() & ~(F_CF | F_AF);
    if ((AL & 0x0F) > 9 || (cpu.flags & F_AF)) {
        AX = (uint16_t)(AX + 0x106);
        f |= F_CF | F_AF;
    }
    AL &= 0x0F;
    cpu.flags = f;
}

void aas(void)
{
    uint32_t f = flags_now() & ~(F_CF | F_AF);
    if ((AL & 0x0F) > 9 || (cpu.flags & F_AF)) {
        AX = (uint16_t)(AX - 6);
        AH = (uint8_t)(AH - 1);
        f |= F_CF | F_AF;
    }
    AL &= 0x0F;
    cpu.flags = f;
}

int aam(uint8_t base)
{
    if (base == 0)
        return divide_error();
    uint8_t al = AL;
    AH = (uint8_t)(al / base);
    AL = (uint8_t)(al % base);
    flags_from_al();
    return 1;
}

void aad(uint8_t base)
{
    AL = (uint8_t)(AL + AH * base);
    AH = 0;
    flags_from_al();
}
