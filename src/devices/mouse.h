// The mouse driver: the INT 33h services, the IRQ 12 handler that calls the
// program's event handler, the entry points for host mouse input, the
// cursor for the presentation overlay, and the finder that locates a game's
// own cursor variables in memory and steers them to the host pointer.
#pragma once

#include <cstdint>

enum {
    MOUSE_INT = 0x33,
    MOUSE_IRQ = 12,             // on the slave PIC's line 4
    MOUSE_VECTOR = 0x74,        // the slave's base 70h + 4
    MOUSE_BUTTONS = 3,
    MOUSE_LEFT = 0, MOUSE_RIGHT = 1, MOUSE_MIDDLE = 2,
    MOUSE_MASK_WORDS = 32,      // 16 screen-mask words, then 16 cursor-mask words
    MOUSE_STATE_BYTES = 232,    // what functions 15h-17h size, save and restore
};

// Condition bits of the event mask and of the handler's AX.
enum : uint16_t {
    MOUSE_EV_MOTION = 0x01,
    MOUSE_EV_LEFT_DOWN = 0x02, MOUSE_EV_LEFT_UP = 0x04,
    MOUSE_EV_RIGHT_DOWN = 0x08, MOUSE_EV_RIGHT_UP = 0x10,
    MOUSE_EV_MIDDLE_DOWN = 0x20, MOUSE_EV_MIDDLE_UP = 0x40,
};

// Sets mode 3, resets the driver and installs INT 33h and vector 74h.
void mouse_init(void);
// INT 10h set-mode: new ranges for the mode, the cursor hidden.
void mouse_mode_changed(int mode);

// Host input. Relative motion in mickeys; an absolute pointer position as
// fractions 0..1 of the picture; button 0 left, 1 right, 2 middle.
void mouse_host_motion(int dx, int dy);
void mouse_host_abs(double fx, double fy);
void mouse_host_button(int button, int down);
// Places the driver's cursor without any motion (the test driver).
void mouse_set_virtual(int x, int y);
// Called regularly by the host: finds and steers the game's own cursor.
void mouse_sync(void);

// The cursor for the overlay: position in virtual-screen units, the 32 mask
// words, the hot spot, whether the mode is a text mode; returns whether the
// cursor is shown.
int mouse_overlay_info(int *x, int *y, const uint16_t **masks, int *hot_x, int *hot_y, int *text_mode);

// Linear address of the game's cursor words once the finder located them,
// else -1.
int32_t mouse_game_cursor(void);

// The service handlers, installed by mouse_init.
void mouse_int33(void);
void mouse_irq(void);
