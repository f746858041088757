// Patches applied to program code right after it is loaded.
//
// The Turbo Pascal CRT unit waits with a calibrated busy loop, which runs
// far too fast (or too slow) on an emulated machine. Its loop is replaced by
// a host callback that waits in real time: the calibration run is answered
// as if 55,000 iterations fit in one 55 ms timer tick, so every later
// iteration count the unit computes is a number of microseconds.
// VRK_PATCH adds user patches "NAME@OFFSET=BYTES,..." for diagnosis.
#include "dos/dos.h"

#include "host/host.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

// sub ax,1 / sbb dx,0 / jb +5 / cmp bl,es:[di] / je -13 / ret
static const uint8_t delay_signature[] = {0x2D, 0x01, 0x00, 0x83, 0xDA, 0x00, 0x72,
                                          0x05, 0x26, 0x3A, 0x1D, 0x74, 0xF3, 0xC3};

enum : uint32_t {
    BIOS_TICKS_LIN = 0x46C,         // 0040:006C, the timer tick count
    ITERATIONS_PER_TICK = 55000,
};

static const size_t PATCH_NAME_MAX = 15;   // characters of a name compared

enum : uint8_t { OP_ESCAPE = 0xFE, ESCAPE_MODRM = 0x38, OP_RET = 0xC3 };

static struct {
    int delay_have;
    uint16_t delay_id;
} patch;

void patch_reset(void)
{
    patch.delay_have = 0;
}

void tp_delay_loop(void)
{
    uint32_t count = (uint32_t)DX << 16 | AX;
    if (LIN(ES, DI) == BIOS_TICKS_LIN) {
        count -= ITERATIONS_PER_TICK;
        DX = (uint16_t)(count >> 16);
        AX = (uint16_t)count;
        SET_CF(0);
        return;
    }
    uint64_t deadline = host_ticks_us() + count + 1;
    int early = 0;
    while (host_ticks_us() < deadline) {
        if (rd8(ES, DI) != BL || host_quit_requested) {
            early = 1;
            break;
        }
        uint32_t saved_if = cpu.flags & F_IF;
        cpu.flags |= F_IF;
        machine_wait();
        cpu_check_irq();
        cpu.flags = (cpu.flags & ~F_IF) | saved_if;
    }
    DX = AX = early ? 0 : 0xFFFF;
    SET_CF(!early);
}

void tpcrt_patch(uint16_t load_seg, uint32_t size)
{
    if (!patch.delay_have) {
        patch.delay_id = (uint16_t)hle_id_of(hle_add(tp_delay_loop, 0, "tp_delay_loop"));
        patch.delay_have = 1;
    }
    uint32_t base = (uint32_t)load_seg * 16;
    for (uint32_t i = 0; i + sizeof delay_signature <= size; i++) {
        uint32_t k = 0;
        while (k < sizeof delay_signature && rd8l(base + i + k) == delay_signature[k])
            k++;
        if (k < sizeof delay_signature)
            continue;
        const uint8_t repl[] = {OP_ESCAPE, ESCAPE_MODRM, (uint8_t)patch.delay_id, (uint8_t)(patch.delay_id >> 8), OP_RET};
        for (uint32_t j = 0; j < sizeof repl; j++)
            wr8l(base + i + j, repl[j]);
        dbg("Turbo Pascal CRT delay loop at %04X:%04X diverted\n", load_seg + i / 16, i % 16);
    }
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void debug_patch(const char *name, uint16_t load_seg)
{
    const char *list = getenv("VRK_PATCH");
    if (!list)
        return;
    for (const char *item = list; *item;) {
        const char *at = strchr(item, '@');
        if (!at)
            return;
        const char *eq = strchr(at, '=');
        const char *end = strchr(item, ',');
        if (!end)
            end = item + strlen(item);
        if (!eq || eq > end)
            return;
        size_t n = (size_t)(at - item), len = strlen(name);
        size_t cut = n < PATCH_NAME_MAX ? n : PATCH_NAME_MAX;
        if (cut == (len < PATCH_NAME_MAX ? len : PATCH_NAME_MAX) && strncasecmp(item, name, cut) == 0) {
            uint32_t off = (uint32_t)strtoul(at + 1, nullptr, 16);
            uint32_t lin = (uint32_t)load_seg * 16 + off;
            int bytes = 0;
            for (const char *p = eq + 1; p + 1 < end; p += 2) {
                int hi = hex_digit(p[0]), lo = hex_digit(p[1]);
                if (hi < 0 || lo < 0)
                    break;
                wr8l(lin + bytes++, (uint8_t)(hi << 4 | lo));
            }
            dbg("patched %s+%05X (%d bytes)\n", name, off, bytes);
        }
        item = *end ? end + 1 : end;
    }
}
