// The file control block services of INT 21h (0Fh-17h, 21h-24h, 27h-29h),
// which older compilers, linkers and assemblers use instead of handles.
// An opened FCB owns a record of the system file table, whose number is kept
// in the FCB's reserved bytes; it is not in the program's handle table.
// Records are read and written at the DTA. An extended FCB (first byte FFh)
// carries a search attribute and the ordinary FCB seven bytes later.
#include "dos/dos.h"

#include "machine/cpu.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// Offsets in an ordinary FCB.
enum : uint16_t {
    FCB_DRIVE = 0x00,
    FCB_NAME = 0x01,            // 8 name and 3 extension characters, blank-padded
    FCB_BLOCK = 0x0C,           // current block of 128 records
    FCB_RECSIZE = 0x0E,
    FCB_SIZE = 0x10,
    FCB_DATE = 0x14,
    FCB_TIME = 0x16,
    FCB_SFT = 0x18,             // reserved: the system file table record
    FCB_MARK = 0x19,            // reserved: FCB_OPEN while that record is ours
    FCB_RECORD = 0x20,          // current record in the block
    FCB_RANDOM = 0x21,          // random record number
    FCB_NEW_NAME = 0x11,        // rename: the new name
    FCB_NAME_LEN = 11,
    EXT_FCB_HEADER = 7,
    EXT_FCB_ATTR = 6,
};

enum : uint8_t {
    EXT_FCB_FLAG = 0xFF,
    FCB_OPEN = 0xA5,
    DRIVE_DEFAULT = 0,
    DRIVE_C = 3,
    FCB_OK = 0x00,
    FCB_EOF = 0x01,             // nothing read / disk full on write
    FCB_WRAP = 0x02,            // the record would cross the end of the DTA segment
    FCB_PARTIAL = 0x03,         // a part record read, padded with zeros
    FCB_FAIL = 0xFF,
    ATTR_NORMAL = 0x00,
    ATTR_FILE = 0x20,
};

enum {
    RECORDS_PER_BLOCK = 128,
    DEFAULT_RECSIZE = 128,
    SMALL_RECORD = 64,          // below this the random record has 4 bytes, else 3
    FIND_DIR_ENTRY = 32,
};

// Function 29h's flags in AL.
enum : uint8_t {
    PARSE_SKIP_SEPARATORS = 0x01,
    PARSE_KEEP_DRIVE = 0x02,
    PARSE_KEEP_NAME = 0x04,
    PARSE_KEEP_EXT = 0x08,
};

enum { TRANSFER_MAX = 0x10000 };   // one DTA segment

static struct {
    SearchSlot search;          // the FCB directory search of 11h/12h
    uint8_t buf[TRANSFER_MAX];
} fcb;

// The ordinary FCB at DS:DX and the search attribute of an extended one.
static uint32_t fcb_at(uint8_t *attr)
{
    uint32_t lin = LIN(DS, DX);
    *attr = ATTR_NORMAL;
    if (rd8l(lin) == EXT_FCB_FLAG) {
        *attr = rd8l(lin + EXT_FCB_ATTR);
        lin += EXT_FCB_HEADER;
    }
    return lin;
}

// "NAME.EXT" of the 11 characters at lin; 0 when the drive is not C:.
static int fcb_name(uint32_t drive_lin, uint32_t name_lin, char *out)
{
    uint8_t d = rd8l(drive_lin);
    if (d != DRIVE_DEFAULT && d != DRIVE_C)
        return 0;
    int n = 0;
    for (int i = 0; i < 8; i++)
        out[n++] = (char)rd8l(name_lin + i);
    while (n > 0 && out[n - 1] == ' ')
        n--;
    int dot = n;
    out[n++] = '.';
    for (int i = 8; i < FCB_NAME_LEN; i++)
        out[n++] = (char)rd8l(name_lin + i);
    while (n > 0 && out[n - 1] == ' ')
        n--;
    if (n == dot + 1)
        n = dot;
    out[n] = 0;
    return n > 0;
}

static int has_wildcard(const char *s)
{
    return strchr(s, '?') != nullptr || strchr(s, '*') != nullptr;
}

static uint16_t recsize_of(uint32_t f)
{
    uint16_t r = rd16l(f + FCB_RECSIZE);
    return r ? r : (uint16_t)DEFAULT_RECSIZE;
}

// The system file table record of an opened FCB, or -1.
static int fcb_sft(uint32_t f)
{
    uint8_t i = rd8l(f + FCB_SFT);
    if (rd8l(f + FCB_MARK) != FCB_OPEN || i >= SFT_SIZE || sft[i].kind != SFT_FILE || !sft[i].stream)
        return -1;
    return i;
}

static uint32_t random_record(uint32_t f)
{
    uint32_t r = rd32l(f + FCB_RANDOM);
    return recsize_of(f) >= SMALL_RECORD ? r & 0xFFFFFF : r;
}

static void set_random_record(uint32_t f, uint32_t r)
{
    wr16l(f + FCB_RANDOM, (uint16_t)r);
    wr8l(f + FCB_RANDOM + 2, (uint8_t)(r >> 16));
    if (recsize_of(f) < SMALL_RECORD)
        wr8l(f + FCB_RANDOM + 3, (uint8_t)(r >> 24));
}

static uint32_t current_record(uint32_t f)
{
    return (uint32_t)rd16l(f + FCB_BLOCK) * RECORDS_PER_BLOCK + rd8l(f + FCB_RECORD);
}

static void set_current_record(uint32_t f, uint32_t r)
{
    wr16l(f + FCB_BLOCK, (uint16_t)(r / RECORDS_PER_BLOCK));
    wr8l(f + FCB_RECORD, (uint8_t)(r % RECORDS_PER_BLOCK));
}

// Detaches a freshly opened handle from the program's table: the FCB keeps
// its file table record instead.
static void adopt(uint32_t f, int handle)
{
    int i = jft_get(handle);
    wr8l(psp_jft_lin(dos_cur_psp) + (uint32_t)handle, JFT_CLOSED);
    struct stat st;
    uint16_t time = 0, date = 0;
    uint32_t size = 0;
    if (fstat(fileno(sft[i].stream), &st) == 0) {
        size = (uint32_t)st.st_size;
        dos_stamp((long)st.st_mtime, &time, &date);
    }
    if (rd8l(f + FCB_DRIVE) == DRIVE_DEFAULT)
        wr8l(f + FCB_DRIVE, DRIVE_C);
    wr16l(f + FCB_BLOCK, 0);
    wr16l(f + FCB_RECSIZE, DEFAULT_RECSIZE);
    wr32l(f + FCB_SIZE, size);
    wr16l(f + FCB_DATE, date);
    wr16l(f + FCB_TIME, time);
    wr8l(f + FCB_SFT, (uint8_t)i);
    wr8l(f + FCB_MARK, FCB_OPEN);
}

static uint8_t fcb_open(uint32_t f, int create)
{
    char name[DOS_NAME83_MAX + 1];
    if (!fcb_name(f + FCB_DRIVE, f + FCB_NAME, name) || has_wildcard(name))
        return FCB_FAIL;
    int h = 0;
    int err = create ? dos_create(name, &h, 0) : dos_open(name, ACCESS_RW, &h);
    if (err == DOSERR_ACCESS_DENIED && !create)
        err = dos_open(name, ACCESS_READ, &h);
    if (err)
        return FCB_FAIL;
    adopt(f, h);
    return FCB_OK;
}

static uint8_t fcb_close(uint32_t f)
{
    int i = fcb_sft(f);
    if (i < 0)
        return FCB_FAIL;
    sft_release(i);
    wr8l(f + FCB_MARK, 0);
    return FCB_OK;
}

// Reads or writes count records from record number rec at the DTA; *done
// gets the whole records moved.
static uint8_t transfer(uint32_t f, uint32_t rec, uint32_t count, int writing, uint32_t *done)
{
    *done = 0;
    int i = fcb_sft(f);
    if (i < 0)
        return FCB_EOF;
    SftRecord &r = sft[i];
    uint32_t size = recsize_of(f);
    if ((uint64_t)dta_off + (uint64_t)size * count > TRANSFER_MAX)
        return FCB_WRAP;
    if (writing && r.mode == ACCESS_READ)
        return FCB_EOF;
    r.last_write = -1;
    if (fseek(r.stream, (long)((uint64_t)rec * size), SEEK_SET) != 0)
        return FCB_EOF;
    uint8_t *buf = fcb.buf;
    uint32_t bytes = size * count;
    uint32_t lin = LIN(dta_seg, dta_off);
    if (writing) {
        for (uint32_t k = 0; k < bytes; k++)
            buf[k] = rd8l(lin + k);
        size_t put = fwrite(buf, 1, bytes, r.stream);
        fflush(r.stream);
        *done = (uint32_t)put / size;
        long end = ftell(r.stream);
        if (end > (long)rd32l(f + FCB_SIZE))
            wr32l(f + FCB_SIZE, (uint32_t)end);
        return put == bytes ? FCB_OK : FCB_EOF;
    }
    size_t got = fread(buf, 1, bytes, r.stream);
    uint32_t whole = (uint32_t)got / size, part = (uint32_t)got % size;
    if (part)
        memset(buf + got, 0, size - part);
    uint32_t shown = (whole + (part ? 1 : 0)) * size;
    for (uint32_t k = 0; k < shown; k++)
        wr8l(lin + k, buf[k]);
    *done = whole + (part ? 1 : 0);
    if (got == bytes)
        return FCB_OK;
    return part ? FCB_PARTIAL : FCB_EOF;
}

static uint8_t sequential(uint32_t f, int writing)
{
    uint32_t rec = current_record(f), done = 0;
    uint8_t rc = transfer(f, rec, 1, writing, &done);
    if (done)
        set_current_record(f, rec + 1);
    return rc;
}

static uint8_t random_one(uint32_t f, int writing)
{
    uint32_t rec = random_record(f), done = 0;
    set_current_record(f, rec);
    return transfer(f, rec, 1, writing, &done);
}

static uint8_t random_block(uint32_t f, int writing)
{
    uint32_t rec = random_record(f), done = 0;
    int i = fcb_sft(f);
    if (writing && CX == 0) {
        // A block write of no records sets the file's size.
        if (i < 0 || sft[i].mode == ACCESS_READ)
            return FCB_EOF;
        uint32_t size = rec * recsize_of(f);
        fflush(sft[i].stream);
        if (ftruncate(fileno(sft[i].stream), size) != 0)
            return FCB_EOF;
        wr32l(f + FCB_SIZE, size);
        return FCB_OK;
    }
    uint8_t rc = transfer(f, rec, CX, writing, &done);
    CX = (uint16_t)done;
    set_random_record(f, rec + done);
    set_current_record(f, rec + done);
    return rc;
}

static uint8_t file_size(uint32_t f)
{
    char name[DOS_NAME83_MAX + 1], norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    if (!fcb_name(f + FCB_DRIVE, f + FCB_NAME, name) || has_wildcard(name))
        return FCB_FAIL;
    dos_normalize(name, norm);
    struct stat st;
    if (dos_resolve_host(norm, host, sizeof host, 1) || stat(host, &st) != 0 || S_ISDIR(st.st_mode))
        return FCB_FAIL;
    uint32_t size = recsize_of(f);
    set_random_record(f, (uint32_t)(((uint64_t)st.st_size + size - 1) / size));
    return FCB_OK;
}

// The blank-padded 11 characters of "NAME.EXT".
static void name_to_fcb(const char *name, char *out)
{
    memset(out, ' ', FCB_NAME_LEN);
    const char *dot = strchr(name, '.');
    size_t n = dot ? (size_t)(dot - name) : strlen(name);
    memcpy(out, name, n < 8 ? n : 8);
    for (int k = 0; dot && dot[1 + k] && k < 3; k++)
        out[8 + k] = dot[1 + k];
}

// The DTA after a successful FCB search: an unopened FCB of the entry (with
// the extended header when the search used one) and its directory entry.
static void fill_find_dta(const SearchEntry &e, int extended, uint8_t attr)
{
    uint32_t d = LIN(dta_seg, dta_off);
    if (extended) {
        wr8l(d, EXT_FCB_FLAG);
        for (int i = 1; i < EXT_FCB_ATTR; i++)
            wr8l(d + i, 0);
        wr8l(d + EXT_FCB_ATTR, attr);
        d += EXT_FCB_HEADER;
    }
    wr8l(d, DRIVE_C);
    for (int i = 0; i < FIND_DIR_ENTRY; i++)
        wr8l(d + 1 + i, 0);
    char name[FCB_NAME_LEN];
    name_to_fcb(e.name, name);
    for (int i = 0; i < FCB_NAME_LEN; i++)
        wr8l(d + 1 + i, (uint8_t)name[i]);
    wr8l(d + 1 + 0x0B, e.attr);
    wr16l(d + 1 + 0x16, e.time);
    wr16l(d + 1 + 0x18, e.date);
    wr32l(d + 1 + 0x1C, e.size);
}

static uint8_t find(int first)
{
    uint8_t attr = 0;
    int extended = rd8l(LIN(DS, DX)) == EXT_FCB_FLAG;
    uint32_t f = fcb_at(&attr);
    if (first) {
        char name[DOS_NAME83_MAX + 1];
        fcb.search.count = fcb.search.next = 0;
        if (!fcb_name(f + FCB_DRIVE, f + FCB_NAME, name) || find_list(name, attr, &fcb.search))
            return FCB_FAIL;
    }
    if (fcb.search.next >= fcb.search.count)
        return FCB_FAIL;
    fill_find_dta(fcb.search.entry[fcb.search.next++], extended, attr);
    return FCB_OK;
}

static uint8_t delete_matching(uint32_t f)
{
    char name[DOS_NAME83_MAX + 1];
    if (!fcb_name(f + FCB_DRIVE, f + FCB_NAME, name) || find_list(name, ATTR_NORMAL, &fcb.search))
        return FCB_FAIL;
    int deleted = 0;
    for (int i = 0; i < fcb.search.count; i++)
        deleted += dos_delete(fcb.search.entry[i].name) == DOSERR_NONE;
    fcb.search.count = fcb.search.next = 0;
    return deleted ? FCB_OK : FCB_FAIL;
}

// Rename: a "?" of the new name keeps the old name's character there.
static uint8_t rename_matching(uint32_t f)
{
    char name[DOS_NAME83_MAX + 1];
    if (!fcb_name(f + FCB_DRIVE, f + FCB_NAME, name) || find_list(name, ATTR_NORMAL, &fcb.search))
        return FCB_FAIL;
    int renamed = 0;
    for (int i = 0; i < fcb.search.count; i++) {
        const char *old = fcb.search.entry[i].name;
        char oldfcb[FCB_NAME_LEN], newfcb[FCB_NAME_LEN];
        name_to_fcb(old, oldfcb);
        for (int k = 0; k < FCB_NAME_LEN; k++) {
            uint8_t c = rd8l(f + FCB_NEW_NAME + (uint32_t)k);
            newfcb[k] = c == '?' ? oldfcb[k] : (char)dos_upcase(c);
        }
        char newname[DOS_NAME83_MAX + 1];
        int m = 0;
        for (int k = 0; k < 8 && newfcb[k] != ' '; k++)
            newname[m++] = newfcb[k];
        if (newfcb[8] != ' ') {
            newname[m++] = '.';
            for (int k = 8; k < FCB_NAME_LEN && newfcb[k] != ' '; k++)
                newname[m++] = newfcb[k];
        }
        newname[m] = 0;
        char on[DOS_PATH_MAX], oh[HOST_PATH_MAX], nn[DOS_PATH_MAX], nh[HOST_PATH_MAX];
        dos_normalize(old, on);
        dos_normalize(newname, nn);
        if (!m || !valid83(newname) || dos_resolve_host(on, oh, sizeof oh, 1) ||
            dos_resolve_host(nn, nh, sizeof nh, 0) || dos_file_on_disk(newname))
            continue;
        if (dos_host_writable(oh) && dos_host_writable(nh) && rename(oh, nh) == 0)
            renamed++;
    }
    fcb.search.count = fcb.search.next = 0;
    return renamed ? FCB_OK : FCB_FAIL;
}

// ---- function 29h: parse a file name into an FCB ------------------------------

static int parse_separator(uint8_t c)
{
    return c && strchr(":.;,=+", c) != nullptr;
}

static int parse_terminator(uint8_t c)
{
    return c < 0x21 || strchr(":.;,=+<>|/\\\"[]", c) != nullptr;
}

// Takes up to width characters of a name part at DS:SI into the FCB; "*"
// fills the rest with "?". Returns whether the part held a wildcard; *any
// whether there was a part at all.
static int parse_part(uint32_t out, int width, int keep, int *any)
{
    uint8_t c = rd8(DS, SI);
    *any = !parse_terminator(c) || c == '*' || c == '?';
    if (!*any) {
        if (!keep)
            for (int i = 0; i < width; i++)
                wr8l(out + i, ' ');
        return 0;
    }
    for (int i = 0; i < width; i++)
        wr8l(out + i, ' ');
    int wild = 0, n = 0;
    for (;;) {
        c = rd8(DS, SI);
        if (c == '*') {
            for (; n < width; n++)
                wr8l(out + n, '?');
            wild = 1;
            SI++;
            continue;
        }
        if (c != '?' && parse_terminator(c))
            break;
        if (n < width)
            wr8l(out + n++, dos_upcase(c));
        wild |= c == '?';
        SI++;
    }
    return wild;
}

static void parse_name(void)
{
    uint8_t flags = AL;
    uint32_t f = LIN(ES, DI);
    while (rd8(DS, SI) == ' ' || rd8(DS, SI) == '\t')
        SI++;
    if ((flags & PARSE_SKIP_SEPARATORS) && parse_separator(rd8(DS, SI))) {
        SI++;
        while (rd8(DS, SI) == ' ' || rd8(DS, SI) == '\t')
            SI++;
    }
    uint8_t result = FCB_OK;
    uint8_t c0 = dos_upcase(rd8(DS, SI));
    if (c0 >= 'A' && c0 <= 'Z' && rd8(DS, (uint16_t)(SI + 1)) == ':') {
        uint8_t drive = (uint8_t)(c0 - 'A' + 1);
        if (drive != DRIVE_C)
            result = FCB_FAIL;
        wr8l(f + FCB_DRIVE, drive);
        SI += 2;
    } else if (!(flags & PARSE_KEEP_DRIVE)) {
        wr8l(f + FCB_DRIVE, DRIVE_DEFAULT);
    }
    int any = 0, wild = parse_part(f + FCB_NAME, 8, flags & PARSE_KEEP_NAME, &any);
    if (rd8(DS, SI) == '.') {
        SI++;
        wild |= parse_part(f + FCB_NAME + 8, 3, 0, &any);
    } else if (!(flags & PARSE_KEEP_EXT)) {
        for (int i = 0; i < 3; i++)
            wr8l(f + FCB_NAME + 8 + (uint32_t)i, ' ');
    }
    AL = result == FCB_FAIL ? FCB_FAIL : wild ? 1 : 0;
}

// ---- the dispatcher ----------------------------------------------------------

void dos_fcb_call(uint8_t fn)
{
    if (fn == 0x29)
        return parse_name();
    uint8_t attr = 0;
    uint32_t f = fcb_at(&attr);
    switch (fn) {
    case 0x0F: AL = fcb_open(f, 0); break;
    case 0x10: AL = fcb_close(f); break;
    case 0x11: AL = find(1); break;
    case 0x12: AL = find(0); break;
    case 0x13: AL = delete_matching(f); break;
    case 0x14: AL = sequential(f, 0); break;
    case 0x15: AL = sequential(f, 1); break;
    case 0x16: AL = fcb_open(f, 1); break;
    case 0x17: AL = rename_matching(f); break;
    case 0x21: AL = random_one(f, 0); break;
    case 0x22: AL = random_one(f, 1); break;
    case 0x23: AL = file_size(f); break;
    case 0x24: set_random_record(f, current_record(f)); break;
    case 0x27: AL = random_block(f, 0); break;
    case 0x28: AL = random_block(f, 1); break;
    default: break;
    }
}
