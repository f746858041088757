// Operand decoding: the ModRM byte with its SIB byte and displacement, for
// callers outside the interpreter (the x87 emulator interrupts, HLE code).
// The interpreter uses the inline forms of interp.h.
#include "machine/interp.h"

uint32_t ea32_sum;

// 32-bit addressing: a base register (or a bare 32-bit displacement), an
// optional scaled index from a SIB byte, and an 8- or 32-bit displacement.
// Only the low 16 bits of the sum address memory; bases ESP and EBP default
// to SS.
uint64_t ea32_decode(uint8_t m, const uint8_t *pc)
{
    constexpr unsigned RM_SIB = 4, RM_DISP32 = 5, SIB_NO_INDEX = 4, SIB_NO_BASE = 5;
    Code ip = {0, pc};
    unsigned mod = m >> 6, rm = m & 7;
    uint32_t sum = 0;
    int def = S_DS;
    if (rm == RM_SIB) {
        uint8_t sib = fetch8(ip);
        unsigned base = sib & 7, index = (sib >> 3) & 7, scale = sib >> 6;
        if (base == SIB_NO_BASE && mod == 0) {
            sum = fetch32(ip);
        } else {
            sum = cpu.r[base].e;
            if (base == R_SP || base == R_BP)
                def = S_SS;
        }
        if (index != SIB_NO_INDEX)
            sum += cpu.r[index].e << scale;
    } else if (rm == RM_DISP32 && mod == 0) {
        sum = fetch32(ip);
    } else {
        sum = cpu.r[rm].e;
        if (rm == R_BP)
            def = S_SS;
    }
    if (mod == 1)
        sum += (uint32_t)(int32_t)(int8_t)fetch8(ip);
    else if (mod == 2)
        sum += fetch32(ip);
    ea32_sum = sum;
    return (uint16_t)sum | (uint64_t)seg_value(def) << 16 | (uint64_t)ip.ip << 32;
}

// Near a page end, at the end of the segment or in an I/O page the window
// is a copy. Bytes past the instruction are read too, which only matters
// for code running in the VGA window.
const uint8_t *code_window_slow(uint16_t cs, uint16_t ip)
{
    static uint8_t copy[CODE_WINDOW];
    for (unsigned i = 0; i < CODE_WINDOW; i++)
        copy[i] = rd8(cs, (uint16_t)(ip + i));
    return copy;
}

void decode_ea(uint8_t modrm, EA *out)
{
    if (modrm >= MODRM_REG_FORM) {
        out->is_reg = 1;
        out->reg = modrm & 7;
        out->seg = 0;
        out->off = 0;
        return;
    }
    Code ip = code_at(IP);
    Mem a = ea_mem(modrm, ip);
    IP = ip.ip;
    out->is_reg = 0;
    out->reg = 0;
    out->seg = a.seg;
    out->off = a.off;
}
// The emulator interrupts encode a 16-bit ModRM operand after the INT
// instruction; their override comes from the interrupt number, not from a
// prefix, and the address size is always 16 bits whatever prefixes the last
// interpreted instruction had.
void emu_decode_ea(uint8_t modrm, int seg, uint16_t *segment, uint16_t *offset)
{
    Prefix saved = P;
    P.seg = seg;
    P.a32 = 0;
    EA ea;
    decode_ea(modrm, &ea);
    P = saved;
    *segment = ea.seg;
    *offset = ea.off;
}
