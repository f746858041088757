// The interpreter: one x86 real-mode instruction per cpu_step, dispatched
// through the one-byte opcode table below. Handlers are named by operand
// form: E is the r/m operand of a ModRM byte, G its register field, I an
// immediate, b/w/v byte, word and operand-size widths, Sw a segment
// register. The two-byte map is in interp_0f.cpp, the string instructions in
// interp_string.cpp.
#include "machine/interp.h"

#include "machine/fpu.h"
#include "machine/hle.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace {

// Interrupts 34h-3Dh belong to the floating-point emulator of compilers'
// run-time libraries; the x87 emulation runs them in place.
constexpr uint8_t FPU_EMU_INT_FIRST = 0x34, FPU_EMU_INT_LAST = 0x3D;
constexpr uint8_t HLE_ESCAPE_MODRM = 0x38; // FE 38 id16: call host function id
constexpr uint8_t ENTER_LEVEL_MASK = 0x1F;

// ---- ALU: ADD OR ADC SBB AND SUB XOR CMP -----------------------------------

template <int OP, typename T> HOT void alu_e_g(Code ip)
{
    uint8_t m = fetch8(ip);
    T src = greg<T>(m >> 3);
    if (m >= MODRM_REG_FORM) {
        IP = ip.ip;
        T &d = greg<T>(m);
        T r = alu<OP>(d, src);
        if constexpr (OP != ALU_CMP)
            d = r;
    } else {
        Mem a = ea_mem(m, ip);
        IP = ip.ip;
        T r = alu<OP>(mem_rd<T>(a), src);
        if constexpr (OP != ALU_CMP)
            mem_wr<T>(a, r);
    }
}

template <int OP, typename T> HOT void alu_g_e(Code ip)
{
    uint8_t m = fetch8(ip);
    T src = rm_read<T>(m, ip);
    IP = ip.ip;
    T &d = greg<T>(m >> 3);
    T r = alu<OP>(d, src);
    if constexpr (OP != ALU_CMP)
        d = r;
}

template <int OP, typename T> HOT void alu_a_i(Code ip)
{
    T imm = fetch<T>(ip);
    IP = ip.ip;
    T &d = greg<T>(R_AX);
    T r = alu<OP>(d, imm);
    if constexpr (OP != ALU_CMP)
        d = r;
}

template <int OP> void op_alu_eb_gb(Code ip) { alu_e_g<OP, uint8_t>(ip); }
template <int OP> void op_alu_ev_gv(Code ip)
{
    if (P.o32)
        alu_e_g<OP, uint32_t>(ip);
    else
        alu_e_g<OP, uint16_t>(ip);
}
template <int OP> void op_alu_gb_eb(Code ip) { alu_g_e<OP, uint8_t>(ip); }
template <int OP> void op_alu_gv_ev(Code ip)
{
    if (P.o32)
        alu_g_e<OP, uint32_t>(ip);
    else
        alu_g_e<OP, uint16_t>(ip);
}
template <int OP> void op_alu_al_ib(Code ip) { alu_a_i<OP, uint8_t>(ip); }
template <int OP> void op_alu_ax_iv(Code ip)
{
    if (P.o32)
        alu_a_i<OP, uint32_t>(ip);
    else
        alu_a_i<OP, uint16_t>(ip);
}

// 80h-83h: the operation is the ModRM reg field; IT is the immediate's
// width (83h sign-extends a byte).
template <int OP, typename T, typename IT> void grp1(uint8_t m, Code ip)
{
    if (m >= MODRM_REG_FORM) {
        T imm = (T)(std::make_signed_t<IT>)fetch<IT>(ip);
        IP = ip.ip;
        T &d = greg<T>(m);
        T r = alu<OP>(d, imm);
        if constexpr (OP != ALU_CMP)
            d = r;
    } else {
        Mem a = ea_mem(m, ip);
        T imm = (T)(std::make_signed_t<IT>)fetch<IT>(ip);
        IP = ip.ip;
        T r = alu<OP>(mem_rd<T>(a), imm);
        if constexpr (OP != ALU_CMP)
            mem_wr<T>(a, r);
    }
}

// Group handlers get the ModRM byte and the offset after it.
using GroupFn = void (*)(uint8_t modrm, Code ip);

template <typename T, typename IT> constexpr GroupFn grp1_ops[8] = {
    grp1<ALU_ADD, T, IT>, grp1<ALU_OR, T, IT>, grp1<ALU_ADC, T, IT>, grp1<ALU_SBB, T, IT>,
    grp1<ALU_AND, T, IT>, grp1<ALU_SUB, T, IT>, grp1<ALU_XOR, T, IT>, grp1<ALU_CMP, T, IT>,
};

void op_grp1_eb_ib(Code ip)
{
    uint8_t m = fetch8(ip);
    grp1_ops<uint8_t, uint8_t>[(m >> 3) & 7](m, ip);
}

void op_grp1_ev_iv(Code ip)
{
    uint8_t m = fetch8(ip);
    if (P.o32)
        grp1_ops<uint32_t, uint32_t>[(m >> 3) & 7](m, ip);
    else
        grp1_ops<uint16_t, uint16_t>[(m >> 3) & 7](m, ip);
}

void op_grp1_ev_ib(Code ip)
{
    uint8_t m = fetch8(ip);
    if (P.o32)
        grp1_ops<uint32_t, uint8_t>[(m >> 3) & 7](m, ip);
    else
        grp1_ops<uint16_t, uint8_t>[(m >> 3) & 7](m, ip);
}

// ---- TEST, XCHG, MOV, LEA --------------------------------------------------

template <typename T> void test_e_g(Code ip)
{
    uint8_t m = fetch8(ip);
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    Prim<T>::and_(v, greg<T>(m >> 3));
}
void op_test_eb_gb(Code ip) { test_e_g<uint8_t>(ip); }
void op_test_ev_gv(Code ip) { BY_OPSIZE(test_e_g); }

template <typename T> void test_a_i(Code ip)
{
    T imm = fetch<T>(ip);
    IP = ip.ip;
    Prim<T>::and_(greg<T>(R_AX), imm);
}
void op_test_al_ib(Code ip) { test_a_i<uint8_t>(ip); }
void op_test_ax_iv(Code ip) { BY_OPSIZE(test_a_i); }

template <typename T> void xchg_e_g(Code ip)
{
    uint8_t m = fetch8(ip);
    T &g = greg<T>(m >> 3);
    if (m >= MODRM_REG_FORM) {
        IP = ip.ip;
        T &r = greg<T>(m);
        T t = r;
        r = g;
        g = t;
    } else {
        Mem a = ea_mem(m, ip);
        IP = ip.ip;
        T t = mem_rd<T>(a);
        mem_wr<T>(a, g);
        g = t;
    }
}
void op_xchg_eb_gb(Code ip) { xchg_e_g<uint8_t>(ip); }
void op_xchg_ev_gv(Code ip) { BY_OPSIZE(xchg_e_g); }

template <typename T> void mov_e_g(Code ip)
{
    uint8_t m = fetch8(ip);
    rm_write<T>(m, ip, greg<T>(m >> 3));
    IP = ip.ip;
}
void op_mov_eb_gb(Code ip) { mov_e_g<uint8_t>(ip); }
void op_mov_ev_gv(Code ip) { BY_OPSIZE(mov_e_g); }

template <typename T> void mov_g_e(Code ip)
{
    uint8_t m = fetch8(ip);
    greg<T>(m >> 3) = rm_read<T>(m, ip);
    IP = ip.ip;
}
void op_mov_gb_eb(Code ip) { mov_g_e<uint8_t>(ip); }
void op_mov_gv_ev(Code ip) { BY_OPSIZE(mov_g_e); }

template <typename T> void mov_e_i(Code ip)
{
    uint8_t m = fetch8(ip);
    if (m >= MODRM_REG_FORM) {
        greg<T>(m) = fetch<T>(ip);
        IP = ip.ip;
    } else {
        Mem a = ea_mem(m, ip);
        T imm = fetch<T>(ip);
        IP = ip.ip;
        mem_wr<T>(a, imm);
    }
}
void op_mov_eb_ib(Code ip) { mov_e_i<uint8_t>(ip); }
void op_mov_ev_iv(Code ip) { BY_OPSIZE(mov_e_i); }

template <int R> void op_mov_rb_ib(Code ip)
{
    greg<uint8_t>(R) = fetch8(ip);
    IP = ip.ip;
}
template <int R> void op_mov_rv_iv(Code ip)
{
    if (P.o32)
        cpu.r[R].e = fetch32(ip);
    else
        cpu.r[R].w = fetch16(ip);
    IP = ip.ip;
}

// MOV r/m, Sreg: a register destination takes the zero-extended value with
// a 32-bit operand size; memory always gets a word.
void op_mov_ew_sw(Code ip)
{
    uint8_t m = fetch8(ip);
    unsigned s = (m >> 3) & 7;
    if (s > S_GS) {
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    if (m >= MODRM_REG_FORM) {
        if (P.o32)
            greg<uint32_t>(m) = cpu.seg[s];
        else
            greg<uint16_t>(m) = cpu.seg[s];
    } else {
        mem_wr<uint16_t>(ea_mem(m, ip), cpu.seg[s]);
    }
    IP = ip.ip;
}

// A load of SS holds off interrupts until the next instruction has run, so
// that a new stack segment and its SP load are never split: that
// instruction runs within the same step.
void op_mov_sw_ew(Code ip)
{
    uint8_t m = fetch8(ip);
    unsigned s = (m >> 3) & 7;
    if (s > S_GS) {
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    cpu.seg[s] = rm_read<uint16_t>(m, ip);
    IP = ip.ip;
    if (s == S_SS)
        interp_exec();
}

// LEA yields the offset; with 32-bit addressing and operand size it is the
// whole 32-bit sum. A register operand is invalid.
void op_lea_gv_m(Code ip)
{
    uint8_t m = fetch8(ip);
    if (m >= MODRM_REG_FORM) {
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    Mem a = ea_mem(m, ip);
    IP = ip.ip;
    if (P.o32)
        greg<uint32_t>(m >> 3) = P.a32 ? ea32_sum : a.off;
    else
        greg<uint16_t>(m >> 3) = a.off;
}

// POP r/m: the stack moves before the operand address is formed.
template <typename T> void pop_e(Code ip)
{
    uint8_t m = fetch8(ip);
    T v = pop<T>();
    rm_write<T>(m, ip, v);
    IP = ip.ip;
}
void op_pop_ev(Code ip) { BY_OPSIZE(pop_e); }

// MOV AL/AX with a memory offset in the instruction (moffs).
HOT uint16_t moffs(Code &ip)
{
    uint16_t o = P.a32 ? (uint16_t)fetch32(ip) : fetch16(ip);
    IP = ip.ip;
    return o;
}
void op_mov_al_ob(Code ip) { AL = rd8(seg_value(S_DS), moffs(ip)); }
void op_mov_ob_al(Code ip) { wr8(seg_value(S_DS), moffs(ip), AL); }
void op_mov_ax_ov(Code ip)
{
    uint16_t o = moffs(ip);
    if (P.o32)
        EAX = rd32(seg_value(S_DS), o);
    else
        AX = rd16(seg_value(S_DS), o);
}
void op_mov_ov_ax(Code ip)
{
    uint16_t o = moffs(ip);
    if (P.o32)
        wr32(seg_value(S_DS), o, EAX);
    else
        wr16(seg_value(S_DS), o, AX);
}

// ---- INC, DEC, PUSH, POP, XCHG with a register -----------------------------

template <int R> void op_inc_rv(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        cpu.r[R].e = inc32(cpu.r[R].e);
    else
        cpu.r[R].w = inc16(cpu.r[R].w);
}

template <int R> void op_dec_rv(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        cpu.r[R].e = dec32(cpu.r[R].e);
    else
        cpu.r[R].w = dec16(cpu.r[R].w);
}

// PUSH SP pushes the value SP had before the instruction.
template <int R> void op_push_rv(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        push32(cpu.r[R].e);
    else
        push16(cpu.r[R].w);
}

template <int R> void op_pop_rv(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        cpu.r[R].e = pop32();
    else
        cpu.r[R].w = pop16();
}

template <int R> void op_xchg_ax_rv(Code ip)
{
    IP = ip.ip;
    if (P.o32) {
        uint32_t t = EAX;
        EAX = cpu.r[R].e;
        cpu.r[R].e = t;
    } else {
        uint16_t t = AX;
        AX = cpu.r[R].w;
        cpu.r[R].w = t;
    }
}

void op_nop(Code ip) { IP = ip.ip; }

template <typename T> void pusha(Code ip)
{
    IP = ip.ip;
    T sp = greg<T>(R_SP);
    for (int r = R_AX; r <= R_DI; r++)
        push<T>(r == R_SP ? sp : greg<T>(r));
}
void op_pusha(Code ip) { BY_OPSIZE(pusha); }

template <typename T> void popa(Code ip)
{
    IP = ip.ip;
    for (int r = R_DI; r >= R_AX; r--) {
        T v = pop<T>();
        if (r != R_SP)
            greg<T>(r) = v;
    }
}
void op_popa(Code ip) { BY_OPSIZE(popa); }

template <typename T> void push_i(Code ip)
{
    T imm = fetch<T>(ip);
    IP = ip.ip;
    push<T>(imm);
}
void op_push_iv(Code ip) { BY_OPSIZE(push_i); }

void op_push_ib(Code ip)
{
    int8_t v = (int8_t)fetch8(ip);
    IP = ip.ip;
    if (P.o32)
        push32((uint32_t)(int32_t)v);
    else
        push16((uint16_t)v);
}

// ---- Multiply, divide, BOUND -----------------------------------------------

template <typename T, typename IT> void imul_g_e_i(Code ip)
{
    uint8_t m = fetch8(ip);
    T v = rm_read<T>(m, ip);
    T imm = (T)(std::make_signed_t<IT>)fetch<IT>(ip);
    IP = ip.ip;
    greg<T>(m >> 3) = imul3(v, imm);
}
void op_imul_gv_ev_iv(Code ip)
{
    if (P.o32)
        imul_g_e_i<uint32_t, uint32_t>(ip);
    else
        imul_g_e_i<uint16_t, uint16_t>(ip);
}
void op_imul_gv_ev_ib(Code ip)
{
    if (P.o32)
        imul_g_e_i<uint32_t, uint8_t>(ip);
    else
        imul_g_e_i<uint16_t, uint8_t>(ip);
}

// BOUND: a signed index outside [lower, upper] raises interrupt 5 with the
// frame at the BOUND itself.
template <typename T> void bound(Code ip)
{
    using S = std::make_signed_t<T>;
    uint8_t m = fetch8(ip);
    if (m >= MODRM_REG_FORM) {
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    Mem a = ea_mem(m, ip);
    IP = ip.ip;
    S lo = (S)mem_rd<T>(a);
    S hi = (S)mem_rd<T>(Mem{a.seg, (uint16_t)(a.off + sizeof(T))});
    S v = (S)greg<T>(m >> 3);
    if (v < lo || v > hi)
        fault_at_start(EXC_BOUND);
}
void op_bound_gv_ma(Code ip) { BY_OPSIZE(bound); }

// ---- Group 2: shifts and rotates -------------------------------------------

enum { COUNT_ONE, COUNT_CL, COUNT_IMM };

template <int C> HOT unsigned shift_count(Code &ip)
{
    if constexpr (C == COUNT_ONE)
        return 1;
    else if constexpr (C == COUNT_CL)
        return CL;
    else
        return fetch8(ip);
}

template <typename T, int C> void shift_e(Code ip)
{
    uint8_t m = fetch8(ip);
    int op = (m >> 3) & 7;
    if (m >= MODRM_REG_FORM) {
        unsigned n = shift_count<C>(ip);
        IP = ip.ip;
        T &r = greg<T>(m);
        r = Prim<T>::shift(op, r, n);
    } else {
        Mem a = ea_mem(m, ip);
        unsigned n = shift_count<C>(ip);
        IP = ip.ip;
        T v = mem_rd<T>(a);
        if (n & 31)
            mem_wr<T>(a, Prim<T>::shift(op, v, n));
    }
}

template <int C> void op_grp2_eb(Code ip) { shift_e<uint8_t, C>(ip); }
template <int C> void op_grp2_ev(Code ip)
{
    if (P.o32)
        shift_e<uint32_t, C>(ip);
    else
        shift_e<uint16_t, C>(ip);
}

// ---- Group 3: TEST NOT NEG MUL IMUL DIV IDIV -------------------------------

// Divisions leave IP at the instruction while they run, so that a divide
// error's frame points at it; a successful one continues after it.
template <typename T> void divide(int (*fn)(T), uint8_t m, Code ip)
{
    T v = rm_read<T>(m, ip);
    IP = P.start_ip;
    if (fn(v))
        IP = ip.ip;
}

template <typename T> void grp3_test(uint8_t m, Code ip)
{
    T v = rm_read<T>(m, ip);
    T imm = fetch<T>(ip);
    IP = ip.ip;
    Prim<T>::and_(v, imm);
}
template <typename T> void grp3_not(uint8_t m, Code ip)
{
    rm_modify<T>(m, ip, [](T v) { return (T)~v; });
    IP = ip.ip;
}
template <typename T> void grp3_neg(uint8_t m, Code ip)
{
    rm_modify<T>(m, ip, [](T v) { return Prim<T>::neg(v); });
    IP = ip.ip;
}
template <typename T> void grp3_mul(uint8_t m, Code ip)
{
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    Prim<T>::mul(v);
}
template <typename T> void grp3_imul(uint8_t m, Code ip)
{
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    Prim<T>::imul(v);
}
template <typename T> void grp3_div(uint8_t m, Code ip) { divide<T>(Prim<T>::div, m, ip); }
template <typename T> void grp3_idiv(uint8_t m, Code ip) { divide<T>(Prim<T>::idiv, m, ip); }

template <typename T> constexpr GroupFn grp3_ops[8] = {
    grp3_test<T>, grp3_test<T>, grp3_not<T>, grp3_neg<T>,
    grp3_mul<T>, grp3_imul<T>, grp3_div<T>, grp3_idiv<T>,
};

void op_grp3_eb(Code ip)
{
    uint8_t m = fetch8(ip);
    grp3_ops<uint8_t>[(m >> 3) & 7](m, ip);
}

void op_grp3_ev(Code ip)
{
    uint8_t m = fetch8(ip);
    if (P.o32)
        grp3_ops<uint32_t>[(m >> 3) & 7](m, ip);
    else
        grp3_ops<uint16_t>[(m >> 3) & 7](m, ip);
}

// ---- Groups 4 and 5: INC DEC and the indirect transfers, the HLE escape ----

void op_grp4_eb(Code ip)
{
    uint8_t m = fetch8(ip);
    switch ((m >> 3) & 7) {
    case 0:
        rm_modify<uint8_t>(m, ip, [](uint8_t v) { return inc8(v); });
        IP = ip.ip;
        break;
    case 1:
        rm_modify<uint8_t>(m, ip, [](uint8_t v) { return dec8(v); });
        IP = ip.ip;
        break;
    default: {
        if (m != HLE_ESCAPE_MODRM)
            unimpl(0xFE, m);
        uint16_t id = fetch16(ip);
        IP = ip.ip;
        hle_callback(id);
        break;
    }
    }
}

template <typename T> void grp5_inc(uint8_t m, Code ip)
{
    rm_modify<T>(m, ip, [](T v) { return Prim<T>::inc(v); });
    IP = ip.ip;
}
template <typename T> void grp5_dec(uint8_t m, Code ip)
{
    rm_modify<T>(m, ip, [](T v) { return Prim<T>::dec(v); });
    IP = ip.ip;
}

// Near transfers keep the low 16 bits of a 32-bit target; a 32-bit call
// pushes a 4-byte return slot.
template <typename T> void grp5_call(uint8_t m, Code ip)
{
    T target = rm_read<T>(m, ip);
    IP = ip.ip;
    push<T>(ip.ip);
    IP = (uint16_t)target;
}

template <typename T> void grp5_jmp(uint8_t m, Code ip) { IP = (uint16_t)rm_read<T>(m, ip); }

// Far pointers in memory: a 16-bit offset, or a 32-bit one of which the low
// half is used, followed by the segment.
template <typename T> bool far_pointer(uint8_t m, Code &ip, uint16_t *seg, uint16_t *off)
{
    if (m >= MODRM_REG_FORM) {
        fault_at_start(EXC_INVALID_OPCODE);
        return false;
    }
    Mem a = ea_mem(m, ip);
    IP = ip.ip;
    *off = (uint16_t)mem_rd<T>(a);
    *seg = rd16(a.seg, (uint16_t)(a.off + sizeof(T)));
    return true;
}

template <typename T> void grp5_call_far(uint8_t m, Code ip)
{
    uint16_t seg, off;
    if (!far_pointer<T>(m, ip, &seg, &off))
        return;
    push16(CS);
    push16(ip.ip);
    CS = seg;
    IP = off;
}

template <typename T> void grp5_jmp_far(uint8_t m, Code ip)
{
    uint16_t seg, off;
    if (!far_pointer<T>(m, ip, &seg, &off))
        return;
    CS = seg;
    IP = off;
}

template <typename T> void grp5_push(uint8_t m, Code ip)
{
    T v = rm_read<T>(m, ip);
    IP = ip.ip;
    push<T>(v);
}

void grp5_bad(uint8_t m, Code) { unimpl(0xFF, m); }

template <typename T> constexpr GroupFn grp5_ops[8] = {
    grp5_inc<T>, grp5_dec<T>, grp5_call<T>, grp5_call_far<T>,
    grp5_jmp<T>, grp5_jmp_far<T>, grp5_push<T>, grp5_bad,
};

void op_grp5_ev(Code ip)
{
    uint8_t m = fetch8(ip);
    if (P.o32)
        grp5_ops<uint32_t>[(m >> 3) & 7](m, ip);
    else
        grp5_ops<uint16_t>[(m >> 3) & 7](m, ip);
}

// ---- Control transfer ------------------------------------------------------

void op_jmp_rel8(Code ip)
{
    int8_t d = (int8_t)fetch8(ip);
    IP = (uint16_t)(ip.ip + d);
}

void op_jmp_relv(Code ip)
{
    uint32_t d = P.o32 ? fetch32(ip) : fetch16(ip);
    IP = (uint16_t)(ip.ip + d);
}

void op_call_relv(Code ip)
{
    uint32_t d = P.o32 ? fetch32(ip) : fetch16(ip);
    IP = ip.ip;
    if (P.o32)
        push32(ip.ip);
    else
        push16(ip.ip);
    IP = (uint16_t)(ip.ip + d);
}

void op_ret(Code) { IP = P.o32 ? (uint16_t)pop32() : pop16(); }

void op_ret_iw(Code ip)
{
    uint16_t n = fetch16(ip);
    IP = P.o32 ? (uint16_t)pop32() : pop16();
    SP = (uint16_t)(SP + n);
}

// Far transfers always use 16-bit stack slots and 16:16 pointers.
void op_jmp_far_ap(Code ip)
{
    uint16_t off = fetch16(ip);
    uint16_t seg = fetch16(ip);
    CS = seg;
    IP = off;
}

void op_call_far_ap(Code ip)
{
    uint16_t off = fetch16(ip);
    uint16_t seg = fetch16(ip);
    IP = ip.ip;
    push16(CS);
    push16(ip.ip);
    CS = seg;
    IP = off;
}

void op_retf(Code)
{
    IP = pop16();
    CS = pop16();
}

void op_retf_iw(Code ip)
{
    uint16_t n = fetch16(ip);
    IP = pop16();
    CS = pop16();
    SP = (uint16_t)(SP + n);
}

void op_iret(Code)
{
    IP = pop16();
    CS = pop16();
    uint16_t f = pop16();
    flags_set((cpu.flags & 0xFFFF0000u) | f);
}

// LOOP, LOOPE, LOOPNE and JCXZ count with ECX under a 67h prefix.
template <int KIND> void op_loop(Code ip)
{
    enum { LOOPNE, LOOPE, LOOP, JCXZ };
    int8_t d = (int8_t)fetch8(ip);
    bool go;
    if (KIND == JCXZ) {
        go = P.a32 ? ECX == 0 : CX == 0;
    } else {
        uint32_t n = P.a32 ? --ECX : --CX;
        go = n != 0;
        if (KIND == LOOPNE)
            go = go && !ZF_();
        else if (KIND == LOOPE)
            go = go && ZF_();
    }
    IP = go ? (uint16_t)(ip.ip + d) : ip.ip;
}

// ENTER: the frame pointer chain of nesting levels 1-31, with 16-bit slots.
void op_enter(Code ip)
{
    uint16_t size = fetch16(ip);
    unsigned level = fetch8(ip) & ENTER_LEVEL_MASK;
    IP = ip.ip;
    push16(BP);
    uint16_t frame = SP;
    if (level > 0) {
        for (unsigned i = 1; i < level; i++) {
            BP = (uint16_t)(BP - 2);
            push16(rd16(SS, BP));
        }
        push16(frame);
    }
    BP = frame;
    SP = (uint16_t)(SP - size);
}

void op_leave(Code ip)
{
    IP = ip.ip;
    SP = BP;
    BP = pop16();
}

// ---- Interrupts -----------------------------------------------------------

void op_int3(Code ip)
{
    IP = ip.ip;
    cpu_int_enter(INT_BREAKPOINT);
}

void op_int_ib(Code ip)
{
    uint8_t n = fetch8(ip);
    IP = ip.ip;
    if (n >= FPU_EMU_INT_FIRST && n <= FPU_EMU_INT_LAST && fpu_emu_int(n))
        return;
    if (debug_level > 1)
        dbg("INT %02X AX=%04X BX=%04X CX=%04X DX=%04X at %04X:%04X\n", n, AX, BX, CX, DX,
            P.start_cs, P.start_ip);
    cpu_int_enter(n);
}

void op_into(Code ip)
{
    IP = ip.ip;
    if (OF_())
        cpu_int_enter(INT_OVERFLOW);
}

// ---- Flags, conversions, BCD ----------------------------------------------

void op_pushf(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        push32(flags_get());
    else
        push16((uint16_t)flags_get());
}

// A 16-bit POPF keeps the upper half of EFLAGS.
void op_popf(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        flags_set(pop32());
    else
        flags_set((cpu.flags & 0xFFFF0000u) | pop16());
}

void op_sahf(Code ip)
{
    IP = ip.ip;
    flags_set((flags_get() & 0xFFFFFF00u) | AH);
}

void op_lahf(Code ip)
{
    IP = ip.ip;
    AH = (uint8_t)flags_get();
}

void op_cbw(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        EAX = (uint32_t)(int32_t)(int16_t)AX;
    else
        AX = (uint16_t)(int8_t)AL;
}

void op_cwd(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        EDX = (int32_t)EAX < 0 ? 0xFFFFFFFFu : 0;
    else
        DX = (int16_t)AX < 0 ? 0xFFFF : 0;
}

void op_cmc(Code ip)
{
    IP = ip.ip;
    lf_resolve();
    cpu.flags ^= F_CF;
}

void op_clc(Code ip)
{
    IP = ip.ip;
    SET_CF(0);
}

void op_stc(Code ip)
{
    IP = ip.ip;
    SET_CF(1);
}

void op_cli(Code ip)
{
    IP = ip.ip;
    cpu.flags &= ~F_IF;
}

void op_sti(Code ip)
{
    IP = ip.ip;
    cpu.flags |= F_IF;
}

void op_cld(Code ip)
{
    IP = ip.ip;
    cpu.flags &= ~F_DF;
}

void op_std(Code ip)
{
    IP = ip.ip;
    cpu.flags |= F_DF;
}

void op_salc(Code ip)
{
    IP = ip.ip;
    AL = CF_() ? 0xFF : 0x00;
}

void op_daa(Code ip)
{
    IP = ip.ip;
    daa();
}

void op_das(Code ip)
{
    IP = ip.ip;
    das();
}

void op_aaa(Code ip)
{
    IP = ip.ip;
    aaa();
}

void op_aas(Code ip)
{
    IP = ip.ip;
    aas();
}

// AAM 0 is a divide error with the frame at the AAM.
void op_aam_ib(Code ip)
{
    uint8_t base = fetch8(ip);
    IP = P.start_ip;
    if (aam(base))
        IP = ip.ip;
}

void op_aad_ib(Code ip)
{
    uint8_t base = fetch8(ip);
    IP = ip.ip;
    aad(base);
}

void op_xlat(Code ip)
{
    IP = ip.ip;
    uint32_t base = P.a32 ? EBX : BX;
    AL = rd8(seg_value(S_DS), (uint16_t)(base + AL));
}

// ---- Prefixes: record and dispatch the next byte ----------------------------

template <int S> void op_prefix_seg(Code ip)
{
    P.seg = S;
    Code next = code_at(ip.ip);
    uint8_t op = fetch8(next);
    op_table[op](next);
}

void op_prefix_o32(Code ip)
{
    P.o32 = 1;
    Code next = code_at(ip.ip);
    uint8_t op = fetch8(next);
    op_table[op](next);
}

void op_prefix_a32(Code ip)
{
    P.a32 = 1;
    Code next = code_at(ip.ip);
    uint8_t op = fetch8(next);
    op_table[op](next);
}

template <int R> void op_prefix_rep(Code ip)
{
    P.rep = R;
    Code next = code_at(ip.ip);
    uint8_t op = fetch8(next);
    op_table[op](next);
}

void op_prefix_lock(Code ip)
{
    Code next = code_at(ip.ip);
    uint8_t op = fetch8(next);
    op_table[op](next);
}

void op_escape_0f(Code ip)
{
    uint8_t op = fetch8(ip);
    op_table_0f[op](ip);
}

// ---- x87, ports, HLT, strings -----------------------------------------------

template <uint8_t OP> void op_esc(Code ip)
{
    uint8_t m = fetch8(ip);
    Mem a = {0, 0};
    if (m < MODRM_REG_FORM)
        a = ea_mem(m, ip);
    IP = ip.ip;
    fpu_exec(OP, m, a.seg, a.off);
}

HOT uint8_t port_imm(Code &ip)
{
    uint8_t p = fetch8(ip);
    IP = ip.ip;
    return p;
}

void op_in_al_ib(Code ip) { AL = port_in8(port_imm(ip)); }
void op_in_ax_ib(Code ip)
{
    uint8_t p = port_imm(ip);
    if (P.o32)
        EAX = port_in32(p);
    else
        AX = port_in16(p);
}
void op_out_ib_al(Code ip) { port_out8(port_imm(ip), AL); }
void op_out_ib_ax(Code ip)
{
    uint8_t p = port_imm(ip);
    if (P.o32)
        port_out32(p, EAX);
    else
        port_out16(p, AX);
}
void op_in_al_dx(Code ip)
{
    IP = ip.ip;
    AL = port_in8(DX);
}
void op_in_ax_dx(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        EAX = port_in32(DX);
    else
        AX = port_in16(DX);
}
void op_out_dx_al(Code ip)
{
    IP = ip.ip;
    port_out8(DX, AL);
}
void op_out_dx_ax(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        port_out32(DX, EAX);
    else
        port_out16(DX, AX);
}

void op_hlt(Code ip)
{
    IP = ip.ip;
    hle_halt();
}

template <uint8_t OP> void op_string(Code ip)
{
    IP = ip.ip;
    string_op(OP);
}

// 63h (ARPL) and F1h (INT1) do not exist in real mode here.
void op_bad(Code ip)
{
    IP = ip.ip;
    unimpl(rd8(CS, (uint16_t)(ip.ip - 1)), 0x00);
}

} // namespace

const OpFn op_table[256] = {
    /* 00 ADD Eb,Gb */ op_alu_eb_gb<ALU_ADD>,
    /* 01 ADD Ev,Gv */ op_alu_ev_gv<ALU_ADD>,
    /* 02 ADD Gb,Eb */ op_alu_gb_eb<ALU_ADD>,
    /* 03 ADD Gv,Ev */ op_alu_gv_ev<ALU_ADD>,
    /* 04 ADD AL,Ib */ op_alu_al_ib<ALU_ADD>,
    /* 05 ADD AX,Iv */ op_alu_ax_iv<ALU_ADD>,
    /* 06 PUSH ES */ op_push_sreg<S_ES>,
    /* 07 POP ES */ op_pop_sreg<S_ES>,
    /* 08 OR Eb,Gb */ op_alu_eb_gb<ALU_OR>,
    /* 09 OR Ev,Gv */ op_alu_ev_gv<ALU_OR>,
    /* 0A OR Gb,Eb */ op_alu_gb_eb<ALU_OR>,
    /* 0B OR Gv,Ev */ op_alu_gv_ev<ALU_OR>,
    /* 0C OR AL,Ib */ op_alu_al_ib<ALU_OR>,
    /* 0D OR AX,Iv */ op_alu_ax_iv<ALU_OR>,
    /* 0E PUSH CS */ op_push_sreg<S_CS>,
    /* 0F two-byte map */ op_escape_0f,
    /* 10 ADC Eb,Gb */ op_alu_eb_gb<ALU_ADC>,
    /* 11 ADC Ev,Gv */ op_alu_ev_gv<ALU_ADC>,
    /* 12 ADC Gb,Eb */ op_alu_gb_eb<ALU_ADC>,
    /* 13 ADC Gv,Ev */ op_alu_gv_ev<ALU_ADC>,
    /* 14 ADC AL,Ib */ op_alu_al_ib<ALU_ADC>,
    /* 15 ADC AX,Iv */ op_alu_ax_iv<ALU_ADC>,
    /* 16 PUSH SS */ op_push_sreg<S_SS>,
    /* 17 POP SS */ op_pop_sreg<S_SS>,
    /* 18 SBB Eb,Gb */ op_alu_eb_gb<ALU_SBB>,
    /* 19 SBB Ev,Gv */ op_alu_ev_gv<ALU_SBB>,
    /* 1A SBB Gb,Eb */ op_alu_gb_eb<ALU_SBB>,
    /* 1B SBB Gv,Ev */ op_alu_gv_ev<ALU_SBB>,
    /* 1C SBB AL,Ib */ op_alu_al_ib<ALU_SBB>,
    /* 1D SBB AX,Iv */ op_alu_ax_iv<ALU_SBB>,
    /* 1E PUSH DS */ op_push_sreg<S_DS>,
    /* 1F POP DS */ op_pop_sreg<S_DS>,
    /* 20 AND Eb,Gb */ op_alu_eb_gb<ALU_AND>,
    /* 21 AND Ev,Gv */ op_alu_ev_gv<ALU_AND>,
    /* 22 AND Gb,Eb */ op_alu_gb_eb<ALU_AND>,
    /* 23 AND Gv,Ev */ op_alu_gv_ev<ALU_AND>,
    /* 24 AND AL,Ib */ op_alu_al_ib<ALU_AND>,
    /* 25 AND AX,Iv */ op_alu_ax_iv<ALU_AND>,
    /* 26 ES: */ op_prefix_seg<S_ES>,
    /* 27 DAA */ op_daa,
    /* 28 SUB Eb,Gb */ op_alu_eb_gb<ALU_SUB>,
    /* 29 SUB Ev,Gv */ op_alu_ev_gv<ALU_SUB>,
    /* 2A SUB Gb,Eb */ op_alu_gb_eb<ALU_SUB>,
    /* 2B SUB Gv,Ev */ op_alu_gv_ev<ALU_SUB>,
    /* 2C SUB AL,Ib */ op_alu_al_ib<ALU_SUB>,
    /* 2D SUB AX,Iv */ op_alu_ax_iv<ALU_SUB>,
    /* 2E CS: */ op_prefix_seg<S_CS>,
    /* 2F DAS */ op_das,
    /* 30 XOR Eb,Gb */ op_alu_eb_gb<ALU_XOR>,
    /* 31 XOR Ev,Gv */ op_alu_ev_gv<ALU_XOR>,
    /* 32 XOR Gb,Eb */ op_alu_gb_eb<ALU_XOR>,
    /* 33 XOR Gv,Ev */ op_alu_gv_ev<ALU_XOR>,
    /* 34 XOR AL,Ib */ op_alu_al_ib<ALU_XOR>,
    /* 35 XOR AX,Iv */ op_alu_ax_iv<ALU_XOR>,
    /* 36 SS: */ op_prefix_seg<S_SS>,
    /* 37 AAA */ op_aaa,
    /* 38 CMP Eb,Gb */ op_alu_eb_gb<ALU_CMP>,
    /* 39 CMP Ev,Gv */ op_alu_ev_gv<ALU_CMP>,
    /* 3A CMP Gb,Eb */ op_alu_gb_eb<ALU_CMP>,
    /* 3B CMP Gv,Ev */ op_alu_gv_ev<ALU_CMP>,
    /* 3C CMP AL,Ib */ op_alu_al_ib<ALU_CMP>,
    /* 3D CMP AX,Iv */ op_alu_ax_iv<ALU_CMP>,
    /* 3E DS: */ op_prefix_seg<S_DS>,
    /* 3F AAS */ op_aas,
    /* 40 INC AX */ op_inc_rv<R_AX>,
    /* 41 INC CX */ op_inc_rv<R_CX>,
    /* 42 INC DX */ op_inc_rv<R_DX>,
    /* 43 INC BX */ op_inc_rv<R_BX>,
    /* 44 INC SP */ op_inc_rv<R_SP>,
    /* 45 INC BP */ op_inc_rv<R_BP>,
    /* 46 INC SI */ op_inc_rv<R_SI>,
    /* 47 INC DI */ op_inc_rv<R_DI>,
    /* 48 DEC AX */ op_dec_rv<R_AX>,
    /* 49 DEC CX */ op_dec_rv<R_CX>,
    /* 4A DEC DX */ op_dec_rv<R_DX>,
    /* 4B DEC BX */ op_dec_rv<R_BX>,
    /* 4C DEC SP */ op_dec_rv<R_SP>,
    /* 4D DEC BP */ op_dec_rv<R_BP>,
    /* 4E DEC SI */ op_dec_rv<R_SI>,
    /* 4F DEC DI */ op_dec_rv<R_DI>,
    /* 50 PUSH AX */ op_push_rv<R_AX>,
    /* 51 PUSH CX */ op_push_rv<R_CX>,
    /* 52 PUSH DX */ op_push_rv<R_DX>,
    /* 53 PUSH BX */ op_push_rv<R_BX>,
    /* 54 PUSH SP */ op_push_rv<R_SP>,
    /* 55 PUSH BP */ op_push_rv<R_BP>,
    /* 56 PUSH SI */ op_push_rv<R_SI>,
    /* 57 PUSH DI */ op_push_rv<R_DI>,
    /* 58 POP AX */ op_pop_rv<R_AX>,
    /* 59 POP CX */ op_pop_rv<R_CX>,
    /* 5A POP DX */ op_pop_rv<R_DX>,
    /* 5B POP BX */ op_pop_rv<R_BX>,
    /* 5C POP SP */ op_pop_rv<R_SP>,
    /* 5D POP BP */ op_pop_rv<R_BP>,
    /* 5E POP SI */ op_pop_rv<R_SI>,
    /* 5F POP DI */ op_pop_rv<R_DI>,
    /* 60 PUSHA */ op_pusha,
    /* 61 POPA */ op_popa,
    /* 62 BOUND Gv,Ma */ op_bound_gv_ma,
    /* 63 (ARPL) */ op_bad,
    /* 64 FS: */ op_prefix_seg<S_FS>,
    /* 65 GS: */ op_prefix_seg<S_GS>,
    /* 66 operand size */ op_prefix_o32,
    /* 67 address size */ op_prefix_a32,
    /* 68 PUSH Iv */ op_push_iv,
    /* 69 IMUL Gv,Ev,Iv */ op_imul_gv_ev_iv,
    /* 6A PUSH Ib */ op_push_ib,
    /* 6B IMUL Gv,Ev,Ib */ op_imul_gv_ev_ib,
    /* 6C INSB */ op_string<0x6C>,
    /* 6D INSW */ op_string<0x6D>,
    /* 6E OUTSB */ op_string<0x6E>,
    /* 6F OUTSW */ op_string<0x6F>,
    /* 70 JO Jb */ op_jcc_rel8<0x0>,
    /* 71 JNO Jb */ op_jcc_rel8<0x1>,
    /* 72 JC Jb */ op_jcc_rel8<0x2>,
    /* 73 JNC Jb */ op_jcc_rel8<0x3>,
    /* 74 JZ Jb */ op_jcc_rel8<0x4>,
    /* 75 JNZ Jb */ op_jcc_rel8<0x5>,
    /* 76 JBE Jb */ op_jcc_rel8<0x6>,
    /* 77 JA Jb */ op_jcc_rel8<0x7>,
    /* 78 JS Jb */ op_jcc_rel8<0x8>,
    /* 79 JNS Jb */ op_jcc_rel8<0x9>,
    /* 7A JP Jb */ op_jcc_rel8<0xA>,
    /* 7B JNP Jb */ op_jcc_rel8<0xB>,
    /* 7C JL Jb */ op_jcc_rel8<0xC>,
    /* 7D JGE Jb */ op_jcc_rel8<0xD>,
    /* 7E JLE Jb */ op_jcc_rel8<0xE>,
    /* 7F JG Jb */ op_jcc_rel8<0xF>,
    /* 80 grp1 Eb,Ib */ op_grp1_eb_ib,
    /* 81 grp1 Ev,Iv */ op_grp1_ev_iv,
    /* 82 grp1 Eb,Ib (as 80) */ op_grp1_eb_ib,
    /* 83 grp1 Ev,Ib */ op_grp1_ev_ib,
    /* 84 TEST Eb,Gb */ op_test_eb_gb,
    /* 85 TEST Ev,Gv */ op_test_ev_gv,
    /* 86 XCHG Eb,Gb */ op_xchg_eb_gb,
    /* 87 XCHG Ev,Gv */ op_xchg_ev_gv,
    /* 88 MOV Eb,Gb */ op_mov_eb_gb,
    /* 89 MOV Ev,Gv */ op_mov_ev_gv,
    /* 8A MOV Gb,Eb */ op_mov_gb_eb,
    /* 8B MOV Gv,Ev */ op_mov_gv_ev,
    /* 8C MOV Ew,Sw */ op_mov_ew_sw,
    /* 8D LEA Gv,M */ op_lea_gv_m,
    /* 8E MOV Sw,Ew */ op_mov_sw_ew,
    /* 8F POP Ev */ op_pop_ev,
    /* 90 NOP */ op_nop,
    /* 91 XCHG AX,CX */ op_xchg_ax_rv<R_CX>,
    /* 92 XCHG AX,DX */ op_xchg_ax_rv<R_DX>,
    /* 93 XCHG AX,BX */ op_xchg_ax_rv<R_BX>,
    /* 94 XCHG AX,SP */ op_xchg_ax_rv<R_SP>,
    /* 95 XCHG AX,BP */ op_xchg_ax_rv<R_BP>,
    /* 96 XCHG AX,SI */ op_xchg_ax_rv<R_SI>,
    /* 97 XCHG AX,DI */ op_xchg_ax_rv<R_DI>,
    /* 98 CBW / CWDE */ op_cbw,
    /* 99 CWD / CDQ */ op_cwd,
    /* 9A CALL Ap */ op_call_far_ap,
    /* 9B WAIT */ op_nop,
    /* 9C PUSHF */ op_pushf,
    /* 9D POPF */ op_popf,
    /* 9E SAHF */ op_sahf,
    /* 9F LAHF */ op_lahf,
    /* A0 MOV AL,Ob */ op_mov_al_ob,
    /* A1 MOV AX,Ov */ op_mov_ax_ov,
    /* A2 MOV Ob,AL */ op_mov_ob_al,
    /* A3 MOV Ov,AX */ op_mov_ov_ax,
    /* A4 MOVSB */ op_string<0xA4>,
    /* A5 MOVSW */ op_string<0xA5>,
    /* A6 CMPSB */ op_string<0xA6>,
    /* A7 CMPSW */ op_string<0xA7>,
    /* A8 TEST AL,Ib */ op_test_al_ib,
    /* A9 TEST AX,Iv */ op_test_ax_iv,
    /* AA STOSB */ op_string<0xAA>,
    /* AB STOSW */ op_string<0xAB>,
    /* AC LODSB */ op_string<0xAC>,
    /* AD LODSW */ op_string<0xAD>,
    /* AE SCASB */ op_string<0xAE>,
    /* AF SCASW */ op_string<0xAF>,
    /* B0 MOV AL,Ib */ op_mov_rb_ib<0>,
    /* B1 MOV CL,Ib */ op_mov_rb_ib<1>,
    /* B2 MOV DL,Ib */ op_mov_rb_ib<2>,
    /* B3 MOV BL,Ib */ op_mov_rb_ib<3>,
    /* B4 MOV AH,Ib */ op_mov_rb_ib<4>,
    /* B5 MOV CH,Ib */ op_mov_rb_ib<5>,
    /* B6 MOV DH,Ib */ op_mov_rb_ib<6>,
    /* B7 MOV BH,Ib */ op_mov_rb_ib<7>,
    /* B8 MOV AX,Iv */ op_mov_rv_iv<R_AX>,
    /* B9 MOV CX,Iv */ op_mov_rv_iv<R_CX>,
    /* BA MOV DX,Iv */ op_mov_rv_iv<R_DX>,
    /* BB MOV BX,Iv */ op_mov_rv_iv<R_BX>,
    /* BC MOV SP,Iv */ op_mov_rv_iv<R_SP>,
    /* BD MOV BP,Iv */ op_mov_rv_iv<R_BP>,
    /* BE MOV SI,Iv */ op_mov_rv_iv<R_SI>,
    /* BF MOV DI,Iv */ op_mov_rv_iv<R_DI>,
    /* C0 grp2 Eb,Ib */ op_grp2_eb<COUNT_IMM>,
    /* C1 grp2 Ev,Ib */ op_grp2_ev<COUNT_IMM>,
    /* C2 RET Iw */ op_ret_iw,
    /* C3 RET */ op_ret,
    /* C4 LES Gv,Mp */ op_load_far_pointer<S_ES>,
    /* C5 LDS Gv,Mp */ op_load_far_pointer<S_DS>,
    /* C6 MOV Eb,Ib */ op_mov_eb_ib,
    /* C7 MOV Ev,Iv */ op_mov_ev_iv,
    /* C8 ENTER Iw,Ib */ op_enter,
    /* C9 LEAVE */ op_leave,
    /* CA RETF Iw */ op_retf_iw,
    /* CB RETF */ op_retf,
    /* CC INT3 */ op_int3,
    /* CD INT Ib */ op_int_ib,
    /* CE INTO */ op_into,
    /* CF IRET */ op_iret,
    /* D0 grp2 Eb,1 */ op_grp2_eb<COUNT_ONE>,
    /* D1 grp2 Ev,1 */ op_grp2_ev<COUNT_ONE>,
    /* D2 grp2 Eb,CL */ op_grp2_eb<COUNT_CL>,
    /* D3 grp2 Ev,CL */ op_grp2_ev<COUNT_CL>,
    /* D4 AAM Ib */ op_aam_ib,
    /* D5 AAD Ib */ op_aad_ib,
    /* D6 SALC */ op_salc,
    /* D7 XLAT */ op_xlat,
    /* D8 ESC 0 (x87) */ op_esc<0xD8>,
    /* D9 ESC 1 */ op_esc<0xD9>,
    /* DA ESC 2 */ op_esc<0xDA>,
    /* DB ESC 3 */ op_esc<0xDB>,
    /* DC ESC 4 */ op_esc<0xDC>,
    /* DD ESC 5 */ op_esc<0xDD>,
    /* DE ESC 6 */ op_esc<0xDE>,
    /* DF ESC 7 */ op_esc<0xDF>,
    /* E0 LOOPNE Jb */ op_loop<0>,
    /* E1 LOOPE Jb */ op_loop<1>,
    /* E2 LOOP Jb */ op_loop<2>,
    /* E3 JCXZ Jb */ op_loop<3>,
    /* E4 IN AL,Ib */ op_in_al_ib,
    /* E5 IN AX,Ib */ op_in_ax_ib,
    /* E6 OUT Ib,AL */ op_out_ib_al,
    /* E7 OUT Ib,AX */ op_out_ib_ax,
    /* E8 CALL Jv */ op_call_relv,
    /* E9 JMP Jv */ op_jmp_relv,
    /* EA JMP Ap */ op_jmp_far_ap,
    /* EB JMP Jb */ op_jmp_rel8,
    /* EC IN AL,DX */ op_in_al_dx,
    /* ED IN AX,DX */ op_in_ax_dx,
    /* EE OUT DX,AL */ op_out_dx_al,
    /* EF OUT DX,AX */ op_out_dx_ax,
    /* F0 LOCK */ op_prefix_lock,
    /* F1 (INT1) */ op_bad,
    /* F2 REPNE */ op_prefix_rep<0xF2>,
    /* F3 REP / REPE */ op_prefix_rep<0xF3>,
    /* F4 HLT */ op_hlt,
    /* F5 CMC */ op_cmc,
    /* F6 grp3 Eb */ op_grp3_eb,
    /* F7 grp3 Ev */ op_grp3_ev,
    /* F8 CLC */ op_clc,
    /* F9 STC */ op_stc,
    /* FA CLI */ op_cli,
    /* FB STI */ op_sti,
    /* FC CLD */ op_cld,
    /* FD STD */ op_std,
    /* FE grp4 Eb, HLE escape */ op_grp4_eb,
    /* FF grp5 Ev */ op_grp5_ev,
};

static_assert(offsetof(Prefix, start_cs) == offsetof(Prefix, start_ip) + 2);

HOT void exec_one(void)
{
    uint16_t ip = IP, cs = CS;
    uint32_t lin = LIN(cs, ip);
    P.o32 = 0;
    P.a32 = 0;
    P.seg = -1;
    P.rep = 0;
    // One 32-bit store for the adjacent start_ip and start_cs: built from
    // two vector lanes it would load IP wider than its last store and stall.
    uint32_t start = ip | (uint32_t)cs << 16;
    memcpy(&P.start_ip, &start, sizeof start);
    interp_insn_lin = lin;
    if (UNLIKELY(interp_profile != nullptr))
        interp_profile[lin >> 4]++;
    const uint8_t *pc = code_window(cs, ip);
    op_table[pc[0]](Code{(uint16_t)(ip + 1), pc + 1});
}

void interp_exec(void) { exec_one(); }

void cpu_step(void)
{
    cpu.icount++;
    exec_one();
}

// The common path of cpu_run_until, here so that the step inlines into the
// loop. Each round is one round of the run loop in which nothing but the
// step happens: the return point is not reached, the poll countdown does not
// run out and no interrupt can be taken. Anything else goes back to the
// caller, which runs that round in full. The countdown is only decremented
// when it stays above 0, so the caller sees the value it would have had.
int interp_run(uint16_t retcs, uint16_t retip, uint16_t sp_mark)
{
    for (;;) {
        // IP first: code mostly runs in the segment it returns to.
        if (IP == retip && CS == retcs && (int16_t)(uint16_t)(SP - sp_mark) >= 0)
            return 1;
        if (UNLIKELY(poll_counter <= 1 || (irq_pending && (cpu.flags & F_IF))))
            return 0;
        poll_counter--;
        cpu.icount++;
        exec_one();
    }
}

void unimpl(uint8_t op1, uint8_t op2)
{
    fatal("unimplemented opcode %02X %02X at %04X:%04X", op1, op2, P.start_cs, P.start_ip);
}
