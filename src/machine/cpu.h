/* cpu.h - the emulated machine state shared by the interpreter, the host
 * services and generated code: the register file with its lazy flags, the
 * address space and its accessors, the ALU primitives.
 *
 * This header is plain C that the in-memory compiler also builds into every
 * generated module, so the CPU record's field order and every declaration
 * here are a binary contract: change them only together with that side.
 */
#ifndef HALVERD_CPU_H
#define HALVERD_CPU_H

#ifndef RC_PRELUDE
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The accessors and flag primitives below sit on every hot path: the
 * interpreter uses them hundreds of times per file, more than the
 * optimiser's growth limits would inline on its own. */
#if defined(__GNUC__) && !defined(__TINYC__)
#define CPU_INLINE static inline __attribute__((always_inline))
#define CPU_COLD __attribute__((cold))
#define CPU_LIKELY(x) __builtin_expect(!!(x), 1)
#else
#define CPU_INLINE static inline
#define CPU_COLD
#define CPU_LIKELY(x) (x)
#endif

/* ---- Registers ------------------------------------------------------ */

typedef union {
    uint32_t e;
    uint16_t w;
    struct { uint8_t l, h; } b;
} Reg32;

enum { R_AX, R_CX, R_DX, R_BX, R_SP, R_BP, R_SI, R_DI };
enum { S_ES, S_CS, S_SS, S_DS, S_FS, S_GS };

#define F_CF 0x0001u
#define F_PF 0x0004u
#define F_AF 0x0010u
#define F_ZF 0x0040u
#define F_SF 0x0080u
#define F_TF 0x0100u
#define F_IF 0x0200u
#define F_DF 0x0400u
#define F_OF 0x0800u
#define F_ARITH (F_CF | F_PF | F_AF | F_ZF | F_SF | F_OF)
#define F_VALID 0x3F7FD5u   /* bits a program can hold in EFLAGS */
#define F_ALWAYS1 0x0002u   /* bit 1 reads as one */

/* Producers of the lazy flags: what the last flag-setting operation was. */
enum { LF_NONE, LF_ADD, LF_ADC, LF_SUB, LF_SBB, LF_LOGIC, LF_INC, LF_DEC, LF_NEG };

typedef struct {
    long double st[8];      /* physical registers; ST(i) is st[(top + i) & 7] */
    uint16_t cw, sw, tw;    /* control, status (TOP kept in top), tag words */
    int top;
} FPU;

typedef struct {
    Reg32 r[8];             /* in register-number order */
    uint16_t seg[6];        /* in segment-number order */
    uint16_t ip;
    uint32_t flags;         /* authoritative except F_ARITH while lf_op != LF_NONE */
    uint32_t lf_a, lf_b, lf_res;
    uint8_t lf_op;
    uint8_t lf_size;        /* 0 byte, 1 word, 2 dword */
    uint8_t lf_cin;         /* carry-in of the last ADC/SBB */
    uint8_t halted;
    FPU fpu;
    uint64_t icount;        /* instructions run (interpreted, or blocks of generated code) */
} CPU;

extern CPU cpu;

#define EAX cpu.r[R_AX].e
#define ECX cpu.r[R_CX].e
#define EDX cpu.r[R_DX].e
#define EBX cpu.r[R_BX].e
#define ESP cpu.r[R_SP].e
#define EBP cpu.r[R_BP].e
#define ESI cpu.r[R_SI].e
#define EDI cpu.r[R_DI].e
#define AX cpu.r[R_AX].w
#define CX cpu.r[R_CX].w
#define DX cpu.r[R_DX].w
#define BX cpu.r[R_BX].w
#define SP cpu.r[R_SP].w
#define BP cpu.r[R_BP].w
#define SI cpu.r[R_SI].w
#define DI cpu.r[R_DI].w
#define AL cpu.r[R_AX].b.l
#define AH cpu.r[R_AX].b.h
#define CL cpu.r[R_CX].b.l
#define CH cpu.r[R_CX].b.h
#define DL cpu.r[R_DX].b.l
#define DH cpu.r[R_DX].b.h
#define BL cpu.r[R_BX].b.l
#define BH cpu.r[R_BX].b.h
#define ES cpu.seg[S_ES]
#define CS cpu.seg[S_CS]
#define SS cpu.seg[S_SS]
#define DS cpu.seg[S_DS]
#define FS cpu.seg[S_FS]
#define GS cpu.seg[S_GS]
#define IP cpu.ip

static const uint32_t SZMASK[3] = { 0xFFu, 0xFFFFu, 0xFFFFFFFFu };
static const uint32_t SZMSB[3] = { 0x80u, 0x8000u, 0x80000000u };

/* ---- Address space -------------------------------------------------- */

#define MEM_SIZE 0x110000u      /* 1 MB + HMA */
#define PAGE_SHIFT 14
#define PAGE_SIZE 0x4000u
#define PAGE_MASK 0x3FFFu
#define ADDR_SPACE 0x200000u    /* the page table covers 2 MB, addresses wrap there */
#define NUM_PAGES 128
#define PAGE_OF(lin) (((lin) >> PAGE_SHIFT) & (NUM_PAGES - 1))
#define LIN(seg, off) ((((uint32_t)(uint16_t)(seg)) << 4) + ((uint32_t)(off) & 0xFFFFu))

/* Write-watch bits of a page. */
#define WATCH_TRACE 1u          /* the page holds traced code */
#define WATCH_MODULE 2u         /* the page holds code of a recompiled module */

extern uint8_t *mem_base;                   /* MEM_SIZE + one page of backing store */
extern uint8_t *mem_page[NUM_PAGES];        /* host page per 16 KB; null = memory-mapped I/O */
extern uint8_t mem_write_watch[NUM_PAGES];
extern uint32_t interp_insn_lin;            /* linear address of the interpreted instruction */
extern uint32_t *vga_writer_hist;           /* optional VGA-write counters per instruction */

void mem_init(void);
CPU_COLD uint8_t io_mem_rd8(uint32_t lin);
CPU_COLD void io_mem_wr8(uint32_t lin, uint8_t v);
CPU_COLD void mem_code_written(uint32_t lin);

/* Unaligned little-endian loads and stores of host memory. */
#if defined(__TINYC__)
CPU_INLINE uint16_t mem_ld16(const uint8_t *p) { return *(const uint16_t *)p; }
CPU_INLINE uint32_t mem_ld32(const uint8_t *p) { return *(const uint32_t *)p; }
CPU_INLINE void mem_st16(uint8_t *p, uint16_t v) { *(uint16_t *)p = v; }
CPU_INLINE void mem_st32(uint8_t *p, uint32_t v) { *(uint32_t *)p = v; }
#else
CPU_INLINE uint16_t mem_ld16(const uint8_t *p) { uint16_t v; __builtin_memcpy(&v, p, 2); return v; }
CPU_INLINE uint32_t mem_ld32(const uint8_t *p) { uint32_t v; __builtin_memcpy(&v, p, 4); return v; }
CPU_INLINE void mem_st16(uint8_t *p, uint16_t v) { __builtin_memcpy(p, &v, 2); }
CPU_INLINE void mem_st32(uint8_t *p, uint32_t v) { __builtin_memcpy(p, &v, 4); }
#endif

/* The accessors inline only their common case: RAM, inside one page, not
 * watched, not wrapping at the end of the segment. Everything else takes the
 * out-of-line slow paths below, which are marked cold so that the callers'
 * fast paths stay free of the register saves a call needs. */
CPU_COLD uint16_t mem_rd16l_slow(uint32_t lin);
CPU_COLD void mem_wr8l_slow(uint32_t lin, uint8_t v);
CPU_COLD void mem_wr16l_slow(uint32_t lin, uint16_t v);
CPU_COLD uint32_t mem_rd32l_slow(uint32_t lin);
CPU_COLD void mem_wr32l_slow(uint32_t lin, uint32_t v);
CPU_COLD uint16_t mem_rd16_wrap(uint16_t s, uint16_t o);
CPU_COLD void mem_wr16_wrap(uint16_t s, uint16_t o, uint16_t v);
CPU_COLD uint32_t mem_rd32_wrap(uint16_t s, uint16_t o);
CPU_COLD void mem_wr32_wrap(uint16_t s, uint16_t o, uint32_t v);

CPU_INLINE uint8_t rd8l(uint32_t lin)
{
    uint8_t *p = mem_page[PAGE_OF(lin)];
    if (CPU_LIKELY(p != 0))
        return p[lin & PAGE_MASK];
    return io_mem_rd8(lin & (ADDR_SPACE - 1));
}

/* A store into a watched page is reported after the byte is in memory. */
CPU_INLINE void wr8l(uint32_t lin, uint8_t v)
{
    uint32_t pg = PAGE_OF(lin);
    uint8_t *p = mem_page[pg];
    if (CPU_LIKELY(p != 0 && !mem_write_watch[pg]))
        p[lin & PAGE_MASK] = v;
    else
        mem_wr8l_slow(lin, v);
}

/* Words and dwords that straddle a page end, touch an I/O page or a watched
 * page go byte by byte (low byte first). */
CPU_INLINE uint16_t rd16l(uint32_t lin)
{
    uint8_t *p = mem_page[PAGE_OF(lin)];
    if (CPU_LIKELY(p != 0 && (lin & PAGE_MASK) != PAGE_MASK))
        return mem_ld16(p + (lin & PAGE_MASK));
    return mem_rd16l_slow(lin);
}

CPU_INLINE void wr16l(uint32_t lin, uint16_t v)
{
    uint32_t pg = PAGE_OF(lin);
    uint8_t *p = mem_page[pg];
    if (CPU_LIKELY(p != 0 && (lin & PAGE_MASK) != PAGE_MASK && !mem_write_watch[pg]))
        mem_st16(p + (lin & PAGE_MASK), v);
    else
        mem_wr16l_slow(lin, v);
}

CPU_INLINE uint32_t rd32l(uint32_t lin)
{
    uint8_t *p = mem_page[PAGE_OF(lin)];
    if (CPU_LIKELY(p != 0 && (lin & PAGE_MASK) <= PAGE_MASK - 3))
        return mem_ld32(p + (lin & PAGE_MASK));
    return mem_rd32l_slow(lin);
}

CPU_INLINE void wr32l(uint32_t lin, uint32_t v)
{
    uint32_t pg = PAGE_OF(lin);
    uint8_t *p = mem_page[pg];
    if (CPU_LIKELY(p != 0 && (lin & PAGE_MASK) <= PAGE_MASK - 3 && !mem_write_watch[pg]))
        mem_st32(p + (lin & PAGE_MASK), v);
    else
        mem_wr32l_slow(lin, v);
}

/* Segment:offset forms: a word at offset FFFFh wraps to offset 0 of the
 * same segment, as in real mode. */
CPU_INLINE uint8_t rd8(uint16_t s, uint16_t o) { return rd8l(LIN(s, o)); }
CPU_INLINE void wr8(uint16_t s, uint16_t o, uint8_t v) { wr8l(LIN(s, o), v); }

CPU_INLINE uint16_t rd16(uint16_t s, uint16_t o)
{
    if (CPU_LIKELY(o != 0xFFFF))
        return rd16l(LIN(s, o));
    return mem_rd16_wrap(s, o);
}

CPU_INLINE void wr16(uint16_t s, uint16_t o, uint16_t v)
{
    if (CPU_LIKELY(o != 0xFFFF))
        wr16l(LIN(s, o), v);
    else
        mem_wr16_wrap(s, o, v);
}

CPU_INLINE uint32_t rd32(uint16_t s, uint16_t o)
{
    if (CPU_LIKELY(o <= 0xFFFC))
        return rd32l(LIN(s, o));
    return mem_rd32_wrap(s, o);
}

CPU_INLINE void wr32(uint16_t s, uint16_t o, uint32_t v)
{
    if (CPU_LIKELY(o <= 0xFFFC))
        wr32l(LIN(s, o), v);
    else
        mem_wr32_wrap(s, o, v);
}

/* Direct host pointer into RAM (not valid for I/O or remapped pages). */
CPU_INLINE uint8_t *memptr(uint32_t lin) { return mem_base + lin; }

/* The stack on SS:SP; only the 16-bit SP moves, wrapping at 64 KB. */
CPU_INLINE void push16(uint16_t v) { SP = (uint16_t)(SP - 2); wr16(SS, SP, v); }
CPU_INLINE uint16_t pop16(void) { uint16_t v = rd16(SS, SP); SP = (uint16_t)(SP + 2); return v; }
CPU_INLINE void push32(uint32_t v) { SP = (uint16_t)(SP - 4); wr32(SS, SP, v); }
CPU_INLINE uint32_t pop32(void) { uint32_t v = rd32(SS, SP); SP = (uint16_t)(SP + 4); return v; }

/* ---- Lazy flags ----------------------------------------------------- */

uint32_t flags_get(void);
void flags_set(uint32_t f);

#define LFSET(op, size, a, b, res) \
    (cpu.lf_op = (op), cpu.lf_size = (size), cpu.lf_a = (a), cpu.lf_b = (b), cpu.lf_res = (res))

CPU_INLINE int lf_cf(void)
{
    uint32_t m = SZMASK[cpu.lf_size];
    uint32_t a = cpu.lf_a & m, b = cpu.lf_b & m, r = cpu.lf_res & m;
    switch (cpu.lf_op) {
    case LF_ADD: return r < a;
    case LF_ADC: return cpu.lf_cin ? r <= a : r < a;
    case LF_SUB: return a < b;
    case LF_SBB: return cpu.lf_cin ? a <= b : a < b;
    case LF_LOGIC: return 0;
    case LF_NEG: return b != 0;
    default: return (cpu.flags & F_CF) != 0;
    }
}

CPU_INLINE int lf_zf(void) { return (cpu.lf_res & SZMASK[cpu.lf_size]) == 0; }
CPU_INLINE int lf_sf(void) { return (cpu.lf_res & SZMSB[cpu.lf_size]) != 0; }

/* Even parity of the low byte: bit i of 9669h is set when i has even parity. */
CPU_INLINE int parity8(uint32_t v)
{
    v &= 0xFF;
    v ^= v >> 4;
    return (0x9669 >> (v & 0xF)) & 1;
}

CPU_INLINE int lf_pf(void) { return parity8(cpu.lf_res); }

CPU_INLINE int lf_af(void)
{
    switch (cpu.lf_op) {
    case LF_LOGIC: return 0;
    case LF_NEG: return (cpu.lf_b & 0x0F) != 0;
    default: return ((cpu.lf_a ^ cpu.lf_b ^ cpu.lf_res) & 0x10) != 0;
    }
}

CPU_INLINE int lf_of(void)
{
    uint32_t a = cpu.lf_a, b = cpu.lf_b, r = cpu.lf_res, msb = SZMSB[cpu.lf_size];
    switch (cpu.lf_op) {
    case LF_ADD: case LF_ADC: case LF_INC: return (((a ^ r) & (b ^ r)) & msb) != 0;
    case LF_SUB: case LF_SBB: case LF_DEC: return (((a ^ b) & (a ^ r)) & msb) != 0;
    case LF_LOGIC: return 0;
    case LF_NEG: return (b & SZMASK[cpu.lf_size]) == msb;
    default: return (cpu.flags & F_OF) != 0;
    }
}

static inline void lf_resolve(void)
{
    if (cpu.lf_op != LF_NONE) {
        cpu.flags = flags_get();
        cpu.lf_op = LF_NONE;
    }
}

CPU_INLINE int CF_(void) { return cpu.lf_op == LF_NONE ? (cpu.flags & F_CF) != 0 : lf_cf(); }
CPU_INLINE int ZF_(void) { return cpu.lf_op == LF_NONE ? (cpu.flags & F_ZF) != 0 : lf_zf(); }
CPU_INLINE int SF_(void) { return cpu.lf_op == LF_NONE ? (cpu.flags & F_SF) != 0 : lf_sf(); }
CPU_INLINE int OF_(void) { return cpu.lf_op == LF_NONE ? (cpu.flags & F_OF) != 0 : lf_of(); }
CPU_INLINE int PF_(void) { return cpu.lf_op == LF_NONE ? (cpu.flags & F_PF) != 0 : lf_pf(); }
CPU_INLINE int DF_(void) { return (cpu.flags & F_DF) != 0; }

static inline void set_flag(uint32_t f, int v)
{
    lf_resolve();
    if (v)
        cpu.flags |= f;
    else
        cpu.flags &= ~f;
}
#define SET_CF(v) set_flag(F_CF, (v))

/* The 16 conditions in Jcc order: O, C, Z, C|Z, S, P, S!=O, Z|(S!=O);
 * odd codes negate. */
CPU_INLINE int cond(int cc)
{
    int r;
    switch ((cc >> 1) & 7) {
    case 0: r = OF_(); break;
    case 1: r = CF_(); break;
    case 2: r = ZF_(); break;
    case 3: r = CF_() || ZF_(); break;
    case 4: r = SF_(); break;
    case 5: r = PF_(); break;
    case 6: r = SF_() != OF_(); break;
    default: r = ZF_() || SF_() != OF_(); break;
    }
    return r ^ (cc & 1);
}

/* Keeps CF across INC and DEC: the bit is made authoritative in flags,
 * which the INC/DEC producers read back. */
CPU_INLINE void lf_keep_cf(void)
{
    if (cpu.lf_op != LF_NONE)
        cpu.flags = (cpu.flags & ~F_CF) | (uint32_t)lf_cf();
}

/* ---- ALU primitives (8, 16 and 32 bits) ----------------------------- */

#define ALU_DEFINE(W, T, SZ)                                                            \
CPU_INLINE T add##W(T a, T b) { T r = (T)(a + b); LFSET(LF_ADD, SZ, a, b, r); return r; } \
CPU_INLINE T adc##W(T a, T b)                                                        \
{ uint8_t c = (uint8_t)CF_(); T r = (T)(a + b + c); LFSET(LF_ADC, SZ, a, b, r); cpu.lf_cin = c; return r; } \
CPU_INLINE T sub##W(T a, T b) { T r = (T)(a - b); LFSET(LF_SUB, SZ, a, b, r); return r; } \
CPU_INLINE T sbb##W(T a, T b)                                                        \
{ uint8_t c = (uint8_t)CF_(); T r = (T)(a - b - c); LFSET(LF_SBB, SZ, a, b, r); cpu.lf_cin = c; return r; } \
CPU_INLINE T and##W(T a, T b) { T r = (T)(a & b); LFSET(LF_LOGIC, SZ, a, b, r); return r; } \
CPU_INLINE T or##W(T a, T b) { T r = (T)(a | b); LFSET(LF_LOGIC, SZ, a, b, r); return r; } \
CPU_INLINE T xor##W(T a, T b) { T r = (T)(a ^ b); LFSET(LF_LOGIC, SZ, a, b, r); return r; } \
CPU_INLINE void cmp##W(T a, T b) { sub##W(a, b); }                                    \
CPU_INLINE void test##W(T a, T b) { and##W(a, b); }                                   \
CPU_INLINE T inc##W(T a) { T r = (T)(a + 1); lf_keep_cf(); LFSET(LF_INC, SZ, a, 1, r); return r; } \
CPU_INLINE T dec##W(T a) { T r = (T)(a - 1); lf_keep_cf(); LFSET(LF_DEC, SZ, a, 1, r); return r; } \
CPU_INLINE T neg##W(T a) { T r = (T)(0 - a); LFSET(LF_NEG, SZ, 0, a, r); return r; }

ALU_DEFINE(8, uint8_t, 0)
ALU_DEFINE(16, uint16_t, 1)
ALU_DEFINE(32, uint32_t, 2)
#undef ALU_DEFINE

/* Shifts, rotates, multiplies, divides and BCD adjustments: out of line,
 * flags computed eagerly. Divisions return 0 after raising the divide error. */
enum { SH_ROL, SH_ROR, SH_RCL, SH_RCR, SH_SHL, SH_SHR, SH_SAL, SH_SAR };
uint8_t shift8(int op, uint8_t v, unsigned cnt);
uint16_t shift16(int op, uint16_t v, unsigned cnt);
uint32_t shift32(int op, uint32_t v, unsigned cnt);
uint16_t shld16(uint16_t d, uint16_t s, unsigned cnt);
uint32_t shld32(uint32_t d, uint32_t s, unsigned cnt);
uint16_t shrd16(uint16_t d, uint16_t s, unsigned cnt);
uint32_t shrd32(uint32_t d, uint32_t s, unsigned cnt);
void mul8(uint8_t v);
void mul16(uint16_t v);
void mul32(uint32_t v);
void imul8(uint8_t v);
void imul16(uint16_t v);
void imul32(uint32_t v);
uint16_t imul16_3(uint16_t a, uint16_t b);
uint32_t imul32_3(uint32_t a, uint32_t b);
int div8(uint8_t v);
int div16(uint16_t v);
int div32(uint32_t v);
int idiv8(uint8_t v);
int idiv16(uint16_t v);
int idiv32(uint32_t v);
void daa(void);
void das(void);
void aaa(void);
void aas(void);
int aam(uint8_t base);
void aad(uint8_t base);

/* ---- Decoding ------------------------------------------------------- */

/* Prefix state of the instruction being interpreted. */
typedef struct {
    int o32, a32;           /* 66h, 67h seen */
    int seg;                /* override segment number, or -1 */
    int rep;                /* 0, 0xF2 or 0xF3 */
    uint16_t start_ip, start_cs;
} Prefix;
extern Prefix P;

typedef struct {
    int is_reg;
    int reg;                /* register number for mod = 3 */
    uint16_t seg;           /* segment value */
    uint16_t off;
} EA;

void decode_ea(uint8_t modrm, EA *out);
void emu_decode_ea(uint8_t modrm, int seg, uint16_t *segment, uint16_t *offset);

/* ---- Execution ------------------------------------------------------ */

extern uint32_t *interp_profile;    /* optional instruction counters per paragraph */
extern int trace_next_kind;         /* how the next traced instruction was reached */
extern int debug_level;

void cpu_step(void);
void cpu_string(uint8_t op, uint8_t seg, uint8_t rep, int o32);
void cpu_int_enter(uint8_t n);
void cpu_int(uint8_t n);
void cpu_exception(uint8_t n);

/* ---- Ports ---------------------------------------------------------- */

extern volatile int irq_pending;    /* an unmasked interrupt request waits */

uint8_t port_in8(uint16_t port);
uint16_t port_in16(uint16_t port);
uint32_t port_in32(uint16_t port);
void port_out8(uint16_t port, uint8_t v);
void port_out16(uint16_t port, uint16_t v);
void port_out32(uint16_t port, uint32_t v);

/* ---- Diagnostics ---------------------------------------------------- */

#if defined(__GNUC__) && !defined(__TINYC__)
#define CPU_PRINTF(f, a) __attribute__((format(printf, f, a)))
#define CPU_NORETURN __attribute__((noreturn))
#else
#define CPU_PRINTF(f, a)
#define CPU_NORETURN
#endif

void dbg(const char *fmt, ...) CPU_PRINTF(1, 2);
void cpu_dump(const char *why);
CPU_NORETURN void fatal(const char *fmt, ...) CPU_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif
