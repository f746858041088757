// The VGA adapter: register files, the DAC, 256 KB of planar memory behind
// the graphics window A0000h-AFFFFh, the retrace timing on the host clock,
// the picture for the presentation layer, and the character and pixel output
// of the BIOS video services.
#pragma once

#include <cstdint>

enum : uint32_t {
    VGA_WINDOW = 0xA0000,       // the graphics window
    VGA_WINDOW_END = 0xB0000,
    VGA_TEXT_BASE = 0xB8000,    // text-mode characters live in ordinary memory here
    VGA_PLANE_SIZE = 0x10000,
};

enum {
    VGA_PLANES = 4,
    VGA_MAX_WIDTH = 720,        // widest picture vga_render produces
    VGA_MAX_HEIGHT = 600,
    VGA_MAX_PIXELS = VGA_MAX_WIDTH * VGA_MAX_HEIGHT,
};

enum : uint16_t {
    VGA_PORT_FIRST = 0x3B0,
    VGA_PORT_LAST = 0x3DF,
    VGA_CRTC_INDEX_MONO = 0x3B4, VGA_CRTC_DATA_MONO = 0x3B5, VGA_STATUS_MONO = 0x3BA,
    VGA_ATTR = 0x3C0,           // index and data through one flip-flop
    VGA_ATTR_READ = 0x3C1,
    VGA_MISC_WRITE = 0x3C2,     // reads: input status 0
    VGA_SEQ_INDEX = 0x3C4, VGA_SEQ_DATA = 0x3C5,
    VGA_DAC_MASK = 0x3C6,
    VGA_DAC_READ_INDEX = 0x3C7, // reads: DAC state
    VGA_DAC_WRITE_INDEX = 0x3C8,
    VGA_DAC_DATA = 0x3C9,
    VGA_MISC_READ = 0x3CC,
    VGA_GC_INDEX = 0x3CE, VGA_GC_DATA = 0x3CF,
    VGA_CRTC_INDEX = 0x3D4, VGA_CRTC_DATA = 0x3D5,
    VGA_STATUS = 0x3DA,         // input status 1: retrace bits, resets the attribute flip-flop
};

enum : uint8_t {
    VGA_STATUS_DISPLAY_OFF = 0x01,  // horizontal or vertical blanking
    VGA_STATUS_VRETRACE = 0x08,
    VGA_MODE_KEEP_MEMORY = 0x80,    // bit 7 of a mode number
};

void vga_init(void);
void vga_set_mode(int mode);
int vga_get_mode(void);
uint8_t vga_port_in(uint16_t port);
void vga_port_out(uint16_t port, uint8_t v);

uint8_t vga_mem_rd(uint32_t lin);
void vga_mem_wr(uint32_t lin, uint8_t v);

// The visible picture as bytes R, G, B, FFh per pixel; rgba holds VGA_MAX_PIXELS.
void vga_render(uint8_t *rgba, int *width, int *height);
// 256-colour modes only: one palette index per pixel, lines of the picture's
// width; 0 when not a 256-colour picture or it does not fit.
int vga_render_indices(uint8_t *out, int capacity, int max_height);
void vga_get_palette(uint8_t *out);         // 768 bytes of 8-bit RGB
void vga_screen_size(int *width, int *height);
void vga_sync_phase(uint64_t vsync_us, uint32_t lead_us, int div);

void vga_text_putc(uint8_t ch, uint8_t colour, int teletype);
void vga_text_scroll(int down, int lines, int top, int left, int bottom, int right, uint8_t attr);
void vga_pixel_write(int x, int y, uint8_t colour);
uint8_t vga_pixel_read(int x, int y);
void vga_dac_set(int index, uint8_t r, uint8_t g, uint8_t b);
void vga_dac_get(int index, uint8_t *r, uint8_t *g, uint8_t *b);
void vga_attr_set(int index, uint8_t v);
uint8_t vga_attr_get(int index);

void vga_track_start(void);
void vga_track_stop(void);
// Whether the 256-colour pixel (x, y) of a picture at start was written since
// vga_track_start; *pitch gets the line's byte offset.
int vga_written_unchained(uint16_t start, int x, int y, uint32_t *line_off);
uint8_t vga_peek_unchained(uint16_t start, int x, int y);

void vga_dump(void);

// The engine integration's pace: refreshes per engine frame (null or a
// result of 1 or less: every retrace is reported).
using VgaDivFn = int (*)(void);
void vga_set_engine_div(VgaDivFn fn);
