// The x87 coprocessor on the host's extended reals.
//
// The eight registers are host long doubles, which on an x86-64 host are
// the x87's own 80-bit format: loads, stores and register moves are exact
// and arithmetic happens in extended precision. ST(i) is physical register
// (top + i) & 7; the tag word marks registers valid or empty but nothing
// tests it except FXAM. Exceptions are not modelled: no instruction faults
// or raises an exception flag, and every argument reduction is complete, so
// C2 always reads clear afterwards.
//
// fpu_exec takes one ESC instruction (D8h-DFh with its ModRM byte and, for
// memory forms, the decoded operand address) and dispatches on the opcode
// through one table of register forms and one of memory forms. The
// floating-point emulator interrupts that compilers emit for machines
// without a coprocessor decode the same instructions from the bytes that
// follow the INT and run them here in place.
#include "machine/fpu.h"

#include <cmath>

enum : uint8_t {
    ESC_FIRST = 0xD8,
    ESC_LAST = 0xDF,
    MOD_REG = 3,            // ModRM mod field of the register forms
};

enum : uint16_t {
    CW_INIT = 0x037F,       // all exceptions masked, extended precision, nearest
    SW_C0 = 0x0100,
    SW_C1 = 0x0200,
    SW_C2 = 0x0400,
    SW_C3 = 0x4000,
    SW_TOP_SHIFT = 11,
    SW_TOP_MASK = 0x3800,
    SW_CLEX_KEEP = 0x7F00,  // FNCLEX clears the exception flags and busy
    TW_ALL_EMPTY = 0xFFFF,
};

enum { TAG_VALID = 0, TAG_EMPTY = 3, TAG_BITS = 2, TAG_MASK = 3 };
enum { STACK_MASK = 7 };

// The 14-byte real-mode environment: control, status and tag words, then
// the instruction and operand pointers (written as zero, ignored on load).
enum {
    ENV_CW = 0,
    ENV_SW = 2,
    ENV_TW = 4,
    ENV_POINTERS = 6,
    ENV_POINTER_WORDS = 4,
    ENV_BYTES = 14,
    SAVE_REG_BYTES = 10,    // FNSAVE: the registers in ST order after the environment
    NUM_REGS = 8,
};

// Operations of the arithmetic group, by the ModRM reg field of D8h and of
// the memory forms: dst = dst op src.
enum { OP_ADD, OP_MUL, OP_COM, OP_COMP, OP_SUB, OP_SUBR, OP_DIV, OP_DIVR };
static const int OP_REVERSE = 1;    // FSUB <-> FSUBR, FDIV <-> FDIVR

// The emulator interrupts: 34h-3Bh are D8h-DFh, 3Ch carries an opcode byte
// with a segment override in its top two bits, 3Dh is the emulator's FWAIT.
enum : uint8_t {
    EMU_INT_FIRST = 0x34,
    EMU_INT_OVERRIDE = 0x3C,
    EMU_INT_WAIT = 0x3D,
    EMU_ESC_BITS = 0xC0,    // or'ed into the byte after INT 3Ch
    EMU_SEG_SHIFT = 6,
};
static const int EMU_OVERRIDE_SEG[4] = { S_DS, S_SS, S_CS, S_ES };

// The constants of D9 E8-EE as the x87 holds them: rounded to nearest to
// the 64-bit mantissa.
struct ExtConst {
    uint16_t sign_exp;
    uint64_t mantissa;
};
static const ExtConst FPU_CONSTS[] = {
    { 0x3FFF, 0x8000000000000000ull },  // FLD1
    { 0x4000, 0xD49A784BCD1B8AFEull },  // FLDL2T: log2 10
    { 0x3FFF, 0xB8AA3B295C17F0BCull },  // FLDL2E: log2 e
    { 0x4000, 0xC90FDAA22168C235ull },  // FLDPI
    { 0x3FFD, 0x9A209A84FBCFF799ull },  // FLDLG2: log10 2
    { 0x3FFE, 0xB17217F7D1CF79ACull },  // FLDLN2: ln 2
    { 0x0000, 0x0000000000000000ull },  // FLDZ
};
enum { K_ONE, K_L2T, K_L2E, K_PI, K_LG2, K_LN2, K_ZERO };

static struct {
    bool ready;             // the registers have been put in the FNINIT state
} fpu_state;

// ---- Stack, tags and status ------------------------------------------

static int phys(int i) { return (cpu.fpu.top + i) & STACK_MASK; }
static long double &ST(int i) { return cpu.fpu.st[phys(i)]; }

static void set_tag(int p, int tag)
{
    int sh = p * TAG_BITS;
    cpu.fpu.tw = (uint16_t)((cpu.fpu.tw & ~(TAG_MASK << sh)) | tag << sh);
}

static int tag_of(int p) { return (cpu.fpu.tw >> (p * TAG_BITS)) & TAG_MASK; }

static void push(long double v)
{
    cpu.fpu.top = (cpu.fpu.top - 1) & STACK_MASK;
    cpu.fpu.st[cpu.fpu.top] = v;
    set_tag(cpu.fpu.top, TAG_VALID);
}

static void pop(void)
{
    set_tag(cpu.fpu.top, TAG_EMPTY);
    cpu.fpu.top = (cpu.fpu.top + 1) & STACK_MASK;
}

// ST(i) = v, tagged valid.
static void put(int i, long double v)
{
    ST(i) = v;
    set_tag(phys(i), TAG_VALID);
}

static uint16_t status_word(void)
{
    return (uint16_t)((cpu.fpu.sw & ~SW_TOP_MASK) | cpu.fpu.top << SW_TOP_SHIFT);
}

static void set_cc(uint16_t mask, uint16_t bits)
{
    cpu.fpu.sw = (uint16_t)((cpu.fpu.sw & ~mask) | bits);
}

void fpu_reset(void)
{
    cpu.fpu.cw = CW_INIT;
    cpu.fpu.sw = 0;
    cpu.fpu.tw = TW_ALL_EMPTY;
    cpu.fpu.top = 0;
    fpu_state.ready = true;
}

static void load_env(uint16_t seg, uint16_t off)
{
    cpu.fpu.cw = rd16(seg, (uint16_t)(off + ENV_CW));
    uint16_t sw = rd16(seg, (uint16_t)(off + ENV_SW));
    cpu.fpu.top = (sw & SW_TOP_MASK) >> SW_TOP_SHIFT;
    cpu.fpu.sw = sw & ~SW_TOP_MASK;
    cpu.fpu.tw = rd16(seg, (uint16_t)(off + ENV_TW));
}

static void store_env(uint16_t seg, uint16_t off)
{
    wr16(seg, (uint16_t)(off + ENV_CW), cpu.fpu.cw);
    wr16(seg, (uint16_t)(off + ENV_SW), status_word());
    wr16(seg, (uint16_t)(off + ENV_TW), cpu.fpu.tw);
    for (int k = 0; k < ENV_POINTER_WORDS; k++)
        wr16(seg, (uint16_t)(off + ENV_POINTERS + 2 * k), 0);
}

static uint16_t save_slot(uint16_t off, int i) { return (uint16_t)(off + ENV_BYTES + SAVE_REG_BYTES * i); }

// ---- Arithmetic --------------------------------------------------------

// C3 C2 C0: 000 greater, 001 less, 100 equal, 111 unordered.
static void compare(long double a, long double b)
{
    uint16_t cc;
    if (std::isunordered(a, b))
        cc = SW_C3 | SW_C2 | SW_C0;
    else if (a < b)
        cc = SW_C0;
    else if (a == b)
        cc = SW_C3;
    else
        cc = 0;
    set_cc(SW_C3 | SW_C2 | SW_C0, cc);
}

static long double arith(int op, long double dst, long double src)
{
    switch (op) {
    case OP_ADD: return dst + src;
    case OP_MUL: return dst * src;
    case OP_SUB: return dst - src;
    case OP_SUBR: return src - dst;
    case OP_DIV: return dst / src;
    default: return src / dst;
    }
}

// One operation of the arithmetic group with ST(0) as destination.
static void group_st0(int op, long double src)
{
    if (op == OP_COM || op == OP_COMP) {
        compare(ST(0), src);
        if (op == OP_COMP)
            pop();
        return;
    }
    ST(0) = arith(op, ST(0), src);
}

// DC and DE register forms: ST(i) is the destination and the reg field
// names the reversed operation (DC E0+i, FSUBR ST(i), ST(0), computes
// ST(0) - ST(i)). Reg 2 and 3 compare ST(0) with ST(i); the caller pops.
static void group_sti(int reg, int i)
{
    if (reg == OP_COM || reg == OP_COMP) {
        compare(ST(0), ST(i));
        return;
    }
    int op = reg >= OP_SUB ? reg ^ OP_REVERSE : reg;
    ST(i) = arith(op, ST(i), ST(0));
}

static void clear_c2(void) { set_cc(SW_C2, 0); }

// C0, C3 and C1 take quotient bits 2, 1 and 0.
static void set_quotient(int q)
{
    set_cc(SW_C0 | SW_C3 | SW_C1, (q & 4 ? SW_C0 : 0) | (q & 2 ? SW_C3 : 0) | (q & 1 ? SW_C1 : 0));
}

// The truncated remainder of x / y (finite x, non-zero y) and the low three
// bits of the quotient's magnitude. fmodl is exact; each step below
// subtracts from r a value between r / 2 and r, which is exact too. A
// multiple of |y| that overflows to infinity is simply never reached.
static long double prem(long double x, long double y, int *q)
{
    long double ay = fabsl(y);
    long double r = fmodl(fabsl(x), 8 * ay);
    *q = 0;
    for (int bit = 4; bit; bit >>= 1) {
        long double step = bit * ay;
        if (r >= step) {
            r -= step;
            *q |= bit;
        }
    }
    return copysignl(r, x);
}

// ---- D9 register forms E0-FF ------------------------------------------

static void op_fchs(void) { ST(0) = -ST(0); }
static void op_fabs(void) { ST(0) = fabsl(ST(0)); }
static void op_ftst(void) { compare(ST(0), 0.0L); }

// C1 is the sign; C3 C2 C0: 101 empty, 001 NaN, 011 infinity, 100 zero,
// 110 denormal, 010 normal.
static void op_fxam(void)
{
    long double v = ST(0);
    uint16_t cc;
    if (tag_of(phys(0)) == TAG_EMPTY)
        cc = SW_C3 | SW_C0;
    else {
        switch (std::fpclassify(v)) {
        case FP_NAN: cc = SW_C0; break;
        case FP_INFINITE: cc = SW_C2 | SW_C0; break;
        case FP_ZERO: cc = SW_C3; break;
        case FP_SUBNORMAL: cc = SW_C3 | SW_C2; break;
        default: cc = SW_C2; break;
        }
    }
    if (std::signbit(v))
        cc |= SW_C1;
    set_cc(SW_C3 | SW_C2 | SW_C1 | SW_C0, cc);
}

static long double ext_const(int k) { return fpu_ext(FPU_CONSTS[k].sign_exp, FPU_CONSTS[k].mantissa); }

static void op_fld1(void) { push(ext_const(K_ONE)); }
static void op_fldl2t(void) { push(ext_const(K_L2T)); }
static void op_fldl2e(void) { push(ext_const(K_L2E)); }
static void op_fldpi(void) { push(ext_const(K_PI)); }
static void op_fldlg2(void) { push(ext_const(K_LG2)); }
static void op_fldln2(void) { push(ext_const(K_LN2)); }
static void op_fldz(void) { push(ext_const(K_ZERO)); }

// 2^x - 1 through expm1, which keeps full precision for x near zero (the
// reason the instruction exists).
static void op_f2xm1(void) { ST(0) = expm1l(ST(0) * ext_const(K_LN2)); }

static void op_fyl2x(void)
{
    ST(1) = ST(1) * log2l(ST(0));
    pop();
}

// y * log2(x + 1), through log1p so that a small x keeps its precision.
static void op_fyl2xp1(void)
{
    ST(1) = ST(1) * (log1pl(ST(0)) / ext_const(K_LN2));
    pop();
}

static void op_fptan(void)
{
    ST(0) = tanl(ST(0));
    push(1.0L);
    clear_c2();
}

static void op_fpatan(void)
{
    ST(1) = atan2l(ST(1), ST(0));
    pop();
}

// ST(0) becomes the exponent and the significand (1 <= |s| < 2) is pushed.
// Zero has exponent -infinity; an infinity has +infinity; a NaN stays one.
static void op_fxtract(void)
{
    long double v = ST(0);
    if (v == 0) {
        ST(0) = -HUGE_VALL;
        push(v);
    } else if (std::isinf(v)) {
        ST(0) = HUGE_VALL;
        push(v);
    } else if (std::isnan(v)) {
        push(v);
    } else {
        int e;
        long double f = frexpl(v, &e);
        ST(0) = e - 1;
        push(f * 2);
    }
}

static void op_fprem(void)
{
    long double x = ST(0), y = ST(1);
    clear_c2();
    if (!std::isfinite(x) || std::isnan(y) || y == 0) {
        ST(0) = fmodl(x, y);
        return;
    }
    int q;
    ST(0) = prem(x, y, &q);
    set_quotient(q);
}

static void op_fprem1(void)
{
    long double x = ST(0), y = ST(1);
    clear_c2();
    int quo = 0;
    ST(0) = remquol(x, y, &quo);
    if (std::isfinite(x) && !std::isnan(y) && y != 0)
        set_quotient(quo < 0 ? -quo : quo);
}

static void op_fdecstp(void) { cpu.fpu.top = (cpu.fpu.top - 1) & STACK_MASK; }
static void op_fincstp(void) { cpu.fpu.top = (cpu.fpu.top + 1) & STACK_MASK; }
static void op_fsqrt(void) { ST(0) = sqrtl(ST(0)); }

static void op_fsincos(void)
{
    long double v = ST(0);
    ST(0) = sinl(v);
    push(cosl(v));
    clear_c2();
}

static void op_frndint(void) { ST(0) = fpu_round(ST(0), fpu_rc()); }

// ST(0) * 2^trunc(ST(1)). Scale factors beyond any exponent range are
// clamped; an infinite one multiplies by infinity or zero, which also
// gives the NaN of 0 * 2^+inf and inf * 2^-inf.
static void op_fscale(void)
{
    static const long double SCALE_LIMIT = 65536;
    long double s = truncl(ST(1));
    if (std::isnan(s))
        ST(0) = ST(0) + s;
    else if (std::isinf(s))
        ST(0) = ST(0) * (s > 0 ? HUGE_VALL : 0.0L);
    else
        ST(0) = ldexpl(ST(0), (int)fminl(fmaxl(s, -SCALE_LIMIT), SCALE_LIMIT));
}

static void op_fsin(void)
{
    ST(0) = sinl(ST(0));
    clear_c2();
}

static void op_fcos(void)
{
    ST(0) = cosl(ST(0));
    clear_c2();
}

// D9 E0-FF by (reg - 4) * 8 + rm; null entries do nothing.
typedef void (*D9Op)(void);
static const D9Op D9_OPS[32] = {
    op_fchs, op_fabs, nullptr, nullptr, op_ftst, op_fxam, nullptr, nullptr,                 // E0-E7
    op_fld1, op_fldl2t, op_fldl2e, op_fldpi, op_fldlg2, op_fldln2, op_fldz, nullptr,       // E8-EF
    op_f2xm1, op_fyl2x, op_fptan, op_fpatan, op_fxtract, op_fprem1, op_fdecstp, op_fincstp, // F0-F7
    op_fprem, op_fyl2xp1, op_fsqrt, op_fsincos, op_frndint, op_fscale, op_fsin, op_fcos,   // F8-FF
};
enum { D9_OPS_REG = 4 };

// ---- Register forms (mod = 3) -----------------------------------------

static void reg_d8(int reg, int i) { group_st0(reg, ST(i)); }

static void reg_d9(int reg, int i)
{
    switch (reg) {
    case 0: {                               // FLD ST(i)
        long double v = ST(i);
        push(v);
        break;
    }
    case 1: {                               // FXCH ST(i)
        int p0 = phys(0), pi = phys(i), t0 = tag_of(p0);
        long double v = ST(0);
        ST(0) = ST(i);
        ST(i) = v;
        set_tag(p0, tag_of(pi));
        set_tag(pi, t0);
        break;
    }
    case 3:                                 // D9 D8+i: store into ST(i) and pop
        put(i, ST(0));
        pop();
        break;
    default:
        if (reg >= D9_OPS_REG && D9_OPS[(reg - D9_OPS_REG) * 8 + i])
            D9_OPS[(reg - D9_OPS_REG) * 8 + i]();
        break;
    }
}

static void reg_da(int reg, int i)
{
    if (reg == 5 && i == 1) {               // FUCOMPP
        compare(ST(0), ST(1));
        pop();
        pop();
    }
}

static void reg_db(int reg, int i)
{
    if (reg != 4)
        return;
    if (i == 2)                             // FNCLEX
        cpu.fpu.sw &= SW_CLEX_KEEP;
    else if (i == 3)                        // FNINIT
        fpu_reset();
}

static void reg_dc(int reg, int i)
{
    group_sti(reg, i);
    if (reg == OP_COMP)                     // DC D8+i: FCOMP's twin
        pop();
}

static void reg_dd(int reg, int i)
{
    switch (reg) {
    case 0: set_tag(phys(i), TAG_EMPTY); break;                 // FFREE
    case 2: put(i, ST(0)); break;                               // FST ST(i)
    case 3: put(i, ST(0)); pop(); break;                        // FSTP ST(i)
    case 4: compare(ST(0), ST(i)); break;                       // FUCOM
    case 5: compare(ST(0), ST(i)); pop(); break;                // FUCOMP
    default: break;
    }
}

static void reg_de(int reg, int i)
{
    if (reg == OP_COMP) {                   // only DE D9: FCOMPP
        if (i == 1) {
            compare(ST(0), ST(1));
            pop();
            pop();
        }
        return;
    }
    group_sti(reg, i);                      // DE D0+i is a compare, FCOMP's twin
    pop();
}

static void reg_df(int reg, int i)
{
    if (reg == 4 && i == 0)                 // FNSTSW AX
        AX = status_word();
}

// ---- Memory forms ------------------------------------------------------

static void mem_group(int type, int reg, uint16_t seg, uint16_t off)
{
    group_st0(reg, rd_real(type, seg, off));
}

static void mem_d8(int reg, uint16_t seg, uint16_t off) { mem_group(FPU_SINGLE, reg, seg, off); }
static void mem_da(int reg, uint16_t seg, uint16_t off) { mem_group(FPU_INT32, reg, seg, off); }
static void mem_dc(int reg, uint16_t seg, uint16_t off) { mem_group(FPU_DOUBLE, reg, seg, off); }
static void mem_de(int reg, uint16_t seg, uint16_t off) { mem_group(FPU_INT16, reg, seg, off); }

// Loads and stores: reg 0 loads, 1 is the truncating integer store with
// pop, 2 stores, 3 stores and pops.
static bool mem_load_store(int reg, int type, int trunc_type, uint16_t seg, uint16_t off)
{
    switch (reg) {
    case 0: push(rd_real(type, seg, off)); return true;
    case 1:
        if (trunc_type < 0)
            return true;
        wr_real(trunc_type, seg, off, truncl(ST(0)));
        pop();
        return true;
    case 2: wr_real(type, seg, off, ST(0)); return true;
    case 3: wr_real(type, seg, off, ST(0)); pop(); return true;
    default: return false;
    }
}

static void mem_d9(int reg, uint16_t seg, uint16_t off)
{
    if (mem_load_store(reg, FPU_SINGLE, -1, seg, off))
        return;
    switch (reg) {
    case 4: load_env(seg, off); break;                          // FLDENV
    case 5: cpu.fpu.cw = rd16(seg, off); break;                 // FLDCW
    case 6: store_env(seg, off); break;                         // FNSTENV
    default: wr16(seg, off, cpu.fpu.cw); break;                 // FNSTCW
    }
}

static void mem_db(int reg, uint16_t seg, uint16_t off)
{
    if (mem_load_store(reg, FPU_INT32, FPU_INT32, seg, off))
        return;
    if (reg == 5)                                               // FLD m80r
        push(rd_real(FPU_EXTENDED, seg, off));
    else if (reg == 7) {                                        // FSTP m80r
        wr_real(FPU_EXTENDED, seg, off, ST(0));
        pop();
    }
}

static void mem_dd(int reg, uint16_t seg, uint16_t off)
{
    if (mem_load_store(reg, FPU_DOUBLE, FPU_INT64, seg, off))
        return;
    switch (reg) {
    case 4:                                                     // FRSTOR
        load_env(seg, off);
        for (int i = 0; i < NUM_REGS; i++)
            ST(i) = rd_real(FPU_EXTENDED, seg, save_slot(off, i));
        break;
    case 6:                                                     // FNSAVE
        store_env(seg, off);
        for (int i = 0; i < NUM_REGS; i++)
            wr_real(FPU_EXTENDED, seg, save_slot(off, i), ST(i));
        fpu_reset();
        break;
    case 7: wr16(seg, off, status_word()); break;               // FNSTSW m16
    default: break;
    }
}

static void mem_df(int reg, uint16_t seg, uint16_t off)
{
    if (mem_load_store(reg, FPU_INT16, FPU_INT16, seg, off))
        return;
    switch (reg) {
    case 5: push(rd_real(FPU_INT64, seg, off)); break;          // FILD m64i
    case 6: wr_bcd(seg, off, ST(0)); pop(); break;              // FBSTP
    case 7: wr_real(FPU_INT64, seg, off, ST(0)); pop(); break;  // FISTP m64i
    default: break;
    }
}

typedef void (*RegForm)(int reg, int i);
typedef void (*MemForm)(int reg, uint16_t seg, uint16_t off);
static const RegForm REG_FORMS[8] = { reg_d8, reg_d9, reg_da, reg_db, reg_dc, reg_dd, reg_de, reg_df };
static const MemForm MEM_FORMS[8] = { mem_d8, mem_d9, mem_da, mem_db, mem_dc, mem_dd, mem_de, mem_df };

void fpu_exec(uint8_t opcode, uint8_t modrm, uint16_t seg, uint16_t off)
{
    if (!fpu_state.ready)
        fpu_reset();
    if (opcode < ESC_FIRST || opcode > ESC_LAST)
        return;
    int reg = (modrm >> 3) & 7, rm = modrm & 7;
    if (modrm >> 6 == MOD_REG)
        REG_FORMS[opcode - ESC_FIRST](reg, rm);
    else
        MEM_FORMS[opcode - ESC_FIRST](reg, seg, off);
}

// ---- Emulator interrupts -----------------------------------------------

static uint8_t fetch8(void)
{
    uint8_t v = rd8(CS, IP);
    IP = (uint16_t)(IP + 1);
    return v;
}

int fpu_emu_int(uint8_t n)
{
    if (n < EMU_INT_FIRST || n > EMU_INT_WAIT)
        return 0;
    if (n == EMU_INT_WAIT)
        return 1;
    uint8_t opcode;
    int override = -1;
    if (n == EMU_INT_OVERRIDE) {
        uint8_t b = fetch8();
        override = EMU_OVERRIDE_SEG[b >> EMU_SEG_SHIFT];
        opcode = b | EMU_ESC_BITS;
    } else {
        opcode = (uint8_t)(ESC_FIRST + (n - EMU_INT_FIRST));
    }
    uint8_t modrm = fetch8();
    uint16_t seg = 0, off = 0;
    if (modrm >> 6 != MOD_REG)
        emu_decode_ea(modrm, override, &seg, &off);
    fpu_exec(opcode, modrm, seg, off);
    return 1;
}
