// The scripted test driver. The script is read once, at the first poll,
// which also starts its clock; after that every poll runs the steps that are
// due, strictly in the order written: a step that is not yet due holds back
// the ones after it, so times need not be ascending. A click presses its
// button at once and lets go 0.15 s later, also after the last step.
//
// Script text: steps separated by ";", each "TIME:COMMAND" or
// "TIME:COMMAND:ARGUMENT" with TIME in seconds. Scancodes are PC set-1 codes
// in hexadecimal; an extended key is written with its E0h prefix (E048 is
// the grey up key) or as 100h + code (148).
#include "diag/autotest.h"

#include "bios/bios.h"
#include "devices/mouse.h"
#include "devices/vga.h"
#include "host/host.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

enum : uint32_t {
    US_PER_S = 1000000,
    PARAGRAPH_BYTES = 16,
    PARAGRAPHS = MEM_SIZE / PARAGRAPH_BYTES,    // counters of the interpreter profile
    VGAW_COUNTERS = 0x100000,           // one per linear address of a writer
    BMP_FILE_HEADER = 14,
    BMP_INFO_HEADER = 40,
    BMP_HEADERS = BMP_FILE_HEADER + BMP_INFO_HEADER,
    BMP_BITS = 24,
    BMP_PIXEL_BYTES = 3,
};

enum : uint16_t {
    SC_LEFT_SHIFT = 0x2A,
    SC_SEMICOLON = 0x27,
    SC_E0_PREFIX = 0xE0,        // high byte of a scancode written with its prefix
    SC_MASK = 0xFF,
};

static const double CLICK_RELEASE_S = 0.15;

static struct {
    AutotestStep steps[AUTOTEST_MAX_STEPS];
    int nsteps;                 // -1 until the script has been read
    int cur;
    uint64_t t0;
    double release_at;          // -1: no click release pending
    int release_button;
} at = {{}, -1, 0, 0, -1, 0};

static uint8_t shot_rgba[VGA_MAX_PIXELS * 4];

// ---- script -----------------------------------------------------------------

static void copy_field(char *dst, size_t cap, const char *src, size_t n)
{
    if (n > cap - 1)
        n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// One step of at most AUTOTEST_STEP_CHARS characters; 0 if it has no ":".
static int parse_step(const char *s, size_t n, AutotestStep *st)
{
    while (n > 0 && isspace((unsigned char)*s)) {
        s++;
        n--;
    }
    if (n > AUTOTEST_STEP_CHARS)
        n = AUTOTEST_STEP_CHARS;
    char text[AUTOTEST_STEP_CHARS + 1];
    memcpy(text, s, n);
    text[n] = 0;
    char *colon = strchr(text, ':');
    if (!colon)
        return 0;
    *colon = 0;
    *st = {};
    st->t = strtod(text, nullptr);
    if (st->t != st->t)         // "nan" would hold back every later step
        st->t = 0;
    char *cmd = colon + 1;
    char *arg = strchr(cmd, ':');
    size_t cmd_len = arg ? (size_t)(arg - cmd) : strlen(cmd);
    copy_field(st->cmd, sizeof st->cmd, cmd, cmd_len);
    if (arg)
        copy_field(st->arg, sizeof st->arg, arg + 1, strlen(arg + 1));
    return 1;
}

int autotest_parse(const char *text)
{
    at.nsteps = 0;
    at.cur = 0;
    at.release_at = -1;
    if (!text)
        return 0;
    const char *p = text;
    while (*p && at.nsteps < AUTOTEST_MAX_STEPS) {
        const char *end = strchr(p, ';');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (parse_step(p, n, &at.steps[at.nsteps]))
            at.nsteps++;
        if (!end)
            break;
        p = end + 1;
    }
    return at.nsteps;
}

const AutotestStep *autotest_step(int i)
{
    return i >= 0 && i < at.nsteps ? &at.steps[i] : nullptr;
}

void autotest_reset(void)
{
    at.nsteps = -1;
    at.cur = 0;
    at.release_at = -1;
}

// ---- pictures -----------------------------------------------------------------

static void put16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t *p, uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

int bmp_save(const char *path, const uint8_t *rgba, int width, int height)
{
    if (width <= 0 || height <= 0)
        return -1;
    uint32_t row_bytes = ((uint32_t)width * BMP_PIXEL_BYTES + 3) & ~3u;
    uint8_t head[BMP_HEADERS] = {'B', 'M'};
    put32(head + 2, BMP_HEADERS + (uint32_t)height * row_bytes);
    put32(head + 10, BMP_HEADERS);
    put32(head + 14, BMP_INFO_HEADER);
    put32(head + 18, (uint32_t)width);
    put32(head + 22, (uint32_t)height);     // positive: the rows go bottom-up
    put16(head + 26, 1);                    // planes
    put16(head + 28, BMP_BITS);             // no compression, the rest 0
    FILE *f = fopen(path, "wb");
    if (!f)
        return -1;
    std::vector<uint8_t> row(row_bytes, 0);
    int ok = fwrite(head, 1, sizeof head, f) == sizeof head;
    for (int y = height - 1; y >= 0 && ok; y--) {
        const uint8_t *src = rgba + (size_t)y * width * 4;
        for (int x = 0; x < width; x++) {
            row[x * 3] = src[x * 4 + 2];
            row[x * 3 + 1] = src[x * 4 + 1];
            row[x * 3 + 2] = src[x * 4];
        }
        ok = fwrite(row.data(), 1, row_bytes, f) == row_bytes;
    }
    if (fclose(f) != 0)
        ok = 0;
    return ok ? 0 : -1;
}

int save_bmp(const char *path)
{
    int w = 0, h = 0;
    vga_render(shot_rgba, &w, &h);
    if (bmp_save(path, shot_rgba, w, h) < 0)
        return -1;
    fprintf(stderr, "[autotest] saved %s (%dx%d)\n", path, w, h);
    return 0;
}

// ---- commands -----------------------------------------------------------------

// A hexadecimal scancode; the E0h prefix written out becomes the extended bit.
static uint16_t scancode_arg(const char *arg)
{
    unsigned long v = strtoul(arg, nullptr, 16);
    if ((v >> 8) == SC_E0_PREFIX)
        v = KEY_EXTENDED | (v & SC_MASK);
    return (uint16_t)(v & ((unsigned)KEY_EXTENDED | SC_MASK));
}

static void type_key(uint8_t code, int shifted)
{
    if (shifted)
        kbd_host_key(SC_LEFT_SHIFT, 1);
    kbd_host_key(code, 1);
    kbd_host_key(code, 0);
    if (shifted)
        kbd_host_key(SC_LEFT_SHIFT, 0);
}

// The characters "type" knows: runs of neighbouring keys with the scancode
// of the first; letters in lower case.
static const struct {
    const char *keys;
    uint8_t first;
} type_runs[] = {
    {"1234567890", 0x02}, {"qwertyuiop", 0x10}, {"asdfghjkl", 0x1E}, {"zxcvbnm", 0x2C},
    {" ", 0x39}, {".", 0x34}, {"\\", 0x2B}, {"-", 0x0C},
};

static uint8_t type_code(char c)
{
    for (const auto &run : type_runs)
        if (const char *hit = c ? strchr(run.keys, c) : nullptr)
            return (uint8_t)(run.first + (hit - run.keys));
    return 0;
}

static void cmd_type(const char *text)
{
    for (const char *p = text; *p; p++) {
        char c = *p;
        if (c == ':') {
            type_key(SC_SEMICOLON, 1);
            continue;
        }
        int upper = c >= 'A' && c <= 'Z';
        uint8_t code = type_code(upper ? (char)(c - 'A' + 'a') : c);
        if (code)
            type_key(code, upper);
    }
}

static void release_click(void)
{
    mouse_host_button(at.release_button, 0);
    at.release_at = -1;
}

static void cmd_click(const char *arg, double now)
{
    int x = 0, y = 0, button = 0;
    sscanf(arg, "%d,%d,%d", &x, &y, &button);
    // A click that comes before the previous one let go finishes that one
    // first, so no button is left held.
    if (at.release_at >= 0)
        release_click();
    mouse_set_virtual(x, y);
    mouse_host_button(button, 1);
    at.release_at = now + CLICK_RELEASE_S;
    at.release_button = button;
}

// "ADDRESS=V1,V2,...": 16-bit words at the linear address and on.
static void cmd_poke(const char *arg)
{
    char *p;
    uint32_t lin = (uint32_t)strtoul(arg, &p, 16);
    while (*p == '=' || *p == ',') {
        char *end;
        long v = strtol(p + 1, &end, 10);
        wr16l(lin, (uint16_t)v);
        lin += 2;
        p = end + strcspn(end, "=,");   // past anything that is no number
    }
}

static void cmd_vgaw(const char *path)
{
    FILE *f = fopen(path, "w");
    if (!f)
        return;
    if (vga_writer_hist) {
        for (uint32_t lin = 0; lin < VGAW_COUNTERS; lin++)
            if (vga_writer_hist[lin])
                fprintf(f, "%05X %u\n", lin, vga_writer_hist[lin]);
        memset(vga_writer_hist, 0, VGAW_COUNTERS * sizeof *vga_writer_hist);
    }
    fclose(f);
}

// The address space as programs see it, page by page; the VGA window, which
// only the adapter answers, is written as its unused backing store so that
// the dump does not disturb the adapter's read latches.
static void cmd_mem(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return;
    for (uint32_t lin = 0; lin < MEM_SIZE; lin += PAGE_SIZE) {
        const uint8_t *page = mem_page[PAGE_OF(lin)];
        fwrite(page ? page : mem_base + lin, 1, PAGE_SIZE, f);
    }
    fclose(f);
    cpu_dump("memdump");
}

static void cmd_quit(void)
{
    fprintf(stderr, "[autotest] quit (%llu instructions interpreted)\n", (unsigned long long)cpu.icount);
    if (interp_profile) {
        std::vector<uint32_t> order(PARAGRAPHS);
        for (uint32_t i = 0; i < PARAGRAPHS; i++)
            order[i] = i;
        auto busier = [](uint32_t a, uint32_t b) {
            return interp_profile[a] != interp_profile[b] ? interp_profile[a] > interp_profile[b] : a < b;
        };
        std::partial_sort(order.begin(), order.begin() + AUTOTEST_TOP_PARAGRAPHS, order.end(), busier);
        for (int i = 0; i < AUTOTEST_TOP_PARAGRAPHS && interp_profile[order[i]]; i++)
            fprintf(stderr, "  %05X: %u\n", order[i] * PARAGRAPH_BYTES, interp_profile[order[i]]);
    }
    fflush(stderr);
    host_exit(0);
}

static void run_step(const AutotestStep *st, double now)
{
    const char *c = st->cmd, *arg = st->arg;
    if (!strcmp(c, "key")) {
        uint16_t code = scancode_arg(arg);
        kbd_host_key(code, 1);
        kbd_host_key(code, 0);
    } else if (!strcmp(c, "down") || !strcmp(c, "up")) {
        kbd_host_key(scancode_arg(arg), c[0] == 'd');
    } else if (!strcmp(c, "type")) {
        cmd_type(arg);
    } else if (!strcmp(c, "click")) {
        cmd_click(arg, now);
    } else if (!strcmp(c, "abs")) {
        double fx = 0, fy = 0;
        sscanf(arg, "%lf,%lf", &fx, &fy);
        mouse_host_abs(fx, fy);
    } else if (!strcmp(c, "rel") || !strcmp(c, "move")) {
        int x = 0, y = 0;
        sscanf(arg, "%d,%d", &x, &y);
        if (c[0] == 'r')
            mouse_host_motion(x, y);
        else
            mouse_set_virtual(x, y);
    } else if (!strcmp(c, "mdown") || !strcmp(c, "mup")) {
        mouse_host_button(atoi(arg), c[1] == 'd');
    } else if (!strcmp(c, "shot")) {
        save_bmp(arg);
    } else if (!strcmp(c, "regs")) {
        cpu_dump("regs");
    } else if (!strcmp(c, "vga")) {
        vga_dump();
    } else if (!strcmp(c, "stat")) {
        // No engine captures frames in this build: the count stays 0.
        fprintf(stderr, "[autotest] %.2f s: %u frames drawn\n", now, 0u);
    } else if (!strcmp(c, "poke")) {
        cmd_poke(arg);
    } else if (!strcmp(c, "vgaw")) {
        cmd_vgaw(arg);
    } else if (!strcmp(c, "profreset")) {
        if (interp_profile)
            memset(interp_profile, 0, PARAGRAPHS * sizeof *interp_profile);
    } else if (!strcmp(c, "mem")) {
        cmd_mem(arg);
    } else if (!strcmp(c, "quit")) {
        cmd_quit();
    }
}

void autotest_poll(void)
{
    if (at.nsteps < 0) {
        autotest_parse(getenv("VRK_SCRIPT"));
        at.t0 = host_ticks_us();
    }
    if (at.cur >= at.nsteps && at.release_at < 0)
        return;
    double now = (double)(host_ticks_us() - at.t0) / (double)US_PER_S;
    if (at.release_at >= 0 && now >= at.release_at)
        release_click();
    while (at.cur < at.nsteps && at.steps[at.cur].t <= now)
        run_step(&at.steps[at.cur++], now);
}
