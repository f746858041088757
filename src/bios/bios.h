// The BIOS: data area, interrupt vectors and the firmware services, reached
// from emulated code through HLE stubs in segment F000h; the keyboard
// controller (ports 60h/64h, IRQ 1) and the BIOS key buffer.
#pragma once

#include <cstdint>

// BIOS data area, offsets from linear 400h.
enum : uint32_t {
    BDA = 0x400,
    BDA_EQUIPMENT = 0x10, BDA_MEMORY_KB = 0x13, BDA_SHIFT = 0x17,
    BDA_KB_HEAD = 0x1A, BDA_KB_TAIL = 0x1C, BDA_KB_BUFFER = 0x1E,
    BDA_VIDEO_MODE = 0x49, BDA_COLUMNS = 0x4A, BDA_PAGE_SIZE = 0x4C, BDA_PAGE_OFFSET = 0x4E,
    BDA_CURSOR_POS = 0x50, BDA_CURSOR_SHAPE = 0x60, BDA_ACTIVE_PAGE = 0x62, BDA_CRTC_PORT = 0x63,
    BDA_TICKS = 0x6C, BDA_MIDNIGHT = 0x70,
    BDA_KB_START = 0x80, BDA_KB_END = 0x82,
    BDA_ROWS_MINUS_1 = 0x84, BDA_CHAR_HEIGHT = 0x85, BDA_VIDEO_CONTROL = 0x87,
    BDA_VIDEO_SWITCHES = 0x89, BDA_KB_TYPE = 0x96,
    BDA_KB_BUFFER_END = 0x3E,
};

// Shift flags (BDA 17h).
enum : uint8_t {
    SHIFT_RIGHT = 0x01, SHIFT_LEFT = 0x02, SHIFT_CTRL = 0x04, SHIFT_ALT = 0x08,
    SHIFT_SCROLL = 0x10, SHIFT_NUM = 0x20, SHIFT_CAPS = 0x40,
};

// Where the fonts live in the BIOS segment.
enum : uint16_t {
    BIOS_SEG = 0xF000,
    FONT8_LOW_OFF = 0xFA6E,     // 8x8 characters 00h-7Fh
    FONT8_HIGH_OFF = 0xF66E,    // 8x8 characters 80h-FFh (vector 1Fh)
    FONT16_OFF = 0x6000,
    FONT14_OFF = 0x7000,
    STATIC_TABLE_OFF = 0x7F00,  // INT 10h AH=1Bh functionality table
    DATE_OFF = 0xFFF5, MODEL_OFF = 0xFFFE,
};

enum : uint16_t { KBD_DATA_PORT = 0x60, KBD_STATUS_PORT = 0x64 };
enum : uint16_t { KEY_EXTENDED = 0x100 };      // scancode flag: sent with an E0h prefix

void bios_init(void);
void set_bda_mode(int mode);

void kbd_init(void);
void kbd_host_key(uint16_t scancode, int down);
void kbd_poll(void);
int kbd_pending(void);          // bytes waiting in the controller, including the output buffer
uint8_t kbd_port_in(uint16_t port);
void kbd_port_out(uint16_t port, uint8_t v);
void keybuf_put(uint16_t word);
int bios_keybuf_empty(void);

// The service handlers, registered by bios_init.
void bios_int09(void);
void bios_int10(void);
void bios_int16(void);

// Small helpers shared by the service files.
static inline uint32_t bda(uint32_t off) { return BDA + off; }
void bios_set_cf(int on);
void bios_set_zf(int on);

