// The mouse driver, as host functions behind INT 33h and the IRQ 12 vector.
//
// Host input moves the driver's cursor, counts mickeys and button presses,
// and posts events: the condition bits that the program's event mask asks
// for collect in a pending word and IRQ 12 is raised. When the PIC delivers
// the interrupt, the IRQ 12 handler calls the program's event handler with
// the conditions, buttons, position and mickeys in registers, runs it to its
// far return and then puts the interrupted machine state back, so the
// handler may use any register. Events that arrive while the interrupt waits
// or while the handler runs are merged into the next call.
//
// The cursor position is kept exactly as doubles (absolute host positions
// land between pixels) and its clamped integer part is what programs see.
#include "devices/mouse.h"

#include "devices/mouse_find.h"
#include "devices/vga.h"
#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/pic.h"

#include <cmath>
#include <cstring>
#include <utility>

enum : uint16_t {
    PIC_MASTER_COMMAND = 0x20, PIC_SLAVE_COMMAND = 0xA0,
    PIC_EOI = 0x20,             // non-specific end of interrupt
    RESET_OK = 0xFFFF,          // function 00h: a driver is installed
    BUTTON_COUNT_REPORTED = 2,  // function 00h: a two-button mouse
    SENSITIVITY = 50,           // functions 1Ah/1Bh: the middle of 0-100
    DRIVER_VERSION = 0x0626,    // function 24h: 6.26
    DRIVER_TYPE_IRQ = 0x0400,   // function 24h: PS/2 mouse, CL = 0
};

enum {
    INT33_FUNCTIONS = 0x25,     // 00h-24h; higher numbers do nothing
    FN_GET_POSITION = 0x03,     // polled constantly: traced only from level 3
    SCREEN_X_MAX = 639,         // the virtual screen is 640 wide in every mode
    Y_MAX_200 = 199, Y_MAX_350 = 349, Y_MAX_480 = 479,
    MICKEYS_X = 8, MICKEYS_Y = 16,  // mickeys per 8 pixels after a reset
    ABS_MICKEYS_PER_Y = 2,      // 16 per 8 pixels vertically
    DEFAULT_MODE = 0x03,
    MASK_ROWS = 16,
    CURSOR_VISIBLE = 1,         // the show counter does not rise above this
    DEBUG_SERVICES = 2,         // debug level of the service trace (function 03h from 3)
    DEBUG_POSITION = 3,
};

enum {
    MODE_EGA_MONO = 0x0F, MODE_EGA_HI = 0x10,   // 640x350
    MODE_VGA_MONO = 0x11, MODE_VGA_HI = 0x12,   // 640x480
    MODE_MDA_TEXT = 0x07, MODE_FIRST_GRAPHICS = 0x04,
};

// The driver's state; functions 16h and 17h copy it byte for byte, so its
// layout is its size, MOUSE_STATE_BYTES.
struct MouseState {
    int x, y;                   // position in virtual-screen units
    int buttons;                // bit 0 left, bit 1 right, bit 2 middle
    int visible;                // shown while above 0
    int x_min, x_max, y_min, y_max;
    int mickey_x, mickey_y;     // motion since the last read, 16-bit wrapping
    int press_count[MOUSE_BUTTONS], release_count[MOUSE_BUTTONS];
    int press_x[MOUSE_BUTTONS], press_y[MOUSE_BUTTONS];
    int release_x[MOUSE_BUTTONS], release_y[MOUSE_BUTTONS];
    uint16_t event_mask, handler_seg, handler_off, pending;
    int event_pending;
    uint16_t masks[MOUSE_MASK_WORDS];   // screen mask, then cursor mask
    int hot_x, hot_y;
    int text_cursor;
    int mode;                   // survives a reset
    int mickeys_per_8_x, mickeys_per_8_y;
    double exact_x, exact_y;    // x and y are their clamped integer parts
};
static_assert(sizeof(MouseState) == MOUSE_STATE_BYTES, "functions 15h-17h report and copy 232 bytes");

static const uint16_t default_cursor[MOUSE_MASK_WORDS] = {
    // screen mask
    0x3FFF, 0x1FFF, 0x0FFF, 0x07FF, 0x03FF, 0x01FF, 0x00FF, 0x007F,
    0x003F, 0x001F, 0x01FF, 0x10FF, 0x30FF, 0xF87F, 0xF87F, 0xFC7F,
    // cursor mask
    0x0000, 0x4000, 0x6000, 0x7000, 0x7800, 0x7C00, 0x7E00, 0x7F00,
    0x7F80, 0x7C00, 0x6C00, 0x4600, 0x0600, 0x0300, 0x0300, 0x0000,
};

static const uint16_t press_event[MOUSE_BUTTONS] = {MOUSE_EV_LEFT_DOWN, MOUSE_EV_RIGHT_DOWN, MOUSE_EV_MIDDLE_DOWN};
static const uint16_t release_event[MOUSE_BUTTONS] = {MOUSE_EV_LEFT_UP, MOUSE_EV_RIGHT_UP, MOUSE_EV_MIDDLE_UP};

static MouseState ms;

// Counters are 16-bit in the registers that report them; they wrap there.
static int wrap16(int64_t v) { return (int16_t)(uint16_t)v; }

static int y_max_of(int mode)
{
    if (mode == MODE_VGA_MONO || mode == MODE_VGA_HI)
        return Y_MAX_480;
    if (mode == MODE_EGA_MONO || mode == MODE_EGA_HI)
        return Y_MAX_350;
    return Y_MAX_200;
}

static double clamp(double v, int lo, int hi)
{
    if (v > hi)
        v = hi;
    if (v < lo)
        v = lo;
    return v;
}

static void move_to(double x, double y)
{
    ms.exact_x = clamp(x, ms.x_min, ms.x_max);
    ms.exact_y = clamp(y, ms.y_min, ms.y_max);
    ms.x = (int)std::floor(ms.exact_x);
    ms.y = (int)std::floor(ms.exact_y);
}

static void post(uint16_t condition)
{
    if (!(ms.event_mask & condition))
        return;
    ms.pending |= condition;
    ms.event_pending = 1;
    pic_raise(MOUSE_IRQ);
}

static void count_motion(int dx, int dy)
{
    ms.mickey_x = wrap16((int64_t)ms.mickey_x + dx);
    ms.mickey_y = wrap16((int64_t)ms.mickey_y + dy);
    mouse_find_motion(dx, dy);
}

void mouse_inject_motion(int dx, int dy)
{
    count_motion(dx, dy);
    post(MOUSE_EV_MOTION);
}

static void mouse_defaults(void)
{
    int mode = ms.mode;
    ms = MouseState{};
    ms.mode = mode;
    mouse_find_reset();
    int y_max = y_max_of(mode);
    ms.x_max = SCREEN_X_MAX;
    ms.y_max = y_max;
    move_to((SCREEN_X_MAX + 1) / 2, (y_max + 1) / 2);
    ms.mickeys_per_8_x = MICKEYS_X;
    ms.mickeys_per_8_y = MICKEYS_Y;
    memcpy(ms.masks, default_cursor, sizeof ms.masks);
}

void mouse_mode_changed(int mode)
{
    ms.mode = mode;
    ms.x_max = SCREEN_X_MAX;
    ms.y_max = y_max_of(mode);
    move_to(ms.exact_x, ms.exact_y);
    ms.visible = 0;
}

// ---- INT 33h ---------------------------------------------------------------

static void fn_reset(void)
{
    mouse_defaults();
    AX = RESET_OK;
    BX = BUTTON_COUNT_REPORTED;
}

static void fn_show(void)
{
    if (ms.visible < CURSOR_VISIBLE)
        ms.visible++;
}

// The counter goes as low as programs take it; it is 16-bit in the state.
static void fn_hide(void) { ms.visible = wrap16((int64_t)ms.visible - 1); }

static void fn_get_position(void)
{
    BX = (uint16_t)ms.buttons;
    CX = (uint16_t)ms.x;
    DX = (uint16_t)ms.y;
    if (debug_level >= DEBUG_POSITION)
        dbg(" -> %04X %04X %04X\n", BX, CX, DX);
}

static void fn_set_position(void) { move_to((int16_t)CX, (int16_t)DX); }

static int button_of(uint16_t bx) { return bx < MOUSE_BUTTONS ? (int)bx : (int)MOUSE_LEFT; }

static void fn_press_info(void)
{
    int b = button_of(BX);
    AX = (uint16_t)ms.buttons;
    BX = (uint16_t)ms.press_count[b];
    CX = (uint16_t)ms.press_x[b];
    DX = (uint16_t)ms.press_y[b];
    ms.press_count[b] = 0;
}

static void fn_release_info(void)
{
    int b = button_of(BX);
    AX = (uint16_t)ms.buttons;
    BX = (uint16_t)ms.release_count[b];
    CX = (uint16_t)ms.release_x[b];
    DX = (uint16_t)ms.release_y[b];
    ms.release_count[b] = 0;
}

static void set_range(int *lo, int *hi)
{
    int a = (int16_t)CX, b = (int16_t)DX;
    *lo = a < b ? a : b;
    *hi = a < b ? b : a;
    move_to(ms.exact_x, ms.exact_y);
}

static void fn_x_range(void) { set_range(&ms.x_min, &ms.x_max); }
static void fn_y_range(void) { set_range(&ms.y_min, &ms.y_max); }

static void fn_graphics_cursor(void)
{
    ms.hot_x = (int16_t)BX;
    ms.hot_y = (int16_t)CX;
    for (int i = 0; i < MOUSE_MASK_WORDS; i++)
        ms.masks[i] = rd16(ES, (uint16_t)(DX + 2 * i));
}

static void fn_text_cursor(void) { ms.text_cursor = BX; }

static void fn_read_motion(void)
{
    CX = (uint16_t)ms.mickey_x;
    DX = (uint16_t)ms.mickey_y;
    ms.mickey_x = ms.mickey_y = 0;
}

static void fn_set_handler(void)
{
    ms.event_mask = CX;
    ms.handler_seg = ES;
    ms.handler_off = DX;
}

static void fn_mickey_ratio(void)
{
    ms.mickeys_per_8_x = CX;
    ms.mickeys_per_8_y = DX;
}

static void fn_cursor_off(void) { ms.visible = 0; }

static void fn_swap_handler(void)
{
    uint16_t mask = ms.event_mask, seg = ms.handler_seg, off = ms.handler_off;
    fn_set_handler();
    CX = mask;
    ES = seg;
    DX = off;
}

static void fn_state_size(void) { BX = MOUSE_STATE_BYTES; }

static void fn_save_state(void)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&ms);
    for (int i = 0; i < MOUSE_STATE_BYTES; i++)
        wr8(ES, (uint16_t)(DX + i), p[i]);
}

// A loaded state is whatever the program had in that buffer: it is made
// consistent before the driver works with it (ordered ranges, a finite
// position inside them, counters in their 16-bit range, known buttons, no
// event waiting for an interrupt that was never raised).
static void sanitise_state(void)
{
    ms.pending = 0;
    ms.event_pending = 0;
    // Programs give ranges and hot spots in 16-bit registers.
    ms.x_min = wrap16(ms.x_min);
    ms.x_max = wrap16(ms.x_max);
    ms.y_min = wrap16(ms.y_min);
    ms.y_max = wrap16(ms.y_max);
    ms.hot_x = wrap16(ms.hot_x);
    ms.hot_y = wrap16(ms.hot_y);
    if (ms.x_min > ms.x_max)
        std::swap(ms.x_min, ms.x_max);
    if (ms.y_min > ms.y_max)
        std::swap(ms.y_min, ms.y_max);
    if (!std::isfinite(ms.exact_x))
        ms.exact_x = ms.x;
    if (!std::isfinite(ms.exact_y))
        ms.exact_y = ms.y;
    move_to(ms.exact_x, ms.exact_y);
    ms.buttons &= (1 << MOUSE_BUTTONS) - 1;
    ms.visible = wrap16(ms.visible);
    ms.mickey_x = wrap16(ms.mickey_x);
    ms.mickey_y = wrap16(ms.mickey_y);
    for (int b = 0; b < MOUSE_BUTTONS; b++) {
        ms.press_count[b] = (uint16_t)ms.press_count[b];
        ms.release_count[b] = (uint16_t)ms.release_count[b];
    }
}

static void fn_load_state(void)
{
    uint8_t *p = reinterpret_cast<uint8_t *>(&ms);
    for (int i = 0; i < MOUSE_STATE_BYTES; i++)
        p[i] = rd8(ES, (uint16_t)(DX + i));
    sanitise_state();
}

static void fn_sensitivity(void) { BX = CX = DX = SENSITIVITY; }
static void fn_display_page(void) { BX = 0; }

static void fn_version(void)
{
    BX = DRIVER_VERSION;
    CX = DRIVER_TYPE_IRQ;
}

using MouseFn = void (*)(void);

static const MouseFn int33_table[INT33_FUNCTIONS] = {
    fn_reset,           // 00h reset and status
    fn_show,            // 01h show cursor
    fn_hide,            // 02h hide cursor
    fn_get_position,    // 03h position and buttons
    fn_set_position,    // 04h set position
    fn_press_info,      // 05h button press data
    fn_release_info,    // 06h button release data
    fn_x_range,         // 07h horizontal range
    fn_y_range,         // 08h vertical range
    fn_graphics_cursor, // 09h graphics cursor
    fn_text_cursor,     // 0Ah text cursor
    fn_read_motion,     // 0Bh motion counters
    fn_set_handler,     // 0Ch event handler
    nullptr,            // 0Dh light pen emulation on
    nullptr,            // 0Eh light pen emulation off
    fn_mickey_ratio,    // 0Fh mickeys per 8 pixels
    fn_cursor_off,      // 10h conditional off: hides the cursor
    nullptr,            // 11h
    nullptr,            // 12h
    nullptr,            // 13h double-speed threshold
    fn_swap_handler,    // 14h exchange event handlers
    fn_state_size,      // 15h state buffer size
    fn_save_state,      // 16h save state
    fn_load_state,      // 17h restore state
    nullptr,            // 18h alternate handlers
    nullptr,            // 19h
    fn_sensitivity,     // 1Ah set sensitivity
    fn_sensitivity,     // 1Bh get sensitivity
    nullptr,            // 1Ch interrupt rate
    fn_display_page,    // 1Dh set display page
    fn_display_page,    // 1Eh get display page
    nullptr,            // 1Fh disable driver
    nullptr,            // 20h enable driver
    fn_reset,           // 21h software reset
    nullptr,            // 22h
    nullptr,            // 23h
    fn_version,         // 24h version and type
};

void mouse_int33(void)
{
    uint16_t fn = AX;
    if (debug_level >= DEBUG_SERVICES && !(fn == FN_GET_POSITION && debug_level == DEBUG_SERVICES))
        dbg("INT33 AX=%04X BX=%04X CX=%04X DX=%04X\n", AX, BX, CX, DX);
    if (fn < INT33_FUNCTIONS && int33_table[fn])
        int33_table[fn]();
}

// ---- IRQ 12 ----------------------------------------------------------------

// Runs the program's handler as a far call from the current CS:IP and puts
// the machine back as it was; only the instruction count moves on.
static void call_handler(uint16_t conditions)
{
    CPU saved = cpu;
    AX = conditions;
    BX = (uint16_t)ms.buttons;
    CX = (uint16_t)ms.x;
    DX = (uint16_t)ms.y;
    SI = (uint16_t)ms.mickey_x;
    DI = (uint16_t)ms.mickey_y;
    uint16_t ret_cs = CS, ret_ip = IP, mark = SP;
    push16(ret_cs);
    push16(ret_ip);
    CS = ms.handler_seg;
    IP = ms.handler_off;
    cpu_run_until(ret_cs, ret_ip, mark);
    uint64_t icount = cpu.icount;
    cpu = saved;
    cpu.icount = icount;
}

void mouse_irq(void)
{
    // Only what the mask still asks for: a program that cleared its mask (to
    // take its handler away before it exits) is not called any more.
    uint16_t conditions = ms.pending & ms.event_mask;
    int call = ms.event_pending && ms.handler_seg && conditions;
    ms.pending = 0;
    ms.event_pending = 0;
    // An event posted while the handler runs stays pending with IRQ 12
    // raised again, and is delivered after this end of interrupt.
    if (call)
        call_handler(conditions);
    port_out8(PIC_SLAVE_COMMAND, PIC_EOI);
    port_out8(PIC_MASTER_COMMAND, PIC_EOI);
}

// ---- host input ------------------------------------------------------------

void mouse_host_motion(int dx, int dy)
{
    count_motion(dx, dy);
    mouse_find_stop();
    move_to(ms.exact_x + dx, ms.exact_y + dy);
    post(MOUSE_EV_MOTION);
}

void mouse_host_abs(double fx, double fy)
{
    if (std::isnan(fx) || std::isnan(fy))
        return;
    fx = clamp(fx, 0, 1);
    fy = clamp(fy, 0, 1);
    double tx = ((double)ms.x_max - ms.x_min + 1) * fx + ms.x_min;
    double ty = ((double)ms.y_max - ms.y_min + 1) * fy + ms.y_min;
    int w = 0, h = 0;
    vga_screen_size(&w, &h);
    if (mouse_find_found() && w > 0 && h > 0) {
        mouse_find_steer((int)(w * fx), (int)(h * fy));
        move_to(tx, ty);
        mouse_sync();
        return;
    }
    int old_x = ms.x, old_y = ms.y;
    move_to(tx, ty);
    count_motion(ms.x - old_x, ABS_MICKEYS_PER_Y * (ms.y - old_y));
    post(MOUSE_EV_MOTION);
}

void mouse_host_button(int button, int down)
{
    if (button < 0 || button >= MOUSE_BUTTONS)
        return;
    if (down) {
        ms.buttons |= 1 << button;
        ms.press_count[button] = (uint16_t)(ms.press_count[button] + 1);
        ms.press_x[button] = ms.x;
        ms.press_y[button] = ms.y;
        post(press_event[button]);
    } else {
        ms.buttons &= ~(1 << button);
        ms.release_count[button] = (uint16_t)(ms.release_count[button] + 1);
        ms.release_x[button] = ms.x;
        ms.release_y[button] = ms.y;
        post(release_event[button]);
    }
}

void mouse_set_virtual(int x, int y) { move_to(x, y); }

int mouse_overlay_info(int *x, int *y, const uint16_t **masks, int *hot_x, int *hot_y, int *text_mode)
{
    *x = ms.x;
    *y = ms.y;
    *masks = ms.masks;
    *hot_x = ms.hot_x;
    *hot_y = ms.hot_y;
    *text_mode = ms.mode < MODE_FIRST_GRAPHICS || ms.mode == MODE_MDA_TEXT;
    return ms.visible > 0;
}

void mouse_init(void)
{
    ms.mode = DEFAULT_MODE;
    mouse_defaults();
    hle_set_vector(MOUSE_INT, mouse_int33, "int33");
    hle_set_vector(MOUSE_VECTOR, mouse_irq, "irq12");
}
