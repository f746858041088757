// DOS programs of tests/dos that draw through the BIOS and the VGA, run on
// the interpreter with the BIOS and VGA alone: the .COM image is loaded like
// DOS would load it, and a stand-in INT 21h ends the run at function 4Ch.
// The drawing programs wait for Escape when they are done; it is typed ahead.
// The pictures are checked pixel by pixel against what the programs drew.
#include "../bios/bios_fixture.h"

#include "bios/font.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint16_t PSP_SEG = 0x1000, COM_START = 0x100, STACK = 0xFFFE;
constexpr uint16_t END_SEG = 0x0050, END_OFF = 0x0000;     // where an exit lands
constexpr uint16_t SP_ANY = 0x8000;     // the return point matches at any high SP
constexpr uint16_t KEY_SC_ESCAPE = 0x01;

int exit_code;

// INT 21h AH=4Ch: remember the status and make the service return to the end
// point instead of the program.
void int21_exit(void)
{
    if (AH != 0x4C)
        return;
    exit_code = AL;
    wr16(SS, SP, END_OFF);
    wr16(SS, (uint16_t)(SP + 2), END_SEG);
}

uint64_t ticking_clock(void) { return fake_now_us += 10; }

class VgaProgramTest : public BiosTest {
protected:
    std::vector<uint8_t> pix = std::vector<uint8_t>(VGA_MAX_PIXELS * 4);
    int w = 0, h = 0;

    // Loads and runs a program with Escape typed ahead after any other keys;
    // returns its exit status, -1 if it is missing.
    int run(const char *name)
    {
        kbd_host_key(KEY_SC_ESCAPE, 1);
        kbd_host_key(KEY_SC_ESCAPE, 0);
        std::string path = std::string(HALVERD_DOS_DIR) + "/" + name;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            return -1;
        std::vector<uint8_t> image(0x10000 - COM_START);
        size_t n = fread(image.data(), 1, image.size(), f);
        fclose(f);
        for (size_t i = 0; i < n; i++)
            wr8(PSP_SEG, (uint16_t)(COM_START + i), image[i]);
        hle_set_vector(0x21, int21_exit, "int21 exit");
        exit_code = -1;
        CS = DS = ES = SS = PSP_SEG;
        SP = STACK;
        IP = COM_START;
        cpu.flags |= F_IF;
        cpu_run_until(END_SEG, END_OFF, SP_ANY);
        return exit_code;
    }

    void render() { vga_render(pix.data(), &w, &h); }

    uint32_t at(int x, int y) const
    {
        uint32_t v;
        memcpy(&v, &pix[((size_t)y * w + x) * 4], 4);
        return v;
    }

    // The RGBA word of a DAC entry.
    static uint32_t dac_rgba(int i)
    {
        uint8_t r, g, b;
        vga_dac_get(i, &r, &g, &b);
        auto x = [](uint8_t v) { return (uint32_t)(v << 2 | v >> 4); };
        return x(r) | x(g) << 8 | x(b) << 16 | 0xFF000000u;
    }

    // The RGBA word of a 16-colour attribute.
    static uint32_t colour_rgba(int c) { return dac_rgba(vga_attr_get(c) & 0x3F); }
};

TEST_F(VgaProgramTest, Mode13hPicture)
{
    ASSERT_EQ(run("DRAW13.COM"), 0);
    render();
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    std::vector<uint8_t> idx(320 * 200);
    ASSERT_EQ(vga_render_indices(idx.data(), 320, 200), 1);
    int wrong = 0;
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 320; x++) {
            uint8_t c = (uint8_t)(x + 3 * y);
            wrong += idx[y * 320 + x] != c || at(x, y) != dac_rgba(c);
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(VgaProgramTest, ModeXPageFlipAtRetrace)
{
    clock_set_source(ticking_clock);
    ASSERT_EQ(run("MODEX.COM"), 0);
    render();
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    int wrong = 0;
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 320; x++)
            wrong += at(x, y) != dac_rgba(64 * (x & 3) + (y & 63));
    EXPECT_EQ(wrong, 0);
    // Page 0 is still there under the old start address.
    EXPECT_EQ(vga_peek_unchained(0, 5, 7), 1);
    EXPECT_EQ(vga_peek_unchained(16000, 5, 7), 64 + 7);
}

TEST_F(VgaProgramTest, Mode12hPicture)
{
    ASSERT_EQ(run("DRAW12.COM"), 0);
    render();
    ASSERT_EQ(w, 640);
    ASSERT_EQ(h, 480);
    int wrong = 0;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            int c = y / 30;
            if (x == 5 && y == 5)
                c = 15;
            if (x == 6 && y == 35)
                c = 1 ^ 3;
            wrong += at(x, y) != colour_rgba(c);
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(VgaProgramTest, Mode0DhPicture)
{
    ASSERT_EQ(run("DRAW0D.COM"), 0);
    render();
    ASSERT_EQ(w, 320);
    ASSERT_EQ(h, 200);
    int wrong = 0;
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 320; x++) {
            int c = 0;
            if (x < 64 && y < 40)
                c = (x / 4) & 15;
            if (y == 100 && x >= 160 && x < 164)
                c = 14;
            wrong += at(x, y) != colour_rgba(c);
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(VgaProgramTest, TextColoursBlinkAndCursor)
{
    ASSERT_EQ(run("TEXT03.COM"), 0);
    // The sixteen colours of a VGA in text mode.
    static const uint8_t rgb6[16][3] = {
        {0, 0, 0}, {0, 0, 42}, {0, 42, 0}, {0, 42, 42}, {42, 0, 0}, {42, 0, 42}, {42, 21, 0},
        {42, 42, 42}, {21, 21, 21}, {21, 21, 63}, {21, 63, 21}, {21, 63, 63}, {63, 21, 21},
        {63, 21, 63}, {63, 63, 21}, {63, 63, 63},
    };
    auto pc = [](int c) {
        auto x = [](uint8_t v) { return (uint32_t)(v << 2 | v >> 4); };
        return x(rgb6[c][0]) | x(rgb6[c][1]) << 8 | x(rgb6[c][2]) << 16 | 0xFF000000u;
    };
    // The picture expected at a blink phase: every cell drawn from its
    // character and attribute, the cursor at row 2, column 3.
    auto expected = [&](int off_phase, int x, int y) {
        int col = x / 8, row = y / 16, line = y % 16;
        uint8_t ch = ' ', a = 0x07;
        if (row == 0 && col < 16) { ch = 0xDB; a = (uint8_t)col; }
        if (row == 1 && col == 0) { ch = 'B'; a = 0x8E; }
        if (row == 1 && col == 1) { ch = 'W'; a = 0x1F; }
        uint8_t bits = bios_font8x16[ch * 16 + line];
        if ((a & 0x80) && off_phase)
            bits = 0;
        if (row == 2 && col == 3 && !off_phase && (line == 13 || line == 14))
            bits = 0xFF;
        return bits & (0x80 >> (x % 8)) ? pc(a & 15) : pc((a >> 4) & 7);
    };
    for (int phase = 0; phase < 2; phase++) {
        fake_now_us = 266667ull * (20 + phase);
        render();
        ASSERT_EQ(w, 640);
        ASSERT_EQ(h, 400);
        int wrong = 0;
        for (int y = 0; y < 400; y++)
            for (int x = 0; x < 640; x++)
                wrong += at(x, y) != expected(phase, x, y);
        EXPECT_EQ(wrong, 0) << "phase " << phase;
    }
}

TEST_F(VgaProgramTest, KeysReachTheProgramThroughInt16)
{
    enum : uint16_t { LSHIFT = 0x2A, CTRL = 0x1D, ALT = 0x38, CAPS = 0x3A, NUM = 0x45 };
    struct { uint16_t code; int down; } typed[] = {
        {LSHIFT, 1}, {0x1E, 1}, {0x1E, 0}, {LSHIFT, 0},
        {CAPS, 1}, {CAPS, 0}, {0x1E, 1}, {0x1E, 0}, {CAPS, 1}, {CAPS, 0},
        {CTRL, 1}, {0x2E, 1}, {0x2E, 0}, {CTRL, 0},
        {ALT, 1}, {0x2D, 1}, {0x2D, 0}, {ALT, 0},
        {NUM, 1}, {NUM, 0}, {0x47, 1}, {0x47, 0}, {NUM, 1}, {NUM, 0},
        {0x148, 1}, {0x148, 0}, {0x148, 1}, {0x148, 0},
        {0x11C, 1}, {0x11C, 0},
        {LSHIFT, 1}, {0x3B, 1}, {0x3B, 0}, {LSHIFT, 0},
        {0x57, 1}, {0x57, 0}, {0x58, 1}, {0x58, 0},
    };
    for (const auto &k : typed)
        kbd_host_key(k.code, k.down);       // queued in the controller, delivered as the program runs
    int status = run("KEYS.COM");
    EXPECT_EQ(status, 0) << "first wrong key " << status << ": "
                         << std::hex << rd16(PSP_SEG, (uint16_t)(0x400 + 2 * (status - 1)));
}

} // namespace
