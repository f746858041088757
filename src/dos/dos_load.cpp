// Programs: the PSP and environment, loading COM and MZ images, EXEC and
// termination, and the kernel's start.
//
// A child runs nested on the host stack. EXEC saves the parent's CPU record
// and DOS state in a process record together with a jump context, then runs
// the machine with a return point no program reaches. The child's
// termination (INT 20h, INT 21h AH=00h/31h/4Ch, INT 27h) cleans up and jumps
// back through that context into its parent's EXEC, from wherever it was
// called - even from inside nested run loops of interrupt handlers - and
// the parent continues exactly after its INT 21h with its registers back.
#include "dos/dos.h"

#include "host/host.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

uint16_t dos_cur_psp, master_env;
int dos_last_exit, dos_exit_code, proc_depth;

enum : uint32_t {
    IVT_BYTES = 0x400,
    LOAD_LIMIT_LIN = 0x110000,      // an image must end inside the address space
    EXE_FILE_MAX = 64u << 20,       // larger files cannot be programs of this machine
    FILE_SPARE = 16,
};

enum : uint16_t {
    ENV_COPY_MAX = 1501,            // bytes of variables taken from the parent
    ENV_BLOCK_MAX = 2040,
    MASTER_ENV_PARAS = 32,
    COM_MIN_PARAS = 0x1000,         // a COM program needs a full 64 KB segment
    COM_LOAD_OFF = 0x100,
    COM_MAX_BYTES = 0xFF00,
    COM_STACK = 0xFFFE,
    COM_BIG_FILE = 0xFF01,
    FIRST_PSP_MEMTOP = 0x9FFF,
    PSP_TAIL_MAX = 126,
    MZ_MIN_BYTES = 28,              // smaller files are always COM images
    MZ_LAST_PAGE = 0x02, MZ_PAGES = 0x04, MZ_RELOCS = 0x06, MZ_HEADER_PARAS = 0x08,
    MZ_MIN_EXTRA = 0x0A, MZ_MAX_EXTRA = 0x0C, MZ_SS = 0x0E, MZ_SP = 0x10, MZ_IP = 0x14,
    MZ_CS = 0x16, MZ_RELOC_OFF = 0x18, MZ_NEW_HEADER = 0x3C,
    MZ_PAGE_BYTES = 512,
    NEW_HEADER_MIN_RELOC = 0x40,    // a relocation table this late leaves room for a new header
    NEW_EXE_MIN_BYTES = 64,
    CHILD_BP = 0x091C,
    CHILD_CX = 0x00FF,
    START_FLAGS = 0x0202,
    RESIDENT_EXIT = 0x300,
    BIOS_SEG = 0x0040,
    KBD_HEAD = 0x1A, KBD_TAIL = 0x1C, KBD_START = 0x80, KBD_END = 0x82,
    KBD_DEFAULT_START = 0x1E, KBD_DEFAULT_END = 0x3E,
    KBD_MIN_START = 30, KBD_MAX_END = 256,
    TYPED_LINE_MAX = 126,
    TYPED_LINES_MAX = 16,
};

static const uint32_t UNPACK_STEPS_MAX = 200000001;

// The far call at PSP offset 05h: the old CP/M-style entry into DOS.
static const uint8_t psp_far_call[] = {0x9A, 0xF0, 0xFE, 0x1D, 0xF0};
static const uint8_t psp_dispatch[] = {0xCD, 0x21, 0xCB};

static const char *const master_vars[] = {
    "COMSPEC=C:\\COMMAND.COM", "PATH=C:\\", "PROMPT=$P$G", "BLASTER=A220 I5 D1 T3",
};

struct Proc {
    jmp_buf back;               // into the parent's EXEC
    CPU regs;                   // the parent at its EXEC
    uint16_t parent_psp, dta_seg, dta_off, child_psp;
    uint16_t load_seg;
    uint8_t ivt[IVT_BYTES];
    uint32_t lo, hi;            // the child's memory, linear
    int resident;
};

static struct {
    Proc procs[PROC_MAX];
} load;

// ---- the PSP -----------------------------------------------------------------

static int fcb_stop(char c)
{
    return c == 0 || c == ' ' || c == '\t' || c == '/' || c == '\r';
}

static void fill_fcb(uint16_t psp, uint16_t fcb, const char *&s)
{
    for (int i = 1; i < 12; i++)
        wr8(psp, (uint16_t)(fcb + i), ' ');
    while (*s == ' ' || *s == '\t')
        s++;
    if (!*s)
        return;
    if (*s == '/') {
        while (*s && *s != ' ' && *s != '\t')
            s++;
        return;
    }
    if (s[0] && s[1] == ':')
        s += 2;
    int n = 0;
    while (!fcb_stop(*s) && *s != '.') {
        if (n < 8)
            wr8(psp, (uint16_t)(fcb + 1 + n++), dos_upcase((uint8_t)*s));
        s++;
    }
    if (*s == '.') {
        s++;
        n = 0;
        while (!fcb_stop(*s) && *s != '.') {
            if (n < 3)
                wr8(psp, (uint16_t)(fcb + 9 + n++), dos_upcase((uint8_t)*s));
            s++;
        }
    }
    while (*s && *s != ' ' && *s != '\t')
        s++;
}

void build_psp(uint16_t psp, uint16_t parent, uint16_t env, uint16_t memtop, const char *tail)
{
    for (uint16_t i = 0; i < PSP_BYTES; i++)
        wr8(psp, i, 0);
    wr8(psp, PSP_INT20, 0xCD);
    wr8(psp, PSP_INT20 + 1, 0x20);
    wr16(psp, PSP_MEMTOP, memtop);
    for (size_t i = 0; i < sizeof psp_far_call; i++)
        wr8(psp, (uint16_t)(PSP_FAR_CALL + i), psp_far_call[i]);
    for (int i = 0; i < 4; i++) {
        wr16(psp, (uint16_t)(PSP_INT22 + 4 * i), rd16l(4u * (0x22 + i)));
        wr16(psp, (uint16_t)(PSP_INT22 + 4 * i + 2), rd16l(4u * (0x22 + i) + 2));
    }
    wr16(psp, PSP_PARENT, parent);
    uint32_t pjft = parent ? psp_jft_lin(parent) : 0;
    int psize = parent ? psp_jft_size(parent) : 0;
    for (int i = 0; i < JFT_SIZE; i++) {
        uint8_t e = JFT_CLOSED;
        if (i < psize) {
            uint8_t p = rd8l(pjft + i);
            if (p < SFT_SIZE && sft[p].kind != SFT_FREE) {
                e = p;
                sft[p].refs++;
            }
        }
        wr8(psp, (uint16_t)(PSP_JFT + i), e);
    }
    wr16(psp, PSP_ENV, env);
    wr16(psp, PSP_JFT_SIZE, JFT_SIZE);
    wr16(psp, PSP_JFT_PTR, PSP_JFT);
    wr16(psp, PSP_JFT_PTR + 2, psp);
    wr16(psp, PSP_PREV_PSP, 0xFFFF);
    wr16(psp, PSP_PREV_PSP + 2, 0xFFFF);
    wr8(psp, PSP_VERSION, 5);
    for (size_t i = 0; i < sizeof psp_dispatch; i++)
        wr8(psp, (uint16_t)(PSP_DISPATCH + i), psp_dispatch[i]);
    const char *s = tail;
    wr8(psp, PSP_FCB1, 0);
    fill_fcb(psp, PSP_FCB1, s);
    wr8(psp, PSP_FCB2, 0);
    fill_fcb(psp, PSP_FCB2, s);
    size_t n = strlen(tail);
    if (n > PSP_TAIL_MAX)
        n = PSP_TAIL_MAX;
    wr8(psp, PSP_TAIL, (uint8_t)n);
    for (size_t i = 0; i < n; i++)
        wr8(psp, (uint16_t)(PSP_TAIL + 1 + i), (uint8_t)tail[i]);
    wr8(psp, (uint16_t)(PSP_TAIL + 1 + n), '\r');
}

static void apply_patches(const char *norm, uint16_t load_seg, uint32_t size)
{
    const char *base = strrchr(norm, '\\');
    tpcrt_patch(load_seg, size);
    debug_patch(base ? base + 1 : norm, load_seg);
}

// ---- files -------------------------------------------------------------------

// The whole file, with spare bytes after it; 0 or a DOS error.
static int read_program(const char *norm, uint8_t **data, uint32_t *size, char *host, size_t hostsz)
{
    if (dos_resolve_host(norm, host, hostsz, 1))
        return DOSERR_FILE_NOT_FOUND;
    struct stat st;
    if (stat(host, &st) != 0 || S_ISDIR(st.st_mode))
        return DOSERR_FILE_NOT_FOUND;
    if ((uint64_t)st.st_size > EXE_FILE_MAX)
        return DOSERR_NO_MEMORY;
    FILE *f = fopen(host, "rb");
    if (!f)
        return DOSERR_ACCESS_DENIED;
    uint32_t n = (uint32_t)st.st_size;
    uint8_t *buf = static_cast<uint8_t *>(calloc(1, n + FILE_SPARE));
    int err = DOSERR_NONE;
    if (!buf)
        err = DOSERR_NO_MEMORY;
    else if (fread(buf, 1, n, f) != n)
        err = DOSERR_ACCESS_DENIED;
    fclose(f);
    if (err) {
        free(buf);
        return err;
    }
    *data = buf;
    *size = n;
    return DOSERR_NONE;
}

static uint16_t w(const uint8_t *b, uint32_t off)
{
    return (uint16_t)(b[off] | b[off + 1] << 8);
}

static int is_mz(const uint8_t *b, uint32_t size)
{
    return size >= MZ_MIN_BYTES && ((b[0] == 'M' && b[1] == 'Z') || (b[0] == 'Z' && b[1] == 'M'));
}

static int is_windows(const uint8_t *b, uint32_t size)
{
    if (size < NEW_EXE_MIN_BYTES || b[0] != 'M' || b[1] != 'Z' || w(b, MZ_RELOC_OFF) < NEW_HEADER_MIN_RELOC)
        return 0;
    uint32_t off = w(b, MZ_NEW_HEADER) | (uint32_t)w(b, MZ_NEW_HEADER + 2) << 16;
    if (off > size || size - off < 4)
        return 0;
    const uint8_t *h = b + off;
    if (h[0] == 'P' && h[1] == 'E' && h[2] == 0 && h[3] == 0)
        return 1;
    return (h[0] == 'N' && h[1] == 'E') || (h[0] == 'L' && h[1] == 'E') || (h[0] == 'L' && h[1] == 'X');
}

int dos_program_exists(const char *dospath)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    dos_normalize(dospath, norm);
    uint8_t *b = nullptr;
    uint32_t n = 0;
    if (read_program(norm, &b, &n, host, sizeof host))
        return 0;
    int ok = !is_windows(b, n);
    free(b);
    return ok;
}

int dos_program_home(const char *dospath)
{
    return dos_program_exists(dospath);
}

// The MZ load image: where it starts in the file and how long it is; 0 or 11.
static int mz_image(const uint8_t *b, uint32_t size, uint32_t *start, uint32_t *len)
{
    uint32_t header = (uint32_t)w(b, MZ_HEADER_PARAS) * 16;
    uint32_t relocs_end = w(b, MZ_RELOC_OFF) + (uint32_t)w(b, MZ_RELOCS) * 4;
    if (size < header || size < relocs_end)
        return DOSERR_BAD_FORMAT;
    int64_t image = (int64_t)w(b, MZ_PAGES) * MZ_PAGE_BYTES - header;
    uint16_t last = w(b, MZ_LAST_PAGE);
    if (last)
        image -= MZ_PAGE_BYTES - last;
    if (image <= 0)
        return DOSERR_BAD_FORMAT;
    if (image > size - header)
        image = size - header;
    *start = header;
    *len = (uint32_t)image;
    return DOSERR_NONE;
}

static void copy_in(uint32_t lin, const uint8_t *src, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        wr8l(lin + i, src[i]);
}

static void relocate(const uint8_t *b, uint16_t seg, uint16_t factor)
{
    uint16_t off = w(b, MZ_RELOC_OFF);
    for (uint16_t i = 0; i < w(b, MZ_RELOCS); i++) {
        uint16_t ro = w(b, off + 4u * i), rs = (uint16_t)(w(b, off + 4u * i + 2) + seg);
        wr16(rs, ro, (uint16_t)(rd16(rs, ro) + factor));
    }
}

int dos_load_overlay(const char *dospath, uint16_t seg, uint16_t reloc)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    dos_normalize(dospath, norm);
    uint8_t *b = nullptr;
    uint32_t n = 0;
    int err = read_program(norm, &b, &n, host, sizeof host);
    if (err)
        return err == DOSERR_ACCESS_DENIED ? DOSERR_BAD_FORMAT : DOSERR_FILE_NOT_FOUND;
    if (n == 0) {
        free(b);
        return DOSERR_BAD_FORMAT;
    }
    uint32_t start = 0, len = n;
    int mz = n >= MZ_MIN_BYTES && b[0] == 'M' && b[1] == 'Z';
    if (mz && (err = mz_image(b, n, &start, &len))) {
        free(b);
        return err;
    }
    if ((uint32_t)seg * 16 + len > LOAD_LIMIT_LIN) {
        free(b);
        return DOSERR_NO_MEMORY;
    }
    copy_in((uint32_t)seg * 16, b + start, len);
    if (mz)
        relocate(b, seg, reloc);
    free(b);
    apply_patches(norm, seg, len);
    return DOSERR_NONE;
}

// ---- the environment ---------------------------------------------------------

// The environment block for a program: the source's variables, the word 1
// and the program's path. Returns its segment, or 0.
static uint16_t make_env(uint16_t src, const char *norm)
{
    uint8_t block[ENV_BLOCK_MAX + 1];
    uint16_t n = 0;
    if (src) {
        // Whole strings only: a variable cut by the limit is left out.
        uint16_t i = 0;
        while (i < ENV_COPY_MAX && rd8(src, i)) {
            uint16_t start = i;
            while (i < ENV_COPY_MAX && rd8(src, i))
                i++;
            if (i >= ENV_COPY_MAX)
                break;
            for (uint16_t k = start; k <= i; k++)
                block[n++] = rd8(src, k);
            i++;
        }
    }
    block[n++] = 0;
    block[n++] = 1;
    block[n++] = 0;
    size_t len = strlen(norm);
    if (n + len + 1 > ENV_BLOCK_MAX)
        len = ENV_BLOCK_MAX - n - 1;
    memcpy(block + n, norm, len);
    n = (uint16_t)(n + len);
    block[n++] = 0;
    uint16_t seg = dos_alloc((uint16_t)((n + 15) / 16), DOS_OWNER_DOS, nullptr);
    if (!seg)
        return 0;
    for (uint16_t i = 0; i < n; i++)
        wr8(seg, i, block[i]);
    return seg;
}

static void set_owner(uint16_t seg, uint16_t owner)
{
    wr16((uint16_t)(seg - 1), MCB_OWNER, owner);
}

static void set_mcb_name(uint16_t seg, const char *norm)
{
    const char *base = strrchr(norm, '\\');
    base = base ? base + 1 : norm;
    for (int i = 0; i < MCB_NAME_LEN; i++) {
        char c = base[i] == '.' ? 0 : base[i];
        wr8((uint16_t)(seg - 1), (uint16_t)(MCB_NAME + i), (uint8_t)c);
        if (!c)
            break;
    }
}

// ---- EXEC --------------------------------------------------------------------

static int is_shell(const char *norm)
{
    size_t n = strlen(norm);
    return n >= 12 && strcmp(norm + n - 12, "\\COMMAND.COM") == 0;
}

static int run_shell(const char *tail)
{
    while (*tail == ' ')
        tail++;
    if ((tail[0] == '/' || tail[0] == '-') && (tail[1] == 'c' || tail[1] == 'C'))
        tail += 2;
    dos_last_exit = shell_run(tail);
    return DOSERR_NONE;
}

struct Loaded {
    uint16_t env, block, psp, load_seg;
    uint32_t image_size;
    DosStart start;
};

static int load_com(const uint8_t *b, uint32_t size, Loaded *l)
{
    uint16_t largest = 0;
    dos_alloc(0xFFFF, DOS_OWNER_DOS, &largest);
    if (largest < COM_MIN_PARAS)
        return DOSERR_NO_MEMORY;
    l->block = dos_alloc(largest, DOS_OWNER_DOS, nullptr);
    if (!l->block)
        return DOSERR_NO_MEMORY;
    l->psp = l->load_seg = l->block;
    uint32_t n = size < COM_MAX_BYTES ? size : (uint32_t)COM_MAX_BYTES;
    copy_in(LIN(l->psp, COM_LOAD_OFF), b, n);
    l->start = {l->psp, COM_LOAD_OFF, l->psp, COM_STACK};
    l->image_size = size >= COM_BIG_FILE ? 0x10000 : size + COM_LOAD_OFF;
    return DOSERR_NONE;
}

static int load_mz(const uint8_t *b, uint32_t size, Loaded *l)
{
    uint32_t start, image;
    if (int err = mz_image(b, size, &start, &image))
        return err;
    uint32_t image_paras = (image + 15) / 16;
    uint32_t need = image_paras + PSP_PARAS + w(b, MZ_MIN_EXTRA);
    uint32_t want = w(b, MZ_MAX_EXTRA) == 0xFFFF ? 0xFFFF : image_paras + PSP_PARAS + w(b, MZ_MAX_EXTRA);
    // A maximum below the minimum still gets the minimum.
    if (want < need)
        want = need;
    if (want > 0xFFFF)
        want = 0xFFFF;
    if (need > 0xFFFF)
        return DOSERR_NO_MEMORY;
    uint16_t largest = 0;
    l->block = dos_alloc((uint16_t)want, DOS_OWNER_DOS, &largest);
    if (!l->block && largest >= need)
        l->block = dos_alloc(largest, DOS_OWNER_DOS, nullptr);
    if (!l->block)
        return DOSERR_NO_MEMORY;
    uint16_t paras = rd16((uint16_t)(l->block - 1), MCB_SIZE);
    l->psp = l->block;
    l->load_seg = (uint16_t)(l->block + PSP_PARAS);
    if (paras < image_paras + PSP_PARAS || (uint32_t)l->load_seg * 16 + image > LOAD_LIMIT_LIN)
        return DOSERR_NO_MEMORY;
    copy_in((uint32_t)l->load_seg * 16, b + start, image);
    relocate(b, l->load_seg, l->load_seg);
    l->start = {(uint16_t)(l->load_seg + w(b, MZ_CS)), w(b, MZ_IP), (uint16_t)(l->load_seg + w(b, MZ_SS)),
                w(b, MZ_SP)};
    l->image_size = image;
    return DOSERR_NONE;
}

// Finds the original entry of a program that unpacks itself: the first time
// execution comes back into the load image after having left it.
static void unpack_dump(const char *file, const Loaded &l, uint16_t memtop)
{
    uint32_t lo = (uint32_t)l.load_seg * 16, hi = lo + 0x10000;
    int left = 0;
    for (uint32_t i = 0; i < UNPACK_STEPS_MAX; i++) {
        uint32_t at = LIN(CS, IP);
        int in = at >= lo && at < hi;
        if (!in)
            left = 1;
        else if (left) {
            uint32_t size = ((uint32_t)memtop - l.load_seg) * 16;
            FILE *f = fopen(file, "wb");
            if (!f)
                fatal("unpack: cannot write %s", file);
            fprintf(f, "LOAD %04X CS %04X IP %04X SS %04X SP %04X DS %04X ES %04X SIZE %08X\n", l.load_seg,
                    CS, IP, SS, SP, DS, ES, size);
            for (uint32_t k = 0; k < size; k++)
                fputc(rd8l(lo + k), f);
            fclose(f);
            fprintf(stderr, "unpack: entry %04X:%04X (load %04X)\n", CS, IP, l.load_seg);
            host_exit(0);
        }
        cpu_step();
    }
    fatal("unpack: no original entry point found");
}

static void start_child(const Loaded &l)
{
    dos_cur_psp = l.psp;
    dta_seg = l.psp;
    dta_off = PSP_TAIL;
    EAX = EBX = 0;
    ECX = CHILD_CX;
    EDX = l.psp;
    ESI = l.start.ip;
    EDI = l.start.sp;
    EBP = CHILD_BP;
    DS = ES = l.psp;
    SS = l.start.ss;
    SP = l.start.sp;
    CS = l.start.cs;
    IP = l.start.ip;
    flags_set(START_FLAGS);
}

int dos_exec(const char *dosname, const char *tail, uint16_t envseg, int load_only, DosStart *start)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    dos_normalize(dosname, norm);
    if (is_shell(norm))
        return run_shell(tail);

    uint8_t *b = nullptr;
    uint32_t size = 0;
    if (int err = read_program(norm, &b, &size, host, sizeof host))
        return err;
    int mz = is_mz(b, size);
    if (mz && is_windows(b, size)) {
        fprintf(stderr, "%s is a Windows program, not a DOS one\n", host);
        free(b);
        return DOSERR_BAD_FORMAT;
    }

    Loaded l = {};
    uint16_t src = envseg ? envseg : dos_cur_psp ? rd16(dos_cur_psp, PSP_ENV) : (uint16_t)master_env;
    l.env = make_env(src, norm);
    if (!l.env) {
        free(b);
        return DOSERR_NO_MEMORY;
    }
    int err = mz ? load_mz(b, size, &l) : load_com(b, size, &l);
    free(b);
    if (err) {
        if (l.block)
            dos_free(l.block);
        dos_free(l.env);
        mcb_coalesce();
        return err;
    }
    set_owner(l.env, l.psp);
    set_owner(l.block, l.psp);
    set_mcb_name(l.block, norm);
    uint16_t memtop = (uint16_t)(l.block + rd16((uint16_t)(l.block - 1), MCB_SIZE));
    build_psp(l.psp, dos_cur_psp, l.env, memtop, tail);
    apply_patches(norm, l.load_seg, l.image_size);

    if (load_only) {
        dos_cur_psp = l.psp;
        if (start)
            *start = l.start;
        return DOSERR_NONE;
    }

    if (proc_depth >= PROC_MAX)
        fatal("EXEC nesting too deep");
    Proc &p = load.procs[proc_depth];
    p.regs = cpu;
    p.parent_psp = dos_cur_psp;
    p.dta_seg = dta_seg;
    p.dta_off = dta_off;
    p.child_psp = l.psp;
    p.load_seg = l.load_seg;
    for (uint32_t i = 0; i < IVT_BYTES; i++)
        p.ivt[i] = rd8l(i);
    p.lo = (uint32_t)l.psp * 16;
    p.hi = (uint32_t)memtop * 16;
    p.resident = 0;
    if (dos_cur_psp) {
        wr16(dos_cur_psp, PSP_SAVED_SP, SP);
        wr16(dos_cur_psp, PSP_SAVED_SS, SS);
    }
    proc_depth++;
    dbg("EXEC %s psp=%04X cs:ip=%04X:%04X ss:sp=%04X:%04X %s\n", norm, l.psp, l.start.cs, l.start.ip,
        l.start.ss, l.start.sp, "(interpreted)");

    start_child(l);
    const char *unpack = getenv("VRK_UNPACK");
    if (unpack && unpack[0] && proc_depth == 1)
        unpack_dump(unpack, l, memtop);
    if (setjmp(p.back) == 0) {
        cpu_run_until(0xFFFF, 0xFFFF, 0);
        dos_terminate(0, 0);
    }

    // Back from the child's termination.
    Proc &q = load.procs[--proc_depth];
    cpu = q.regs;
    dos_cur_psp = q.parent_psp;
    dta_seg = q.dta_seg;
    dta_off = q.dta_off;
    if (!q.resident) {
        for (int v = 0; v < 256; v++) {
            uint32_t at = LIN(rd16l(4u * v + 2), rd16l(4u * v));
            if (at >= q.lo && at < q.hi) {
                for (int k = 0; k < 4; k++)
                    wr8l(4u * v + k, q.ivt[4 * v + k]);
                dbg("restored vector %02X after child exit\n", v);
            }
        }
    }
    return DOSERR_NONE;
}

void dos_terminate(int code, int stay_resident)
{
    code &= 0xFF;
    if (proc_depth == 0) {
        dos_exit_code = code;
        host_exit(code);
    }
    if (stay_resident) {
        dos_last_exit = RESIDENT_EXIT + code;
    } else {
        dos_last_exit = code;
        uint16_t psp = dos_cur_psp;
        int n = psp_jft_size(psp);
        for (int h = 0; h < n && h < 0x100; h++)
            if (jft_get(h) >= 0)
                dos_close(h);
        uint32_t jft = psp_jft_lin(psp);
        for (int h = 0; h < n && h < 0x100; h++)
            wr8l(jft + h, JFT_CLOSED);
        for (int i = 0; i < 3; i++) {
            wr16l(4u * (0x22 + i), rd16(psp, (uint16_t)(PSP_INT22 + 4 * i)));
            wr16l(4u * (0x22 + i) + 2, rd16(psp, (uint16_t)(PSP_INT22 + 4 * i + 2)));
        }
        dos_free_owned(psp);
    }
    Proc &p = load.procs[proc_depth - 1];
    p.resident = stay_resident;
    longjmp(p.back, 1);
}

// ---- start and the top level -------------------------------------------------

static void int_nothing(void) {}

static void int20(void)
{
    dos_terminate(0, 0);
}

static void int24(void)
{
    AL = 3;     // fail the operation
}

static void int27(void)
{
    uint16_t keep = (uint16_t)((DX + 15u) / 16);
    dos_resize(dos_cur_psp, keep, nullptr);
    dos_terminate(0, 1);
}

static void int29(void)
{
    dos_con_putc(AL);
}

void dos_init(const char *root)
{
    snprintf(dos_root, sizeof dos_root, "%s", root);
    dos_cwd[0] = 0;
    proc_depth = 0;
    dos_last_exit = dos_exit_code = 0;
    dos_first_mcb = FIRST_MCB_DEFAULT;
    if (const char *v = getenv("VRK_FIRST_MCB")) {
        char *end;
        unsigned long seg = strtoul(v, &end, 16);
        if (end != v && seg > 0x40 && seg < 0x9000)
            dos_first_mcb = (uint16_t)seg;
    }
    sft_reset();
    find_reset();
    dos_int21_reset();
    patch_reset();
    wr16l(FIRST_MCB_LIN, dos_first_mcb);
    wr8l(LIST_OF_LISTS_BYTE, 0);
    mcb_set(dos_first_mcb, MCB_LAST, DOS_OWNER_FREE, (uint16_t)(DOS_MEM_END - dos_first_mcb - 1));

    master_env = dos_alloc(MASTER_ENV_PARAS, DOS_OWNER_DOS, nullptr);
    uint16_t o = 0;
    for (const char *v : master_vars) {
        for (const char *s = v; *s; s++)
            wr8(master_env, o++, (uint8_t)*s);
        wr8(master_env, o++, 0);
    }
    wr8(master_env, o, 0);

    dos_cur_psp = 0;
    uint16_t psp = dos_alloc(PSP_PARAS, DOS_OWNER_DOS, nullptr);
    build_psp(psp, 0, master_env, FIRST_PSP_MEMTOP, "");
    set_owner(psp, psp);
    wr16(psp, PSP_PARENT, psp);
    static const uint8_t first_jft[] = {0, 0, 0, 1, 2};
    for (int i = 0; i < JFT_SIZE; i++)
        wr8(psp, (uint16_t)(PSP_JFT + i), i < 5 ? first_jft[i] : (uint8_t)JFT_CLOSED);
    dta_seg = psp;
    dta_off = PSP_TAIL;
    dos_cur_psp = psp;

    hle_set_vector(0x20, int20, "int20");
    hle_set_vector(0x21, dos_int21, "int21");
    hle_set_vector(0x22, int_nothing, "int22");
    hle_set_vector(0x23, int_nothing, "int23");
    hle_set_vector(0x24, int24, "int24");
    hle_set_vector(0x27, int27, "int27");
    hle_set_vector(0x28, int_nothing, "int28");
    hle_set_vector(0x29, int29, "int29");
}

// One line of keys left in the BIOS keyboard buffer; 0 when none is complete.
static int typed_line(char *out)
{
    uint16_t start = rd16(BIOS_SEG, KBD_START), end = rd16(BIOS_SEG, KBD_END);
    if (!(start >= KBD_MIN_START && start < end && end <= KBD_MAX_END)) {
        start = KBD_DEFAULT_START;
        end = KBD_DEFAULT_END;
    }
    uint16_t head = rd16(BIOS_SEG, KBD_HEAD), tail = rd16(BIOS_SEG, KBD_TAIL);
    int n = 0;
    while (head != tail) {
        uint8_t ch = rd8(BIOS_SEG, head);
        head = (uint16_t)(head + 2);
        if (head >= end)
            head = start;
        if (ch == '\r') {
            out[n] = 0;
            wr16(BIOS_SEG, KBD_HEAD, head);
            return 1;
        }
        if (ch > 0x1F)
            out[n++] = (char)ch;
        if (n > TYPED_LINE_MAX)
            return 0;
    }
    return 0;
}

int dos_run_program(const char *dosname, const char *tail)
{
    if (proc_depth)
        fatal("dos_run_program while running");
    DosStart st;
    int err = dos_exec(dosname, tail, 0, 0, &st);
    if (err) {
        fprintf(stderr, "cannot run %s: DOS error %d\n", dosname, err);
        return -1;
    }
    char line[TYPED_LINE_MAX + 2];
    for (int i = 0; i < TYPED_LINES_MAX && typed_line(line); i++) {
        if (!line[0])
            continue;
        dbg("typed ahead: %s\n", line);
        char cmd[TYPED_LINE_MAX + 8];
        snprintf(cmd, sizeof cmd, " /c %s", line);
        dos_exec("COMMAND.COM", cmd, 0, 0, &st);
    }
    return dos_last_exit & 0xFF;
}
