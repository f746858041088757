// The VGA's state, shared by the files of the adapter (one per register
// block); nothing outside src/devices/vga_*.cpp includes it.
#pragma once

#include "devices/vga.h"

enum {
    SEQ_COUNT = 8, GC_COUNT = 16, CRTC_COUNT = 32, ATTR_COUNT = 32,
    DAC_ENTRIES = 256, DAC_BYTES = DAC_ENTRIES * 3,
};

// Sequencer registers.
enum { SEQ_MAP_MASK = 2, SEQ_MEMORY_MODE = 4 };
enum : uint8_t { SEQ_CHAIN4 = 0x08 };
// Graphics controller registers.
enum {
    GC_SET_RESET = 0, GC_ENABLE_SET_RESET = 1, GC_COLOR_COMPARE = 2, GC_ROTATE = 3,
    GC_READ_MAP = 4, GC_MODE = 5, GC_MISC = 6, GC_DONT_CARE = 7, GC_BIT_MASK = 8,
};
enum : uint8_t {
    GC_ROTATE_COUNT = 0x07, GC_LOGIC_SHIFT = 3, GC_LOGIC_MASK = 0x03,
    GC_WRITE_MODE = 0x03, GC_READ_MODE1 = 0x08, GC_GRAPHICS = 0x01,
};
enum { LOGIC_REPLACE, LOGIC_AND, LOGIC_OR, LOGIC_XOR };
// CRT controller registers.
enum {
    CRTC_H_DISPLAY_END = 1, CRTC_OVERFLOW = 7, CRTC_MAX_SCAN = 9,
    CRTC_CURSOR_START = 0x0A, CRTC_CURSOR_END = 0x0B,
    CRTC_START_HIGH = 0x0C, CRTC_START_LOW = 0x0D,
    CRTC_V_DISPLAY_END = 0x12, CRTC_OFFSET = 0x13, CRTC_UNDERLINE = 0x14, CRTC_MODE = 0x17,
};
enum : uint8_t {
    CRTC_OVF_VDE8 = 0x02, CRTC_OVF_VDE9 = 0x40,
    CRTC_SCAN_LINES = 0x1F, CRTC_DOUBLE_SCAN = 0x80,
};
// Attribute controller registers.
enum {
    ATTR_PALETTE_COUNT = 16, ATTR_MODE = 0x10, ATTR_OVERSCAN = 0x11,
    ATTR_PLANE_ENABLE = 0x12, ATTR_COLOR_SELECT = 0x14,
};
enum : uint8_t { ATTR_BLINK = 0x08, ATTR_256COLOR = 0x40, ATTR_PALETTE_BITS = 0x3F };

struct VgaState {
    uint8_t seq[SEQ_COUNT], seq_idx;
    uint8_t gc[GC_COUNT], gc_idx;
    uint8_t crtc[CRTC_COUNT], crtc_idx;
    uint8_t attr[ATTR_COUNT], attr_idx, attr_flip;
    uint8_t dac[DAC_BYTES], dac_w_idx, dac_r_idx, dac_comp, dac_state, dac_mask;
    uint8_t misc_out;
    uint8_t latch[VGA_PLANES];
    int cur_mode, text_cols, text_rows;
    uint64_t t0;                        // host time of the retrace period origin
    int64_t seen, last_ok;              // retrace periods seen and reported; -1 none yet
    int wr_track;
    uint16_t wr_gen;
    alignas(16) uint8_t vram[VGA_PLANES * (uint32_t)VGA_PLANE_SIZE];
    uint16_t wr_stamp[VGA_PLANES * (uint32_t)VGA_PLANE_SIZE];
};

extern VgaState vga;

// Port handlers of the register blocks.
uint8_t vga_seq_in(uint16_t port);
void vga_seq_out(uint16_t port, uint8_t v);
uint8_t vga_gc_in(uint16_t port);
void vga_gc_out(uint16_t port, uint8_t v);
uint8_t vga_crtc_in(uint16_t port);
void vga_crtc_out(uint16_t port, uint8_t v);
uint8_t vga_attr_in(uint16_t port);
void vga_attr_out(uint16_t port, uint8_t v);
uint8_t vga_dac_in(uint16_t port);
void vga_dac_out(uint16_t port, uint8_t v);
uint8_t vga_status_read(void);
void vga_dac_load_mode(int mode);

static inline int vga_chain4(void) { return vga.seq[SEQ_MEMORY_MODE] & SEQ_CHAIN4; }
static inline int vga_graphics(void) { return vga.gc[GC_MISC] & GC_GRAPHICS; }
static inline int vga_256color(void) { return vga.attr[ATTR_MODE] & ATTR_256COLOR; }
static inline uint16_t vga_start_address(void)
{
    return (uint16_t)(vga.crtc[CRTC_START_HIGH] << 8 | vga.crtc[CRTC_START_LOW]);
}
static inline int vga_text_mode(int mode) { return mode < 4 || mode == 7; }
