// The DAC (3C6h-3C9h): 256 entries of 6-bit red, green and blue, written and
// read three components at a time through auto-incrementing indices, and the
// default palettes that a mode set loads.
#include "devices/vga_state.h"

#include <cstring>

enum : uint8_t {
    DAC_COMPONENT_BITS = 0x3F,
    DAC_STATE_WRITE = 0, DAC_STATE_READ = 3,
    FULL = 63, TWO_THIRDS = 42, THIRD = 21,
};

enum {
    EGA_COLOURS = 16, EGA64_COLOURS = 64,
    GREY_FIRST = 16, GREY_COUNT = 16,
    HUE_FIRST = 32, HUE_ENTRIES = 216, HUES_PER_BLOCK = 72, HUES = 24,
};

static const uint8_t default_ega_pal[EGA_COLOURS][3] = {
    {0, 0, 0}, {0, 0, 42}, {0, 42, 0}, {0, 42, 42},
    {42, 0, 0}, {42, 0, 42}, {42, 21, 0}, {42, 42, 42},
    {21, 21, 21}, {21, 21, 63}, {21, 63, 21}, {21, 63, 63},
    {63, 21, 21}, {63, 21, 63}, {63, 63, 21}, {63, 63, 63},
};

static const uint8_t grey_ramp[GREY_COUNT] = {
    0, 5, 8, 11, 14, 17, 20, 24, 28, 32, 36, 40, 45, 50, 56, 63,
};

// The three saturation blocks of the 256-colour default palette: brightest,
// maximum and minimum component, and their difference.
static const uint8_t hue_blocks[3][3] = {{63, 0, 63}, {31, 7, 24}, {18, 4, 14}};

static void set_entry(int i, uint8_t r, uint8_t g, uint8_t b)
{
    vga.dac[i * 3] = r;
    vga.dac[i * 3 + 1] = g;
    vga.dac[i * 3 + 2] = b;
}

void vga_dac_load_mode(int mode)
{
    memset(vga.dac, 0, sizeof vga.dac);
    for (int i = 0; i < EGA_COLOURS; i++)
        set_entry(i, default_ega_pal[i][0], default_ega_pal[i][1], default_ega_pal[i][2]);
    if (mode == 0x13) {
        for (int i = 0; i < GREY_COUNT; i++)
            set_entry(GREY_FIRST + i, grey_ramp[i], grey_ramp[i], grey_ramp[i]);
        for (int i = 0; i < HUE_ENTRIES; i++) {
            const uint8_t *blk = hue_blocks[i / HUES_PER_BLOCK];
            uint8_t max = blk[0], min = blk[1], range = blk[2];
            int h = i % HUES;
            uint8_t s = (uint8_t)(((h & 3) * range) >> 2);
            uint8_t rise = (uint8_t)(min + s), fall = (uint8_t)(max - s);
            static const int order[6][3] = {
                {0, 1, 2}, {2, 1, 3}, {2, 0, 1}, {3, 2, 1}, {1, 2, 0}, {1, 3, 2},
            };  // (rise, min, max, fall) picked per sixth of the hue circle
            uint8_t v[4] = {rise, min, max, fall};
            const int *o = order[h / 4];
            set_entry(HUE_FIRST + i, v[o[0]], v[o[1]], v[o[2]]);
        }
        return;
    }
    for (int a = 0; a < EGA64_COLOURS; a++)
        set_entry(a, (uint8_t)((a & 4 ? TWO_THIRDS : 0) + (a & 32 ? THIRD : 0)),
                  (uint8_t)((a & 2 ? TWO_THIRDS : 0) + (a & 16 ? THIRD : 0)),
                  (uint8_t)((a & 1 ? TWO_THIRDS : 0) + (a & 8 ? THIRD : 0)));
}

uint8_t vga_dac_in(uint16_t port)
{
    switch (port) {
    case VGA_DAC_MASK: return vga.dac_mask;
    case VGA_DAC_READ_INDEX: return vga.dac_state;
    case VGA_DAC_WRITE_INDEX: return vga.dac_w_idx;
    default: {
        uint8_t v = vga.dac[vga.dac_r_idx * 3 + vga.dac_comp];
        if (++vga.dac_comp == 3) {
            vga.dac_comp = 0;
            vga.dac_r_idx++;
        }
        return v;
    }
    }
}

void vga_dac_out(uint16_t port, uint8_t v)
{
    switch (port) {
    case VGA_DAC_MASK:
        vga.dac_mask = v;
        break;
    case VGA_DAC_READ_INDEX:
        vga.dac_r_idx = v;
        vga.dac_comp = 0;
        vga.dac_state = DAC_STATE_READ;
        break;
    case VGA_DAC_WRITE_INDEX:
        vga.dac_w_idx = v;
        vga.dac_comp = 0;
        vga.dac_state = DAC_STATE_WRITE;
        break;
    default:
        vga.dac[vga.dac_w_idx * 3 + vga.dac_comp] = v & DAC_COMPONENT_BITS;
        if (++vga.dac_comp == 3) {
            vga.dac_comp = 0;
            vga.dac_w_idx++;            // an 8-bit index: 255 wraps to 0
        }
        break;
    }
}

void vga_dac_set(int index, uint8_t r, uint8_t g, uint8_t b)
{
    set_entry(index & 0xFF, r & DAC_COMPONENT_BITS, g & DAC_COMPONENT_BITS, b & DAC_COMPONENT_BITS);
}

void vga_dac_get(int index, uint8_t *r, uint8_t *g, uint8_t *b)
{
    const uint8_t *e = vga.dac + (index & 0xFF) * 3;
    *r = e[0];
    *g = e[1];
    *b = e[2];
}

void vga_get_palette(uint8_t *out)
{
    for (int i = 0; i < DAC_ENTRIES; i++) {
        const uint8_t *e = vga.dac + (i & vga.dac_mask) * 3;
        for (int c = 0; c < 3; c++)
            out[i * 3 + c] = (uint8_t)(e[c] << 2 | e[c] >> 4);
    }
}
