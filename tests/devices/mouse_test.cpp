// The mouse driver on a machine with the BIOS and the VGA: INT 33h called
// through the vector, host input through the driver's entry points, and an
// event handler in emulated memory that records every call.
#include "../bios/bios_fixture.h"

#include "devices/mouse.h"

#include <cmath>
#include <vector>

namespace {

constexpr uint16_t HANDLER_SEG = 0x3000;
constexpr uint16_t NEXT_RECORD = 0x0200;    // word: where the handler writes next
constexpr uint16_t RECORDS = 0x0210;        // 6 words per call: AX BX CX DX SI DI
constexpr uint16_t CLOBBER = 0x1234;        // what the handler leaves in BX
constexpr uint16_t BUFFER_SEG = 0x4000;

// Records AX, BX, CX, DX, SI, DI of each call at CS:[NEXT_RECORD], then
// changes BX and returns far.
const std::initializer_list<uint8_t> recording_handler = {
    0x57,                           // push di
    0x2E, 0x8B, 0x3E, 0x00, 0x02,   // mov di, [cs:0200h]
    0x2E, 0x89, 0x05,               // mov [cs:di], ax
    0x2E, 0x89, 0x5D, 0x02,         // mov [cs:di+2], bx
    0x2E, 0x89, 0x4D, 0x04,         // mov [cs:di+4], cx
    0x2E, 0x89, 0x55, 0x06,         // mov [cs:di+6], dx
    0x2E, 0x89, 0x75, 0x08,         // mov [cs:di+8], si
    0x58,                           // pop ax
    0x2E, 0x89, 0x45, 0x0A,         // mov [cs:di+10], ax
    0x83, 0xC7, 0x0C,               // add di, 12
    0x2E, 0x89, 0x3E, 0x00, 0x02,   // mov [cs:0200h], di
    0xBB, 0x34, 0x12,               // mov bx, 1234h
    0xCB,                           // retf
};

struct Call {
    uint16_t ax, bx, cx, dx, si, di;
};

struct Regs {
    uint16_t ax, bx, cx, dx;
};

class MouseTest : public BiosTest {
protected:
    void SetUp() override
    {
        BiosTest::SetUp();
        mouse_init();
        cpu.flags |= F_IF;
    }

    Regs int33(uint16_t ax, uint16_t bx = 0, uint16_t cx = 0, uint16_t dx = 0, uint16_t es = 0)
    {
        AX = ax;
        BX = bx;
        CX = cx;
        DX = dx;
        ES = es;
        cpu_int(MOUSE_INT);
        return {AX, BX, CX, DX};
    }

    void set_video_mode(uint8_t mode)
    {
        AX = mode;
        cpu_int(0x10);
    }

    Regs position() { return int33(0x03); }

    void install_handler(uint16_t mask)
    {
        load(HANDLER_SEG, 0, recording_handler);
        wr16(HANDLER_SEG, NEXT_RECORD, RECORDS);
        int33(0x0C, 0, mask, 0, HANDLER_SEG);
    }

    // Delivers what the PIC holds, as the run loop would between instructions.
    void deliver()
    {
        for (int guard = 0; irq_pending && guard < 8; guard++)
            cpu_check_irq();
    }

    std::vector<Call> calls()
    {
        std::vector<Call> out;
        for (uint16_t a = RECORDS; a < rd16(HANDLER_SEG, NEXT_RECORD); a += 12)
            out.push_back({rd16(HANDLER_SEG, a), rd16(HANDLER_SEG, a + 2), rd16(HANDLER_SEG, a + 4),
                           rd16(HANDLER_SEG, a + 6), rd16(HANDLER_SEG, a + 8), rd16(HANDLER_SEG, a + 10)});
        return out;
    }

    int visible()
    {
        int x, y, hx, hy, text;
        const uint16_t *masks;
        return mouse_overlay_info(&x, &y, &masks, &hx, &hy, &text);
    }
};

TEST_F(MouseTest, ResetGivesRangesAndCentreOfTheMode)
{
    struct Row {
        uint8_t mode;
        int y_max, centre_y;
    } rows[] = {
        {0x03, 199, 100}, {0x0D, 199, 100}, {0x10, 349, 175},
        {0x12, 479, 240}, {0x13, 199, 100}, {0x11, 479, 240},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.mode);
        set_video_mode(r.mode);
        mouse_host_button(MOUSE_LEFT, 1);
        int33(0x04, 0, 7, 9);
        for (uint16_t reset : {0x00, 0x21}) {
            Regs got = int33(reset);
            EXPECT_EQ(got.ax, 0xFFFF);
            EXPECT_EQ(got.bx, 2);
            got = position();
            EXPECT_EQ(got.cx, 320);
            EXPECT_EQ(got.dx, r.centre_y);
            int33(0x04, 0, 0x7FFF, 0x7FFF);
            got = position();
            EXPECT_EQ(got.cx, 639);
            EXPECT_EQ(got.dx, r.y_max);
            int33(0x04, 0, 0xFFF0, 0xFFF0);       // negative
            got = position();
            EXPECT_EQ(got.cx, 0);
            EXPECT_EQ(got.dx, 0);
        }
        mouse_host_button(MOUSE_LEFT, 0);
    }
    // The buttons are state of the driver: a reset forgets them.
    mouse_host_button(MOUSE_RIGHT, 1);
    int33(0x00);
    EXPECT_EQ(position().bx, 0);
}

TEST_F(MouseTest, ShowAndHideCount)
{
    struct Row {
        std::initializer_list<uint16_t> functions;
        int visible;
    } rows[] = {
        {{0x01}, 1},
        {{0x01, 0x01, 0x02}, 0},            // the counter stops at 1
        {{0x02, 0x01}, 0},                  // below 0 it needs as many shows
        {{0x02, 0x01, 0x01}, 1},
        {{0x01, 0x10}, 0},                  // 10h hides at once
        {{0x02, 0x02, 0x10, 0x01}, 1},      // and sets the counter to 0
    };
    for (const Row &r : rows) {
        int33(0x00);
        for (uint16_t f : r.functions)
            int33(f);
        EXPECT_EQ(visible(), r.visible) << "row of " << r.functions.size() << " calls";
    }
}

TEST_F(MouseTest, RangesAreOrderedAndClampThePosition)
{
    int33(0x07, 0, 600, 20);
    int33(0x08, 0, 150, 50);
    Regs got = position();
    EXPECT_EQ(got.cx, 320);
    EXPECT_EQ(got.dx, 100);
    struct Row {
        uint16_t cx, dx;
        uint16_t want_x, want_y;
    } rows[] = {
        {0, 0, 20, 50}, {700, 300, 600, 150}, {20, 50, 20, 50}, {600, 150, 600, 150}, {333, 77, 333, 77},
    };
    for (const Row &r : rows) {
        int33(0x04, 0, r.cx, r.dx);
        got = position();
        EXPECT_EQ(got.cx, r.want_x) << r.cx;
        EXPECT_EQ(got.dx, r.want_y) << r.dx;
    }
    mouse_host_motion(-1000, 1000);
    got = position();
    EXPECT_EQ(got.cx, 20);
    EXPECT_EQ(got.dx, 150);
    // A new range pulls the position in.
    int33(0x07, 0, 100, 200);
    int33(0x08, 0, 10, 20);
    got = position();
    EXPECT_EQ(got.cx, 100);
    EXPECT_EQ(got.dx, 20);
}

TEST_F(MouseTest, ModeChangeHidesAndLowersTheRange)
{
    set_video_mode(0x12);
    int33(0x00);
    int33(0x01);
    int33(0x04, 0, 630, 400);
    ASSERT_EQ(visible(), 1);
    set_video_mode(0x13);
    EXPECT_EQ(visible(), 0);
    Regs got = position();
    EXPECT_EQ(got.cx, 630);
    EXPECT_EQ(got.dx, 199);
    mouse_host_motion(0, 50);
    EXPECT_EQ(position().dx, 199);
    set_video_mode(0x12);
    mouse_host_motion(0, 50);
    EXPECT_EQ(position().dx, 249);
}

TEST_F(MouseTest, ButtonPressAndReleaseData)
{
    int33(0x04, 0, 100, 50);
    mouse_host_button(MOUSE_LEFT, 1);
    int33(0x04, 0, 110, 60);
    mouse_host_button(MOUSE_RIGHT, 1);
    mouse_host_button(MOUSE_LEFT, 0);
    mouse_host_button(MOUSE_LEFT, 1);
    mouse_host_button(7, 1);            // no such button
    mouse_host_button(-1, 1);
    EXPECT_EQ(position().bx, 3);

    struct Row {
        uint16_t function, button;
        Regs want;
    } rows[] = {
        {0x05, 0, {3, 2, 110, 60}},     // two presses, the last at (110, 60)
        {0x05, 0, {3, 0, 110, 60}},     // the count was reset by the read
        {0x05, 1, {3, 1, 110, 60}},
        {0x06, 0, {3, 1, 110, 60}},
        {0x06, 1, {3, 0, 0, 0}},        // never released
        {0x05, 2, {3, 0, 0, 0}},
        {0x05, 9, {3, 0, 110, 60}},     // above 2 means the left button
    };
    for (const Row &r : rows) {
        Regs got = int33(r.function, r.button);
        EXPECT_EQ(got.ax, r.want.ax) << r.function << " " << r.button;
        EXPECT_EQ(got.bx, r.want.bx) << r.function << " " << r.button;
        EXPECT_EQ(got.cx, r.want.cx) << r.function << " " << r.button;
        EXPECT_EQ(got.dx, r.want.dx) << r.function << " " << r.button;
    }
}

TEST_F(MouseTest, MotionCountersAndAbsolutePositions)
{
    mouse_host_motion(5, -3);
    mouse_host_motion(-2, 10);
    Regs got = int33(0x0B);
    EXPECT_EQ((int16_t)got.cx, 3);
    EXPECT_EQ((int16_t)got.dx, 7);
    got = int33(0x0B);
    EXPECT_EQ(got.cx, 0);
    EXPECT_EQ(got.dx, 0);
    got = position();
    EXPECT_EQ(got.cx, 323);
    EXPECT_EQ(got.dx, 107);
    // Counters keep counting at the edge of the range, the position stops.
    mouse_host_motion(1000, 0);
    EXPECT_EQ(position().cx, 639);
    EXPECT_EQ((int16_t)int33(0x0B).cx, 1000);

    // Absolute: fractions of the range; vertical motion counts 2 mickeys a pixel.
    struct Row {
        double fx, fy;
        uint16_t x, y;
    } rows[] = {
        {0.5, 0.5, 320, 100}, {0.0, 0.0, 0, 0}, {0.9999, 0.9999, 639, 199},
        {1.0, 1.0, 639, 199}, {-3.0, 7.0, 0, 199}, {0.25, 0.1, 160, 20},
    };
    int prev_x = 639, prev_y = 107;
    for (const Row &r : rows) {
        mouse_host_abs(r.fx, r.fy);
        got = position();
        EXPECT_EQ(got.cx, r.x) << r.fx;
        EXPECT_EQ(got.dx, r.y) << r.fy;
        got = int33(0x0B);
        EXPECT_EQ((int16_t)got.cx, r.x - prev_x) << r.fx;
        EXPECT_EQ((int16_t)got.dx, 2 * (r.y - prev_y)) << r.fy;
        prev_x = r.x;
        prev_y = r.y;
    }
    mouse_host_abs(NAN, 0.5);
    EXPECT_EQ(position().cx, 160);
    // A range that does not start at 0.
    int33(0x07, 0, 100, 199);
    mouse_host_abs(0.5, 0.5);
    EXPECT_EQ(position().cx, 150);
}

TEST_F(MouseTest, CursorShapeAndOverlay)
{
    int x, y, hx, hy, text;
    const uint16_t *masks;
    EXPECT_EQ(mouse_overlay_info(&x, &y, &masks, &hx, &hy, &text), 0);
    EXPECT_EQ(text, 1);
    EXPECT_EQ(masks[0], 0x3FFF);        // the default arrow
    EXPECT_EQ(masks[16 + 1], 0x4000);
    EXPECT_EQ(hx, 0);
    for (int i = 0; i < MOUSE_MASK_WORDS; i++)
        wr16(BUFFER_SEG, (uint16_t)(0xFFF0 + 2 * i), (uint16_t)(0x1111 * i));
    set_video_mode(0x13);
    int33(0x09, 0xFFFE, 3, 0xFFF0, BUFFER_SEG);   // the masks wrap at the segment's end
    int33(0x01);
    int33(0x04, 0, 40, 50);
    EXPECT_EQ(mouse_overlay_info(&x, &y, &masks, &hx, &hy, &text), 1);
    EXPECT_EQ(x, 40);
    EXPECT_EQ(y, 50);
    EXPECT_EQ(hx, -2);
    EXPECT_EQ(hy, 3);
    EXPECT_EQ(text, 0);
    for (int i = 0; i < MOUSE_MASK_WORDS; i++)
        EXPECT_EQ(masks[i], (uint16_t)(0x1111 * i)) << i;
    // A reset brings the arrow back and keeps the mode.
    int33(0x00);
    EXPECT_EQ(mouse_overlay_info(&x, &y, &masks, &hx, &hy, &text), 0);
    EXPECT_EQ(masks[0], 0x3FFF);
    EXPECT_EQ(hy, 0);
    EXPECT_EQ(text, 0);
}

TEST_F(MouseTest, FixedAnswersAndUnknownFunctions)
{
    struct Row {
        uint16_t ax;
        Regs want;      // after calling with BX = CX = DX = 7777h
    } rows[] = {
        {0x15, {0x15, 232, 0x7777, 0x7777}},
        {0x1A, {0x1A, 50, 50, 50}},
        {0x1B, {0x1B, 50, 50, 50}},
        {0x1D, {0x1D, 0, 0x7777, 0x7777}},
        {0x1E, {0x1E, 0, 0x7777, 0x7777}},
        {0x24, {0x24, 0x0626, 0x0400, 0x7777}},
        {0x0D, {0x0D, 0x7777, 0x7777, 0x7777}},
        {0x13, {0x13, 0x7777, 0x7777, 0x7777}},
        {0x25, {0x25, 0x7777, 0x7777, 0x7777}},
        {0x0100, {0x0100, 0x7777, 0x7777, 0x7777}},  // AH is part of the number
        {0xFFFF, {0xFFFF, 0x7777, 0x7777, 0x7777}},
    };
    for (const Row &r : rows) {
        Regs got = int33(r.ax, 0x7777, 0x7777, 0x7777);
        EXPECT_EQ(got.ax, r.want.ax) << std::hex << r.ax;
        EXPECT_EQ(got.bx, r.want.bx) << std::hex << r.ax;
        EXPECT_EQ(got.cx, r.want.cx) << std::hex << r.ax;
        EXPECT_EQ(got.dx, r.want.dx) << std::hex << r.ax;
    }
    // The unknown ones changed nothing either.
    EXPECT_EQ(position().cx, 320);
}

TEST_F(MouseTest, StateSavedAndRestored)
{
    int33(0x07, 0, 10, 400);
    int33(0x04, 0, 123, 45);
    int33(0x01);
    mouse_host_button(MOUSE_RIGHT, 1);
    int33(0x0C, 0, 0x1F, 0x5678, 0x1234);
    int33(0x16, 0, 0, 0x0100, BUFFER_SEG);
    int33(0x00);
    ASSERT_EQ(position().cx, 320);
    int33(0x17, 0, 0, 0x0100, BUFFER_SEG);
    Regs got = position();
    EXPECT_EQ(got.bx, 2);
    EXPECT_EQ(got.cx, 123);
    EXPECT_EQ(got.dx, 45);
    EXPECT_EQ(visible(), 1);
    int33(0x04, 0, 500, 0);
    EXPECT_EQ(position().cx, 400);
    got = int33(0x14, 0, 0, 0, 0);
    EXPECT_EQ(got.cx, 0x1F);
    EXPECT_EQ(got.dx, 0x5678);
    EXPECT_EQ(ES, 0x1234);
}

TEST_F(MouseTest, GarbageStateIsMadeConsistent)
{
    // Every byte FFh: ranges -1..-1, a NaN position, all buttons.
    for (int i = 0; i < 232; i++)
        wr8(BUFFER_SEG, (uint16_t)i, 0xFF);
    int33(0x17, 0, 0, 0, BUFFER_SEG);
    int33(0x0C, 0, 0, 0, 0);        // the loaded handler is FFFF:FFFF
    Regs got = position();
    EXPECT_EQ(got.bx, 7);
    EXPECT_EQ((int16_t)got.cx, -1);
    EXPECT_EQ((int16_t)got.dx, -1);
    mouse_host_motion(INT32_MAX, INT32_MAX);
    mouse_host_motion(INT32_MAX, INT32_MIN);
    got = position();
    EXPECT_EQ((int16_t)got.cx, -1);
    // Ranges given the wrong way round are put in order.
    for (int i = 0; i < 232; i++)
        wr8(BUFFER_SEG, (uint16_t)i, 0);
    wr32(BUFFER_SEG, 16, 500);      // x minimum
    wr32(BUFFER_SEG, 20, 100);      // x maximum
    int33(0x17, 0, 0, 0, BUFFER_SEG);
    int33(0x04, 0, 50, 0);
    EXPECT_EQ(position().cx, 100);
    int33(0x04, 0, 600, 0);
    EXPECT_EQ(position().cx, 500);
    // Ranges beyond what a 16-bit register can set are taken as 16-bit.
    wr32(BUFFER_SEG, 16, 0x80000000u);
    wr32(BUFFER_SEG, 20, 0x7FFFFFFFu);
    int33(0x17, 0, 0, 0, BUFFER_SEG);
    mouse_host_abs(0.9, 0.5);
    EXPECT_EQ((int16_t)position().cx, 0);
    mouse_host_abs(0.1, 0.5);
    EXPECT_EQ((int16_t)position().cx, -1);
}

TEST_F(MouseTest, HandlerGetsMotionWithRegistersAndTheMachineIsRestored)
{
    install_handler(MOUSE_EV_MOTION);
    SI = 0xAAAA;
    BP = 0xBBBB;
    uint16_t sp = SP, ip = IP, cs = CS;
    mouse_host_motion(5, 0);
    deliver();
    std::vector<Call> c = calls();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].ax, 1);
    EXPECT_EQ(c[0].bx, 0);
    EXPECT_EQ(c[0].cx, 325);
    EXPECT_EQ(c[0].dx, 100);
    EXPECT_EQ(c[0].si, 5);
    EXPECT_EQ(c[0].di, 0);
    // The machine is where it was, the handler's registers gone.
    EXPECT_EQ(SI, 0xAAAA);
    EXPECT_EQ(BP, 0xBBBB);
    EXPECT_NE(BX, CLOBBER);
    EXPECT_EQ(SP, sp);
    EXPECT_EQ(IP, ip);
    EXPECT_EQ(CS, cs);
    EXPECT_NE(flags_get() & F_IF, 0u);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0);
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0);
    // The call does not read the counters.
    EXPECT_EQ(int33(0x0B).cx, 5);
}

TEST_F(MouseTest, HandlerCallsFollowTheMask)
{
    install_handler(MOUSE_EV_LEFT_DOWN | MOUSE_EV_LEFT_UP);
    mouse_host_motion(3, 3);            // not asked for: no interrupt
    EXPECT_EQ(irq_pending, 0);
    mouse_host_button(MOUSE_LEFT, 1);
    deliver();
    mouse_host_button(MOUSE_RIGHT, 1);  // not asked for either
    mouse_host_button(MOUSE_LEFT, 0);
    deliver();
    std::vector<Call> c = calls();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].ax, MOUSE_EV_LEFT_DOWN);
    EXPECT_EQ(c[0].bx, 1);
    EXPECT_EQ(c[0].cx, 323);
    EXPECT_EQ(c[1].ax, MOUSE_EV_LEFT_UP);
    EXPECT_EQ(c[1].bx, 2);
    EXPECT_EQ(int33(0x05, 0).bx, 1);
    EXPECT_EQ(int33(0x05, 0).bx, 0);

    // Events before the interrupt is taken go in one call.
    int33(0x0C, 0, 0x7F, 0, HANDLER_SEG);
    mouse_host_motion(1, 0);
    mouse_host_button(MOUSE_MIDDLE, 1);
    mouse_host_button(MOUSE_MIDDLE, 0);
    deliver();
    c = calls();
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[2].ax, MOUSE_EV_MOTION | MOUSE_EV_MIDDLE_DOWN | MOUSE_EV_MIDDLE_UP);
}

TEST_F(MouseTest, NoCallWithoutHandlerOrAfterTheMaskWasCleared)
{
    // A mask without a handler: the interrupt comes and is ended.
    int33(0x0C, 0, MOUSE_EV_MOTION, 0, 0);
    mouse_host_motion(1, 1);
    EXPECT_NE(irq_pending, 0);
    deliver();
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0);
    EXPECT_EQ(pic_isr(PIC_MASTER), 0);

    // The program takes its handler away while an event waits (called
    // without the stub, which would take the waiting interrupt first).
    install_handler(MOUSE_EV_MOTION);
    mouse_host_motion(1, 1);
    AX = 0x0C;
    CX = 0;
    mouse_int33();
    deliver();
    EXPECT_TRUE(calls().empty());
    // A reset forgets the handler.
    install_handler(MOUSE_EV_MOTION);
    int33(0x00);
    mouse_host_motion(1, 1);
    deliver();
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(pic_isr(PIC_SLAVE), 0);
}

TEST_F(MouseTest, HandlerCanUseTheDriver)
{
    // A handler that hides the cursor and reads the position through INT 33h.
    load(HANDLER_SEG, 0x80, {
        0xB8, 0x02, 0x00,       // mov ax, 2
        0xCD, 0x33,             // int 33h
        0xB8, 0x03, 0x00,       // mov ax, 3
        0xCD, 0x33,             // int 33h
        0x2E, 0x89, 0x0E, 0x00, 0x03,   // mov [cs:0300h], cx
        0xCB,                   // retf
    });
    int33(0x01);
    int33(0x0C, 0, MOUSE_EV_MOTION, 0x80, HANDLER_SEG);
    mouse_host_motion(-20, 0);
    deliver();
    EXPECT_EQ(rd16(HANDLER_SEG, 0x300), 300);
    EXPECT_EQ(visible(), 0);
}

constexpr uint32_t GAME_CURSOR = 0x23456;    // where the "game" keeps its x and y words
constexpr uint64_t QUIET_US = 100000;         // longer than the finder's waits

struct Move {
    int dx, dy;
};

// The game's own cursor follows the host motion scaled by `scale`.
void game_moves(const Move &m, int scale)
{
    wr16l(GAME_CURSOR, (uint16_t)(rd16l(GAME_CURSOR) + scale * m.dx));
    wr16l(GAME_CURSOR + 2, (uint16_t)(rd16l(GAME_CURSOR + 2) + scale * m.dy));
}

const Move finder_moves[] = {{3, 2}, {-4, 5}, {6, -1}, {2, 2}, {-1, 3}};

TEST_F(MouseTest, FinderLocatesTheGameCursorAfterFourMovements)
{
    wr16l(GAME_CURSOR, 100);
    wr16l(GAME_CURSOR + 2, 80);
    fake_now_us += QUIET_US;
    mouse_sync();                       // the first snapshot
    for (int i = 0; i < 4; i++) {
        mouse_host_motion(finder_moves[i].dx, finder_moves[i].dy);
        game_moves(finder_moves[i], 1);
        mouse_sync();                   // too soon after the motion: nothing
        fake_now_us += QUIET_US;
        mouse_sync();
        EXPECT_EQ(mouse_game_cursor(), i < 3 ? -1 : (int32_t)GAME_CURSOR) << "movement " << i + 1;
    }
    int33(0x00);
    EXPECT_EQ(mouse_game_cursor(), -1);
}

TEST_F(MouseTest, FinderIgnoresACursorMovedByAScaledAmount)
{
    fake_now_us += QUIET_US;
    mouse_sync();
    for (int round = 0; round < 4; round++)
        for (const Move &m : finder_moves) {
            mouse_host_motion(m.dx, m.dy);
            game_moves(m, 2);
            fake_now_us += QUIET_US;
            mouse_sync();
        }
    EXPECT_EQ(mouse_game_cursor(), -1);
}

TEST_F(MouseTest, SteeringBringsTheFoundCursorToThePointer)
{
    set_video_mode(0x13);
    wr16l(GAME_CURSOR, 100);
    wr16l(GAME_CURSOR + 2, 80);
    fake_now_us += QUIET_US;
    mouse_sync();
    for (int i = 0; i < 4; i++) {
        mouse_host_motion(finder_moves[i].dx, finder_moves[i].dy);
        game_moves(finder_moves[i], 1);
        fake_now_us += QUIET_US;
        mouse_sync();
    }
    ASSERT_EQ(mouse_game_cursor(), (int32_t)GAME_CURSOR);
    int33(0x0B);                        // the game took its motion
    // The pointer at a quarter of the 320x200 picture: the difference from
    // the game's (107, 88) is injected as mickeys, and the driver is there too.
    mouse_host_abs(0.25, 0.25);
    Regs got = int33(0x0B);
    EXPECT_EQ((int16_t)got.cx, 80 - 107);
    EXPECT_EQ((int16_t)got.dx, 50 - 88);
    EXPECT_EQ(position().cx, 160);
    // The game has not moved yet: no second step within 100 ms, then one.
    fake_now_us += 50000;
    mouse_sync();
    EXPECT_EQ(int33(0x0B).cx, 0);
    fake_now_us += 60000;
    mouse_sync();
    EXPECT_EQ((int16_t)int33(0x0B).cx, 80 - 107);
    // The game moves there: steering ends, nothing more is injected.
    wr16l(GAME_CURSOR, 80);
    wr16l(GAME_CURSOR + 2, 50);
    mouse_sync();
    fake_now_us += QUIET_US;
    wr16l(GAME_CURSOR, 90);             // the game's own doing, not ours to correct
    mouse_sync();
    got = int33(0x0B);
    EXPECT_EQ(got.cx, 0);
    EXPECT_EQ(got.dx, 0);
    // Relative host motion ends steering at once.
    mouse_host_abs(0.5, 0.5);
    int33(0x0B);
    mouse_host_motion(1, 0);
    fake_now_us += QUIET_US;
    mouse_sync();
    EXPECT_EQ(int33(0x0B).cx, 1);
}

} // namespace
