// INT 21h: the DOS function dispatcher. Arguments come from the caller's
// registers, strings and buffers from emulated memory (offsets wrap inside
// their segment); failures set CF with the error code in AX.
#include "dos/dos.h"

#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

enum : uint16_t {
    STRING_MAX = 65000,         // AH=09h stops here without a "$"
    IO_CHUNK = 0x1000,
    INDOS_SEG = 0x0050, INDOS_OFF = 0x0010,
    LIST_OF_LISTS_OFF = 0x0026,
    DOS_VERSION = 0x0005,
    VERSION_BX = 0xFF00,
    DISK_SECTORS_PER_CLUSTER = 64, DISK_FREE_CLUSTERS = 8000, DISK_SECTOR_BYTES = 512,
    DISK_CLUSTERS = 16000,
    CODE_PAGE = 437,
    EXTERR_BX = 0x0105,
    DATE_BEFORE_EPOCH = 0x0021,
    DEVINFO_CON = 0x80D3, DEVINFO_NUL = 0x8084, DEVINFO_CHAR = 0x80C0, DEVINFO_FILE = 0x0002,
    RESIDENT_MIN_PARAS = 6,
    EXEC_TAIL_MAX = 127,
};

enum : uint8_t { CH_CR = 0x0D, CH_LF = 0x0A, CH_BS = 0x08, CH_DOLLAR = '$' };

static struct {
    uint8_t last_error, verify_flag;
    int break_flag;
    int pending_ext;            // scan code of an extended key, or -1
    int tmpn;
} d21;

void dos_int21_reset(void)
{
    memset(&d21, 0, sizeof d21);
    d21.pending_ext = -1;
}

static void ok(void)
{
    SET_CF(0);
}

static void fail(int err)
{
    AX = (uint16_t)err;
    d21.last_error = (uint8_t)err;
    SET_CF(1);
}

static void result(int err)
{
    if (err)
        fail(err);
    else
        ok();
}

static void read_asciiz(uint16_t seg, uint16_t off, char *out)
{
    int i = 0;
    for (; i < DOS_ARG_MAX; i++) {
        uint8_t c = rd8(seg, (uint16_t)(off + i));
        if (!c)
            break;
        out[i] = (char)c;
    }
    out[i] = 0;
}

static void write_asciiz(uint16_t seg, uint16_t off, const char *s)
{
    do
        wr8(seg, off++, (uint8_t)*s);
    while (*s++);
}

void dos_date_now(struct tm *out)
{
    time_t now = time(nullptr);
    localtime_r(&now, out);
    const char *v = getenv("VRK_DATE");
    int y, m, dd;
    if (v && sscanf(v, "%d-%d-%d", &y, &m, &dd) == 3 && y >= 1980 && m >= 1 && m <= 12 && dd >= 1 && dd <= 31) {
        struct tm t = {};
        t.tm_year = y - 1900;
        t.tm_mon = m - 1;
        t.tm_mday = dd;
        t.tm_hour = 12;
        t.tm_isdst = -1;
        mktime(&t);
        out->tm_year = t.tm_year;
        out->tm_mon = t.tm_mon;
        out->tm_mday = t.tm_mday;
        out->tm_wday = t.tm_wday;
        out->tm_yday = t.tm_yday;
    }
}

// ---- console -----------------------------------------------------------------

static int key_or_cr(void)
{
    int k = dos_key_read();
    return k < 0 ? CH_CR : k;
}

// A character read without echo: a pending extended code first, and an
// extended key leaves its scan code pending when keep is set.
static uint8_t read_char(int keep)
{
    if (d21.pending_ext >= 0) {
        uint8_t c = (uint8_t)d21.pending_ext;
        d21.pending_ext = -1;
        return c;
    }
    int k = key_or_cr();
    if ((k & 0xFF) == 0 && keep)
        d21.pending_ext = k >> 8;
    return (uint8_t)k;
}

static void buffered_input(void)
{
    uint16_t seg = DS, buf = DX;
    uint8_t cap = rd8(seg, buf);
    if (!cap)
        return;
    int n = 0;
    for (;;) {
        uint8_t c = (uint8_t)key_or_cr();
        if (c == CH_CR)
            break;
        if (c == CH_BS) {
            if (n) {
                n--;
                dos_con_putc(CH_BS);
                dos_con_putc(' ');
                dos_con_putc(CH_BS);
            }
        } else if (c && n < cap - 1) {
            wr8(seg, (uint16_t)(buf + 2 + n++), c);
            dos_con_putc(c);
        }
    }
    dos_con_putc(CH_CR);
    wr8(seg, (uint16_t)(buf + 2 + n), CH_CR);
    wr8(seg, (uint16_t)(buf + 1), (uint8_t)n);
}

static void console_fn(uint8_t fn)
{
    switch (fn) {
    case 0x01: {
        uint8_t c = read_char(0);
        if (c)
            dos_con_putc(c);
        AL = c;
        break;
    }
    case 0x06:
        if (DL != 0xFF) {
            dos_con_putc(DL);
            AL = DL;
        } else if (d21.pending_ext >= 0) {
            AL = read_char(1);
            set_flag(F_ZF, 0);
        } else if (!dos_key_ready()) {
            AL = 0;
            set_flag(F_ZF, 1);
        } else {
            AL = read_char(1);
            set_flag(F_ZF, 0);
        }
        break;
    case 0x07:
    case 0x08:
        AL = read_char(1);
        break;
    case 0x0A:
        buffered_input();
        break;
    default:
        AL = 0;
        break;
    }
}

// ---- files -------------------------------------------------------------------

static void fn_read(void)
{
    if (jft_get(BX) < 0)
        return fail(DOSERR_BAD_HANDLE);
    uint8_t buf[IO_CHUNK];
    uint32_t total = 0, want = CX;
    while (total < want) {
        int n = (int)(want - total < (uint32_t)IO_CHUNK ? want - total : (uint32_t)IO_CHUNK);
        int got = dos_read_host(BX, buf, n);
        if (got < 0)
            return fail(DOSERR_ACCESS_DENIED);
        for (int i = 0; i < got; i++)
            wr8(DS, (uint16_t)(DX + total + i), buf[i]);
        total += (uint32_t)got;
        // The console delivers one line per call.
        if (got < n || sft[jft_get(BX)].kind != SFT_FILE)
            break;
    }
    AX = (uint16_t)total;
    ok();
}

static void fn_write(void)
{
    if (jft_get(BX) < 0)
        return fail(DOSERR_BAD_HANDLE);
    if (CX == 0) {
        if (dos_write_host(BX, nullptr, 0) < 0)
            return fail(DOSERR_ACCESS_DENIED);
        AX = 0;
        return ok();
    }
    uint8_t buf[IO_CHUNK];
    uint32_t total = 0, want = CX;
    while (total < want) {
        int n = (int)(want - total < (uint32_t)IO_CHUNK ? want - total : (uint32_t)IO_CHUNK);
        for (int i = 0; i < n; i++)
            buf[i] = rd8(DS, (uint16_t)(DX + total + i));
        int put = dos_write_host(BX, buf, n);
        if (put < 0)
            return fail(DOSERR_ACCESS_DENIED);
        total += (uint32_t)put;
        if (put < n)
            break;
    }
    AX = (uint16_t)total;
    ok();
}

static void fn_seek(void)
{
    if (AL > 2)
        return fail(DOSERR_FUNCTION);
    if (jft_get(BX) < 0)
        return fail(DOSERR_BAD_HANDLE);
    uint32_t raw = (uint32_t)CX << 16 | DX;
    long off = AL == 0 ? (long)raw : (long)(int32_t)raw;
    long pos = dos_seek(BX, AL, off);
    DX = (uint16_t)((uint32_t)pos >> 16);
    AX = (uint16_t)pos;
    ok();
}

static int resolve_arg(uint16_t seg, uint16_t off, int must_exist, char *norm, char *host)
{
    char name[DOS_ARG_MAX + 1];
    read_asciiz(seg, off, name);
    dos_normalize(name, norm);
    return dos_resolve_host(norm, host, HOST_PATH_MAX, must_exist);
}

static void fn_dir(uint8_t fn)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    if (fn == 0x3B) {
        read_asciiz(DS, DX, norm);
        return result(dos_chdir(norm) ? DOSERR_PATH_NOT_FOUND : 0);
    }
    if (resolve_arg(DS, DX, fn == 0x3A, norm, host))
        return fail(DOSERR_PATH_NOT_FOUND);
    if (!dos_host_writable(host))
        return fail(DOSERR_ACCESS_DENIED);
    int rc = fn == 0x39 ? mkdir(host, 0777) : rmdir(host);
    result(rc == 0 ? 0 : DOSERR_ACCESS_DENIED);
}

static void fn_open_create(uint8_t fn)
{
    char name[DOS_ARG_MAX + 1];
    read_asciiz(DS, DX, name);
    int h = 0;
    int err = fn == 0x3D ? dos_open(name, AL, &h) : dos_create(name, &h, fn == 0x5B);
    if (err)
        return fail(err);
    AX = (uint16_t)h;
    ok();
}

static void fn_attributes(void)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    if (resolve_arg(DS, DX, 1, norm, host))
        return fail(DOSERR_FILE_NOT_FOUND);
    struct stat st;
    if (stat(host, &st) != 0)
        return fail(DOSERR_FILE_NOT_FOUND);
    if (AL == 0)
        CX = S_ISDIR(st.st_mode) ? 0x10 : 0x20;
    ok();
}

static void fn_rename(void)
{
    char on[DOS_PATH_MAX], oh[HOST_PATH_MAX], nn[DOS_PATH_MAX], nh[HOST_PATH_MAX];
    if (resolve_arg(DS, DX, 1, on, oh))
        return fail(DOSERR_FILE_NOT_FOUND);
    if (resolve_arg(ES, DI, 0, nn, nh))
        return fail(DOSERR_PATH_NOT_FOUND);
    dbg("rename %s -> %s\n", on, nn);
    if (!dos_host_writable(oh) || !dos_host_writable(nh))
        return fail(DOSERR_ACCESS_DENIED);
    result(rename(oh, nh) == 0 ? 0 : DOSERR_ACCESS_DENIED);
}

static void fn_file_time(void)
{
    int i = jft_get(BX);
    if (i < 0)
        return fail(DOSERR_BAD_HANDLE);
    if (AL == 0) {
        CX = 0;
        DX = DATE_BEFORE_EPOCH;
        struct stat st;
        if (sft[i].kind == SFT_FILE && fstat(fileno(sft[i].stream), &st) == 0) {
            uint16_t t, dt;
            dos_stamp((long)st.st_mtime, &t, &dt);
            CX = t;
            DX = dt;
        }
    }
    ok();
}

static void fn_temp_file(void)
{
    char path[DOS_ARG_MAX + 1];
    read_asciiz(DS, DX, path);
    size_t n = strlen(path);
    char gen[16];
    snprintf(gen, sizeof gen, "TMP%05d.$$$", d21.tmpn++ % 100000);
    if (n + strlen(gen) > DOS_ARG_MAX)
        return fail(DOSERR_PATH_NOT_FOUND);
    strcat(path, gen);
    int h = 0;
    if (int err = dos_create(path, &h, 0))
        return fail(err);
    write_asciiz(DS, (uint16_t)(DX + n), gen);
    AX = (uint16_t)h;
    ok();
}

static void fn_ext_open(void)
{
    char name[DOS_ARG_MAX + 1];
    read_asciiz(DS, SI, name);
    int h = 0, err;
    if (!dos_file_exists(name)) {
        if (!(DL & 0xF0))
            return fail(DOSERR_FILE_NOT_FOUND);
        err = dos_create(name, &h, 0);
        CX = 2;
    } else if (!(DL & 0x0F)) {
        return fail(DOSERR_FILE_EXISTS);
    } else if ((DL & 0x0F) == 2) {
        err = dos_create(name, &h, 0);
        CX = 3;
    } else {
        err = dos_open(name, BL & ACCESS_MASK, &h);
        CX = 1;
    }
    if (err)
        return fail(err);
    AX = (uint16_t)h;
    ok();
}

static void fn_ioctl(void)
{
    switch (AL) {
    case 0x00: {
        int i = jft_get(BX);
        if (i < 0)
            return fail(DOSERR_BAD_HANDLE);
        static const uint16_t info[] = {0, DEVINFO_FILE, DEVINFO_CON, DEVINFO_NUL, DEVINFO_CHAR, DEVINFO_CHAR};
        AX = DX = info[sft[i].kind];
        return ok();
    }
    case 0x01:
        return ok();
    case 0x06: {
        int i = jft_get(BX);
        if (i < 0)
            return fail(DOSERR_BAD_HANDLE);
        AL = 0xFF;
        if (sft[i].kind == SFT_FILE) {
            FILE *f = sft[i].stream;
            fflush(f);
            long pos = ftell(f);
            struct stat st;
            if (fstat(fileno(f), &st) == 0)
                AL = pos < (long)st.st_size ? 0xFF : 0x00;
        }
        return ok();
    }
    case 0x07:
        AL = 0xFF;
        return ok();
    case 0x08:
        AX = (BL == 1 || BL == 2) ? 0 : 1;
        return ok();
    case 0x09:
    case 0x0A:
        DX = 0;
        return ok();
    case 0x0E:
        AL = 0;
        return ok();
    default:
        return fail(DOSERR_FUNCTION);
    }
}

// ---- memory and programs -----------------------------------------------------

static void fn_exec(void)
{
    char name[DOS_ARG_MAX + 1];
    read_asciiz(DS, DX, name);
    uint16_t pseg = ES, pb = BX;
    if (AL == 0x03)
        return result(dos_load_overlay(name, rd16(pseg, pb), rd16(pseg, (uint16_t)(pb + 2))));
    uint16_t env = rd16(pseg, pb);
    uint16_t toff = rd16(pseg, (uint16_t)(pb + 2)), tseg = rd16(pseg, (uint16_t)(pb + 4));
    char tail[EXEC_TAIL_MAX + 1];
    int n = rd8(tseg, toff);
    if (n > EXEC_TAIL_MAX)
        n = EXEC_TAIL_MAX;
    for (int i = 0; i < n; i++)
        tail[i] = (char)rd8(tseg, (uint16_t)(toff + 1 + i));
    tail[n] = 0;
    dbg("EXEC '%s' tail='%s'\n", name, tail);
    DosStart st = {};
    uint8_t al = AL;
    int err = dos_exec(name, tail, env, al == 0x01, &st);
    if (!err && al == 0x01) {
        wr16(pseg, (uint16_t)(pb + 0x0E), st.sp);
        wr16(pseg, (uint16_t)(pb + 0x10), st.ss);
        wr16(pseg, (uint16_t)(pb + 0x12), st.ip);
        wr16(pseg, (uint16_t)(pb + 0x14), st.cs);
    }
    result(err);
}

static void fn_memory(uint8_t fn)
{
    uint16_t largest = 0;
    switch (fn) {
    case 0x48: {
        uint16_t seg = dos_alloc(BX, dos_cur_psp, &largest);
        if (!seg) {
            fail(DOSERR_NO_MEMORY);
            BX = largest;
            return;
        }
        AX = seg;
        return ok();
    }
    case 0x49:
        return result(dos_free(ES));
    default: {
        int err = dos_resize(ES, BX, &largest);
        if (err) {
            fail(err);
            if (err == DOSERR_NO_MEMORY)
                BX = largest;
            return;
        }
        return ok();
    }
    }
}

// ---- the dispatcher ----------------------------------------------------------

void dos_int21(void)
{
    uint8_t fn = AH;
    char name[DOS_ARG_MAX + 1], norm[DOS_PATH_MAX];
    struct tm tm;
    switch (fn) {
    case 0x00: dos_terminate(0, 0);
    case 0x01: case 0x06: case 0x07: case 0x08: case 0x0A: console_fn(fn); break;
    case 0x02: dos_con_putc(DL); AL = DL; break;
    case 0x03: AL = 0; break;
    case 0x04: case 0x05: case 0x0D: break;
    case 0x09: {
        uint16_t i = 0;
        for (; i < STRING_MAX; i++) {
            uint8_t c = rd8(DS, (uint16_t)(DX + i));
            if (c == CH_DOLLAR)
                break;
            dos_con_putc(c);
        }
        AL = CH_DOLLAR;
        break;
    }
    case 0x0B: AL = (d21.pending_ext >= 0 || dos_key_ready()) ? 0xFF : 0; break;
    case 0x0C: {
        while (dos_key_ready())
            dos_key_read();
        d21.pending_ext = -1;
        uint8_t next = AL;
        if (next == 0x01 || next == 0x06 || next == 0x07 || next == 0x08 || next == 0x0A) {
            AH = next;
            console_fn(next);
        } else
            AL = 0;
        break;
    }
    case 0x0E: AL = 26; break;
    case 0x0F: case 0x10: case 0x11: case 0x12: case 0x13: case 0x14: case 0x15: case 0x16:
    case 0x17: case 0x21: case 0x22: case 0x23: case 0x24: case 0x27: case 0x28: case 0x29:
        dos_fcb_call(fn);
        break;
    case 0x19: AL = 2; break;
    case 0x1A: dta_seg = DS; dta_off = DX; break;
    case 0x25: wr16l(4u * AL, DX); wr16l(4u * AL + 2, DS); break;
    case 0x2A:
        dos_date_now(&tm);
        CX = (uint16_t)(tm.tm_year + 1900);
        DH = (uint8_t)(tm.tm_mon + 1);
        DL = (uint8_t)tm.tm_mday;
        AL = (uint8_t)tm.tm_wday;
        break;
    case 0x2B: case 0x2D: AL = 0; break;
    case 0x2C:
        dos_date_now(&tm);
        CH = (uint8_t)tm.tm_hour;
        CL = (uint8_t)tm.tm_min;
        DH = (uint8_t)tm.tm_sec;
        DL = (uint8_t)(host_ticks_us() / 10000 % 100);
        break;
    case 0x2E: d21.verify_flag = AL; break;
    case 0x2F: ES = dta_seg; BX = dta_off; break;
    case 0x30: AX = DOS_VERSION; BX = VERSION_BX; CX = 0; break;
    case 0x31: {
        uint16_t keep = DX > RESIDENT_MIN_PARAS ? DX : (uint16_t)RESIDENT_MIN_PARAS;
        dos_resize(dos_cur_psp, keep, nullptr);
        dos_terminate(AL, 1);
    }
    case 0x33:
        switch (AL) {
        case 0x00: DL = (uint8_t)d21.break_flag; break;
        case 0x01: d21.break_flag = DL & 1; break;
        case 0x05: DL = 3; break;
        case 0x06: BX = DOS_VERSION; DX = 0; break;
        }
        break;
    case 0x34: ES = INDOS_SEG; BX = INDOS_OFF; break;
    case 0x35: BX = rd16l(4u * AL); ES = rd16l(4u * AL + 2); break;
    case 0x36:
        if (DL == 1 || DL > 3)
            AX = 0xFFFF;
        else {
            AX = DISK_SECTORS_PER_CLUSTER;
            BX = DISK_FREE_CLUSTERS;
            CX = DISK_SECTOR_BYTES;
            DX = DISK_CLUSTERS;
        }
        break;
    case 0x37: if (AL == 0) DL = '/'; else AL = 0; break;
    case 0x38: BX = 1; CX = 0; ok(); break;
    case 0x39: case 0x3A: case 0x3B: fn_dir(fn); break;
    case 0x3C: case 0x3D: case 0x5B: fn_open_create(fn); break;
    case 0x3E: result(dos_close(BX)); break;
    case 0x3F: fn_read(); break;
    case 0x40: fn_write(); break;
    case 0x41:
        read_asciiz(DS, DX, name);
        result(dos_delete(name));
        break;
    case 0x42: fn_seek(); break;
    case 0x43: fn_attributes(); break;
    case 0x44: fn_ioctl(); break;
    case 0x45: {
        int h = 0;
        int err = dos_dup(BX, &h);
        if (err)
            fail(err);
        else {
            AX = (uint16_t)h;
            ok();
        }
        break;
    }
    case 0x46: result(dos_dup2(BX, CX)); break;
    case 0x47: write_asciiz(DS, SI, dos_cwd[0] == '\\' ? dos_cwd + 1 : dos_cwd); AX = 0x0100; ok(); break;
    case 0x48: case 0x49: case 0x4A: fn_memory(fn); break;
    case 0x4B: fn_exec(); break;
    case 0x4C: dos_terminate(AL, 0);
    case 0x4D: AX = (uint16_t)dos_last_exit; dos_last_exit = 0; ok(); break;
    case 0x4E:
        read_asciiz(DS, DX, name);
        switch (find_first(name, CL)) {
        case DOSERR_NONE: AX = 0; ok(); break;
        case DOSERR_PATH_NOT_FOUND: fail(DOSERR_PATH_NOT_FOUND); break;
        default: fail(DOSERR_NO_MORE_FILES); break;
        }
        break;
    case 0x4F:
        if (find_next())
            fail(DOSERR_NO_MORE_FILES);
        else {
            AX = 0;
            ok();
        }
        break;
    case 0x50: dos_cur_psp = BX; break;
    case 0x51: case 0x62: BX = dos_cur_psp; break;
    case 0x52: ES = INDOS_SEG; BX = LIST_OF_LISTS_OFF; break;
    case 0x54: AL = d21.verify_flag; break;
    case 0x56: fn_rename(); break;
    case 0x57: fn_file_time(); break;
    case 0x58: if (AL == 0) AX = 0; ok(); break;
    case 0x59: AX = d21.last_error; BX = EXTERR_BX; CH = 1; break;
    case 0x5A: fn_temp_file(); break;
    case 0x60:
        read_asciiz(DS, SI, name);
        dos_normalize(name, norm);
        write_asciiz(ES, DI, norm);
        ok();
        break;
    case 0x63: fail(DOSERR_FUNCTION); break;
    case 0x66: BX = DX = CODE_PAGE; ok(); break;
    case 0x67: ok(); break;
    case 0x68: case 0x6A: {
        int i = jft_get(BX);
        if (i >= 0 && sft[i].stream)
            fflush(sft[i].stream);
        ok();
        break;
    }
    case 0x6C: fn_ext_open(); break;
    default:
        dbg("INT 21h AH=%02X unimplemented\n", fn);
        fail(DOSERR_FUNCTION);
        AX = 0;
        break;
    }
}
