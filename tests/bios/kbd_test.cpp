// The keyboard: scancodes through the controller and IRQ 1 into the BIOS key
// buffer, read back with INT 16h.
#include "bios_fixture.h"

#include <vector>

namespace {

enum : uint16_t {
    ESC = 0x01, ONE = 0x02, BKSP = 0x0E, TAB = 0x0F, ENTER = 0x1C, CTRL = 0x1D, A = 0x1E,
    LSHIFT = 0x2A, X = 0x2D, C = 0x2E, RSHIFT = 0x36, ALT = 0x38, CAPS = 0x3A, F1 = 0x3B,
    NUM = 0x45, PAD7 = 0x47, PAD_DOT = 0x53, F11 = 0x57, F12 = 0x58, GREY_UP = 0x148,
    PAD_ENTER = 0x11C, PAD_SLASH = 0x135, RCTRL = 0x11D, RALT = 0x138,
    BRACKET = 0x1A,
};

enum Action { DOWN, UP, TAP };
struct Step { uint16_t code; Action act; };
struct KeyCase {
    const char *name;
    std::vector<Step> steps;
    uint16_t word;              // from INT 16h AH=10h
};

TEST_F(BiosTest, KeyWordsFollowShiftCapsCtrlAltNumAndExtendedRules)
{
    const KeyCase cases[] = {
        {"a", {{A, TAP}}, 0x1E61},
        {"Shift+A", {{LSHIFT, DOWN}, {A, TAP}, {LSHIFT, UP}}, 0x1E41},
        {"right Shift+1", {{RSHIFT, DOWN}, {ONE, TAP}, {RSHIFT, UP}}, 0x0221},
        {"Caps A", {{CAPS, TAP}, {A, TAP}, {CAPS, TAP}}, 0x1E41},
        {"Caps Shift+A", {{CAPS, TAP}, {LSHIFT, DOWN}, {A, TAP}, {LSHIFT, UP}, {CAPS, TAP}}, 0x1E61},
        {"Caps leaves digits", {{CAPS, TAP}, {ONE, TAP}, {CAPS, TAP}}, 0x0231},
        {"Ctrl+C", {{CTRL, DOWN}, {C, TAP}, {CTRL, UP}}, 0x2E03},
        {"right Ctrl+C", {{RCTRL, DOWN}, {C, TAP}, {RCTRL, UP}}, 0x2E03},
        {"Ctrl+[", {{CTRL, DOWN}, {BRACKET, TAP}, {CTRL, UP}}, 0x1A1B},
        {"Alt+X", {{ALT, DOWN}, {X, TAP}, {ALT, UP}}, 0x2D00},
        {"right Alt+X", {{RALT, DOWN}, {X, TAP}, {RALT, UP}}, 0x2D00},
        {"Esc", {{ESC, TAP}}, 0x011B},
        {"Backspace", {{BKSP, TAP}}, 0x0E08},
        {"Tab", {{TAB, TAP}}, 0x0F09},
        {"Shift+Tab", {{LSHIFT, DOWN}, {TAB, TAP}, {LSHIFT, UP}}, 0x0F00},
        {"Enter", {{ENTER, TAP}}, 0x1C0D},
        {"keypad 7 with Num Lock", {{NUM, TAP}, {PAD7, TAP}, {NUM, TAP}}, 0x4737},
        {"keypad . with Num Lock", {{NUM, TAP}, {PAD_DOT, TAP}, {NUM, TAP}}, 0x532E},
        {"keypad 7 with Num Lock and Shift",
         {{NUM, TAP}, {LSHIFT, DOWN}, {PAD7, TAP}, {LSHIFT, UP}, {NUM, TAP}}, 0x4700},
        {"keypad 7 without Num Lock", {{PAD7, TAP}}, 0x4700},
        {"grey up", {{GREY_UP, TAP}}, 0x48E0},
        {"keypad Enter", {{PAD_ENTER, TAP}}, 0x1C0D},
        {"keypad /", {{PAD_SLASH, TAP}}, 0x352F},
        {"F1", {{F1, TAP}}, 0x3B00},
        {"Shift+F1", {{LSHIFT, DOWN}, {F1, TAP}, {LSHIFT, UP}}, 0x5400},
        {"Ctrl+F1", {{CTRL, DOWN}, {F1, TAP}, {CTRL, UP}}, 0x5E00},
        {"Alt+F1", {{ALT, DOWN}, {F1, TAP}, {ALT, UP}}, 0x6800},
        {"F10", {{0x44, TAP}}, 0x4400},
        {"F11", {{F11, TAP}}, 0x8500},
        {"F12", {{F12, TAP}}, 0x8600},
    };
    for (const KeyCase &c : cases) {
        for (const Step &s : c.steps) {
            if (s.act != UP) down(s.code);
            if (s.act != DOWN) up(s.code);
        }
        ASSERT_FALSE(bios_keybuf_empty()) << c.name;
        EXPECT_EQ(int16(0x10), c.word) << c.name;
        EXPECT_TRUE(bios_keybuf_empty()) << c.name;
        EXPECT_EQ(rd8l(0x417) & 0x6F, 0) << c.name;    // every modifier released again
    }
}

TEST_F(BiosTest, PlainFunctionsHideTheExtendedMarker)
{
    tap(GREY_UP);
    AH = 0x01;
    cpu_int(0x16);
    EXPECT_FALSE(zf());
    EXPECT_EQ(AX, 0x4800);
    EXPECT_EQ(int16(0x11), 0x48E0);     // peeking leaves it in the buffer
    EXPECT_EQ(int16(0x00), 0x4800);
    AH = 0x11;
    cpu_int(0x16);
    EXPECT_TRUE(zf());
}

TEST_F(BiosTest, ShiftFlagsAndLockToggles)
{
    down(LSHIFT);
    down(CTRL);
    tap(CAPS);
    tap(NUM);
    tap(0x46);      // Scroll Lock
    EXPECT_EQ(int16(0x02) & 0xFF, 0x02 | 0x04 | 0x40 | 0x20 | 0x10);
    up(LSHIFT);
    up(CTRL);
    EXPECT_EQ(int16(0x12), 0x0070);
    tap(0x145);     // E0 45 (Pause's second half) does not toggle Num Lock
    EXPECT_EQ(int16(0x02) & 0x20, 0x20);
    EXPECT_TRUE(bios_keybuf_empty());
}

TEST_F(BiosTest, KeyBufferHoldsFifteenWords)
{
    for (int i = 0; i < 16; i++) {
        CX = (uint16_t)(0x1E00 + i);
        int16(0x05);
    }
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(int16(0x10), 0x1E00 + i);
    EXPECT_TRUE(bios_keybuf_empty());
    keybuf_put(0x1234);                 // the buffer wraps around its end
    EXPECT_EQ(int16(0x10), 0x1234);
}

TEST_F(BiosTest, ControllerPortsAndInterruptLine)
{
    EXPECT_EQ(port_in8(KBD_STATUS_PORT), 0x1C);
    kbd_host_key(A, 1);
    kbd_host_key(A, 0);
    EXPECT_EQ(port_in8(KBD_STATUS_PORT), 0x1D);
    EXPECT_EQ(pic_irr(0) & 2, 2);
    EXPECT_EQ(port_in8(KBD_DATA_PORT), A);
    EXPECT_EQ(pic_irr(0) & 2, 0);
    EXPECT_EQ(port_in8(KBD_STATUS_PORT), 0x1C);
    EXPECT_EQ(port_in8(KBD_DATA_PORT), A);     // re-reading gives the same byte
    kbd_poll();
    EXPECT_EQ(port_in8(KBD_DATA_PORT), A | 0x80);
    kbd_host_key(GREY_UP, 1);
    EXPECT_EQ(port_in8(KBD_DATA_PORT), 0xE0);
    kbd_poll();
    EXPECT_EQ(port_in8(KBD_DATA_PORT), 0x48);
}

TEST_F(BiosTest, ControllerRingOverwritesOldestBytes)
{
    for (int i = 0; i < 300; i++)
        kbd_host_key((uint16_t)(i & 0x7F), 1);
    EXPECT_EQ(kbd_pending(), 256);      // 255 in the ring, one in the output buffer
}

TEST_F(BiosTest, WaitingForAKeyHeadlessGivesEnter)
{
    host_headless = 1;
    fake_sleeps = 0;
    EXPECT_EQ(int16(0x00), 0x1C0D);
    EXPECT_EQ(fake_sleeps, 2000u);
}

TEST_F(BiosTest, WaitingForAKeyTakesTheInterruptThatDeliversIt)
{
    // The key arrives in the controller before the wait; the IRQ runs inside it.
    kbd_host_key(A, 1);
    cpu.flags &= ~F_IF;                 // the caller's interrupt state is kept
    EXPECT_EQ(int16(0x10), 0x1E61);
    EXPECT_FALSE(cpu.flags & F_IF);
}

TEST_F(BiosTest, QuitRequestEndsTheWaitWithEscape)
{
    host_quit_requested = 1;
    EXPECT_EQ(int16(0x10), 0x011B);
}

} // namespace
