// The two-byte opcode map (0Fh xx): the 386 additions a real-mode program
// uses. The protected-mode system instructions raise the invalid-opcode
// interrupt as they do in real mode; everything else not listed here ends the
// run.
#include "machine/interp.h"

#include <type_traits>

namespace {

constexpr uint16_t SMSW_VALUE = 0xFFF0;     // MSW of a 286-style real-mode machine
constexpr uint32_t CR_READ_VALUE = 0x10;    // CR0 with only ET set: paging and PE off
constexpr unsigned SMSW_REG_FIELD = 4;

// 0F 00 (SLDT STR LLDT LTR VERR VERW) and 0F 01 except SMSW: the operand is
// decoded so the instruction is complete, then interrupt 6 at its start.
void op_grp6(Code ip)
{
    uint8_t m = fetch8(ip);
    if (m < MODRM_REG_FORM)
        ea_mem(m, ip);
    fault_at_start(EXC_INVALID_OPCODE);
}

void op_grp7(Code ip)
{
    uint8_t m = fetch8(ip);
    if (((m >> 3) & 7) != SMSW_REG_FIELD) {
        if (m < MODRM_REG_FORM)
            ea_mem(m, ip);
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    rm_write<uint16_t>(m, ip, SMSW_VALUE);
    IP = ip.ip;
}

// MOV r32, CRn and MOV CRn, r32 always name a register, whatever mod says.
void op_mov_rd_cr(Code ip)
{
    greg<uint32_t>(fetch8(ip)) = CR_READ_VALUE;
    IP = ip.ip;
}

void op_mov_cr_rd(Code ip)
{
    fetch8(ip);
    IP = ip.ip;
}

void op_rdtsc(Code ip)
{
    IP = ip.ip;
    EAX = (uint32_t)cpu.icount;
    EDX = (uint32_t)(cpu.icount >> 32);
}

void op_cpuid(Code ip)
{
    IP = ip.ip;
    EAX = 0;
    EBX = 0;
    ECX = 0;
    EDX = 0;
}

template <int CC> void op_jcc_relv(Code ip)
{
    uint32_t d = P.o32 ? fetch32(ip) : fetch16(ip);
    IP = cond(CC) ? (uint16_t)(ip.ip + d) : ip.ip;
}

template <int CC> void op_setcc_eb(Code ip)
{
    uint8_t m = fetch8(ip);
    rm_write<uint8_t>(m, ip, (uint8_t)cond(CC));
    IP = ip.ip;
}

// ---- Bit tests ---------------------------------------------------------------

enum { BIT_TEST, BIT_SET, BIT_RESET, BIT_COMPLEMENT };

template <int KIND, typename T> T bit_apply(T v, unsigned bit)
{
    T b = (T)((T)1 << bit);
    SET_CF((v & b) != 0);
    if constexpr (KIND == BIT_SET)
        return v | b;
    else if constexpr (KIND == BIT_RESET)
        return (T)(v & ~b);
    else if constexpr (KIND == BIT_COMPLEMENT)
        return v ^ b;
    else
        return v;
}

// With a register bit offset, a memory operand is the start of a bit
// string: the signed offset divided by the operand width selects the unit.
template <int KIND, typename T> void bt_e_g(Code ip)
{
    using S = std::make_signed_t<T>;
    constexpr unsigned W = width_bits<T>;
    uint8_t m = fetch8(ip);
    T off = greg<T>(m >> 3);
    if (m >= MODRM_REG_FORM) {
        IP = ip.ip;
        T &r = greg<T>(m);
        r = bit_apply<KIND>(r, off & (W - 1));
        return;
    }
    Mem a = ea_mem(m, ip);
    IP = ip.ip;
    int32_t unit = (int32_t)((S)off >> (W == 16 ? 4 : 5));
    a.off = (uint16_t)(a.off + unit * (int32_t)sizeof(T));
    T v = mem_rd<T>(a);
    T r = bit_apply<KIND>(v, off & (W - 1));
    if constexpr (KIND != BIT_TEST)
        mem_wr<T>(a, r);
}

template <int KIND> void op_bt_ev_gv(Code ip)
{
    if (P.o32)
        bt_e_g<KIND, uint32_t>(ip);
    else
        bt_e_g<KIND, uint16_t>(ip);
}

template <int KIND, typename T> void bt_e_i(uint8_t m, Code ip)
{
    constexpr unsigned W = width_bits<T>;
    if (m >= MODRM_REG_FORM) {
        unsigned bit = fetch8(ip) & (W - 1);
        IP = ip.ip;
        T &r = greg<T>(m);
        r = bit_apply<KIND>(r, bit);
        return;
    }
    Mem a = ea_mem(m, ip);
    unsigned bit = fetch8(ip) & (W - 1);
    IP = ip.ip;
    T v = mem_rd<T>(a);
    T r = bit_apply<KIND>(v, bit);
    if constexpr (KIND != BIT_TEST)
        mem_wr<T>(a, r);
}

// 0F BA: reg field 5 BTS, 6 BTR, 7 BTC, any other BT.
template <typename T> void grp8(Code ip)
{
    uint8_t m = fetch8(ip);
    switch ((m >> 3) & 7) {
    case 5: bt_e_i<BIT_SET, T>(m, ip); break;
    case 6: bt_e_i<BIT_RESET, T>(m, ip); break;
    case 7: bt_e_i<BIT_COMPLEMENT, T>(m, ip); break;
    default: bt_e_i<BIT_TEST, T>(m, ip); break;
    }
}
void op_grp8_ev_ib(Code ip) { BY_OPSIZE(grp8); }

// BSF and BSR: a zero source sets ZF and leaves the destination alone.
template <bool REVERSE, typename T> void bit_scan(Code ip)
{
    uint8_t m = fetch8(ip);
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    if (v == 0) {
        set_flag(F_ZF, 1);
        return;
    }
    set_flag(F_ZF, 0);
    unsigned i = REVERSE ? 31 - __builtin_clz(v) : __builtin_ctz(v);
    greg<T>(m >> 3) = (T)i;
}
void op_bsf_gv_ev(Code ip)
{
    if (P.o32)
        bit_scan<false, uint32_t>(ip);
    else
        bit_scan<false, uint16_t>(ip);
}
void op_bsr_gv_ev(Code ip)
{
    if (P.o32)
        bit_scan<true, uint32_t>(ip);
    else
        bit_scan<true, uint16_t>(ip);
}

// ---- Double shifts, IMUL, moves with extension, XADD, BSWAP -----------------

static inline uint16_t dshift(bool right, uint16_t d, uint16_t s, unsigned n)
{
    return right ? shrd16(d, s, n) : shld16(d, s, n);
}
static inline uint32_t dshift(bool right, uint32_t d, uint32_t s, unsigned n)
{
    return right ? shrd32(d, s, n) : shld32(d, s, n);
}

template <bool RIGHT, bool BY_CL, typename T> void shxd(Code ip)
{
    uint8_t m = fetch8(ip);
    T s = greg<T>(m >> 3);
    if (m >= MODRM_REG_FORM) {
        unsigned n = BY_CL ? CL : fetch8(ip);
        IP = ip.ip;
        T &d = greg<T>(m);
        d = dshift(RIGHT, d, s, n);
        return;
    }
    Mem a = ea_mem(m, ip);
    unsigned n = BY_CL ? CL : fetch8(ip);
    IP = ip.ip;
    T v = mem_rd<T>(a);
    if (n & 31)
        mem_wr<T>(a, dshift(RIGHT, v, s, n));
}

template <bool RIGHT, bool BY_CL> void op_shxd_ev_gv(Code ip)
{
    if (P.o32)
        shxd<RIGHT, BY_CL, uint32_t>(ip);
    else
        shxd<RIGHT, BY_CL, uint16_t>(ip);
}

template <typename T> void imul_g_e(Code ip)
{
    uint8_t m = fetch8(ip);
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    T &g = greg<T>(m >> 3);
    g = imul3(g, v);
}
void op_imul_gv_ev(Code ip) { BY_OPSIZE(imul_g_e); }

template <typename S, bool SIGNED, typename T> void movx(Code ip)
{
    uint8_t m = fetch8(ip);
    S v = rm_read<S>(m, ip);
    IP = ip.ip;
    if constexpr (SIGNED)
        greg<T>(m >> 3) = (T)(std::make_signed_t<T>)(std::make_signed_t<S>)v;
    else
        greg<T>(m >> 3) = (T)v;
}
template <typename S, bool SIGNED> void op_movx_gv(Code ip)
{
    if (P.o32)
        movx<S, SIGNED, uint32_t>(ip);
    else
        movx<S, SIGNED, uint16_t>(ip);
}

// XADD: the destination gets the sum, the source register the old value.
template <typename T> void xadd(Code ip)
{
    uint8_t m = fetch8(ip);
    T &g = greg<T>(m >> 3);
    if (m >= MODRM_REG_FORM) {
        IP = ip.ip;
        T &d = greg<T>(m);
        T old = d;
        T sum = Prim<T>::add(old, g);
        g = old;
        d = sum;
    } else {
        Mem a = ea_mem(m, ip);
        IP = ip.ip;
        T old = mem_rd<T>(a);
        T sum = Prim<T>::add(old, g);
        mem_wr<T>(a, sum);
        g = old;
    }
}
void op_xadd_eb_gb(Code ip) { xadd<uint8_t>(ip); }
void op_xadd_ev_gv(Code ip) { BY_OPSIZE(xadd); }

template <int R> void op_bswap(Code ip)
{
    IP = ip.ip;
    cpu.r[R].e = __builtin_bswap32(cpu.r[R].e);
}

void op_0f_bad(Code ip)
{
    IP = ip.ip;
    unimpl(0x0F, rd8(CS, (uint16_t)(ip.ip - 1)));
}

#define BAD8 op_0f_bad, op_0f_bad, op_0f_bad, op_0f_bad, op_0f_bad, op_0f_bad, op_0f_bad, op_0f_bad

} // namespace

const OpFn op_table_0f[256] = {
    /* 00 grp6 (SLDT STR LLDT LTR VERR VERW) */ op_grp6,
    /* 01 grp7 (SMSW; others invalid) */ op_grp7,
    /* 02 (LAR) */ op_0f_bad,
    /* 03 (LSL) */ op_0f_bad,
    /* 04 */ op_0f_bad,
    /* 05 */ op_0f_bad,
    /* 06 (CLTS) */ op_0f_bad,
    /* 07 */ op_0f_bad,
    /* 08-0F */ BAD8,
    /* 10-17 */ BAD8,
    /* 18-1F */ BAD8,
    /* 20 MOV Rd,Cd */ op_mov_rd_cr,
    /* 21 (MOV Rd,Dd) */ op_0f_bad,
    /* 22 MOV Cd,Rd */ op_mov_cr_rd,
    /* 23 (MOV Dd,Rd) */ op_0f_bad,
    /* 24 (MOV Rd,Td) */ op_0f_bad,
    /* 25 */ op_0f_bad,
    /* 26 (MOV Td,Rd) */ op_0f_bad,
    /* 27 */ op_0f_bad,
    /* 28-2F */ BAD8,
    /* 30 */ op_0f_bad,
    /* 31 RDTSC */ op_rdtsc,
    /* 32 */ op_0f_bad,
    /* 33 */ op_0f_bad,
    /* 34 */ op_0f_bad,
    /* 35 */ op_0f_bad,
    /* 36 */ op_0f_bad,
    /* 37 */ op_0f_bad,
    /* 38-3F */ BAD8,
    /* 40-47 */ BAD8,
    /* 48-4F */ BAD8,
    /* 50-57 */ BAD8,
    /* 58-5F */ BAD8,
    /* 60-67 */ BAD8,
    /* 68-6F */ BAD8,
    /* 70-77 */ BAD8,
    /* 78-7F */ BAD8,
    /* 80 JO Jv */ op_jcc_relv<0x0>,
    /* 81 JNO Jv */ op_jcc_relv<0x1>,
    /* 82 JC Jv */ op_jcc_relv<0x2>,
    /* 83 JNC Jv */ op_jcc_relv<0x3>,
    /* 84 JZ Jv */ op_jcc_relv<0x4>,
    /* 85 JNZ Jv */ op_jcc_relv<0x5>,
    /* 86 JBE Jv */ op_jcc_relv<0x6>,
    /* 87 JA Jv */ op_jcc_relv<0x7>,
    /* 88 JS Jv */ op_jcc_relv<0x8>,
    /* 89 JNS Jv */ op_jcc_relv<0x9>,
    /* 8A JP Jv */ op_jcc_relv<0xA>,
    /* 8B JNP Jv */ op_jcc_relv<0xB>,
    /* 8C JL Jv */ op_jcc_relv<0xC>,
    /* 8D JGE Jv */ op_jcc_relv<0xD>,
    /* 8E JLE Jv */ op_jcc_relv<0xE>,
    /* 8F JG Jv */ op_jcc_relv<0xF>,
    /* 90 SETO Eb */ op_setcc_eb<0x0>,
    /* 91 SETNO Eb */ op_setcc_eb<0x1>,
    /* 92 SETC Eb */ op_setcc_eb<0x2>,
    /* 93 SETNC Eb */ op_setcc_eb<0x3>,
    /* 94 SETZ Eb */ op_setcc_eb<0x4>,
    /* 95 SETNZ Eb */ op_setcc_eb<0x5>,
    /* 96 SETBE Eb */ op_setcc_eb<0x6>,
    /* 97 SETA Eb */ op_setcc_eb<0x7>,
    /* 98 SETS Eb */ op_setcc_eb<0x8>,
    /* 99 SETNS Eb */ op_setcc_eb<0x9>,
    /* 9A SETP Eb */ op_setcc_eb<0xA>,
    /* 9B SETNP Eb */ op_setcc_eb<0xB>,
    /* 9C SETL Eb */ op_setcc_eb<0xC>,
    /* 9D SETGE Eb */ op_setcc_eb<0xD>,
    /* 9E SETLE Eb */ op_setcc_eb<0xE>,
    /* 9F SETG Eb */ op_setcc_eb<0xF>,
    /* A0 PUSH FS */ op_push_sreg<S_FS>,
    /* A1 POP FS */ op_pop_sreg<S_FS>,
    /* A2 CPUID */ op_cpuid,
    /* A3 BT Ev,Gv */ op_bt_ev_gv<BIT_TEST>,
    /* A4 SHLD Ev,Gv,Ib */ op_shxd_ev_gv<false, false>,
    /* A5 SHLD Ev,Gv,CL */ op_shxd_ev_gv<false, true>,
    /* A6 */ op_0f_bad,
    /* A7 */ op_0f_bad,
    /* A8 PUSH GS */ op_push_sreg<S_GS>,
    /* A9 POP GS */ op_pop_sreg<S_GS>,
    /* AA (RSM) */ op_0f_bad,
    /* AB BTS Ev,Gv */ op_bt_ev_gv<BIT_SET>,
    /* AC SHRD Ev,Gv,Ib */ op_shxd_ev_gv<true, false>,
    /* AD SHRD Ev,Gv,CL */ op_shxd_ev_gv<true, true>,
    /* AE */ op_0f_bad,
    /* AF IMUL Gv,Ev */ op_imul_gv_ev,
    /* B0 (CMPXCHG Eb,Gb) */ op_0f_bad,
    /* B1 (CMPXCHG Ev,Gv) */ op_0f_bad,
    /* B2 LSS Gv,Mp */ op_load_far_pointer<S_SS>,
    /* B3 BTR Ev,Gv */ op_bt_ev_gv<BIT_RESET>,
    /* B4 LFS Gv,Mp */ op_load_far_pointer<S_FS>,
    /* B5 LGS Gv,Mp */ op_load_far_pointer<S_GS>,
    /* B6 MOVZX Gv,Eb */ op_movx_gv<uint8_t, false>,
    /* B7 MOVZX Gv,Ew */ op_movx_gv<uint16_t, false>,
    /* B8 */ op_0f_bad,
    /* B9 */ op_0f_bad,
    /* BA grp8 Ev,Ib (BT BTS BTR BTC) */ op_grp8_ev_ib,
    /* BB BTC Ev,Gv */ op_bt_ev_gv<BIT_COMPLEMENT>,
    /* BC BSF Gv,Ev */ op_bsf_gv_ev,
    /* BD BSR Gv,Ev */ op_bsr_gv_ev,
    /* BE MOVSX Gv,Eb */ op_movx_gv<uint8_t, true>,
    /* BF MOVSX Gv,Ew */ op_movx_gv<uint16_t, true>,
    /* C0 XADD Eb,Gb */ op_xadd_eb_gb,
    /* C1 XADD Ev,Gv */ op_xadd_ev_gv,
    /* C2 */ op_0f_bad,
    /* C3 */ op_0f_bad,
    /* C4 */ op_0f_bad,
    /* C5 */ op_0f_bad,
    /* C6 */ op_0f_bad,
    /* C7 (CMPXCHG8B) */ op_0f_bad,
    /* C8 BSWAP EAX */ op_bswap<R_AX>,
    /* C9 BSWAP ECX */ op_bswap<R_CX>,
    /* CA BSWAP EDX */ op_bswap<R_DX>,
    /* CB BSWAP EBX */ op_bswap<R_BX>,
    /* CC BSWAP ESP */ op_bswap<R_SP>,
    /* CD BSWAP EBP */ op_bswap<R_BP>,
    /* CE BSWAP ESI */ op_bswap<R_SI>,
    /* CF BSWAP EDI */ op_bswap<R_DI>,
    /* D0-D7 */ BAD8,
    /* D8-DF */ BAD8,
    /* E0-E7 */ BAD8,
    /* E8-EF */ BAD8,
    /* F0-F7 */ BAD8,
    /* F8-FF */ BAD8,
};
