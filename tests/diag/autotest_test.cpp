// The scripted test driver on a fake clock: how scripts are read, when steps
// run, what the input commands send to the keyboard controller and the mouse
// driver, the pokes, the BMP layout and the reports.
#include "../bios/bios_fixture.h"
#include "../dos/host_files.h"

#include "devices/mouse.h"
#include "diag/autotest.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint64_t US_PER_MS = 1000;

class AutotestTest : public BiosTest {
protected:
    std::string dir;

    void SetUp() override
    {
        BiosTest::SetUp();
        mouse_init();
        char tmpl[] = "/tmp/halverd_autotestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }

    void TearDown() override
    {
        unsetenv("VRK_SCRIPT");
        autotest_reset();
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        BiosTest::TearDown();
    }

    // The first poll reads the script and starts its clock at the fake now.
    void start(const std::string &script)
    {
        setenv("VRK_SCRIPT", script.c_str(), 1);
        autotest_reset();
        autotest_poll();
    }

    void poll_at_ms(uint64_t ms)
    {
        fake_now_us = START_US + ms * US_PER_MS;
        autotest_poll();
    }

    // Every byte the keyboard controller hands out, in order.
    static std::vector<uint8_t> scancodes()
    {
        std::vector<uint8_t> got;
        for (int guard = 0; kbd_pending() && guard < 1024; guard++) {
            kbd_poll();
            got.push_back(kbd_port_in(KBD_DATA_PORT));
        }
        return got;
    }

    uint16_t mouse_call(uint16_t fn, uint16_t bx = 0)
    {
        AX = fn;
        BX = bx;
        cpu_int(MOUSE_INT);
        return AX;
    }
};

TEST_F(AutotestTest, ScriptsAreSplitIntoSteps)
{
    std::string long_arg(300, 'x');
    struct Step {
        double t;
        const char *cmd;
        std::string arg;
    };
    struct Row {
        std::string script;
        std::vector<Step> steps;
    } rows[] = {
        {"2:key:1C;2.5:shot:a.bmp;3:quit", {{2, "key", "1C"}, {2.5, "shot", "a.bmp"}, {3, "quit", ""}}},
        {"0.25:type:Hello World", {{0.25, "type", "Hello World"}}},
        {";;nonsense; ;1:vga;", {{1, "vga", ""}}},                  // no ":" - skipped
        {"1:poke:B8000=1,2:3", {{1, "poke", "B8000=1,2:3"}}},       // the argument is the rest
        {"x:regs", {{0, "regs", ""}}},                              // a malformed time reads as 0
        {"nan:regs", {{0, "regs", ""}}},
        {"\n 0.5:stat", {{0.5, "stat", ""}}},                       // leading blanks and lines
        {"1:averyverylongcommand:a", {{1, "averyverylongco", "a"}}},
        {"1:type:" + long_arg, {{1, "type", std::string(255, 'x')}}},
        {std::string(300, '7') + ":late;1:vga", {{1, "vga", ""}}},  // cut before its ":"
        {"", {}},
    };
    for (const Row &r : rows) {
        ASSERT_EQ(autotest_parse(r.script.c_str()), (int)r.steps.size()) << r.script;
        for (size_t i = 0; i < r.steps.size(); i++) {
            const AutotestStep *st = autotest_step((int)i);
            EXPECT_DOUBLE_EQ(st->t, r.steps[i].t) << r.script;
            EXPECT_STREQ(st->cmd, r.steps[i].cmd) << r.script;
            EXPECT_EQ(st->arg, r.steps[i].arg) << r.script;
        }
    }
    std::string many;
    for (int i = 0; i < 300; i++)
        many += std::to_string(i) + ":stat;";
    EXPECT_EQ(autotest_parse(many.c_str()), AUTOTEST_MAX_STEPS);
    EXPECT_DOUBLE_EQ(autotest_step(AUTOTEST_MAX_STEPS - 1)->t, AUTOTEST_MAX_STEPS - 1);
    EXPECT_EQ(autotest_step(AUTOTEST_MAX_STEPS), nullptr);
}

TEST_F(AutotestTest, StepsRunInTheirWrittenOrderOnceDue)
{
    // The second step is due before the first but waits for it.
    start("0.1:poke:600=1;0.05:poke:602=2;0.2:poke:604=3");
    struct Row {
        uint64_t ms;
        uint16_t w600, w602, w604;
    } rows[] = {
        {0, 0, 0, 0}, {60, 0, 0, 0}, {99, 0, 0, 0}, {100, 1, 2, 0}, {199, 1, 2, 0}, {200, 1, 2, 3},
    };
    for (const Row &r : rows) {
        poll_at_ms(r.ms);
        EXPECT_EQ(rd16l(0x600), r.w600) << r.ms << " ms";
        EXPECT_EQ(rd16l(0x602), r.w602) << r.ms << " ms";
        EXPECT_EQ(rd16l(0x604), r.w604) << r.ms << " ms";
    }
}

TEST_F(AutotestTest, ClockStartsAtTheFirstPoll)
{
    fake_now_us = 90'000'000;
    start("1:poke:600=7");
    fake_now_us += 999'000;
    autotest_poll();
    EXPECT_EQ(rd16l(0x600), 0);
    fake_now_us += 1'000;
    autotest_poll();
    EXPECT_EQ(rd16l(0x600), 7);
}

TEST_F(AutotestTest, WithoutAScriptNothingHappens)
{
    unsetenv("VRK_SCRIPT");
    autotest_reset();
    testing::internal::CaptureStderr();
    poll_at_ms(0);
    poll_at_ms(100'000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(kbd_pending(), 0);
}

TEST_F(AutotestTest, KeyCommandsSendTheirScancodes)
{
    struct Row {
        const char *script;
        std::vector<uint8_t> codes;
    } rows[] = {
        {"0:key:1C", {0x1C, 0x9C}},
        {"0:down:2A;0:up:2A", {0x2A, 0xAA}},
        {"0:key:E048", {0xE0, 0x48, 0xE0, 0xC8}},          // written with its prefix
        {"0:key:148", {0xE0, 0x48, 0xE0, 0xC8}},           // or as 100h + code
        {"0:down:e01d;0:up:E01D", {0xE0, 0x1D, 0xE0, 0x9D}},
        {"0:key:58", {0x58, 0xD8}},
        {"0:key:zz", {0x00, 0x80}},                        // malformed: scancode 0
        // Shift+H, e, l, l, o.
        {"0:type:Hello", {0x2A, 0x23, 0xA3, 0xAA, 0x12, 0x92, 0x26, 0xA6, 0x26, 0xA6, 0x18, 0x98}},
        // ":" is Shift+semicolon; "?" has no key and is skipped.
        {"0:type:a:?", {0x1E, 0x9E, 0x2A, 0x27, 0xA7, 0xAA}},
        {"0:type:0 .\\-Zm", {0x0B, 0x8B, 0x39, 0xB9, 0x34, 0xB4, 0x2B, 0xAB, 0x0C, 0x8C,
                             0x2A, 0x2C, 0xAC, 0xAA, 0x32, 0xB2}},
        {"0:hdown:1C;0:look:1,2;0:nosuch:3", {}},          // commands without effect here
    };
    for (const Row &r : rows) {
        start(r.script);
        EXPECT_EQ(scancodes(), r.codes) << r.script;
    }
}

TEST_F(AutotestTest, ClickReleasesItsButtonLaterEvenAsTheLastStep)
{
    start("0.1:click:100,50,1");
    struct Row {
        uint64_t ms;
        uint16_t buttons;
    } rows[] = {{50, 0}, {100, 2}, {200, 2}, {249, 2}, {251, 0}, {400, 0}};
    for (const Row &r : rows) {
        poll_at_ms(r.ms);
        mouse_call(3);
        EXPECT_EQ(BX, r.buttons) << r.ms << " ms";
        if (r.ms >= 100) {
            EXPECT_EQ(CX, 100);
            EXPECT_EQ(DX, 50);
        }
    }
    mouse_call(5, MOUSE_RIGHT);
    EXPECT_EQ(BX, 1);
    mouse_call(6, MOUSE_RIGHT);
    EXPECT_EQ(BX, 1);
}

TEST_F(AutotestTest, ASecondClickLetsGoOfTheFirstButton)
{
    start("0:click:10,20,0;0.05:click:30,40,1");
    poll_at_ms(50);
    mouse_call(3);
    EXPECT_EQ(BX, 2);                   // the left button is up again
    mouse_call(6, MOUSE_LEFT);
    EXPECT_EQ(BX, 1);
    EXPECT_EQ(CX, 10);
    EXPECT_EQ(DX, 20);
    poll_at_ms(200);
    mouse_call(3);
    EXPECT_EQ(BX, 0);
}

TEST_F(AutotestTest, MouseCommands)
{
    start("0:move:200,100;0:mdown:0;0.1:rel:16,-8;0.2:mup:0;0.3:abs:0.5,0.25");
    mouse_call(3);
    EXPECT_EQ(BX, 1);
    EXPECT_EQ(CX, 200);
    EXPECT_EQ(DX, 100);
    poll_at_ms(100);
    mouse_call(3);
    EXPECT_EQ(CX, 216);
    EXPECT_EQ(DX, 92);
    mouse_call(0x0B);
    EXPECT_EQ((int16_t)CX, 16);
    EXPECT_EQ((int16_t)DX, -8);
    poll_at_ms(200);
    mouse_call(3);
    EXPECT_EQ(BX, 0);
    poll_at_ms(300);
    mouse_call(3);
    EXPECT_EQ(CX, 320);                 // half of the 640-wide virtual screen
    EXPECT_EQ(DX, 50);                  // a quarter of the 200 lines of mode 3
}

TEST_F(AutotestTest, PokeWritesWords)
{
    struct Row {
        const char *arg;
        uint32_t lin;
        std::vector<uint16_t> words;
    } rows[] = {
        {"B8000=1,2", 0xB8000, {1, 2}},
        {"b8010=65535=3,4", 0xB8010, {65535, 3, 4}},     // "=" may separate values too
        {"700=x,5", 0x700, {0, 5}},                      // a malformed value is 0
        {"710=-1", 0x710, {0xFFFF}},
        {"720=7abc,8", 0x720, {7, 8}},                   // trailing junk of a value is skipped
    };
    std::string script;
    for (const Row &r : rows)
        script += std::string("0:poke:") + r.arg + ";";
    uint16_t after = rd16l(0xB8004);
    start(script);
    for (const Row &r : rows)
        for (size_t i = 0; i < r.words.size(); i++)
            EXPECT_EQ(rd16l(r.lin + 2 * (uint32_t)i), r.words[i]) << r.arg << " word " << i;
    EXPECT_EQ(rd16l(0xB8004), after);
}

TEST_F(AutotestTest, BmpLayout)
{
    // 3 x 2 pixels: rows of 9 bytes padded to 12, the bottom row first.
    const uint8_t rgba[] = {
        1, 2, 3, 255, 4, 5, 6, 255, 7, 8, 9, 255,
        10, 11, 12, 255, 13, 14, 15, 255, 16, 17, 18, 255,
    };
    std::string path = dir + "/p.bmp";
    ASSERT_EQ(bmp_save(path.c_str(), rgba, 3, 2), 0);
    std::string f = slurp(path);
    ASSERT_EQ(f.size(), 54u + 2 * 12);
    auto u16 = [&](size_t o) { return (unsigned)(uint8_t)f[o] | (unsigned)(uint8_t)f[o + 1] << 8; };
    auto u32 = [&](size_t o) { return u16(o) | u16(o + 2) << 16; };
    EXPECT_EQ(f.substr(0, 2), "BM");
    EXPECT_EQ(u32(2), 78u);             // file size
    EXPECT_EQ(u32(6), 0u);              // reserved
    EXPECT_EQ(u32(10), 54u);            // pixel data offset
    EXPECT_EQ(u32(14), 40u);            // information header size
    EXPECT_EQ(u32(18), 3u);             // width
    EXPECT_EQ(u32(22), 2u);             // height: positive, bottom-up
    EXPECT_EQ(u16(26), 1u);             // planes
    EXPECT_EQ(u16(28), 24u);            // bits per pixel
    for (size_t o = 30; o < 54; o += 4)
        EXPECT_EQ(u32(o), 0u) << "field at " << o;
    const uint8_t rows[] = {
        12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0,
        3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0,
    };
    EXPECT_EQ(f.substr(54), std::string((const char *)rows, sizeof rows));
    EXPECT_EQ(bmp_save((dir + "/no/such/dir.bmp").c_str(), rgba, 3, 2), -1);
}

TEST_F(AutotestTest, ShotOfTheDisplay)
{
    vga_set_mode(0x13);
    vga_dac_set(5, 63, 0, 21);
    wr8l(0xA0000 + 320 * 199, 5);       // the last line's first pixel
    std::string path = dir + "/s.bmp";
    testing::internal::CaptureStderr();
    start("0:shot:" + path + ";0:shot:" + dir + "/missing/x.bmp");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[autotest] saved " + path + " (320x200)\n");
    std::string f = slurp(path);
    ASSERT_EQ(f.size(), 54u + 200 * 960);
    EXPECT_EQ((uint8_t)f[54], 0x55);    // blue 21 in 8 bits
    EXPECT_EQ((uint8_t)f[55], 0);
    EXPECT_EQ((uint8_t)f[56], 0xFF);
    EXPECT_EQ((uint8_t)f[57], 0);       // the next pixel: colour 0
}

TEST_F(AutotestTest, FileReports)
{
    std::vector<uint32_t> hist(0x100000);
    hist[0x12345] = 3;
    hist[0xFFFFF] = 1;
    vga_writer_hist = hist.data();
    wr8l(0x5000, 0xAB);
    std::string vgaw = dir + "/w.txt", mem = dir + "/m.bin";
    testing::internal::CaptureStderr();
    start("0:vgaw:" + vgaw + ";0:mem:" + mem + ";0:vgaw:" + dir + "/w2.txt;0:mem:/no/such/dir/m");
    std::string err = testing::internal::GetCapturedStderr();
    vga_writer_hist = nullptr;
    EXPECT_EQ(slurp(vgaw), "12345 3\nFFFFF 1\n");
    EXPECT_EQ(slurp(dir + "/w2.txt"), "");     // counters were cleared
    std::string m = slurp(mem);
    ASSERT_EQ(m.size(), (size_t)MEM_SIZE);
    EXPECT_EQ((uint8_t)m[0x5000], 0xAB);
    EXPECT_EQ(err.find("[memdump] CS:IP="), 0u) << err;
}

TEST_F(AutotestTest, ProfileResetAndQuitReport)
{
    std::vector<uint32_t> prof(MEM_SIZE / 16);
    interp_profile = prof.data();
    prof[0x100] = 5;
    start("0:profreset");
    EXPECT_EQ(prof[0x100], 0u);
    prof[0x100] = 5;
    prof[0x20] = 9;
    prof[0x30] = 5;
    cpu.icount = 1234;
    EXPECT_EXIT(start("0:quit"), ::testing::ExitedWithCode(0),
                "^\\[autotest\\] quit \\(1234 instructions interpreted\\)\n"
                "  00200: 9\n  00300: 5\n  01000: 5\n$");
    interp_profile = nullptr;
    EXPECT_EXIT(start("0:stat;0:quit"), ::testing::ExitedWithCode(0),
                "^\\[autotest\\] 0.00 s: 0 frames drawn\n\\[autotest\\] quit \\(1234 instructions interpreted\\)\n$");
}

} // namespace
