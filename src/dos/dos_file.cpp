// DOS handles: the shared system file table, each program's job file table
// (the 20 bytes in its PSP that map handles to table records), the
// character devices and the file operations on host streams.
#include "dos/dos.h"

#include "devices/vga.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

SftRecord sft[SFT_SIZE];
int con_echo_host = 1;

enum : uint8_t {
    KEY_CR = 0x0D,
    KEY_LF = 0x0A,
    KEY_BACKSPACE = 0x08,
    INT_KEYBOARD = 0x16,
    KBD_READ = 0x00,            // INT 16h: wait for a key
    KBD_PEEK = 0x01,            // INT 16h: is a key there (ZF clear)
    CON_ATTR = 0x07,
};

enum {
    CON_LINE_MAX = 256,
    CON_LINE_KEEP = 250,        // characters a console line accepts
};

// Extensions of text files whose bare LF line ends read as CR LF.
static const char *const text_exts[] = {".4TH", ".TXT", ".BAT", ".CMD", ".VRK", ".4", ".HLP", ".DOC", ".LST"};

static struct {
    uint8_t line[CON_LINE_MAX];
    int llen, lpos;
} con;

void sft_reset(void)
{
    for (SftRecord &r : sft)
        if (r.stream)
            fclose(r.stream);
    memset(sft, 0, sizeof sft);
    con.llen = con.lpos = 0;
    const struct { int kind, refs; const char *name; } std[] = {
        {SFT_CON, 3, "CON"}, {SFT_AUX, 1, "AUX"}, {SFT_PRN, 1, "PRN"},
    };
    for (int i = 0; i < 3; i++) {
        sft[i].kind = std[i].kind;
        sft[i].refs = std[i].refs;
        sft[i].mode = ACCESS_RW;
        snprintf(sft[i].dos_name, sizeof sft[i].dos_name, "%s", std[i].name);
    }
}

// ---- the job file table ------------------------------------------------------

uint32_t psp_jft_lin(uint16_t psp)
{
    return LIN(rd16(psp, PSP_JFT_PTR + 2), rd16(psp, PSP_JFT_PTR));
}

uint16_t psp_jft_size(uint16_t psp)
{
    return rd16(psp, PSP_JFT_SIZE);
}

int jft_new(int sftindex)
{
    if (!dos_cur_psp)
        return -1;
    uint32_t jft = psp_jft_lin(dos_cur_psp);
    int n = psp_jft_size(dos_cur_psp);
    for (int h = 0; h < n; h++)
        if (rd8l(jft + h) == JFT_CLOSED) {
            wr8l(jft + h, (uint8_t)sftindex);
            return h;
        }
    return -1;
}

int jft_get(int handle)
{
    if (!dos_cur_psp || handle < 0 || handle >= psp_jft_size(dos_cur_psp))
        return -1;
    int i = rd8l(psp_jft_lin(dos_cur_psp) + handle);
    if (i >= SFT_SIZE || sft[i].kind == SFT_FREE)
        return -1;
    return i;
}

void sft_release(int index)
{
    SftRecord &r = sft[index];
    if (--r.refs > 0)
        return;
    if (r.stream)
        fclose(r.stream);
    memset(&r, 0, sizeof r);
}

static int sft_take(void)
{
    for (int i = 0; i < SFT_SIZE; i++)
        if (sft[i].kind == SFT_FREE) {
            memset(&sft[i], 0, sizeof sft[i]);
            sft[i].refs = 1;
            return i;
        }
    return -1;
}

// ---- opening -----------------------------------------------------------------

static int has_text_ext(const char *path)
{
    const char *dot = strrchr(path, '.');
    if (!dot || strchr(dot, '\\'))
        return 0;
    for (const char *e : text_exts)
        if (strcasecmp(dot, e) == 0)
            return 1;
    return 0;
}

// A text file with bare LF line ends is served from an anonymous copy with
// CR LF; the stream is replaced when a copy was made.
static void convert_line_ends(SftRecord &r)
{
    FILE *f = r.stream;
    if (fseek(f, 0, SEEK_END) != 0)
        return;
    long n = ftell(f);
    if (n <= 0 || fseek(f, 0, SEEK_SET) != 0)
        return;
    uint8_t *buf = static_cast<uint8_t *>(malloc((size_t)n));
    if (!buf)
        return;
    int bare = 0;
    if (fread(buf, 1, (size_t)n, f) == (size_t)n)
        for (long i = 0; i < n && !bare; i++)
            bare = buf[i] == KEY_LF && (i == 0 || buf[i - 1] != KEY_CR);
    FILE *t = bare ? tmpfile() : nullptr;
    if (t) {
        for (long i = 0; i < n; i++) {
            if (buf[i] == KEY_LF && (i == 0 || buf[i - 1] != KEY_CR))
                fputc(KEY_CR, t);
            fputc(buf[i], t);
        }
        fclose(f);
        r.stream = t;
    }
    free(buf);
    fseek(r.stream, 0, SEEK_SET);
}

static int finish_open(int index, const char *what, const char *norm, int *handle)
{
    int h = jft_new(index);
    if (h < 0) {
        sft_release(index);
        return DOSERR_TOO_MANY_FILES;
    }
    snprintf(sft[index].dos_name, sizeof sft[index].dos_name, "%.79s", norm);
    *handle = h;
    dbg("%s %s -> %d\n", what, norm, h);
    return DOSERR_NONE;
}

int dos_open(const char *dospath, int mode, int *handle)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    int access = mode & ACCESS_MASK;
    int i = sft_take();
    if (i < 0)
        return DOSERR_TOO_MANY_FILES;
    SftRecord &r = sft[i];
    r.mode = access;
    if (int dev = is_device(norm)) {
        r.kind = dev;
        return finish_open(i, "open", norm, handle);
    }
    int err = dos_resolve_host(norm, r.host_path, sizeof r.host_path, 1);
    if (err) {
        dbg("open %s -> not found\n", norm);
        sft_release(i);
        return err;
    }
    struct stat st;
    if (stat(r.host_path, &st) == 0 && S_ISDIR(st.st_mode)) {
        sft_release(i);
        return DOSERR_ACCESS_DENIED;
    }
    if (access != ACCESS_READ && !dos_host_writable(r.host_path)) {
        sft_release(i);
        return DOSERR_ACCESS_DENIED;
    }
    r.stream = fopen(r.host_path, access == ACCESS_READ ? "rb" : "r+b");
    if (!r.stream) {
        sft_release(i);
        return access == ACCESS_READ ? DOSERR_FILE_NOT_FOUND : DOSERR_ACCESS_DENIED;
    }
    if (access != ACCESS_WRITE && has_text_ext(norm))
        convert_line_ends(r);
    r.kind = SFT_FILE;
    return finish_open(i, "open", norm, handle);
}

int dos_create(const char *dospath, int *handle, int create_new)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    int i = sft_take();
    if (i < 0)
        return DOSERR_TOO_MANY_FILES;
    SftRecord &r = sft[i];
    r.mode = ACCESS_RW;
    if (int dev = is_device(norm)) {
        r.kind = dev;
        return finish_open(i, "create", norm, handle);
    }
    int err = dos_resolve_host(norm, r.host_path, sizeof r.host_path, 0);
    if (err) {
        sft_release(i);
        return err;
    }
    struct stat st;
    int exists = stat(r.host_path, &st) == 0;
    if (create_new && exists) {
        sft_release(i);
        return DOSERR_FILE_EXISTS;
    }
    if (!dos_host_writable(r.host_path) || (exists && S_ISDIR(st.st_mode))) {
        sft_release(i);
        return DOSERR_ACCESS_DENIED;
    }
    r.stream = fopen(r.host_path, "w+b");
    if (!r.stream) {
        sft_release(i);
        return DOSERR_ACCESS_DENIED;
    }
    r.kind = SFT_FILE;
    return finish_open(i, "create", norm, handle);
}

int dos_close(int handle)
{
    int i = jft_get(handle);
    if (i < 0)
        return DOSERR_BAD_HANDLE;
    wr8l(psp_jft_lin(dos_cur_psp) + handle, JFT_CLOSED);
    sft_release(i);
    return DOSERR_NONE;
}

int dos_dup(int handle, int *newhandle)
{
    int i = jft_get(handle);
    if (i < 0)
        return DOSERR_BAD_HANDLE;
    int h = jft_new(i);
    if (h < 0)
        return DOSERR_TOO_MANY_FILES;
    sft[i].refs++;
    *newhandle = h;
    return DOSERR_NONE;
}

int dos_dup2(int handle, int target)
{
    int i = jft_get(handle);
    if (i < 0 || target < 0 || target >= psp_jft_size(dos_cur_psp))
        return DOSERR_BAD_HANDLE;
    if (target == handle)
        return DOSERR_NONE;
    if (jft_get(target) >= 0)
        dos_close(target);
    wr8l(psp_jft_lin(dos_cur_psp) + target, (uint8_t)i);
    sft[i].refs++;
    return DOSERR_NONE;
}

// ---- the console -------------------------------------------------------------

// Every byte DOS writes to the screen passes here: teletype output on the
// emulated display and, while echoing, the host's standard output.
void dos_con_putc(uint8_t ch)
{
    vga_text_putc(ch, CON_ATTR, 1);
    if (con_echo_host) {
        fputc(ch, stdout);
        if (ch == KEY_LF)
            fflush(stdout);
    }
}

// The keyboard is the BIOS service behind the INT 16h vector; a program that
// hooked it is honoured. Without any service there is no key.
static int keyboard_present(void)
{
    return rd16l(INT_KEYBOARD * 4) || rd16l(INT_KEYBOARD * 4 + 2);
}

int dos_key_read(void)
{
    if (!keyboard_present())
        return -1;
    uint16_t ax = AX;
    AH = KBD_READ;
    cpu_int(INT_KEYBOARD);
    int key = AX;
    AX = ax;
    return key;
}

int dos_key_ready(void)
{
    if (!keyboard_present())
        return 0;
    uint16_t ax = AX;
    AH = KBD_PEEK;
    cpu_int(INT_KEYBOARD);
    int ready = !ZF_();
    AX = ax;
    return ready;
}

// One edited line from the keyboard into the line buffer, ending in CR LF.
// Without a keyboard the line is empty: end of input.
static void con_read_line(void)
{
    con.llen = con.lpos = 0;
    for (;;) {
        int key = dos_key_read();
        if (key < 0)
            return;
        uint8_t ch = (uint8_t)key;
        if (ch == KEY_CR)
            break;
        if (ch == KEY_BACKSPACE) {
            if (con.llen) {
                con.llen--;
                dos_con_putc(KEY_BACKSPACE);
                dos_con_putc(' ');
                dos_con_putc(KEY_BACKSPACE);
            }
        } else if (con.llen < CON_LINE_KEEP) {
            con.line[con.llen++] = ch;
            dos_con_putc(ch);
        }
    }
    dos_con_putc(KEY_CR);
    dos_con_putc(KEY_LF);
    con.line[con.llen++] = KEY_CR;
    con.line[con.llen++] = KEY_LF;
}

// ---- reading and writing -----------------------------------------------------

// An update stream must be repositioned between a read and a write.
static void stream_turn(SftRecord &r, int writing)
{
    if (r.last_write != writing)
        fseek(r.stream, 0, SEEK_CUR);
    r.last_write = writing;
}

int dos_read_host(int handle, uint8_t *buffer, int count)
{
    int i = jft_get(handle);
    if (i < 0)
        return -1;
    SftRecord &r = sft[i];
    switch (r.kind) {
    case SFT_FILE:
        stream_turn(r, 0);
        return (int)fread(buffer, 1, (size_t)count, r.stream);
    case SFT_CON: {
        if (con.lpos >= con.llen)
            con_read_line();
        int n = 0;
        while (n < count && con.lpos < con.llen)
            buffer[n++] = con.line[con.lpos++];
        return n;
    }
    default:
        return 0;
    }
}

int dos_write_host(int handle, const uint8_t *data, int count)
{
    int i = jft_get(handle);
    if (i < 0)
        return -1;
    SftRecord &r = sft[i];
    switch (r.kind) {
    case SFT_FILE:
        // A handle opened for reading only refuses writes (and truncation).
        if (r.mode == ACCESS_READ)
            return -2;
        stream_turn(r, 1);
        if (count == 0) {
            fflush(r.stream);
            long pos = ftell(r.stream);
            if (pos < 0 || ftruncate(fileno(r.stream), pos) != 0)
                return -2;
            return 0;
        }
        return (int)fwrite(data, 1, (size_t)count, r.stream);
    case SFT_CON:
        for (int k = 0; k < count; k++)
            dos_con_putc(data[k]);
        return count;
    default:
        return count;
    }
}

long dos_seek(int handle, int whence, long offset)
{
    int i = jft_get(handle);
    if (i < 0)
        return -1;
    SftRecord &r = sft[i];
    if (r.kind != SFT_FILE)
        return 0;
    static const int host_whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    r.last_write = -1;
    if (fseek(r.stream, offset, host_whence[whence]) != 0)
        fseek(r.stream, 0, SEEK_END);
    return ftell(r.stream);
}

void dos_seek_end(int handle)
{
    dos_seek(handle, 2, 0);
}

int dos_delete(const char *dospath)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    dos_normalize(dospath, norm);
    dbg("delete %s\n", norm);
    if (dos_resolve_host(norm, host, sizeof host, 1))
        return DOSERR_FILE_NOT_FOUND;
    struct stat st;
    if (lstat(host, &st) != 0 || S_ISDIR(st.st_mode) || !dos_host_writable(host))
        return DOSERR_ACCESS_DENIED;
    return remove(host) == 0 ? DOSERR_NONE : DOSERR_ACCESS_DENIED;
}
