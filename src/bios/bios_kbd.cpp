// The keyboard: the controller that queues set-1 scancodes from the host and
// hands them one at a time to the CPU through port 60h with IRQ 1, the BIOS
// IRQ 1 handler (INT 09h) that turns scancodes into shift states and key
// words, the key buffer in the data area, and the INT 16h service.
#include "bios/bios.h"

#include "host/host.h"
#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/pic.h"
#include "machine/ports.h"

#include <cstdio>

enum : uint8_t {
    KBD_IRQ = 1,
    SC_E0 = 0xE0,               // prefix of the extended keys
    SC_BREAK = 0x80,            // set on key release
    SC_CODE = 0x7F,
    SC_CTRL = 0x1D, SC_LSHIFT = 0x2A, SC_RSHIFT = 0x36, SC_ALT = 0x38,
    SC_CAPS = 0x3A, SC_NUM = 0x45, SC_SCROLL = 0x46,
    SC_ENTER = 0x1C, SC_SLASH = 0x35, SC_LAST_CHAR = 0x39,
    SC_F1 = 0x3B, SC_F10 = 0x44, SC_F11 = 0x57, SC_F12 = 0x58,
    SC_PAD_FIRST = 0x47, SC_PAD_LAST = 0x53,
    STATUS_FULL = 0x1D, STATUS_EMPTY = 0x1C,    // port 64h: output buffer full / empty
    PIC_COMMAND = 0x20, PIC_EOI = 0x20,
    CHAR_CTRL_MASK = 0x1F,
};

enum : uint16_t {
    KEY_F11 = 0x8500, KEY_F12 = 0x8600,
    KEY_PAD_ENTER = 0x1C0D, KEY_PAD_SLASH = 0x352F,
    KEY_ESCAPE = 0x011B, KEY_ENTER = 0x1C0D,
    F_SHIFTED = 25, F_CTRL = 35, F_ALT = 45,    // added to F1-F10 scancodes
};

enum { RING = 256, HEADLESS_WAITS = 2000 };

static const uint8_t sc_normal[SC_LAST_CHAR + 1] = {
    0, 0x1B, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '-', '=', 0x08, 0x09,
    'q', 'w', 'e', 'r', 't', 'y', 'u', 'i', 'o', 'p', '[', ']', 0x0D, 0,
    'a', 's', 'd', 'f', 'g', 'h', 'j', 'k', 'l', ';', '\'', '`',
    0, '\\', 'z', 'x', 'c', 'v', 'b', 'n', 'm', ',', '.', '/',
    0, '*', 0, ' ',
};
static const uint8_t sc_shift[SC_LAST_CHAR + 1] = {
    0, 0x1B, '!', '@', '#', '$', '%', '^', '&', '*', '(', ')', '_', '+', 0x08, 0,
    'Q', 'W', 'E', 'R', 'T', 'Y', 'U', 'I', 'O', 'P', '{', '}', 0x0D, 0,
    'A', 'S', 'D', 'F', 'G', 'H', 'J', 'K', 'L', ':', '"', '~',
    0, '|', 'Z', 'X', 'C', 'V', 'B', 'N', 'M', '<', '>', '?',
    0, '*', 0, ' ',
};
static const char keypad_chars[] = "789-456+1230.";

static struct {
    uint8_t kq[RING];
    uint8_t kq_head, kq_tail;   // byte indices; the ring wraps with them
    uint8_t kbd_data;
    int kbd_full;
    int e0_prefix;
} kbd;

static void kq_push(uint8_t b)
{
    kbd.kq[kbd.kq_tail++] = b;
    if (kbd.kq_tail == kbd.kq_head)     // full: the oldest byte is overwritten
        kbd.kq_head++;
}

void kbd_poll(void)
{
    if (kbd.kbd_full || kbd.kq_head == kbd.kq_tail)
        return;
    kbd.kbd_data = kbd.kq[kbd.kq_head++];
    kbd.kbd_full = 1;
    pic_raise(KBD_IRQ);
}

void kbd_host_key(uint16_t scancode, int down)
{
    if (scancode & KEY_EXTENDED)
        kq_push(SC_E0);
    kq_push((uint8_t)((scancode & SC_CODE) | (down ? 0 : SC_BREAK)));
    kbd_poll();
}

int kbd_pending(void)
{
    return (uint8_t)(kbd.kq_tail - kbd.kq_head) + kbd.kbd_full;
}

uint8_t kbd_port_in(uint16_t port)
{
    if (port != KBD_DATA_PORT)
        return kbd.kbd_full ? STATUS_FULL : STATUS_EMPTY;
    if (kbd.kbd_full) {
        kbd.kbd_full = 0;
        pic_lower(KBD_IRQ);
    }
    return kbd.kbd_data;
}

void kbd_port_out(uint16_t port, uint8_t v)
{
    (void)port;
    (void)v;
}

void kbd_init(void)
{
    kbd = {};
    port_map(KBD_DATA_PORT, KBD_DATA_PORT, kbd_port_in, kbd_port_out);
    port_map(KBD_STATUS_PORT, KBD_STATUS_PORT, kbd_port_in, kbd_port_out);
}

// ---- key buffer -----------------------------------------------------------

int bios_keybuf_empty(void)
{
    return rd16l(bda(BDA_KB_HEAD)) == rd16l(bda(BDA_KB_TAIL));
}

void keybuf_put(uint16_t word)
{
    uint16_t tail = rd16l(bda(BDA_KB_TAIL));
    uint16_t next = (uint16_t)(tail + 2);
    if (next >= rd16l(bda(BDA_KB_END)))
        next = rd16l(bda(BDA_KB_START));
    if (next == rd16l(bda(BDA_KB_HEAD)))
        return;                         // full: the key is lost, as on a PC
    wr16l(bda(tail), word);
    wr16l(bda(BDA_KB_TAIL), next);
}

static uint16_t keybuf_get(void)
{
    uint16_t head = rd16l(bda(BDA_KB_HEAD));
    uint16_t word = rd16l(bda(head));
    uint16_t next = (uint16_t)(head + 2);
    if (next >= rd16l(bda(BDA_KB_END)))
        next = rd16l(bda(BDA_KB_START));
    wr16l(bda(BDA_KB_HEAD), next);
    return word;
}

// ---- INT 09h --------------------------------------------------------------

static uint16_t key_word(uint8_t code, uint8_t shift, int e0)
{
    int shifted = shift & (SHIFT_LEFT | SHIFT_RIGHT);
    uint16_t hi = (uint16_t)(code << 8);
    if (code <= SC_LAST_CHAR) {
        if (e0)
            return code == SC_ENTER ? KEY_PAD_ENTER : code == SC_SLASH ? KEY_PAD_SLASH : hi | SC_E0;
        uint8_t ch = shifted ? sc_shift[code] : sc_normal[code];
        if (shift & SHIFT_CAPS) {
            if (!shifted && ch >= 'a' && ch <= 'z')
                ch = (uint8_t)(ch - 'a' + 'A');
            else if (shifted && ch >= 'A' && ch <= 'Z')
                ch = (uint8_t)(ch - 'A' + 'a');
        }
        if ((shift & SHIFT_CTRL) && ch >= 0x41 && ch <= 0x7A)
            ch &= CHAR_CTRL_MASK;
        return shift & SHIFT_ALT ? hi : (uint16_t)(hi | ch);
    }
    if (e0)
        return hi | SC_E0;
    if (code >= SC_PAD_FIRST && code <= SC_PAD_LAST)
        return (shift & SHIFT_NUM) && !shifted ? (uint16_t)(hi | (uint8_t)keypad_chars[code - SC_PAD_FIRST]) : hi;
    if (code >= SC_F1 && code <= SC_F10) {
        if (shifted) return (uint16_t)((code + F_SHIFTED) << 8);
        if (shift & SHIFT_CTRL) return (uint16_t)((code + F_CTRL) << 8);
        if (shift & SHIFT_ALT) return (uint16_t)((code + F_ALT) << 8);
        return hi;
    }
    if (code == SC_F11) return KEY_F11;
    if (code == SC_F12) return KEY_F12;
    return hi;
}

void bios_int09(void)
{
    uint8_t b = port_in8(KBD_DATA_PORT);
    dbg("INT09 scancode %02X\n", b);
    uint8_t shift = rd8l(bda(BDA_SHIFT));
    if (b == SC_E0) {
        kbd.e0_prefix = 1;
        port_out8(PIC_COMMAND, PIC_EOI);
        return;
    }
    uint8_t code = b & SC_CODE;
    int make = !(b & SC_BREAK);
    auto hold = [&](uint8_t bit) { shift = make ? shift | bit : shift & (uint8_t)~bit; };
    switch (code) {
    case SC_CTRL: hold(SHIFT_CTRL); break;
    case SC_LSHIFT: hold(SHIFT_LEFT); break;
    case SC_RSHIFT: hold(SHIFT_RIGHT); break;
    case SC_ALT: hold(SHIFT_ALT); break;
    case SC_CAPS: if (make) shift ^= SHIFT_CAPS; break;
    case SC_NUM: if (make && !kbd.e0_prefix) shift ^= SHIFT_NUM; break;
    case SC_SCROLL: if (make) shift ^= SHIFT_SCROLL; break;
    default:
        if (make)
            keybuf_put(key_word(code, shift, kbd.e0_prefix));
        break;
    }
    kbd.e0_prefix = 0;
    wr8l(bda(BDA_SHIFT), shift);
    port_out8(PIC_COMMAND, PIC_EOI);
}

// ---- INT 16h --------------------------------------------------------------

// The plain (non-enhanced) functions do not know the grey keys' E0h marker.
static uint16_t plain_word(uint16_t w)
{
    return (w & 0xFF) == SC_E0 ? (uint16_t)(w & 0xFF00) : w;
}

static uint16_t wait_key(void)
{
    uint32_t saved_if = cpu.flags & F_IF;
    cpu.flags |= F_IF;
    uint16_t w = 0;
    for (int waits = 0; bios_keybuf_empty(); waits++) {
        if (host_quit_requested) { w = KEY_ESCAPE; break; }
        if (host_headless && waits >= HEADLESS_WAITS) { w = KEY_ENTER; break; }
        machine_wait();
        cpu_check_irq();
    }
    if (!w)
        w = keybuf_get();
    cpu.flags = (cpu.flags & ~F_IF) | saved_if;
    return w;
}

void bios_int16(void)
{
    if (debug_level > 2 && AH != 0x01 && AH != 0x11)
        fprintf(stderr, "INT16 AH=%02X\n", AH);
    switch (AH) {
    case 0x00: AX = plain_word(wait_key()); break;
    case 0x10: AX = wait_key(); break;
    case 0x01:
    case 0x11:
        machine_poll();
        if (bios_keybuf_empty()) {
            bios_set_zf(1);
        } else {
            uint16_t w = rd16l(bda(rd16l(bda(BDA_KB_HEAD))));
            AX = AH == 0x01 ? plain_word(w) : w;
            bios_set_zf(0);
        }
        break;
    case 0x02: AL = rd8l(bda(BDA_SHIFT)); break;
    case 0x05: keybuf_put(CX); AL = 0; break;
    case 0x12: AL = rd8l(bda(BDA_SHIFT)); AH = 0; break;
    default: break;
    }
}
