// The character fonts of the BIOS: the 8x8 code page 437 table and the 8x14
// and 8x16 fonts made from it. Bit 7 of a row byte is the leftmost pixel.
#pragma once

#include <cstdint>

enum {
    FONT_GLYPHS = 256,
    FONT8_ROWS = 8,
    FONT14_ROWS = 14,
    FONT16_ROWS = 16,
};

extern const uint8_t font8[FONT_GLYPHS * FONT8_ROWS];   // the source table
extern uint8_t bios_font8x8[FONT_GLYPHS * FONT8_ROWS];
extern uint8_t bios_font8x14[FONT_GLYPHS * FONT14_ROWS];
extern uint8_t bios_font8x16[FONT_GLYPHS * FONT16_ROWS];

// Fills the three bios_font tables from font8.
void font_generate(void);
