// String instructions: MOVS CMPS STOS LODS SCAS INS OUTS with their repeat
// prefixes. The source is DS:SI or the override segment, the destination
// always ES:DI; a 67h prefix counts with ECX and moves all of ESI and EDI
// while addressing with their low halves. A repeated instruction runs to
// completion within one step.
#include "machine/interp.h"

namespace {

enum { STR_INS = 0x6C, STR_OUTS = 0x6E, STR_MOVS = 0xA4, STR_CMPS = 0xA6,
       STR_STOS = 0xAA, STR_LODS = 0xAC, STR_SCAS = 0xAE };

constexpr uint8_t REPNE = 0xF2, REPE = 0xF3;

static inline uint8_t port_in(uint16_t p, uint8_t *) { return port_in8(p); }
static inline uint16_t port_in(uint16_t p, uint16_t *) { return port_in16(p); }
static inline uint32_t port_in(uint16_t p, uint32_t *) { return port_in32(p); }
static inline void port_out(uint16_t p, uint8_t v) { port_out8(p, v); }
static inline void port_out(uint16_t p, uint16_t v) { port_out16(p, v); }
static inline void port_out(uint16_t p, uint32_t v) { port_out32(p, v); }


template <bool A32> static inline void index_step(int r, int step)
{
    if (A32)
        cpu.r[r].e += (uint32_t)step;
    else
        cpu.r[r].w = (uint16_t)(cpu.r[r].w + step);
}

// One element.
template <int KIND, typename T, bool A32> static inline void element(uint16_t src_seg, int step)
{
    Mem src = {src_seg, cpu.r[R_SI].w};
    Mem dst = {ES, cpu.r[R_DI].w};
    if constexpr (KIND == STR_MOVS) {
        mem_wr<T>(dst, mem_rd<T>(src));
    } else if constexpr (KIND == STR_CMPS) {
        T a = mem_rd<T>(src);
        alu<ALU_CMP>(a, mem_rd<T>(dst));
    } else if constexpr (KIND == STR_STOS) {
        mem_wr<T>(dst, greg<T>(R_AX));
    } else if constexpr (KIND == STR_LODS) {
        greg<T>(R_AX) = mem_rd<T>(src);
    } else if constexpr (KIND == STR_SCAS) {
        alu<ALU_CMP>(greg<T>(R_AX), mem_rd<T>(dst));
    } else if constexpr (KIND == STR_INS) {
        mem_wr<T>(dst, port_in(DX, (T *)nullptr));
    } else {
        port_out(DX, mem_rd<T>(src));
    }
    constexpr bool uses_si = KIND == STR_MOVS || KIND == STR_CMPS || KIND == STR_LODS || KIND == STR_OUTS;
    constexpr bool uses_di = KIND != STR_LODS && KIND != STR_OUTS;
    if (uses_si)
        index_step<A32>(R_SI, step);
    if (uses_di)
        index_step<A32>(R_DI, step);
}

// With a repeat prefix: while the count is not zero, one element and a
// decrement; CMPS and SCAS also stop on ZF (REPE while equal, REPNE while
// different). The other instructions treat REPNE as REP.
template <int KIND, typename T, bool A32> static void repeat(uint16_t src_seg, int step)
{
    constexpr bool compares = KIND == STR_CMPS || KIND == STR_SCAS;
    uint32_t n = A32 ? ECX : CX;
    bool while_equal = P.rep == REPE;
    while (n != 0) {
        element<KIND, T, A32>(src_seg, step);
        n--;
        if (compares && ZF_() != while_equal)
            break;
    }
    if (A32)
        ECX = n;
    else
        CX = (uint16_t)n;
}

template <int KIND, typename T> static void run(void)
{
    int step = DF_() ? -(int)sizeof(T) : (int)sizeof(T);
    uint16_t src_seg = seg_value(S_DS);
    if (P.rep == 0) {
        if (P.a32)
            element<KIND, T, true>(src_seg, step);
        else
            element<KIND, T, false>(src_seg, step);
    } else if (P.a32) {
        repeat<KIND, T, true>(src_seg, step);
    } else {
        repeat<KIND, T, false>(src_seg, step);
    }
}

template <int KIND> static void run_sized(bool wide)
{
    if (!wide)
        run<KIND, uint8_t>();
    else if (P.o32)
        run<KIND, uint32_t>();
    else
        run<KIND, uint16_t>();
}

// Segment-override prefix bytes in segment-number order.
constexpr uint8_t SEG_PREFIX[6] = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65};

} // namespace

void string_op(uint8_t op)
{
    bool wide = op & 1;
    switch (op & 0xFE) {
    case STR_INS: run_sized<STR_INS>(wide); break;
    case STR_OUTS: run_sized<STR_OUTS>(wide); break;
    case STR_MOVS: run_sized<STR_MOVS>(wide); break;
    case STR_CMPS: run_sized<STR_CMPS>(wide); break;
    case STR_STOS: run_sized<STR_STOS>(wide); break;
    case STR_LODS: run_sized<STR_LODS>(wide); break;
    case STR_SCAS: run_sized<STR_SCAS>(wide); break;
    default: fatal("not a string instruction: %02X", op);
    }
}

void cpu_string(uint8_t op, uint8_t seg, uint8_t rep, int o32)
{
    Prefix saved = P;
    P.o32 = o32 != 0;
    P.a32 = 0;
    P.seg = -1;
    for (int s = S_ES; s <= S_GS; s++)
        if (seg == SEG_PREFIX[s])
            P.seg = s;
    P.rep = rep == REPNE || rep == REPE ? rep : 0;
    string_op(op);
    P = saved;
}
