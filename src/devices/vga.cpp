// The VGA adapter's core: the state record, the port dispatch to the register
// blocks, the mode set that programs every block, write tracking and the
// register dump. The register blocks, the memory logic, the renderer and the
// text output are in the other vga_*.cpp files.
#include "devices/vga.h"

#include "devices/vga_state.h"
#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/ports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    MIN_RATE_HZ = 20, MAX_RATE_HZ = 250,
    US_PER_S = 1000000,
    TEXT_COLS = 80, TEXT_ROWS = 25,
    TEXT_MEM_BYTES = 0x4000,            // B8000h-BBFFFh
};

enum : uint8_t {
    MISC_OUT_RESET = 0x63,
    DAC_MASK_ALL = 0xFF,
    SPACE = 0x20, ATTR_NORMAL = 0x07,
};

VgaState vga;

// What the attribute palette registers hold after a mode set: the text modes
// and the 350/480-line planar modes pick colours 6 and 8-15 from the 64-colour
// palette (brown, and the bright set 38h-3Fh); the 200-line planar modes use
// the EGA's 200-line colours 00h-07h and 10h-17h.
static const uint8_t palette_text[ATTR_PALETTE_COUNT] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x14, 0x07,
    0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
};
static const uint8_t palette_200line[ATTR_PALETTE_COUNT] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
};

struct ModeRegs {
    uint8_t attr_mode;
    uint8_t h_end, offset, max_scan, v_end, overflow, crtc_mode, underline;
};

static void set_crtc(const ModeRegs &m)
{
    vga.attr[ATTR_MODE] = m.attr_mode;
    vga.crtc[CRTC_H_DISPLAY_END] = m.h_end;
    vga.crtc[CRTC_OFFSET] = m.offset;
    vga.crtc[CRTC_MAX_SCAN] = m.max_scan;
    vga.crtc[CRTC_V_DISPLAY_END] = m.v_end;
    vga.crtc[CRTC_OVERFLOW] = m.overflow;
    vga.crtc[CRTC_MODE] = m.crtc_mode;
    vga.crtc[CRTC_UNDERLINE] = m.underline;
}

void vga_set_mode(int mode)
{
    int keep = mode & VGA_MODE_KEEP_MEMORY;
    mode &= 0x7F;
    memset(vga.gc, 0, sizeof vga.gc);
    memset(vga.crtc, 0, sizeof vga.crtc);
    memset(vga.seq, 0, sizeof vga.seq);
    vga.cur_mode = mode;

    vga.attr[ATTR_MODE] = 0x0C;
    vga.attr[ATTR_PLANE_ENABLE] = 0x0F;
    vga.attr[ATTR_COLOR_SELECT] = 0;
    const uint8_t *pal = palette_text;
    if (mode == 0x0D || mode == 0x0E)
        pal = palette_200line;
    for (int i = 0; i < ATTR_PALETTE_COUNT; i++)
        vga.attr[i] = mode == 0x13 ? (uint8_t)i : pal[i];
    vga.seq[SEQ_MAP_MASK] = 0x0F;
    vga.seq[SEQ_MEMORY_MODE] = 0x06;
    vga.gc[GC_MISC] = 0x05;
    vga.gc[GC_DONT_CARE] = 0x0F;
    vga.gc[GC_BIT_MASK] = 0xFF;

    switch (mode) {
    // The 200-line modes scan every line twice (C0h); one more line per row
    // (C1h) would show only the top half of the picture.
    case 0x0D: set_crtc({0x01, 0x27, 0x14, 0xC0, 0x8F, 0x02, 0xE3, 0}); break;
    case 0x0E: set_crtc({0x01, 0x4F, 0x28, 0xC0, 0x8F, 0x02, 0xE3, 0}); break;
    case 0x10: set_crtc({0x01, 0x4F, 0x28, 0x40, 0x5D, 0x02, 0xE3, 0}); break;
    case 0x11:
    case 0x12: set_crtc({0x01, 0x4F, 0x28, 0x40, 0xDF, 0x02, 0xE3, 0}); break;
    case 0x13:
        vga.seq[SEQ_MEMORY_MODE] = 0x0E;
        vga.gc[GC_MODE] = 0x40;
        set_crtc({0x41, 0x4F, 0x28, 0x41, 0x8F, 0x1F, 0xA3, 0x40});
        break;
    default:        // text; the CGA and other unsupported modes are shown as text
        vga.seq[SEQ_MEMORY_MODE] = 0x02;
        vga.gc[GC_MODE] = 0x10;
        vga.gc[GC_MISC] = 0x0E;
        set_crtc({0x0C, 0x4F, 0x28, 0x4F, 0x8F, 0x1F, 0, 0});
        vga.crtc[CRTC_CURSOR_START] = 0x0D;
        vga.crtc[CRTC_CURSOR_END] = 0x0E;
        break;
    }
    vga_dac_load_mode(mode);

    if (!keep) {
        memset(vga.vram, 0, sizeof vga.vram);
        if (vga_text_mode(mode))
            for (uint32_t a = 0; a < TEXT_MEM_BYTES; a += 2) {
                wr8l(VGA_TEXT_BASE + a, SPACE);
                wr8l(VGA_TEXT_BASE + a + 1, ATTR_NORMAL);
            }
    }
    vga.text_cols = TEXT_COLS;
    vga.text_rows = TEXT_ROWS;
}

int vga_get_mode(void) { return vga.cur_mode; }

uint8_t vga_port_in(uint16_t port)
{
    switch (port) {
    case VGA_CRTC_INDEX_MONO: case VGA_CRTC_DATA_MONO:
    case VGA_CRTC_INDEX: case VGA_CRTC_DATA:
        return vga_crtc_in(port);
    case VGA_STATUS_MONO: case VGA_STATUS:
        return vga_status_read();
    case VGA_ATTR: case VGA_ATTR_READ:
        return vga_attr_in(port);
    case VGA_MISC_WRITE:
        return 0x10;                    // input status 0: the monitor sense bit
    case VGA_SEQ_INDEX: case VGA_SEQ_DATA:
        return vga_seq_in(port);
    case VGA_DAC_MASK: case VGA_DAC_READ_INDEX: case VGA_DAC_WRITE_INDEX: case VGA_DAC_DATA:
        return vga_dac_in(port);
    case VGA_MISC_READ:
        return vga.misc_out;
    case VGA_GC_INDEX: case VGA_GC_DATA:
        return vga_gc_in(port);
    default:
        return 0xFF;
    }
}

void vga_port_out(uint16_t port, uint8_t v)
{
    if (debug_level > 2)
        fprintf(stderr, "VGA out %03X %02X\n", port, v);
    switch (port) {
    case VGA_CRTC_INDEX_MONO: case VGA_CRTC_DATA_MONO:
    case VGA_CRTC_INDEX: case VGA_CRTC_DATA:
        vga_crtc_out(port, v); break;
    case VGA_ATTR:
        vga_attr_out(port, v); break;
    case VGA_MISC_WRITE:
        vga.misc_out = v; break;
    case VGA_SEQ_INDEX: case VGA_SEQ_DATA:
        vga_seq_out(port, v); break;
    case VGA_DAC_MASK: case VGA_DAC_READ_INDEX: case VGA_DAC_WRITE_INDEX: case VGA_DAC_DATA:
        vga_dac_out(port, v); break;
    case VGA_GC_INDEX: case VGA_GC_DATA:
        vga_gc_out(port, v); break;
    default:
        break;
    }
}

void vga_init(void)
{
    memset(&vga, 0, sizeof vga);
    const char *hz = getenv("VRK_VGA_HZ");
    if (hz) {
        int rate = atoi(hz);
        if (rate >= MIN_RATE_HZ && rate <= MAX_RATE_HZ)
            vga_frame_us = US_PER_S / rate;
    }
    vga.t0 = host_ticks_us();
    vga.seen = vga.last_ok = -1;
    vga.misc_out = MISC_OUT_RESET;
    vga.dac_mask = DAC_MASK_ALL;
    vga.wr_gen = 1;
    port_map(VGA_PORT_FIRST, VGA_PORT_LAST, vga_port_in, vga_port_out);
    vga_set_mode(3);
}

// Write tracking: every byte of the planes carries the generation of its last
// write while tracking is on; a new generation starts with each
// vga_track_start, so "written since" is one compare.
void vga_track_start(void)
{
    if (++vga.wr_gen == 0) {
        memset(vga.wr_stamp, 0, sizeof vga.wr_stamp);
        vga.wr_gen = 1;
    }
    vga.wr_track = 1;
}

void vga_track_stop(void) { vga.wr_track = 0; }

static uint32_t unchained_at(uint16_t start, int x, int y, uint32_t *line_off)
{
    uint32_t w = vga.crtc[CRTC_OFFSET] ? vga.crtc[CRTC_OFFSET] : 40;
    uint32_t line = ((uint32_t)y * w) & 0x7FFF;
    if (line_off)
        *line_off = (uint32_t)y * 2 * w;
    uint32_t o = (start + (uint32_t)(x >> 2) + line * 2) & 0xFFFF;
    return (uint32_t)(x & 3) * VGA_PLANE_SIZE + o;
}

int vga_written_unchained(uint16_t start, int x, int y, uint32_t *line_off)
{
    return vga.wr_stamp[unchained_at(start, x, y, line_off)] == vga.wr_gen;
}

uint8_t vga_peek_unchained(uint16_t start, int x, int y)
{
    return vga.vram[unchained_at(start, x, y, nullptr)];
}

static void dump_regs(const char *label, const uint8_t *r, int n)
{
    fputs(label, stderr);
    for (int i = 0; i < n; i++)
        fprintf(stderr, "%02X ", r[i]);
}

void vga_dump(void)
{
    enum { DUMP_SEQ = 5, DUMP_GC = 9, DUMP_CRTC = 25, DUMP_ATTR = 21, DUMP_DAC = 16 };
    fprintf(stderr, "[vga] mode %02X misc %02X\n", vga.cur_mode, vga.misc_out);
    dump_regs("  seq ", vga.seq, DUMP_SEQ);
    dump_regs("\n  gc  ", vga.gc, DUMP_GC);
    dump_regs("\n  crtc ", vga.crtc, DUMP_CRTC);
    dump_regs("\n  attr ", vga.attr, DUMP_ATTR);
    fputs("\n  dac 0-15 (r,g,b):", stderr);
    for (int i = 0; i < DUMP_DAC; i++)
        fprintf(stderr, " %u,%u,%u", vga.dac[i * 3], vga.dac[i * 3 + 1], vga.dac[i * 3 + 2]);
    fputc('\n', stderr);
}

