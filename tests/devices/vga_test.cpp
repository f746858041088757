// VGA adapter: registers programmed through the ports, drawing through the
// graphics window, and the rendered picture checked pixel by pixel.
#include "devices/vga.h"

#include "../machine/machine_fixture.h"
#include "bios/font.h"
#include "machine/cpu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

std::ostream &operator<<(std::ostream &os, const Rgb &c)
{
    return os << "(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

// A 6-bit DAC colour as the renderer expands it.
Rgb dac6(uint8_t r, uint8_t g, uint8_t b)
{
    auto x = [](uint8_t v) { return (uint8_t)(v << 2 | v >> 4); };
    return {x(r), x(g), x(b)};
}

Rgb dac_entry(int i)
{
    uint8_t r, g, b;
    vga_dac_get(i, &r, &g, &b);
    return dac6(r, g, b);
}

void seq(uint8_t i, uint8_t v) { port_out8(VGA_SEQ_INDEX, i); port_out8(VGA_SEQ_DATA, v); }
void gc(uint8_t i, uint8_t v) { port_out8(VGA_GC_INDEX, i); port_out8(VGA_GC_DATA, v); }
void crtc(uint8_t i, uint8_t v) { port_out8(VGA_CRTC_INDEX, i); port_out8(VGA_CRTC_DATA, v); }
void attr(uint8_t i, uint8_t v)
{
    port_in8(VGA_STATUS);               // resets the flip-flop to the index
    port_out8(VGA_ATTR, i);
    port_out8(VGA_ATTR, v);
}

class VgaTest : public MachineTest {
protected:
    std::vector<uint8_t> pix = std::vector<uint8_t>(VGA_MAX_PIXELS * 4);
    int w = 0, h = 0;

    void SetUp() override
    {
        MachineTest::SetUp();
        font_generate();
        vga_init();
    }

    void render() { vga_render(pix.data(), &w, &h); }

    Rgb at(int x, int y) const
    {
        const uint8_t *p = &pix[((size_t)y * w + x) * 4];
        EXPECT_EQ(p[3], 0xFF);
        return {p[0], p[1], p[2]};
    }
};

TEST_F(VgaTest, Mode13hBytesGoToPlanesAndShowAsDacColours)
{
    vga_set_mode(0x13);
    wr8(0xA000, 0, 5);
    wr8(0xA000, 1, 5);
    wr8(0xA000, 320 * 199 + 319, 40);
    EXPECT_EQ(vga_mem_rd(0xA0000), 5);
    EXPECT_EQ(rd8(0xA000, 1), 5);
    render();
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    EXPECT_EQ(at(0, 0), dac_entry(5));
    EXPECT_EQ(at(1, 0), dac_entry(5));
    EXPECT_EQ(at(2, 0), dac_entry(0));
    EXPECT_EQ(at(319, 199), dac_entry(40));

    std::vector<uint8_t> idx(320 * 200);
    ASSERT_EQ(vga_render_indices(idx.data(), 320, 200), 1);
    EXPECT_EQ(idx[1], 5);
    EXPECT_EQ(idx[320 * 199 + 319], 40);
    EXPECT_EQ(vga_render_indices(idx.data(), 319, 200), 0);     // too narrow
    int sw, sh;
    vga_screen_size(&sw, &sh);
    EXPECT_EQ(sw * 1000 + sh, 320 * 1000 + 200);
}

TEST_F(VgaTest, Mode13hDefaultPalette)
{
    vga_set_mode(0x13);
    EXPECT_EQ(dac_entry(15), dac6(63, 63, 63));
    EXPECT_EQ(dac_entry(16 + 7), dac6(24, 24, 24));         // grey ramp
    EXPECT_EQ(dac_entry(32), dac6(0, 0, 63));               // hue 0, rise = min
    EXPECT_EQ(dac_entry(32 + 5), dac6(63, 0, 48));          // hue 5: (max, min, fall)
    EXPECT_EQ(dac_entry(32 + 72 + 9), dac6(31, 13, 7));     // hue 9 of the second block
    EXPECT_EQ(dac_entry(248), dac6(0, 0, 0));
}

TEST_F(VgaTest, ModeXPageFlipThroughCrtcStartAddress)
{
    vga_set_mode(0x13);
    seq(4, 0x06);               // unchained
    crtc(0x14, 0x00);
    crtc(0x17, 0xE3);
    const uint16_t page_bytes = 320 * 200 / 4;
    // Page 0: one byte with all planes enabled fills four pixels.
    seq(2, 0x0F);
    wr8(0xA000, 0, 9);
    // Page 1: a pattern written plane by plane.
    for (int p = 0; p < 4; p++) {
        seq(2, (uint8_t)(1 << p));
        for (int y = 0; y < 200; y++)
            wr8(0xA000, page_bytes + y * 80 + 10, (uint8_t)(y + p));
    }
    render();
    for (int x = 0; x < 4; x++)
        EXPECT_EQ(at(x, 0), dac_entry(9)) << x;
    EXPECT_EQ(at(4, 0), dac_entry(0));
    EXPECT_EQ(at(41, 5), dac_entry(0));

    crtc(0x0C, page_bytes >> 8);
    crtc(0x0D, page_bytes & 0xFF);
    render();
    EXPECT_EQ(at(0, 0), dac_entry(0));
    for (int y = 0; y < 200; y += 37)
        for (int p = 0; p < 4; p++)
            EXPECT_EQ(at(40 + p, y), dac_entry(y + p)) << y << " " << p;
    std::vector<uint8_t> idx(320 * 200);
    ASSERT_EQ(vga_render_indices(idx.data(), 320, 200), 1);
    EXPECT_EQ(idx[3 * 320 + 42], 5);
}

TEST_F(VgaTest, Mode12hPlanarWritesAndRender)
{
    vga_set_mode(0x12);
    gc(1, 0x0F);                // enable set/reset on every plane
    gc(0, 0x0C);                // colour 12
    gc(8, 0x81);                // bit mask: pixels 0 and 7
    rd8(0xA000, 0);             // load the latches
    wr8(0xA000, 0, 0x00);
    gc(1, 0x00);
    gc(8, 0xFF);
    wr8(0xA000, 80 * 479 + 79, 0x01);       // replace, planes 0-3 from the data: colour 15 at x 639
    render();
    ASSERT_EQ(w, 640);
    ASSERT_EQ(h, 480);
    EXPECT_EQ(at(0, 0), dac6(63, 21, 21));  // bright red
    EXPECT_EQ(at(7, 0), dac6(63, 21, 21));
    EXPECT_EQ(at(1, 0), dac6(0, 0, 0));
    EXPECT_EQ(at(639, 479), dac6(63, 63, 63));
    EXPECT_EQ(at(638, 479), dac6(0, 0, 0));
    EXPECT_EQ(vga_pixel_read(0, 0), 12);
    std::vector<uint8_t> idx(640 * 480);
    EXPECT_EQ(vga_render_indices(idx.data(), 640, 480), 0);
}

// The write and read modes on one byte of planes preloaded with a pattern.
TEST_F(VgaTest, WriteModesLatchesAndLogicalOperations)
{
    vga_set_mode(0x12);
    const uint8_t planes[4] = {0xF0, 0xCC, 0xAA, 0x0F};
    struct Case {
        const char *name;
        uint8_t mode, rotate, esr, sr, mask, value;
        uint8_t want[4];
    } cases[] = {
        {"replace", 0x00, 0x00, 0x00, 0x00, 0xFF, 0x3C, {0x3C, 0x3C, 0x3C, 0x3C}},
        {"bit mask keeps latches", 0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, {0xF0, 0xC0, 0xA0, 0x00}},
        {"rotate 4", 0x00, 0x04, 0x00, 0x00, 0xFF, 0x12, {0x21, 0x21, 0x21, 0x21}},
        {"AND", 0x00, 0x08, 0x00, 0x00, 0xFF, 0x3C, {0x30, 0x0C, 0x28, 0x0C}},
        {"OR", 0x00, 0x10, 0x00, 0x00, 0xFF, 0x01, {0xF1, 0xCD, 0xAB, 0x0F}},
        {"XOR", 0x00, 0x18, 0x00, 0x00, 0xFF, 0xFF, {0x0F, 0x33, 0x55, 0xF0}},
        {"set/reset planes 0 and 2", 0x00, 0x00, 0x05, 0x01, 0xFF, 0x77, {0xFF, 0x77, 0x00, 0x77}},
        {"mode 1 copies latches", 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, {0xF0, 0xCC, 0xAA, 0x0F}},
        {"mode 2 colour 5 under mask", 0x02, 0x00, 0x00, 0x00, 0xF0, 0x05, {0xF0, 0x0C, 0xFA, 0x0F}},
        {"mode 3 set/reset under value", 0x03, 0x00, 0x00, 0x09, 0xFF, 0x3C, {0xFC, 0xC0, 0x82, 0x3F}},
    };
    for (const Case &c : cases) {
        for (int p = 0; p < 4; p++) {
            seq(2, (uint8_t)(1 << p));
            gc(5, 0);
            gc(3, 0);
            gc(1, 0);
            gc(8, 0xFF);
            wr8(0xA000, 0x100, planes[p]);
        }
        seq(2, 0x0F);
        rd8(0xA000, 0x100);     // latches
        gc(5, c.mode);
        gc(3, c.rotate);
        gc(1, c.esr);
        gc(0, c.sr);
        gc(8, c.mask);
        wr8(0xA000, 0x100, c.value);
        gc(5, 0);
        for (int p = 0; p < 4; p++) {
            gc(4, (uint8_t)p);
            EXPECT_EQ(rd8(0xA000, 0x100), c.want[p]) << c.name << " plane " << p;
        }
    }
}

TEST_F(VgaTest, MapMaskLimitsPlanarAndChain4Writes)
{
    vga_set_mode(0x12);
    seq(2, 0x02);
    wr8(0xA000, 5, 0xFF);
    gc(4, 0);
    EXPECT_EQ(rd8(0xA000, 5), 0x00);
    gc(4, 1);
    EXPECT_EQ(rd8(0xA000, 5), 0xFF);
    vga_set_mode(0x13);
    seq(2, 0x0E);               // plane 0 off
    wr8(0xA000, 0, 7);
    wr8(0xA000, 1, 7);
    EXPECT_EQ(rd8(0xA000, 0), 0);
    EXPECT_EQ(rd8(0xA000, 1), 7);
}

TEST_F(VgaTest, ReadModeOneComparesColours)
{
    vga_set_mode(0x12);
    vga_pixel_write(0, 0, 5);
    vga_pixel_write(3, 0, 5);
    vga_pixel_write(1, 0, 4);
    gc(5, 0x08);
    gc(2, 5);
    gc(7, 0x0F);
    EXPECT_EQ(rd8(0xA000, 0), 0x90);
    gc(7, 0x04);                // only plane 2 counts: 4 matches too
    EXPECT_EQ(rd8(0xA000, 0), 0xD0);
    gc(7, 0x00);
    EXPECT_EQ(rd8(0xA000, 0), 0xFF);
}

TEST_F(VgaTest, Mode0DhPixelsAndPalette)
{
    vga_set_mode(0x0D);
    vga_pixel_write(10, 20, 14);
    vga_pixel_write(319, 199, 0x80 | 3);    // inverts planes 0 and 1
    render();
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    EXPECT_EQ(vga_attr_get(14), 0x16);      // the 200-line colour set
    EXPECT_EQ(at(10, 20), dac_entry(0x16));
    EXPECT_EQ(at(319, 199), dac_entry(0x03));
    EXPECT_EQ(at(11, 20), dac_entry(0));
    EXPECT_EQ(vga_pixel_read(10, 20), 14);
    EXPECT_EQ(vga_pixel_read(319, 199), 3);
    EXPECT_EQ(vga_get_mode(), 0x0D);
}

TEST_F(VgaTest, TextModePaletteShowsTheSixteenPcColours)
{
    // Colour 6 is brown and 8-15 the bright set, as on every VGA.
    static const Rgb want[16] = {
        dac6(0, 0, 0), dac6(0, 0, 42), dac6(0, 42, 0), dac6(0, 42, 42),
        dac6(42, 0, 0), dac6(42, 0, 42), dac6(42, 21, 0), dac6(42, 42, 42),
        dac6(21, 21, 21), dac6(21, 21, 63), dac6(21, 63, 21), dac6(21, 63, 63),
        dac6(63, 21, 21), dac6(63, 21, 63), dac6(63, 63, 21), dac6(63, 63, 63),
    };
    wr8l(0x450, 79);            // cursor out of the way
    wr8l(0x451, 24);
    for (int c = 0; c < 16; c++) {
        wr8l(VGA_TEXT_BASE + c * 2, 0xDB);              // full block: foreground
        wr8l(VGA_TEXT_BASE + c * 2 + 1, (uint8_t)c);
        wr8l(VGA_TEXT_BASE + 160 + c * 2, ' ');         // space: background
        wr8l(VGA_TEXT_BASE + 160 + c * 2 + 1, (uint8_t)((c & 7) << 4));
    }
    render();
    ASSERT_EQ(w, 640);
    ASSERT_EQ(h, 400);
    for (int c = 0; c < 16; c++) {
        EXPECT_EQ(at(c * 8 + 3, 8), want[c]) << "foreground " << c;
        if (c < 8) {
            EXPECT_EQ(at(c * 8 + 3, 16 + 8), want[c]) << "background " << c;
        }
    }
}

TEST_F(VgaTest, TextGlyphBlinkAndCursor)
{
    const Rgb white = dac6(63, 63, 63), blue = dac6(0, 0, 42), black = dac6(0, 0, 0);
    const Rgb grey = dac6(21, 21, 21);
    wr8l(VGA_TEXT_BASE + 0, 'A');
    wr8l(VGA_TEXT_BASE + 1, 0x1F);
    wr8l(VGA_TEXT_BASE + 2, 'A');
    wr8l(VGA_TEXT_BASE + 3, 0x8F);      // blinking white on black
    wr8l(0x450, 5);                     // cursor at column 5, row 0
    wr8l(0x451, 0);

    fake_now_us = 266667 * 10;          // on phase
    render();
    // Row 3 of the 8x16 "A" is row 1 of the 8x8 glyph: 78h = .XXXX...
    const uint8_t row = bios_font8x16['A' * 16 + 3];
    for (int x = 0; x < 8; x++) {
        EXPECT_EQ(at(x, 3), row & (0x80 >> x) ? white : blue) << x;
        EXPECT_EQ(at(8 + x, 3), row & (0x80 >> x) ? white : black) << x;
    }
    EXPECT_EQ(at(5 * 8 + 2, 13), dac6(42, 42, 42));     // cursor lines 13 and 14, colour 7
    EXPECT_EQ(at(5 * 8 + 2, 14), dac6(42, 42, 42));
    EXPECT_EQ(at(5 * 8 + 2, 12), black);

    fake_now_us = 266667 * 11;          // off phase: blinking text and cursor hidden
    render();
    for (int x = 0; x < 8; x++) {
        EXPECT_EQ(at(x, 3), row & (0x80 >> x) ? white : blue) << x;
        EXPECT_EQ(at(8 + x, 3), black) << x;
    }
    EXPECT_EQ(at(5 * 8 + 2, 13), black);

    attr(0x10, 0x04);                   // blink off: bit 7 selects bright backgrounds
    render();
    EXPECT_EQ(at(8, 3), grey);
    EXPECT_EQ(at(9, 3), white);
}

TEST_F(VgaTest, TextStartAddressScrollsThePicture)
{
    wr8l(VGA_TEXT_BASE + 160, 0xDB);
    wr8l(VGA_TEXT_BASE + 161, 0x0E);
    crtc(0x0C, 0);
    crtc(0x0D, 80);
    wr8l(0x450, 79);
    wr8l(0x451, 24);
    render();
    EXPECT_EQ(at(0, 0), dac6(63, 63, 21));
}

TEST_F(VgaTest, DacPortsAutoIncrementAndWrap)
{
    port_out8(VGA_DAC_WRITE_INDEX, 255);
    port_out8(VGA_DAC_DATA, 0x41);      // only six bits are kept
    port_out8(VGA_DAC_DATA, 2);
    port_out8(VGA_DAC_DATA, 3);
    EXPECT_EQ(port_in8(VGA_DAC_WRITE_INDEX), 0);
    port_out8(VGA_DAC_DATA, 4);
    port_out8(VGA_DAC_DATA, 5);
    port_out8(VGA_DAC_DATA, 6);
    port_out8(VGA_DAC_READ_INDEX, 255);
    EXPECT_EQ(port_in8(VGA_DAC_READ_INDEX), 3);
    const uint8_t want[6] = {1, 2, 3, 4, 5, 6};
    for (uint8_t v : want)
        EXPECT_EQ(port_in8(VGA_DAC_DATA), v);
    port_out8(VGA_DAC_MASK, 0x0F);
    uint8_t pal[768];
    vga_get_palette(pal);
    EXPECT_EQ(pal[0x1F * 3], pal[0x0F * 3]);    // taken through the pixel mask
}

TEST_F(VgaTest, RegisterReadBackAndAttributeFlipFlop)
{
    crtc(0x0E, 0x12);
    EXPECT_EQ(port_in8(VGA_CRTC_DATA), 0x12);
    EXPECT_EQ(port_in8(VGA_CRTC_INDEX), 0x0E);
    seq(1, 0x21);
    EXPECT_EQ(port_in8(VGA_SEQ_DATA), 0x21);
    gc(3, 0x18);
    EXPECT_EQ(port_in8(VGA_GC_DATA), 0x18);
    port_in8(VGA_STATUS);
    port_out8(VGA_ATTR, 0x01);
    port_out8(VGA_ATTR, 0x3F);
    port_out8(VGA_ATTR, 0x02);          // the flip-flop is back at the index
    EXPECT_EQ(port_in8(VGA_ATTR), 0x02);
    EXPECT_EQ(vga_attr_get(1), 0x3F);
    EXPECT_EQ(port_in8(VGA_MISC_READ), 0x63);
    EXPECT_EQ(port_in8(0x3D0), 0xFF);
}

// Polling input status 1 at a given interval for one second: how many
// retraces a program waiting for bit 3 to go from clear to set would count
// (a read that sees it set after one that saw it set in an earlier period
// counts as well, as the waiting loop starts anew after each frame).
int retraces_seen(uint32_t poll_us, uint64_t origin)
{
    int seen = 0;
    uint64_t last_period = ~0ull;
    for (uint64_t end = fake_now_us + 1000000; fake_now_us < end; fake_now_us += poll_us) {
        if (!(port_in8(VGA_STATUS) & VGA_STATUS_VRETRACE))
            continue;
        uint64_t period = (fake_now_us - origin + 1428) / 14286;
        seen += period != last_period;
        last_period = period;
    }
    return seen;
}

TEST_F(VgaTest, RetraceSeenOncePerRefreshPeriod)
{
    EXPECT_EQ(vga_frame_us, 14286u);
    int fast = retraces_seen(50, START_US);
    EXPECT_GE(fast, 69);
    EXPECT_LE(fast, 71);
    int slow = retraces_seen(20000, START_US);    // slower than the refresh: every poll sees one
    EXPECT_GE(slow, 49);
    EXPECT_LE(slow, 51);
}

int every_third(void) { return 3; }

TEST_F(VgaTest, EngineDividerReportsEveryNthRetrace)
{
    vga_set_engine_div(every_third);
    int paced = retraces_seen(50, START_US);
    vga_set_engine_div(nullptr);
    EXPECT_GE(paced, 23);       // 70 Hz refresh, one retrace in three
    EXPECT_LE(paced, 24);
}

TEST_F(VgaTest, RefreshRateFromTheEnvironment)
{
    setenv("VRK_VGA_HZ", "60", 1);
    vga_init();
    EXPECT_EQ(vga_frame_us, 16666u);
    setenv("VRK_VGA_HZ", "300", 1);
    vga_init();
    EXPECT_EQ(vga_frame_us, 16666u);
    unsetenv("VRK_VGA_HZ");
    vga_frame_us = 14286;
}

TEST_F(VgaTest, SyncPhaseMovesTheRetraceTowardsTheHostVsync)
{
    // The host vsync 1 ms after the emulated window opens, lead 0: the origin
    // moves a quarter of the way each call and converges.
    uint64_t t0 = fake_now_us;
    vga_init();
    uint64_t vsync = t0 + 14286 - 1428 + 1000;
    for (int i = 0; i < 40; i++)
        vga_sync_phase(vsync, 0, 1);
    port_in8(VGA_STATUS);
    fake_now_us = vsync + 14286 * 3 - 50;   // just before a host vsync: retrace
    EXPECT_TRUE(port_in8(VGA_STATUS) & VGA_STATUS_VRETRACE);
    fake_now_us = vsync + 14286 * 3 - 2000; // 2 ms before: display
    EXPECT_FALSE(port_in8(VGA_STATUS) & VGA_STATUS_VRETRACE);
}

TEST_F(VgaTest, TextOutputWrapsAndScrolls)
{
    wr8l(0x450, 78);
    wr8l(0x451, 24);
    wr8l(VGA_TEXT_BASE + (80 * 24 + 79) * 2 + 1, 0x1E);
    wr8l(VGA_TEXT_BASE + 2 * 80, 'z');          // row 1 moves to row 0
    vga_text_putc('a', 0x4F, 1);
    vga_text_putc('b', 0, 1);                   // keeps the attribute there
    EXPECT_EQ(rd8l(0x450), 0);
    EXPECT_EQ(rd8l(0x451), 24);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE), 'z');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + (80 * 23 + 78) * 2), 'a');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + (80 * 23 + 78) * 2 + 1), 0x4F);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + (80 * 23 + 79) * 2 + 1), 0x1E);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + (80 * 24) * 2), ' ');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + (80 * 24) * 2 + 1), 0x1E);   // the last cell's attribute
    vga_text_putc('\r', 0, 1);
    vga_text_putc('\t', 0, 1);
    vga_text_putc('\b', 0, 1);
    vga_text_putc(7, 0, 1);
    EXPECT_EQ(rd8l(0x450), 7);
}

TEST_F(VgaTest, ScrollWindowUpDownAndClear)
{
    for (int r = 0; r < 5; r++)
        wr8l(VGA_TEXT_BASE + r * 160 + 2, (uint8_t)('0' + r));
    vga_text_scroll(0, 1, 1, 1, 3, 1, 0x70);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 160 + 2), '2');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 320 + 2), '3');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 480 + 2), ' ');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 480 + 3), 0x70);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 640 + 2), '4');          // outside the window
    vga_text_scroll(1, 2, 0, 0, 4, 200, 0x07);              // right edge clipped
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 2 * 160 + 2), '0');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 2), ' ');
    vga_text_scroll(0, 0, 0, 0, 24, 79, 0x17);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 4 * 160 + 2), ' ');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 4 * 160 + 3), 0x17);
}

TEST_F(VgaTest, GraphicsTextDrawsGlyphs)
{
    vga_set_mode(0x13);
    vga_text_putc('A', 0x0E, 1);
    const uint8_t *g = bios_font8x8 + 'A' * 8;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            EXPECT_EQ(vga_pixel_read(x, y), g[y] & (0x80 >> x) ? 0x0E : 0) << x << "," << y;
    vga_text_putc('A', 0, 1);                   // colour 0 draws white
    EXPECT_EQ(vga_pixel_read(8 + 2, 1), 15);
    EXPECT_EQ(rd8l(0x450), 2);

    vga_set_mode(0x12);
    wr8l(0x450, 79);
    wr8l(0x451, 29);
    vga_text_putc(0xDB, 0x09, 1);
    EXPECT_EQ(vga_pixel_read(79 * 8, 29 * 16 + 5), 9);
    EXPECT_EQ(rd8l(0x450), 0);                  // wrapped, and no scrolling past the last row
    EXPECT_EQ(rd8l(0x451), 29);
}

TEST_F(VgaTest, WriteTrackingMarksUnchainedPixels)
{
    vga_set_mode(0x13);
    seq(4, 0x06);
    vga_track_start();
    seq(2, 0x04);
    wr8(0xA000, 80 * 3 + 1, 0x33);              // pixel (6, 3): plane 2, byte 80*3+1
    uint32_t line = 0;
    EXPECT_TRUE(vga_written_unchained(0, 6, 3, &line));
    EXPECT_EQ(line, 3u * 80);
    EXPECT_EQ(vga_peek_unchained(0, 6, 3), 0x33);
    EXPECT_FALSE(vga_written_unchained(0, 5, 3, &line));
    vga_track_start();
    EXPECT_FALSE(vga_written_unchained(0, 6, 3, &line));
    vga_track_stop();
    wr8(0xA000, 80 * 3 + 1, 0x34);
    EXPECT_FALSE(vga_written_unchained(0, 6, 3, &line));
}

TEST_F(VgaTest, ModeSetKeepsMemoryWithBitSeven)
{
    vga_set_mode(0x13);
    wr8(0xA000, 0, 3);
    vga_set_mode(0x93);
    EXPECT_EQ(rd8(0xA000, 0), 3);
    vga_set_mode(0x03);
    EXPECT_EQ(rd8l(VGA_TEXT_BASE), ' ');
    EXPECT_EQ(rd8l(VGA_TEXT_BASE + 1), 0x07);
    std::vector<uint8_t> idx(320 * 200);
    EXPECT_EQ(vga_render_indices(idx.data(), 320, 200), 0);
}

TEST_F(VgaTest, WindowOutsideChain4ReadsOpenBus)
{
    vga_set_mode(0x13);
    EXPECT_EQ(rd8l(0xA0000 + 0x10000 - 1), 0);
    EXPECT_EQ(vga_mem_rd(0xB0000), 0xFF);
}

} // namespace

namespace {

TEST_F(VgaTest, DumpListsTheRegisterFiles)
{
    vga_set_mode(0x13);
    testing::internal::CaptureStderr();
    vga_dump();
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.rfind("[vga] mode 13 misc 63\n  seq 00 00 0F 00 0E \n  gc  00 00 00 00 00 40 05 0F FF \n", 0), 0u) << out;
    EXPECT_NE(out.find("\n  attr 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 41 00 0F 00 00 \n"), std::string::npos) << out;
    EXPECT_NE(out.find(" 63,63,63\n"), std::string::npos) << out;
}

} // namespace
