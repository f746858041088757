// The taller fonts are the 8x8 glyphs with rows doubled. Box-drawing
// characters repeat their first and last rows at the top and bottom of the
// 16-line cell so that lines join across cells; all others get blank rows.
#include "bios/font.h"

#include <cstring>

enum : uint8_t {
    BOX_FIRST = 0xB0,           // shades, lines and blocks that touch the cell edges
    BOX_LAST = 0xDF,
};

// Which 8x8 row each row of the taller cells shows.
static const uint8_t rows14[FONT14_ROWS] = {0, 0, 1, 1, 2, 2, 3, 4, 4, 5, 5, 6, 6, 7};
static const uint8_t rows16_inner[FONT16_ROWS - 2] = {0, 0, 1, 1, 2, 2, 3, 4, 4, 5, 5, 6, 6, 7};

uint8_t bios_font8x8[FONT_GLYPHS * FONT8_ROWS];
uint8_t bios_font8x14[FONT_GLYPHS * FONT14_ROWS];
uint8_t bios_font8x16[FONT_GLYPHS * FONT16_ROWS];

void font_generate(void)
{
    memcpy(bios_font8x8, font8, sizeof bios_font8x8);
    for (int c = 0; c < FONT_GLYPHS; c++) {
        const uint8_t *g = font8 + c * FONT8_ROWS;
        uint8_t *g14 = bios_font8x14 + c * FONT14_ROWS;
        uint8_t *g16 = bios_font8x16 + c * FONT16_ROWS;
        for (int r = 0; r < FONT14_ROWS; r++)
            g14[r] = g[rows14[r]];
        int box = c >= BOX_FIRST && c <= BOX_LAST;
        g16[0] = box ? g[0] : 0;
        for (int r = 0; r < FONT16_ROWS - 2; r++)
            g16[r + 1] = g[rows16_inner[r]];
        g16[FONT16_ROWS - 1] = box ? g[FONT8_ROWS - 1] : 0;
    }
}
