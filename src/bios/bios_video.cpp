// INT 10h, the video services, over the VGA adapter: mode set, cursor,
// scrolling, characters, pixels, teletype output, palette and DAC, font
// information, adapter identification and the state block.
#include "bios/bios.h"

#include "devices/vga.h"
#include "host/host.h"
#include "machine/cpu.h"

#include <cstdio>

enum {
    TEXT_SEG = 0xB800,
    TEXT_LAST = 0xBFFFE,                // AH=09h/0Ah stop at the end of the text memory
    STATE_BLOCK_BYTES = 64,
    STATIC_TABLE_BYTES = 16,
    ATTR_PALETTE = 16, ATTR_OVERSCAN = 0x11, ATTR_MODE_CONTROL = 0x10,
    ATTR_BLINK_BIT = 0x08,
    DAC_ENTRIES = 256,
};

enum : uint8_t {
    DISPLAY_VGA_COLOUR = 0x08,
    STATE_BDA_FIRST = 0x4A, STATE_BDA_LAST = 0x66,
};

static const uint8_t static_table[STATIC_TABLE_BYTES] = {
    0xFF, 0xE0, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x07, 0x02, 0x08, 0xE7, 0x0C, 0x00, 0x00, 0x00, 0x00,
};

static int text_mode(int mode) { return mode < 0x04 || mode == 0x07; }
static int bios_mode(void) { return rd8l(bda(BDA_VIDEO_MODE)); }
static uint8_t cur_col(void) { return rd8l(bda(BDA_CURSOR_POS)); }
static uint8_t cur_row(void) { return rd8l(bda(BDA_CURSOR_POS) + 1); }

static void set_cursor(uint8_t col, uint8_t row)
{
    wr8l(bda(BDA_CURSOR_POS), col);
    wr8l(bda(BDA_CURSOR_POS) + 1, row);
}

static void set_mode(void)
{
    int mode = AL & 0x7F;
    vga_set_mode(AL);
    set_bda_mode(mode);
    dbg("set video mode %02X\n", AL);
    AL = mode <= 0x07 ? 0x30 : 0x20;
}

// AH=06h/07h in a graphics mode: only clearing a window of character cells.
static void clear_graphics_window(void)
{
    int mode = bios_mode();
    int cell_h = mode == 0x12 ? 16 : 8;
    int max_x = mode == 0x13 ? 320 : 640;
    for (int y = CH * cell_h; y < (DH + 1) * cell_h; y++)
        for (int x = CL * 8; x < (DL + 1) * 8 && x < max_x; x++)
            vga_pixel_write(x, y, BH);
}

static void write_chars(int with_attr)
{
    int mode = bios_mode();
    if (text_mode(mode)) {
        uint32_t at = LIN(TEXT_SEG, (cur_row() * 160 + cur_col() * 2));
        for (uint16_t n = CX; n && at <= TEXT_LAST; n--, at += 2) {
            wr8l(at, AL);
            if (with_attr)
                wr8l(at + 1, BL);
        }
        return;
    }
    uint8_t col = cur_col(), row = cur_row();
    for (uint16_t n = CX; n; n--)
        vga_text_putc(AL, BL, 0);
    set_cursor(col, row);
}

static void palette(void)
{
    switch (AL) {
    case 0x00: vga_attr_set(BL, BH); break;
    case 0x01: vga_attr_set(ATTR_OVERSCAN, BH); break;
    case 0x02:
        for (int i = 0; i < ATTR_PALETTE; i++)
            vga_attr_set(i, rd8(ES, (uint16_t)(DX + i)));
        vga_attr_set(ATTR_OVERSCAN, rd8(ES, (uint16_t)(DX + ATTR_PALETTE)));
        break;
    case 0x03: {
        uint8_t m = vga_attr_get(ATTR_MODE_CONTROL);
        vga_attr_set(ATTR_MODE_CONTROL, BL ? m | ATTR_BLINK_BIT : m & ~ATTR_BLINK_BIT);
        break;
    }
    case 0x07: BH = vga_attr_get(BL); break;
    case 0x08: BH = vga_attr_get(ATTR_OVERSCAN); break;
    case 0x09:
        for (int i = 0; i < ATTR_PALETTE; i++)
            wr8(ES, (uint16_t)(DX + i), vga_attr_get(i));
        wr8(ES, (uint16_t)(DX + ATTR_PALETTE), vga_attr_get(ATTR_OVERSCAN));
        break;
    case 0x10: vga_dac_set(BX, DH, CH, CL); break;
    case 0x12:
        for (int i = 0; i < CX; i++) {
            uint16_t o = (uint16_t)(DX + i * 3);
            vga_dac_set((BX + i) & 0xFF, rd8(ES, o), rd8(ES, (uint16_t)(o + 1)), rd8(ES, (uint16_t)(o + 2)));
        }
        break;
    case 0x15: vga_dac_get(BX, &DH, &CH, &CL); break;
    case 0x17:
        for (int i = 0; i < CX; i++) {
            uint8_t r, g, b;
            uint16_t o = (uint16_t)(DX + i * 3);
            vga_dac_get((BX + i) & 0xFF, &r, &g, &b);
            wr8(ES, o, r);
            wr8(ES, (uint16_t)(o + 1), g);
            wr8(ES, (uint16_t)(o + 2), b);
        }
        break;
    case 0x1A: BX = 0; break;
    case 0x1B:
        for (int i = 0; i < CX; i++) {
            uint8_t r, g, b;
            vga_dac_get((BX + i) & 0xFF, &r, &g, &b);
            uint8_t grey = (uint8_t)((30 * r + 59 * g + 11 * b) / 100);
            vga_dac_set((BX + i) & 0xFF, grey, grey, grey);
        }
        break;
    default: break;
    }
}

static void font_info(void)
{
    if (AL != 0x30)
        return;
    CX = rd16l(bda(BDA_CHAR_HEIGHT));
    DL = rd8l(bda(BDA_ROWS_MINUS_1));
    uint16_t seg = BIOS_SEG, off;
    switch (BH) {
    case 0: off = rd16l(0x1F * 4); seg = rd16l(0x1F * 4 + 2); break;
    case 1: off = rd16l(0x43 * 4); seg = rd16l(0x43 * 4 + 2); break;
    case 2: case 5: off = FONT14_OFF; break;
    case 3: off = FONT8_LOW_OFF; break;
    case 4: off = FONT8_HIGH_OFF; break;
    default: off = FONT16_OFF; break;
    }
    ES = seg;
    BP = off;
}

static void write_string(void)
{
    uint8_t col = cur_col(), row = cur_row();
    set_cursor(DL, DH);
    uint16_t p = BP;
    for (uint16_t n = CX; n; n--) {
        uint8_t ch = rd8(ES, p++), a = BL;
        if (AL & 2)
            a = rd8(ES, p++);
        vga_text_putc(ch, a, 1);
    }
    if (!(AL & 1))
        set_cursor(col, row);
}

static void state_info(void)
{
    for (uint32_t i = 0; i < STATIC_TABLE_BYTES; i++)
        wr8(BIOS_SEG, (uint16_t)(STATIC_TABLE_OFF + i), static_table[i]);
    uint16_t d = DI;
    auto put = [&](uint32_t at, uint8_t v) { wr8(ES, (uint16_t)(d + at), v); };
    for (uint32_t i = 0; i < STATE_BLOCK_BYTES; i++)
        put(i, 0);
    int mode = bios_mode();
    put(0, STATIC_TABLE_OFF & 0xFF);
    put(1, STATIC_TABLE_OFF >> 8);
    put(2, BIOS_SEG & 0xFF);
    put(3, BIOS_SEG >> 8);
    put(4, (uint8_t)mode);
    for (uint32_t i = STATE_BDA_FIRST; i <= STATE_BDA_LAST; i++)
        put(5 + i - STATE_BDA_FIRST, rd8l(bda(i)));
    put(0x22, (uint8_t)(rd8l(bda(BDA_ROWS_MINUS_1)) + 1));
    uint16_t height = rd16l(bda(BDA_CHAR_HEIGHT));
    put(0x23, (uint8_t)height);
    put(0x24, (uint8_t)(height >> 8));
    put(0x25, DISPLAY_VGA_COLOUR);
    uint16_t colours = mode == 0x13 ? 256 : 16;
    put(0x27, (uint8_t)colours);
    put(0x28, (uint8_t)(colours >> 8));
    int txt = text_mode(mode), hi = mode == 0x11 || mode == 0x12;
    put(0x29, txt ? 8 : 1);
    put(0x2A, txt ? 2 : hi ? 3 : 0);
    put(0x2D, 0x21);
    put(0x31, 0x03);                    // 256 KB of video memory
    AL = 0x1B;
}

void bios_int10(void)
{
    switch (AH) {
    case 0x00: set_mode(); break;
    case 0x01: wr16l(bda(BDA_CURSOR_SHAPE), CX); break;
    case 0x02: set_cursor(DL, DH); break;
    case 0x03: DL = cur_col(); DH = cur_row(); CX = rd16l(bda(BDA_CURSOR_SHAPE)); break;
    case 0x04: AH = 0; break;
    case 0x05: wr8l(bda(BDA_ACTIVE_PAGE), AL); break;
    case 0x06:
    case 0x07:
        if (text_mode(bios_mode()))
            vga_text_scroll(AH == 0x07, AL, CH, CL, DH, DL, BH);
        else if (AL == 0)
            clear_graphics_window();
        break;
    case 0x08: {
        uint32_t at = LIN(TEXT_SEG, (cur_row() * 80 + cur_col()) * 2);
        AL = rd8l(at);
        AH = rd8l(at + 1);
        break;
    }
    case 0x09: write_chars(1); break;
    case 0x0A: write_chars(0); break;
    case 0x0C: vga_pixel_write(CX, DX, AL); break;
    case 0x0D: AL = vga_pixel_read(CX, DX); break;
    case 0x0E:
        vga_text_putc(AL, bios_mode() < 0x04 ? 0 : BL, 1);
        if (host_headless) {
            fputc(AL, stdout);
            fflush(stdout);
        }
        break;
    case 0x0F:
        AL = (uint8_t)bios_mode();
        AH = (uint8_t)rd16l(bda(BDA_COLUMNS));
        BH = rd8l(bda(BDA_ACTIVE_PAGE));
        break;
    case 0x10: palette(); break;
    case 0x11: font_info(); break;
    case 0x12:
        if (BL == 0x10) {
            BX = 0x0003;
            CX = 0x0009;
        } else if ((BL >= 0x30 && BL <= 0x34) || BL == 0x36) {
            AL = 0x12;
        }
        break;
    case 0x13: write_string(); break;
    case 0x1A:
        if (AL == 0x00) {
            AL = 0x1A;
            BX = 0x0008;
        }
        break;
    case 0x1B: state_info(); break;
    case 0x4F: AX = 0x0100; break;
    default: break;
    }
}
