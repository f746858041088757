// The BIOS core: the vector table with its default stub, the data area, the
// identification bytes and fonts in segment F000h, and the small services
// (equipment, memory size, disk, serial, system, printer, timer tick, clock).
#include "bios/bios.h"

#include "bios/font.h"
#include "devices/vga.h"
#include "dos/dos.h"
#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/ports.h"

#include <cstring>
#include <ctime>

enum : uint32_t {
    VECTORS = 256,
    TICKS_PER_DAY = 1573040,            // the tick count wraps after this many
    PIC_COMMAND = 0x20, PIC_EOI = 0x20,
    EQUIPMENT = 0x0023,                 // diskette, coprocessor, 80x25 colour
    MEMORY_KB = 640,
    MODEL_BYTE = 0xFC,
    KB_TYPE_ENHANCED = 0x10,
    VIDEO_CONTROL = 0x60, VIDEO_SWITCHES = 0x11,
};

enum : uint8_t {
    INT_PRINT_SCREEN = 0x05, INT_TIMER = 0x08, INT_KEYBOARD = 0x09, INT_VIDEO = 0x10,
    INT_EQUIPMENT = 0x11, INT_MEMORY = 0x12, INT_DISK = 0x13, INT_SERIAL = 0x14,
    INT_SYSTEM = 0x15, INT_KEYBOARD_SERVICE = 0x16, INT_PRINTER = 0x17, INT_CLOCK = 0x1A,
    INT_USER_TICK = 0x1C, INT_FONT_HIGH = 0x1F, INT_FONT_GRAPHICS = 0x43,
};

static const char bios_date[] = "01/01/93";

void bios_set_cf(int on)
{
    uint32_t f = flags_get();
    flags_set(on ? f | F_CF : f & ~F_CF);
}

void bios_set_zf(int on)
{
    uint32_t f = flags_get();
    flags_set(on ? f | F_ZF : f & ~F_ZF);
}



static uint8_t bcd(int v) { return (uint8_t)((v / 10) << 4 | v % 10); }

static void iret_stub(void) {}
static void int05(void) {}

static void int08(void)
{
    uint32_t t = rd32l(bda(BDA_TICKS)) + 1;
    if (t >= TICKS_PER_DAY) {
        t = 0;
        wr8l(bda(BDA_MIDNIGHT), 1);
    }
    wr32l(bda(BDA_TICKS), t);
    cpu_int(INT_USER_TICK);
    port_out8(PIC_COMMAND, PIC_EOI);
}

static void int11(void) { AX = rd16l(bda(BDA_EQUIPMENT)); }
static void int12(void) { AX = rd16l(bda(BDA_MEMORY_KB)); }

static void int13(void)
{
    switch (AH) {
    case 0x00: bios_set_cf(0); break;
    case 0x08:
    case 0x15: AH = 0; DL = 1; bios_set_cf(0); break;
    default: AH = 0x80; bios_set_cf(1); break;
    }
}

static void int14(void) { AX = 0x6000; }
static void int17(void) { AH = 0x30; }

static void int15(void)
{
    switch (AH) {
    case 0x24: AX = 0x0001; bios_set_cf(0); break;
    case 0x86: {
        // Wait CX:DX microseconds of host time; interrupts are served meanwhile.
        uint64_t us = (uint64_t)CX << 16 | DX, start = host_ticks_us();
        uint32_t saved_if = cpu.flags & F_IF;
        cpu.flags |= F_IF;
        while (host_ticks_us() - start < us) {
            machine_wait();
            cpu_check_irq();
        }
        cpu.flags = (cpu.flags & ~F_IF) | saved_if;
        bios_set_cf(0);
        break;
    }
    case 0x87: AH = 0x86; bios_set_cf(1); break;
    case 0x88: AX = 0; bios_set_cf(0); break;
    case 0x90:
    case 0x91: AH = 0; bios_set_cf(0); break;
    case 0x4F: bios_set_cf(1); break;
    default: AH = 0x86; bios_set_cf(1); break;
    }
}

static void int1a(void)
{
    struct tm now = {};
    switch (AH) {
    case 0x00: {
        uint32_t t = rd32l(bda(BDA_TICKS));
        CX = (uint16_t)(t >> 16);
        DX = (uint16_t)t;
        AL = rd8l(bda(BDA_MIDNIGHT));
        wr8l(bda(BDA_MIDNIGHT), 0);
        poll_counter = 0;           // let a program spinning on the count see it move
        break;
    }
    case 0x01:
        wr32l(bda(BDA_TICKS), (uint32_t)CX << 16 | DX);
        break;
    case 0x02:
        dos_date_now(&now);
        CH = bcd(now.tm_hour);
        CL = bcd(now.tm_min);
        DH = bcd(now.tm_sec);
        DL = 0;
        bios_set_cf(0);
        break;
    case 0x04: {
        dos_date_now(&now);
        int year = now.tm_year + 1900;
        CH = bcd(year / 100);
        CL = bcd(year % 100);
        DH = bcd(now.tm_mon + 1);
        DL = bcd(now.tm_mday);
        bios_set_cf(0);
        break;
    }
    default:
        bios_set_cf(1);
        break;
    }
}

void set_bda_mode(int mode)
{
    wr8l(bda(BDA_VIDEO_MODE), (uint8_t)mode);
    int narrow = mode == 0x00 || mode == 0x01 || mode == 0x04 || mode == 0x05 ||
                 mode == 0x0D || mode == 0x13;
    wr16l(bda(BDA_COLUMNS), narrow ? 40 : 80);
    wr16l(bda(BDA_PAGE_SIZE), mode == 0x13 ? 64000 : 4096);
    wr16l(bda(BDA_PAGE_OFFSET), 0);
    for (int i = 0; i < 16; i++)
        wr8l(bda(BDA_CURSOR_POS) + i, 0);
    wr16l(bda(BDA_CURSOR_SHAPE), 0x0607);
    wr8l(bda(BDA_ACTIVE_PAGE), 0);
    wr16l(bda(BDA_CRTC_PORT), VGA_CRTC_INDEX);
    wr8l(bda(BDA_ROWS_MINUS_1), mode == 0x11 || mode == 0x12 ? 29 : 24);
    wr16l(bda(BDA_CHAR_HEIGHT), mode < 0x04 || mode == 0x07 ? 16 : 8);
    wr8l(bda(BDA_VIDEO_CONTROL), VIDEO_CONTROL);
    wr8l(bda(BDA_VIDEO_SWITCHES), VIDEO_SWITCHES);
}

static void copy_to_bios(uint16_t off, const uint8_t *src, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        wr8(BIOS_SEG, (uint16_t)(off + i), src[i]);
}

static void set_vector_to(uint8_t n, uint16_t seg, uint16_t off)
{
    wr16l(n * 4u, off);
    wr16l(n * 4u + 2, seg);
}

void bios_init(void)
{
    font_generate();
    uint16_t def = hle_add(iret_stub, 1, "default");
    for (uint32_t n = 0; n < VECTORS; n++)
        set_vector_to((uint8_t)n, HLE_SEG, def);

    static const struct { uint8_t n; HleFn fn; const char *name; } handlers[] = {
        {INT_PRINT_SCREEN, int05, "int05"}, {INT_TIMER, int08, "int08"},
        {INT_KEYBOARD, bios_int09, "int09"}, {INT_VIDEO, bios_int10, "int10"},
        {INT_EQUIPMENT, int11, "int11"}, {INT_MEMORY, int12, "int12"},
        {INT_DISK, int13, "int13"}, {INT_SERIAL, int14, "int14"},
        {INT_SYSTEM, int15, "int15"}, {INT_KEYBOARD_SERVICE, bios_int16, "int16"},
        {INT_PRINTER, int17, "int17"}, {INT_CLOCK, int1a, "int1a"},
    };
    for (const auto &h : handlers)
        hle_set_vector(h.n, h.fn, h.name);

    // 8x8 characters 00h-7Fh sit where the PC BIOS keeps them; the upper
    // half gets its own 1 KB just below them, as a table at FE6Eh would run
    // past the end of the segment over the date and model bytes.
    const uint32_t half = FONT_GLYPHS / 2 * FONT8_ROWS;
    copy_to_bios(FONT8_LOW_OFF, bios_font8x8, half);
    copy_to_bios(FONT8_HIGH_OFF, bios_font8x8 + half, half);
    copy_to_bios(FONT16_OFF, bios_font8x16, sizeof bios_font8x16);
    copy_to_bios(FONT14_OFF, bios_font8x14, sizeof bios_font8x14);
    copy_to_bios(DATE_OFF, (const uint8_t *)bios_date, sizeof bios_date - 1);
    wr8(BIOS_SEG, MODEL_OFF, MODEL_BYTE);
    set_vector_to(INT_FONT_HIGH, BIOS_SEG, FONT8_HIGH_OFF);
    set_vector_to(INT_FONT_GRAPHICS, BIOS_SEG, FONT8_LOW_OFF);

    wr16l(bda(BDA_EQUIPMENT), EQUIPMENT);
    wr16l(bda(BDA_MEMORY_KB), MEMORY_KB);
    wr8l(bda(BDA_SHIFT), 0);
    wr16l(bda(BDA_KB_HEAD), BDA_KB_BUFFER);
    wr16l(bda(BDA_KB_TAIL), BDA_KB_BUFFER);
    wr16l(bda(BDA_KB_START), BDA_KB_BUFFER);
    wr16l(bda(BDA_KB_END), BDA_KB_BUFFER_END);
    wr32l(bda(BDA_TICKS), 0);
    wr8l(bda(BDA_MIDNIGHT), 0);
    wr8l(bda(BDA_KB_TYPE), KB_TYPE_ENHANCED);
    set_bda_mode(3);
    kbd_init();
}
