// The renderer: the visible picture from the registers and video memory, as
// RGBA pixels for the presentation layer or, in 256-colour modes, as palette
// indices. Text modes draw 8x16 cells from the characters at B8000h with the
// blink attribute and the BIOS cursor; graphics modes decode the planes.
#include "devices/vga.h"

#include "bios/font.h"
#include "devices/vga_state.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstring>

enum {
    BLINK_HALF_PERIOD_US = 266667,      // the character blink toggles about 1.9 times a second
    BDA_CURSOR_POS = 0x450,             // column, row of page 0
    CELL_W = 8, CELL_H = 16,
    CURSOR_FIRST_LINE = 13, CURSOR_LAST_LINE = 14,
    WIDE_REGISTER = 100,                // a horizontal end this large is not a real mode
    DEFAULT_LINES = 200, MAX_LINES = 600,
    WIDTH_256 = 320, WIDTH_16 = 640,
};

static inline uint32_t rgb_of(const uint8_t *e)
{
    uint32_t r = (uint32_t)(e[0] << 2 | e[0] >> 4);
    uint32_t g = (uint32_t)(e[1] << 2 | e[1] >> 4);
    uint32_t b = (uint32_t)(e[2] << 2 | e[2] >> 4);
    return r | g << 8 | b << 16 | 0xFF000000u;     // bytes R, G, B, A in memory
}

static inline void put_px(uint8_t *rgba, size_t i, uint32_t c)
{
    memcpy(rgba + i * 4, &c, 4);
}

static int line_count(void)
{
    uint32_t vde = vga.crtc[CRTC_V_DISPLAY_END];
    if (vga.crtc[CRTC_OVERFLOW] & CRTC_OVF_VDE8) vde |= 0x100;
    if (vga.crtc[CRTC_OVERFLOW] & CRTC_OVF_VDE9) vde |= 0x200;
    uint8_t ms = vga.crtc[CRTC_MAX_SCAN];
    uint32_t per = (uint32_t)(ms & CRTC_SCAN_LINES) + 1;
    if (ms & CRTC_DOUBLE_SCAN)
        per *= 2;
    uint32_t lines = (vde + 1) / per;
    return lines >= 1 && lines <= (uint32_t)MAX_LINES ? (int)lines : DEFAULT_LINES;
}

static int width_256(void)
{
    uint8_t h = vga.crtc[CRTC_H_DISPLAY_END];
    return h < WIDE_REGISTER ? (h + 1) * 4 : WIDTH_256;
}

static int width_16(void)
{
    uint8_t h = vga.crtc[CRTC_H_DISPLAY_END];
    return h < WIDE_REGISTER ? (h + 1) * 8 : WIDTH_16;
}

// Pixel j of a 256-colour line at byte offset base of the planes.
static inline uint8_t index_256(uint32_t base, int j)
{
    return vga.vram[(j & 3) * VGA_PLANE_SIZE + ((base + (uint32_t)(j >> 2)) & 0xFFFF)];
}

static void render_text(uint8_t *rgba, int *width, int *height)
{
    int cols = vga.text_cols, rows = vga.text_rows;
    int w = cols * CELL_W;
    *width = w;
    *height = rows * CELL_H;
    uint32_t colours[ATTR_PALETTE_COUNT];
    for (int i = 0; i < ATTR_PALETTE_COUNT; i++)
        colours[i] = rgb_of(vga.dac + ((vga.attr[i] & ATTR_PALETTE_BITS) & vga.dac_mask) * 3);
    int blink_on = vga.attr[ATTR_MODE] & ATTR_BLINK;
    int off_phase = (int)((host_ticks_us() / BLINK_HALF_PERIOD_US) & 1);
    int cur = rd8l(BDA_CURSOR_POS + 1) * cols + rd8l(BDA_CURSOR_POS);
    uint32_t s = vga_start_address();
    for (int k = 0; k < cols * rows; k++) {
        uint32_t at = VGA_TEXT_BASE + (s + (uint32_t)k) * 2;
        uint8_t ch = rd8l(at), a = rd8l(at + 1);
        uint32_t fg = colours[a & 0x0F];
        uint32_t bg = colours[blink_on ? (a >> 4) & 7 : a >> 4];
        int hidden = blink_on && (a & 0x80) && off_phase;
        const uint8_t *glyph = bios_font8x16 + ch * CELL_H;
        size_t top = (size_t)(k / cols) * CELL_H * w + (size_t)(k % cols) * CELL_W;
        for (int y = 0; y < CELL_H; y++) {
            uint8_t bits = hidden ? 0 : glyph[y];
            if (k == cur && !off_phase && y >= CURSOR_FIRST_LINE && y <= CURSOR_LAST_LINE)
                bits = 0xFF;
            for (int x = 0; x < CELL_W; x++)
                put_px(rgba, top + (size_t)y * w + x, bits & (0x80 >> x) ? fg : bg);
        }
    }
}

void vga_render(uint8_t *rgba, int *width, int *height)
{
    if (!vga_graphics()) {
        render_text(rgba, width, height);
        return;
    }
    int lines = line_count();
    uint32_t s = vga_start_address(), pitch = vga.crtc[CRTC_OFFSET] * 2u;
    if (vga_256color()) {
        int w = width_256();
        if (w > VGA_MAX_WIDTH) w = VGA_MAX_WIDTH;
        uint32_t pal[DAC_ENTRIES];
        for (int i = 0; i < DAC_ENTRIES; i++)
            pal[i] = rgb_of(vga.dac + (i & vga.dac_mask) * 3);
        for (int y = 0; y < lines; y++) {
            uint32_t base = s + (uint32_t)y * pitch;
            for (int j = 0; j < w; j++)
                put_px(rgba, (size_t)y * w + j, pal[index_256(base, j)]);
        }
        *width = w;
        *height = lines;
        return;
    }
    int w = width_16();
    if (w > VGA_MAX_WIDTH) w = VGA_MAX_WIDTH;
    uint32_t pal[ATTR_PALETTE_COUNT];
    uint32_t hi = (uint32_t)(vga.attr[ATTR_COLOR_SELECT] >> 2) << 6;
    for (int c = 0; c < ATTR_PALETTE_COUNT; c++)
        pal[c] = rgb_of(vga.dac + ((hi | (vga.attr[c] & ATTR_PALETTE_BITS)) & vga.dac_mask) * 3);
    const uint8_t *p0 = vga.vram, *p1 = p0 + VGA_PLANE_SIZE, *p2 = p1 + VGA_PLANE_SIZE,
                  *p3 = p2 + VGA_PLANE_SIZE;
    for (int y = 0; y < lines; y++) {
        uint32_t base = s + (uint32_t)y * pitch;
        for (int j = 0; j < w; j += 8) {
            uint32_t o = (base + (uint32_t)(j >> 3)) & 0xFFFF;
            uint8_t b0 = p0[o], b1 = p1[o], b2 = p2[o], b3 = p3[o];
            for (int x = 0; x < 8 && j + x < w; x++) {
                int sh = 7 - x;
                int c = ((b0 >> sh) & 1) | ((b1 >> sh) & 1) << 1 | ((b2 >> sh) & 1) << 2 |
                        ((b3 >> sh) & 1) << 3;
                put_px(rgba, (size_t)y * w + j + x, pal[c]);
            }
        }
    }
    *width = w;
    *height = lines;
}

int vga_render_indices(uint8_t *out, int capacity, int max_height)
{
    if (!vga_graphics() || !vga_256color())
        return 0;
    int w = width_256(), lines = line_count();
    if (w > capacity || lines > max_height)
        return 0;
    uint32_t s = vga_start_address(), pitch = vga.crtc[CRTC_OFFSET] * 2u;
    for (int y = 0; y < lines; y++) {
        uint32_t base = s + (uint32_t)y * pitch;
        for (int j = 0; j < w; j++)
            out[(size_t)y * w + j] = index_256(base, j);
    }
    return 1;
}

void vga_screen_size(int *width, int *height)
{
    if (!vga_graphics() || !vga_256color()) {
        *width = *height = 0;
        return;
    }
    *width = width_256();
    *height = line_count();
}
