// Scripted runs of DOS programs through the player, headless, with
// VRK_SCRIPT: screenshots of what the drawing programs drew, checked pixel
// by pixel; scripted keys as INT 16h and INT 21h deliver them; scripted
// mouse input as INT 33h reports it; a script that ends the program.
//
// The drawing programs mark their picture finished in memory and then wait.
// Every screenshot step is followed by a memory dump in the same poll, so a
// test knows whether its shot came after the drawing; a shot that came too
// early (a very slow machine) is repeated with a later time, still before
// the programs give up waiting (ready.inc).
#include "../bios/bios_fixture.h"
#include "../dos/host_files.h"

#include "bios/font.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>
#include <sys/wait.h>

namespace {

constexpr uint32_t READY_ADDR = 0x4F0;      // where the programs leave READY_MAGIC
constexpr uint16_t READY_MAGIC = 0xA11D;
constexpr int BMP_HEADERS = 54;

struct PlayerRun {
    int code;
    std::string out, err;
};

uint32_t le32(const std::string &bytes, size_t o)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | (uint8_t)bytes[o + i];
    return v;
}

// A 24-bit bottom-up BMP file as save_bmp writes it.
struct Bmp {
    int w = 0, h = 0;
    std::string bytes;

    uint32_t u32(size_t o) const { return le32(bytes, o); }

    bool load(const std::string &path)
    {
        bytes = slurp(path);
        if (bytes.size() < (size_t)BMP_HEADERS || bytes.compare(0, 2, "BM") != 0 || u32(10) != BMP_HEADERS ||
            (u32(26) & 0xFFFF) != 1 || (u32(28) & 0xFFFF) != 24)
            return false;
        w = (int)u32(18);
        h = (int)u32(22);
        return bytes.size() == BMP_HEADERS + (size_t)h * row_bytes() && u32(2) == bytes.size();
    }

    size_t row_bytes() const { return ((size_t)w * 3 + 3) & ~(size_t)3; }

    // 0xRRGGBB of the pixel at (x, y), y = 0 at the top.
    uint32_t at(int x, int y) const
    {
        size_t o = BMP_HEADERS + (size_t)(h - 1 - y) * row_bytes() + (size_t)x * 3;
        return (uint32_t)(uint8_t)bytes[o + 2] << 16 | (uint32_t)(uint8_t)bytes[o + 1] << 8 | (uint8_t)bytes[o];
    }
};

uint32_t rgb6(uint8_t r, uint8_t g, uint8_t b)
{
    auto x = [](uint8_t v) { return (uint32_t)(v << 2 | v >> 4); };
    return x(r) << 16 | x(g) << 8 | x(b);
}

// The colours are looked up in an adapter of this process set to the same
// mode, which starts with the same palette as the player's.
class ScriptRunTest : public BiosTest {
protected:
    std::string root;

    void SetUp() override
    {
        BiosTest::SetUp();
        char tmpl[] = "/tmp/halverd_scriptXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        std::string cmd = std::string("cp ") + HALVERD_DOS_DIR + "/*.COM " + root;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    void TearDown() override
    {
        std::string cmd = "rm -rf '" + root + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        BiosTest::TearDown();
    }

    // Scripts hold no single quotes; env is more NAME=VALUE settings.
    PlayerRun run(const std::string &args, const std::string &script, const std::string &env = "")
    {
        std::string err = root + "/.stderr";
        std::string cmd = "cd '" + root + "' && " + env + " VRK_SCRIPT='" + script + "' '" HALVERD_BINARY_DIR
                          "/halverd' --headless --root '" + root + "' " + args + " 2>'" + err + "'";
        PlayerRun r{-1, "", ""};
        FILE *p = popen(cmd.c_str(), "r");
        if (!p)
            return r;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, n);
        int st = pclose(p);
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.err = slurp(err);
        return r;
    }

    // count screenshots of a drawing program, spacing seconds apart, the first
    // one taken after the program finished its picture.
    std::vector<Bmp> shots(const char *prog, int count, double spacing)
    {
        for (double first : {0.3, 1.0, 2.5}) {
            std::string script = std::to_string(first) + ":shot:S0.BMP;" + std::to_string(first) + ":mem:MEM.BIN";
            for (int i = 1; i < count; i++)
                script += ";" + std::to_string(first + i * spacing) + ":shot:S" + std::to_string(i) + ".BMP";
            script += ";" + std::to_string(first + count * spacing) + ":quit";
            PlayerRun r = run(prog, script);
            EXPECT_EQ(r.code, 0) << prog << "\n" << r.err;
            EXPECT_NE(r.err.find("[autotest] saved S0.BMP ("), std::string::npos) << r.err;
            if (!ready(prog, r))
                continue;
            std::vector<Bmp> pics(count);
            for (int i = 0; i < count; i++)
                if (!pics[i].load(root + "/S" + std::to_string(i) + ".BMP")) {
                    ADD_FAILURE() << prog << ": screenshot " << i << " is no 24-bit BMP\n" << r.err;
                    return {};
                }
            return pics;
        }
        ADD_FAILURE() << prog << " never finished its picture";
        return {};
    }

    // Whether the memory dump MEM.BIN shows the program's picture finished.
    bool ready(const char *prog, const PlayerRun &r)
    {
        std::string mem = slurp(root + "/MEM.BIN");
        EXPECT_EQ(mem.size(), MEM_SIZE) << prog << ": no memory dump\n" << r.err;
        return mem.size() == MEM_SIZE && (uint8_t)mem[READY_ADDR] == (READY_MAGIC & 0xFF) &&
               (uint8_t)mem[READY_ADDR + 1] == READY_MAGIC >> 8;
    }

    // Wrong pixels, with the first one described in *first.
    static int wrong_pixels(const Bmp &b, const std::function<uint32_t(int, int)> &expected, std::string *first)
    {
        int wrong = 0;
        for (int y = 0; y < b.h; y++)
            for (int x = 0; x < b.w; x++)
                if (b.at(x, y) != expected(x, y) && wrong++ == 0) {
                    char s[96];
                    snprintf(s, sizeof s, "(%d, %d) is %06X, not %06X", x, y, b.at(x, y), expected(x, y));
                    *first = s;
                }
        return wrong;
    }

    static uint32_t dac(int i)
    {
        uint8_t r, g, b;
        vga_dac_get(i, &r, &g, &b);
        return rgb6(r, g, b);
    }

    static uint32_t colour(int c) { return dac(vga_attr_get(c) & 0x3F); }
};

TEST_F(ScriptRunTest, ScreenshotsOfTheGraphicsModes)
{
    struct Row {
        const char *prog;
        int mode, w, h;
        std::function<uint32_t(int, int)> expected;
    } rows[] = {
        {"DRAW13.COM", 0x13, 320, 200, [](int x, int y) { return dac((x + 3 * y) & 255); }},
        // Page 1 of mode X, shown after the flip.
        {"MODEX.COM", 0x13, 320, 200, [](int x, int y) { return dac(64 * (x & 3) + (y & 63)); }},
        {"DRAW12.COM", 0x12, 640, 480,
         [](int x, int y) {
             int c = y / 30;
             if (x == 5 && y == 5)
                 c = 15;
             if (x == 6 && y == 35)
                 c = 1 ^ 3;
             return colour(c);
         }},
        {"DRAW0D.COM", 0x0D, 320, 200,
         [](int x, int y) {
             int c = 0;
             if (x < 64 && y < 40)
                 c = (x / 4) & 15;
             if (y == 100 && x >= 160 && x < 164)
                 c = 14;
             return colour(c);
         }},
    };
    for (const Row &r : rows) {
        vga_set_mode(r.mode);
        std::vector<Bmp> pics = shots(r.prog, 1, 0);
        if (pics.empty())
            continue;
        ASSERT_EQ(pics[0].w, r.w) << r.prog;
        ASSERT_EQ(pics[0].h, r.h) << r.prog;
        std::string first;
        EXPECT_EQ(wrong_pixels(pics[0], r.expected, &first), 0) << r.prog << ": " << first;
    }
}

TEST_F(ScriptRunTest, TextModeScreenshotsShowColoursBlinkAndCursor)
{
    // The sixteen colours of a VGA in text mode.
    static const uint8_t pal[16][3] = {
        {0, 0, 0}, {0, 0, 42}, {0, 42, 0}, {0, 42, 42}, {42, 0, 0}, {42, 0, 42}, {42, 21, 0},
        {42, 42, 42}, {21, 21, 21}, {21, 21, 63}, {21, 63, 21}, {21, 63, 63}, {63, 21, 21},
        {63, 21, 63}, {63, 63, 21}, {63, 63, 63},
    };
    auto pc = [](int c) { return rgb6(pal[c][0], pal[c][1], pal[c][2]); };
    // Every cell from its character and attribute; the blinking "B" and the
    // cursor at row 2, column 3 are shown in the on phase only.
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
    // Twelve shots a sixth of a blink period apart cover both phases, unless
    // the machine stalls: then the run is repeated.
    constexpr int SHOTS = 12;
    constexpr double SPACING_S = 0.266667 / 6;
    int seen[2] = {0, 0};
    for (int attempt = 0; attempt < 3 && !(seen[0] && seen[1]); attempt++) {
        std::vector<Bmp> pics = shots("TEXT03.COM", SHOTS, SPACING_S);
        for (size_t i = 0; i < pics.size(); i++) {
            ASSERT_EQ(pics[i].w, 640);
            ASSERT_EQ(pics[i].h, 400);
            std::string first[2];
            int wrong_on = wrong_pixels(pics[i], [&](int x, int y) { return expected(0, x, y); }, &first[0]);
            int wrong_off = wrong_pixels(pics[i], [&](int x, int y) { return expected(1, x, y); }, &first[1]);
            EXPECT_TRUE(wrong_on == 0 || wrong_off == 0)
                << "shot " << i << ": on phase " << first[0] << ", off phase " << first[1];
            seen[0] += wrong_on == 0;
            seen[1] += wrong_off == 0;
        }
    }
    EXPECT_GT(seen[0], 0) << "no shot in the phase with the blinking text and the cursor shown";
    EXPECT_GT(seen[1], 0) << "no shot in the phase with them hidden";
}

TEST_F(ScriptRunTest, ProfileAndVgaWriterReports)
{
    for (const char *first : {"0.3", "1.0", "2.5"}) {
        std::string t = first;
        PlayerRun r = run("DRAW13.COM", t + ":mem:MEM.BIN;" + t + ":vgaw:W.TXT;" + t + ":vgaw:W2.TXT;" + t + ":quit",
                          "VRK_PROFILE=1 VRK_VGAW=1");
        EXPECT_EQ(r.code, 0) << r.err;
        if (!ready("DRAW13.COM", r))
            continue;
        // One instruction (the STOSB of the fill) wrote the 64000 pixels;
        // reading the counters cleared them.
        std::string w = slurp(root + "/W.TXT");
        unsigned lin = 0, count = 0;
        char end = 0;
        EXPECT_EQ(sscanf(w.c_str(), "%5X %u%c", &lin, &count, &end), 3) << w;
        EXPECT_EQ(count, 64000u) << w;
        EXPECT_EQ(w.size(), 12u) << w;
        EXPECT_EQ(slurp(root + "/W2.TXT"), "");
        // The quit report: the busiest paragraphs, busiest first; the fill's
        // loop (STOSB, INC, LOOP) leads, in the same paragraph as the writer.
        size_t at = r.err.find("[autotest] quit (");
        ASSERT_NE(at, std::string::npos) << r.err;
        std::vector<std::pair<unsigned, unsigned>> top;
        const char *p = strchr(r.err.c_str() + at, '\n');
        unsigned a, n;
        while (p && sscanf(p + 1, "  %5X: %u", &a, &n) == 2) {
            top.emplace_back(a, n);
            p = strchr(p + 1, '\n');
        }
        ASSERT_FALSE(top.empty()) << r.err;
        EXPECT_LE(top.size(), 25u);
        EXPECT_EQ(top[0].first, lin & ~0xFu) << r.err;
        EXPECT_GE(top[0].second, 3 * 64000u) << r.err;
        for (size_t i = 1; i < top.size(); i++)
            EXPECT_GE(top[i - 1].second, top[i].second) << r.err;
        return;
    }
    ADD_FAILURE() << "DRAW13.COM never finished its picture";
}

// Escape ends the reading programs; the quit step is only a backstop.
const char *const ESCAPE_THEN_QUIT = ";0.4:key:01;20:quit";

TEST_F(ScriptRunTest, ScriptedKeysThroughInt16)
{
    // The key words of INT 16h AH=10h for: Hello typed (Shift+H), Caps Lock
    // then a, Ctrl+C, Alt+X, keypad 7 with and without Num Lock, the grey up
    // key written with its prefix and as 100h + code, keypad Enter and /,
    // Shift+F1, F11, F12, typed capitals, digits and punctuation, right
    // Ctrl+S, right Alt+Q, Escape.
    const std::string script =
        "0.1:type:Hello;0.1:key:3A;0.1:key:1E;0.1:key:3A;0.1:down:1D;0.1:key:2E;0.1:up:1D;"
        "0.1:down:38;0.1:key:2D;0.1:up:38;"
        "0.2:key:45;0.2:key:47;0.2:key:45;0.2:key:47;0.2:key:E048;0.2:key:148;0.2:key:E01C;0.2:key:E035;"
        "0.2:down:2A;0.2:key:3B;0.2:up:2A;0.2:key:57;0.2:key:58;"
        "0.3:type:Zz9 .\\-:;0.3:down:E01D;0.3:key:1F;0.3:up:E01D;0.3:down:E038;0.3:key:10;0.3:up:E038" +
        std::string(ESCAPE_THEN_QUIT);
    const std::string head = "2348 1265 266C 266C 186F 1E41 2E03 2D00 4737 4700 ";
    const std::string tail = "1C0D 352F 5400 8500 8600 2C5A 2C7A 0A39 3920 342E 2B5C 0C2D 273A 1F13 1000 011B end\r\n";
    struct Row {
        const char *mode;
        std::string out;
    } rows[] = {
        {"b", head + "48E0 48E0 " + tail},      // AH=10h keeps the grey keys' E0h
        {"a", head + "4800 4800 " + tail},      // AH=00h folds it to 00h
        {"h", head + "4800 4800 " + tail},      // AH=01h shows the folded word
    };
    for (const Row &r : rows) {
        PlayerRun got = run(std::string("TYPEIN.COM ") + r.mode, script);
        EXPECT_EQ(got.code, 0) << r.mode << "\n" << got.err;
        EXPECT_EQ(got.out, r.out) << r.mode;
    }
}

TEST_F(ScriptRunTest, ScriptedKeysThroughInt21)
{
    // H, i, grey up, F1, Alt+X, Ctrl+A, keypad /, F11, keypad Enter, Escape.
    const std::string script = "0.1:type:Hi;0.1:key:E048;0.1:key:3B;0.1:down:38;0.1:key:2D;0.1:up:38;"
                               "0.2:down:1D;0.2:key:1E;0.2:up:1D;0.2:key:E035;0.2:key:57;0.2:key:E01C" +
                               std::string(ESCAPE_THEN_QUIT);
    // Extended keys come as 00h and then their scan code.
    const std::string bytes = "48 69 00 48 00 3B 00 2D 01 2F 00 85 0D 1B end\r\n";
    struct Row {
        const char *mode;
        std::string out;
    } rows[] = {
        {"c", bytes},   // AH=07h
        {"d", bytes},   // AH=08h
        {"f", bytes},   // AH=06h DL=FFh polled
        {"g", bytes},   // AH=0Bh polled, then AH=08h
        // AH=01h echoes characters and drops the scan codes of extended keys.
        {"e", "H48 i69 00 00 00 \x01" "01 /2F 00 \r0D \x1b" "1B end\r\n"},
    };
    for (const Row &r : rows) {
        PlayerRun got = run(std::string("TYPEIN.COM ") + r.mode, script);
        EXPECT_EQ(got.code, 0) << r.mode << "\n" << got.err;
        EXPECT_EQ(got.out, r.out) << r.mode;
    }
}

TEST_F(ScriptRunTest, ScriptedMouseThroughInt33)
{
    // Each "p" key is sent in the same poll as the mouse steps before it, so
    // the program reports the state right after them.
    const std::string script = "0.1:move:100,50;0.1:key:19;"
                               "0.2:mdown:0;0.2:key:19;"
                               "0.3:mup:0;0.3:rel:16,-8;0.3:key:19;"
                               "0.4:abs:0.5,0.25;0.4:key:19;"
                               "0.5:click:200,100,1;0.5:key:19;"
                               "0.9:key:19;0.9:key:01;20:quit";
    PlayerRun got = run("MOUSETAP.COM", script);
    EXPECT_EQ(got.code, 0) << got.err;
    // X, Y, buttons, horizontal and vertical mickeys.
    EXPECT_EQ(got.out, "0064 0032 0000 0000 0000 \r\n"      // placed: no motion counted
                       "0064 0032 0001 0000 0000 \r\n"      // left button down
                       "0074 002A 0000 0010 FFF8 \r\n"      // up, then moved by (16, -8)
                       "0140 0032 0000 00CC 0010 \r\n"      // the middle, a quarter down
                       "00C8 0064 0002 0000 0000 \r\n"      // a right click holds the button
                       "00C8 0064 0000 0000 0000 \r\n"      // and lets it go
                       // Presses and releases: count, X, Y of the last one.
                       "L 0001 0064 0032 0001 0064 0032 \r\n"
                       "R 0001 00C8 0064 0001 00C8 0064 \r\n"
                       "end\r\n");
}

TEST_F(ScriptRunTest, EnterThenShotThenQuit)
{
    // The sound capture is finished too: its header counts what was written.
    PlayerRun got = run("TYPEIN.COM b", "0.4:key:1C;0.5:shot:END.BMP;0.6:quit", "VRK_WAVOUT=OUT.WAV");
    EXPECT_EQ(got.code, 0) << got.err;
    EXPECT_EQ(got.out, "1C0D ");
    size_t saved = got.err.find("[autotest] saved END.BMP (640x400)\n");
    size_t quit = got.err.find("[autotest] quit (");
    EXPECT_NE(saved, std::string::npos) << got.err;
    EXPECT_NE(quit, std::string::npos) << got.err;
    EXPECT_LT(saved, quit);
    Bmp b;
    EXPECT_TRUE(b.load(root + "/END.BMP"));
    std::string wav = slurp(root + "/OUT.WAV");
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(le32(wav, 4), wav.size() - 8);
    EXPECT_EQ(le32(wav, 40), wav.size() - 44);
}

} // namespace
