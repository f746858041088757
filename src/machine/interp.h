// Internals shared by the interpreter's files: instruction fetch, operand
// decoding, typed register and memory access, the ALU templates and the
// handler tables.
//
// An instruction runs as a chain of table dispatches: the step fetches the
// first byte and calls its handler; a prefix handler records the prefix in P
// and dispatches the next byte through the same table; the 0Fh handler
// dispatches the second byte through the two-byte table. Handlers are
// templates over the operand type (uint8_t, uint16_t, uint32_t) and the
// operation, so that each table entry is straight-line code.
#pragma once

#include "machine/cpu.h"

// The bytes of the instruction being decoded: ip is the offset of the next
// byte, pc points at a host copy of it. A code window guarantees
// CODE_WINDOW readable bytes from where it starts, so the fetches below are
// plain loads; every instruction fits in a window that starts at its opcode
// (prefix handlers open a new window after each prefix).
struct Code {
    uint16_t ip;
    const uint8_t *pc;
};

// A handler receives the code position after its opcode and fetches the
// rest of the instruction through that local copy of IP; it stores IP once,
// when the instruction has been fetched and before it calls anything that
// reads IP. Keeping IP out of memory between the fetches keeps a
// store-to-load round trip per fetched field off the critical path.
using OpFn = void (*)(Code ip);
extern const OpFn op_table[256];    // one-byte map
extern const OpFn op_table_0f[256]; // second byte after 0Fh

// One instruction at CS:IP: resets the prefix state, records the start of
// the instruction and dispatches its first byte. cpu_step is this plus the
// instruction count.
void interp_exec(void);
// Steps the machine as long as the run loop has nothing else to do; returns
// 1 when CS:IP is the return point of cpu_run_until (with SP at or above
// sp_mark), 0 when a poll or an interrupt is due.
int interp_run(uint16_t retcs, uint16_t retip, uint16_t sp_mark);
// The body of every string instruction, under the prefix state P.
void string_op(uint8_t op);
// Ends the run: an opcode this machine does not implement.
[[noreturn]] void unimpl(uint8_t op1, uint8_t op2);

// The hot helpers below are forced inline: the handler files are large
// enough that the optimiser's unit-growth limits would otherwise leave them
// as calls.
#define HOT static inline __attribute__((always_inline))

#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)

enum {
    EXC_DIVIDE = 0,
    INT_BREAKPOINT = 3,
    INT_OVERFLOW = 4,
    EXC_BOUND = 5,
    EXC_INVALID_OPCODE = 6,
};
enum : uint8_t { MODRM_REG_FORM = 0xC0 }; // ModRM bytes from here on name a register

// Raises an exception whose frame points at the faulting instruction, so that
// a handler returning from it runs the instruction again.
static inline void fault_at_start(uint8_t n)
{
    IP = P.start_ip;
    cpu_exception(n);
}

// ---- Instruction fetch (CS:IP, IP wrapping at 64 KB) --------------------

constexpr unsigned CODE_WINDOW = 16;

// Bytes near a page end, at the end of the segment or in an I/O page: a
// copy read through the accessors.
const uint8_t *code_window_slow(uint16_t cs, uint16_t ip);

HOT const uint8_t *code_window(uint16_t cs, uint16_t ip)
{
    uint32_t lin = LIN(cs, ip);
    uint8_t *p = mem_page[PAGE_OF(lin)];
    // Three separately predicted tests: as one expression the compiler
    // materialises the middle comparison as a value first.
    if (LIKELY(p != nullptr) && LIKELY((lin & PAGE_MASK) <= PAGE_MASK - (CODE_WINDOW - 1)) &&
        LIKELY(ip <= 0xFFFF - (CODE_WINDOW - 1)))
        return p + (lin & PAGE_MASK);
    return code_window_slow(cs, ip);
}

HOT Code code_at(uint16_t ip) { return {ip, code_window(CS, ip)}; }

HOT uint8_t fetch8(Code &c)
{
    uint8_t v = *c.pc;
    c.pc += 1;
    c.ip = (uint16_t)(c.ip + 1);
    return v;
}

HOT uint16_t fetch16(Code &c)
{
    uint16_t v = mem_ld16(c.pc);
    c.pc += 2;
    c.ip = (uint16_t)(c.ip + 2);
    return v;
}

HOT uint32_t fetch32(Code &c)
{
    uint32_t v = mem_ld32(c.pc);
    c.pc += 4;
    c.ip = (uint16_t)(c.ip + 4);
    return v;
}

template <typename T> HOT T fetch(Code &ip)
{
    if constexpr (sizeof(T) == 1)
        return fetch8(ip);
    else if constexpr (sizeof(T) == 2)
        return fetch16(ip);
    else
        return fetch32(ip);
}

// ---- Registers by number -------------------------------------------------

// 8-bit registers 0-3 are the low bytes of AX CX DX BX, 4-7 their high bytes.
template <typename T> HOT T &greg(unsigned n)
{
    if constexpr (sizeof(T) == 1)
        return *(reinterpret_cast<uint8_t *>(&cpu.r[n & 3]) + ((n >> 2) & 1));
    else if constexpr (sizeof(T) == 2)
        return cpu.r[n & 7].w;
    else
        return cpu.r[n & 7].e;
}

template <typename T> constexpr uint8_t size_code = sizeof(T) == 1 ? 0 : sizeof(T) == 2 ? 1 : 2;
template <typename T> constexpr unsigned width_bits = sizeof(T) * 8;

// ---- Effective addresses -------------------------------------------------

struct Mem {
    uint16_t seg; // segment value
    uint16_t off;
};

// The full 32-bit sum of the last 32-bit effective address, for LEA with
// 32-bit operands (memory accesses use its low 16 bits).
extern uint32_t ea32_sum;

HOT uint16_t seg_value(int def)
{
    int s = P.seg;
    return cpu.seg[s < 0 ? def : s];
}

// SIB forms and 32-bit displacements: the operand and the number of bytes
// it took after the ModRM byte, packed as off | seg << 16 | len << 32.
uint64_t ea32_decode(uint8_t modrm, const uint8_t *pc);

HOT Mem ea32_mem(uint8_t m, Code &ip)
{
    uint64_t r = ea32_decode(m, ip.pc);
    unsigned len = (unsigned)(r >> 32);
    ip.pc += len;
    ip.ip = (uint16_t)(ip.ip + len);
    return {(uint16_t)(r >> 16), (uint16_t)r};
}

// 16-bit forms by rm: BX+SI, BX+DI, BP+SI, BP+DI, SI, DI, BP (a bare
// displacement for mod 0), BX. The forms with BP default to SS.
HOT Mem ea16_mem(uint8_t m, Code &ip)
{
    static constexpr uint8_t base[8] = {R_BX, R_BX, R_BP, R_BP, R_SI, R_DI, R_BP, R_BX};
    static constexpr uint8_t index[4] = {R_SI, R_DI, R_SI, R_DI};
    constexpr unsigned SS_FORMS = 0x4C; // rm 2, 3 and 6
    unsigned mod = m >> 6, rm = m & 7;
    if (mod == 0 && rm == 6)
        return {seg_value(S_DS), fetch16(ip)};
    uint16_t off = cpu.r[base[rm]].w;
    if (rm < 4)
        off = (uint16_t)(off + cpu.r[index[rm]].w);
    if (mod == 1)
        off = (uint16_t)(off + (int8_t)fetch8(ip));
    else if (mod == 2)
        off = (uint16_t)(off + fetch16(ip));
    return {seg_value((SS_FORMS >> rm) & 1 ? S_SS : S_DS), off};
}

// A memory operand (mod != 3), with the displacement (and SIB) fetched.
HOT Mem ea_mem(uint8_t m, Code &ip)
{
    if (UNLIKELY(P.a32))
        return ea32_mem(m, ip);
    return ea16_mem(m, ip);
}

// ---- Typed memory and stack access ---------------------------------------

template <typename T> HOT T mem_rd(Mem a)
{
    if constexpr (sizeof(T) == 1)
        return rd8(a.seg, a.off);
    else if constexpr (sizeof(T) == 2)
        return rd16(a.seg, a.off);
    else
        return rd32(a.seg, a.off);
}

template <typename T> HOT void mem_wr(Mem a, T v)
{
    if constexpr (sizeof(T) == 1)
        wr8(a.seg, a.off, v);
    else if constexpr (sizeof(T) == 2)
        wr16(a.seg, a.off, v);
    else
        wr32(a.seg, a.off, v);
}

template <typename T> HOT void push(T v)
{
    if constexpr (sizeof(T) == 2)
        push16(v);
    else
        push32(v);
}

template <typename T> HOT T pop(void)
{
    if constexpr (sizeof(T) == 2)
        return pop16();
    else
        return pop32();
}

// The r/m operand of a ModRM byte: a register or memory.
template <typename T> HOT T rm_read(uint8_t m, Code &ip)
{
    if (m >= MODRM_REG_FORM)
        return greg<T>(m);
    return mem_rd<T>(ea_mem(m, ip));
}

template <typename T> HOT void rm_write(uint8_t m, Code &ip, T v)
{
    if (m >= MODRM_REG_FORM)
        greg<T>(m) = v;
    else
        mem_wr<T>(ea_mem(m, ip), v);
}

// Read-modify-write of the r/m operand; f returns the new value.
template <typename T, typename F> HOT void rm_modify(uint8_t m, Code &ip, F f)
{
    if (m >= MODRM_REG_FORM) {
        T &r = greg<T>(m);
        r = f(r);
    } else {
        Mem a = ea_mem(m, ip);
        mem_wr<T>(a, f(mem_rd<T>(a)));
    }
}

// ---- ALU operations --------------------------------------------------------

// In the encoding order of the ALU opcodes and of the 80h-83h group.
enum { ALU_ADD, ALU_OR, ALU_ADC, ALU_SBB, ALU_AND, ALU_SUB, ALU_XOR, ALU_CMP };

// The shared primitives of cpu.h selected by operand type.
template <typename T> struct Prim;
#define PRIM_WIDTH(W, T)                                                  \
    template <> struct Prim<T> {                                          \
        static T add(T a, T b) { return add##W(a, b); }                   \
        static T adc(T a, T b) { return adc##W(a, b); }                   \
        static T sub(T a, T b) { return sub##W(a, b); }                   \
        static T sbb(T a, T b) { return sbb##W(a, b); }                   \
        static T and_(T a, T b) { return and##W(a, b); }                  \
        static T or_(T a, T b) { return or##W(a, b); }                    \
        static T xor_(T a, T b) { return xor##W(a, b); }                  \
        static T inc(T a) { return inc##W(a); }                           \
        static T dec(T a) { return dec##W(a); }                           \
        static T neg(T a) { return neg##W(a); }                           \
        static T shift(int op, T v, unsigned n) { return shift##W(op, v, n); } \
        static void mul(T v) { mul##W(v); }                               \
        static void imul(T v) { imul##W(v); }                             \
        static int div(T v) { return div##W(v); }                         \
        static int idiv(T v) { return idiv##W(v); }                       \
    };
PRIM_WIDTH(8, uint8_t)
PRIM_WIDTH(16, uint16_t)
PRIM_WIDTH(32, uint32_t)
#undef PRIM_WIDTH

template <int OP, typename T> HOT T alu(T a, T b)
{
    using A = Prim<T>;
    if constexpr (OP == ALU_ADD) return A::add(a, b);
    else if constexpr (OP == ALU_OR) return A::or_(a, b);
    else if constexpr (OP == ALU_ADC) return A::adc(a, b);
    else if constexpr (OP == ALU_SBB) return A::sbb(a, b);
    else if constexpr (OP == ALU_AND) return A::and_(a, b);
    else if constexpr (OP == ALU_SUB) return A::sub(a, b);
    else if constexpr (OP == ALU_XOR) return A::xor_(a, b);
    else { A::sub(a, b); return a; } // CMP: flags only
}

HOT uint16_t imul3(uint16_t a, uint16_t b) { return imul16_3(a, b); }
HOT uint32_t imul3(uint32_t a, uint32_t b) { return imul32_3(a, b); }

// Runs fn<uint32_t>(ip) with a 66h prefix, fn<uint16_t>(ip) without.
#define BY_OPSIZE(fn)                  \
    do {                               \
        if (P.o32)                     \
            fn<uint32_t>(ip);          \
        else                           \
            fn<uint16_t>(ip);          \
    } while (0)

// ---- Handlers shared by both maps -----------------------------------------

template <int S> void op_push_sreg(Code ip)
{
    IP = ip.ip;
    if (P.o32)
        push32(cpu.seg[S]);
    else
        push16(cpu.seg[S]);
}

template <int S> void op_pop_sreg(Code ip)
{
    IP = ip.ip;
    cpu.seg[S] = P.o32 ? (uint16_t)pop32() : pop16();
}

template <int CC> void op_jcc_rel8(Code ip)
{
    int8_t d = (int8_t)fetch8(ip);
    IP = cond(CC) ? (uint16_t)(ip.ip + d) : ip.ip;
}

// LES, LDS and (two-byte map) LSS, LFS, LGS: offset, then segment.
template <int S> void op_load_far_pointer(Code ip)
{
    uint8_t m = fetch8(ip);
    if (m >= MODRM_REG_FORM) {
        fault_at_start(EXC_INVALID_OPCODE);
        return;
    }
    Mem a = ea_mem(m, ip);
    IP = ip.ip;
    if (P.o32) {
        greg<uint32_t>(m >> 3) = mem_rd<uint32_t>(a);
        cpu.seg[S] = rd16(a.seg, (uint16_t)(a.off + 4));
    } else {
        greg<uint16_t>(m >> 3) = mem_rd<uint16_t>(a);
        cpu.seg[S] = rd16(a.seg, (uint16_t)(a.off + 2));
    }
}
