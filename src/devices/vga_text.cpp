// Character and pixel output for the BIOS video services: teletype text in
// the text modes (characters in the memory at B8000h) and glyphs drawn into
// the planes or the chain-4 picture in the graphics modes, window scrolling,
// and single pixels. All of it uses the BIOS cursor of page 0.
#include "devices/vga.h"

#include "bios/font.h"
#include "devices/vga_state.h"
#include "machine/cpu.h"

enum : uint32_t {
    BDA_CURSOR_COL = 0x450, BDA_CURSOR_ROW = 0x451,
    WIDTH_13 = 320, PIXELS_13 = 64000,
    PLANAR_MAX_OFFSET = 0xFFFF,
};

enum : uint8_t {
    BEL = 0x07, BS = 0x08, TAB = 0x09, LF = 0x0A, CR = 0x0D,
    SPACE = 0x20, ATTR_NORMAL = 0x07, WHITE = 15,
    XOR_COLOUR = 0x80,                  // colour bit 7: invert the selected planes
    TAB_STOP = 8,
};

struct GlyphMode {
    int cols, rows, height;     // character grid and glyph height
    int pitch;                  // bytes per pixel line of a plane; 0 = chain-4
};

static int glyph_mode(int mode, GlyphMode *g)
{
    switch (mode) {
    case 0x0D: *g = {40, 25, 8, 40}; return 1;
    case 0x0E: *g = {80, 25, 8, 80}; return 1;
    case 0x0F: *g = {80, 43, 8, 80}; return 1;
    case 0x10: *g = {80, 25, 16, 80}; return 1;
    case 0x11:
    case 0x12: *g = {80, 30, 16, 80}; return 1;
    case 0x13: *g = {40, 25, 8, 0}; return 1;
    default: return 0;
    }
}

static inline uint8_t *plane(int p) { return vga.vram + p * VGA_PLANE_SIZE; }

static inline void chain4_put(uint32_t off, uint8_t v)
{
    plane(off & 3)[off >> 2] = v;
}

static void draw_glyph(const GlyphMode &g, int col, int row, uint8_t ch, uint8_t colour)
{
    const uint8_t *glyph = g.height == 16 ? bios_font8x16 + ch * FONT16_ROWS
                                          : bios_font8x8 + ch * FONT8_ROWS;
    uint8_t c = colour == 0 || (colour & 0x0F) == 0 ? (uint8_t)(WHITE | (colour & XOR_COLOUR)) : colour;
    if (g.pitch == 0) {
        if (colour == 0 || (colour & 0x0F) == 0)
            c = WHITE;
        for (int y = 0; y < g.height; y++)
            for (int x = 0; x < 8; x++) {
                uint32_t off = (uint32_t)(row * g.height + y) * WIDTH_13 + (uint32_t)(col * 8 + x);
                chain4_put(off, glyph[y] & (0x80 >> x) ? c : 0);
            }
        return;
    }
    for (int y = 0; y < g.height; y++) {
        uint32_t o = (uint32_t)(row * g.height + y) * (uint32_t)g.pitch + (uint32_t)col;
        if (o > PLANAR_MAX_OFFSET)
            return;
        uint8_t bits = glyph[y];
        for (int p = 0; p < VGA_PLANES; p++) {
            if (c & XOR_COLOUR) {
                if (c & (1 << p))
                    plane(p)[o] ^= bits;
            } else {
                plane(p)[o] = c & (1 << p) ? bits : 0;
            }
        }
    }
}

static void text_putc(uint8_t ch, uint8_t colour)
{
    int cols = vga.text_cols, rows = vga.text_rows;
    int col = rd8l(BDA_CURSOR_COL), row = rd8l(BDA_CURSOR_ROW);
    switch (ch) {
    case BEL: return;
    case BS: if (col > 0) col--; break;
    case TAB: col = (col / TAB_STOP + 1) * TAB_STOP; break;
    case LF: row++; break;
    case CR: col = 0; break;
    default: {
        uint32_t at = VGA_TEXT_BASE + (uint32_t)(row * cols + col) * 2;
        wr8l(at, ch);
        if (colour)
            wr8l(at + 1, colour);
        col++;
        break;
    }
    }
    if (col >= cols) {
        col = 0;
        row++;
    }
    if (row >= rows) {
        uint8_t last = rd8l(VGA_TEXT_BASE + (uint32_t)(rows * cols - 1) * 2 + 1);
        vga_text_scroll(0, 1, 0, 0, rows - 1, cols - 1, last ? last : (uint8_t)ATTR_NORMAL);
        row = rows - 1;
    }
    wr8l(BDA_CURSOR_COL, (uint8_t)col);
    wr8l(BDA_CURSOR_ROW, (uint8_t)row);
}

void vga_text_putc(uint8_t ch, uint8_t colour, int teletype)
{
    (void)teletype;     // the BIOS always advances the cursor
    int mode = vga.cur_mode;
    if (vga_text_mode(mode)) {
        text_putc(ch, colour);
        return;
    }
    GlyphMode g;
    int drawable = glyph_mode(mode, &g);
    if (!drawable)
        g = {80, 25, 8, 80};
    int col = rd8l(BDA_CURSOR_COL), row = rd8l(BDA_CURSOR_ROW);
    switch (ch) {
    case BEL: return;
    case BS: if (col > 0) col--; break;
    case LF: row++; break;
    case CR: col = 0; break;
    default:
        if (drawable)
            draw_glyph(g, col, row, ch, colour);
        col++;
        break;
    }
    if (col >= g.cols) {
        col = 0;
        row++;
    }
    if (row >= g.rows)
        row = g.rows - 1;
    wr8l(BDA_CURSOR_COL, (uint8_t)col);
    wr8l(BDA_CURSOR_ROW, (uint8_t)row);
}

static void fill_line(int row, int left, int right, uint8_t attr)
{
    for (int c = left; c <= right; c++) {
        uint32_t at = VGA_TEXT_BASE + (uint32_t)(row * vga.text_cols + c) * 2;
        wr8l(at, SPACE);
        wr8l(at + 1, attr);
    }
}

static void copy_line(int to, int from, int left, int right)
{
    for (int c = left; c <= right; c++) {
        uint32_t d = VGA_TEXT_BASE + (uint32_t)(to * vga.text_cols + c) * 2;
        uint32_t s = VGA_TEXT_BASE + (uint32_t)(from * vga.text_cols + c) * 2;
        wr8l(d, rd8l(s));
        wr8l(d + 1, rd8l(s + 1));
    }
}

void vga_text_scroll(int down, int n, int top, int left, int bottom, int right, uint8_t attr)
{
    if (bottom >= vga.text_rows) bottom = vga.text_rows - 1;
    if (right >= vga.text_cols) right = vga.text_cols - 1;
    if (top > bottom || left > right || top < 0 || left < 0)
        return;
    int height = bottom - top + 1;
    if (n == 0 || n > height)
        n = height;
    if (!down) {
        for (int r = top; r + n <= bottom; r++)
            copy_line(r, r + n, left, right);
        for (int r = bottom - n + 1; r <= bottom; r++)
            fill_line(r, left, right, attr);
    } else {
        for (int r = bottom; r - n >= top; r--)
            copy_line(r, r - n, left, right);
        for (int r = top; r < top + n; r++)
            fill_line(r, left, right, attr);
    }
}

static int planar_offset(int x, int y, uint32_t *o)
{
    if (x < 0 || y < 0)
        return 0;
    uint32_t pitch = vga.cur_mode == 0x0D ? 40 : 80;
    *o = (uint32_t)y * pitch + (uint32_t)x / 8;
    return *o <= PLANAR_MAX_OFFSET;
}

void vga_pixel_write(int x, int y, uint8_t colour)
{
    int mode = vga.cur_mode;
    if (mode == 0x13) {
        uint32_t off = (uint32_t)x + WIDTH_13 * (uint32_t)y;
        if (x >= 0 && y >= 0 && off < PIXELS_13)
            chain4_put(off, colour);
        return;
    }
    uint32_t o;
    if (mode < 0x0D || mode > 0x12 || !planar_offset(x, y, &o))
        return;
    uint8_t bit = (uint8_t)(0x80 >> (x & 7));
    for (int p = 0; p < VGA_PLANES; p++) {
        if (colour & XOR_COLOUR) {
            if (colour & (1 << p))
                plane(p)[o] ^= bit;
        } else if (colour & (1 << p)) {
            plane(p)[o] |= bit;
        } else {
            plane(p)[o] &= (uint8_t)~bit;
        }
    }
}

uint8_t vga_pixel_read(int x, int y)
{
    int mode = vga.cur_mode;
    if (mode == 0x13) {
        uint32_t off = (uint32_t)x + WIDTH_13 * (uint32_t)y;
        return x >= 0 && y >= 0 && off < PIXELS_13 ? plane(off & 3)[off >> 2] : 0;
    }
    uint32_t o;
    if (mode < 0x0D || mode > 0x12 || !planar_offset(x, y, &o))
        return 0;
    uint8_t bit = (uint8_t)(0x80 >> (x & 7)), c = 0;
    for (int p = 0; p < VGA_PLANES; p++)
        if (plane(p)[o] & bit)
            c |= (uint8_t)(1 << p);
    return c;
}
