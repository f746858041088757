// Directory searches. A find-first lists the whole host directory at once
// into one of 16 search slots, sorted by name; the DTA then only carries the
// slot number, and each find-next copies the slot's next entry into it.
// Slots are taken in turn, so up to 16 searches can be interleaved.
#include "dos/dos.h"

#include "machine/cpu.h"

#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>

uint16_t dta_seg, dta_off;

enum : uint16_t {
    DTA_DRIVE = 0x00,
    DTA_SLOT = 0x01,
    DTA_SIGNATURE = 0x03,
    DTA_ATTR = 0x15,
    DTA_TIME = 0x16,
    DTA_DATE = 0x18,
    DTA_SIZE = 0x1A,
    DTA_NAME = 0x1E,
};

enum : uint8_t {
    ATTR_VOLUME = 0x08,
    ATTR_DIR = 0x10,
    ATTR_FILE = 0x20,
    SIGNATURE_0 = 0x53,
    SIGNATURE_1 = 0x47,
};

enum {
    PATTERN_MAX = 63,
    DOS_EPOCH_YEAR = 1980,
    DATE_BEFORE_EPOCH = 0x0021,     // 1980-01-01
};

static const char volume_label[] = "VRK";

static struct {
    SearchSlot slot[SEARCH_SLOTS];
    unsigned counter;
} find;

void find_reset(void)
{
    memset(&find, 0, sizeof find);
}

void dos_stamp(long t, uint16_t *time, uint16_t *date)
{
    time_t tt = (time_t)t;
    struct tm tm;
    if (!localtime_r(&tt, &tm) || tm.tm_year + 1900 < DOS_EPOCH_YEAR) {
        *time = 0;
        *date = DATE_BEFORE_EPOCH;
        return;
    }
    *time = (uint16_t)(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    *date = (uint16_t)((tm.tm_year + 1900 - DOS_EPOCH_YEAR) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

void fill_dta(int slot, int index)
{
    const SearchEntry &e = find.slot[slot].entry[index];
    wr8(dta_seg, (uint16_t)(dta_off + DTA_ATTR), e.attr);
    wr16(dta_seg, (uint16_t)(dta_off + DTA_TIME), e.time);
    wr16(dta_seg, (uint16_t)(dta_off + DTA_DATE), e.date);
    wr32(dta_seg, (uint16_t)(dta_off + DTA_SIZE), e.size);
    for (int i = 0; i < DOS_NAME83_MAX; i++)
        wr8(dta_seg, (uint16_t)(dta_off + DTA_NAME + i), 0);
    for (int i = 0; e.name[i]; i++)
        wr8(dta_seg, (uint16_t)(dta_off + DTA_NAME + i), (uint8_t)e.name[i]);
}

static void upcase_text(char *s)
{
    for (; *s; s++)
        *s = (char)dos_upcase((uint8_t)*s);
}

// Lists a host directory into a slot: valid 8.3 names that match.
static void list_into(SearchSlot &s, const char *hostdir, const char *pattern, uint8_t attributes,
                      int at_root)
{
    DIR *d = opendir(hostdir);
    if (!d)
        return;
    char dosname[DOS_ARG_MAX + 1], path[HOST_PATH_MAX + DOS_ARG_MAX];
    while (struct dirent *e = readdir(d)) {
        if (s.count >= SEARCH_ENTRIES)
            break;
        name_host_to_dos(e->d_name, dosname);
        upcase_text(dosname);
        if (!valid83(dosname) || !match83(pattern, dosname))
            continue;
        int dots = strcmp(dosname, ".") == 0 || strcmp(dosname, "..") == 0;
        if (dots && at_root)
            continue;
        snprintf(path, sizeof path, "%s/%s", hostdir, e->d_name);
        struct stat st;
        if (stat(path, &st) != 0)
            continue;
        int dir = S_ISDIR(st.st_mode);
        if (dir && !(attributes & ATTR_DIR))
            continue;
        SearchEntry &n = s.entry[s.count++];
        snprintf(n.name, sizeof n.name, "%.12s", dosname);
        n.attr = dir ? ATTR_DIR : ATTR_FILE;
        n.size = dir ? 0 : (uint32_t)st.st_size;
        dos_stamp((long)st.st_mtime, &n.time, &n.date);
    }
    closedir(d);
}

static void sort_slot(SearchSlot &s)
{
    for (int i = 1; i < s.count; i++) {
        SearchEntry e = s.entry[i];
        int j = i;
        while (j > 0 && strcmp(s.entry[j - 1].name, e.name) > 0) {
            s.entry[j] = s.entry[j - 1];
            j--;
        }
        s.entry[j] = e;
    }
}

int find_list(const char *dospattern, uint8_t attributes, SearchSlot *s)
{
    s->count = s->next = 0;
    if (attributes == ATTR_VOLUME) {
        SearchEntry &e = s->entry[s->count++];
        memset(&e, 0, sizeof e);
        snprintf(e.name, sizeof e.name, "%s", volume_label);
        e.attr = ATTR_VOLUME;
        return DOSERR_NONE;
    }
    char norm[DOS_PATH_MAX], dir[DOS_PATH_MAX], pattern[PATTERN_MAX + 1];
    dos_normalize(dospattern, norm);
    char *slash = strrchr(norm, '\\');
    snprintf(pattern, sizeof pattern, "%s", slash + 1);
    *slash = 0;
    snprintf(dir, sizeof dir, "%s", strcmp(norm, "C:") == 0 ? "C:\\" : norm);
    char host[HOST_PATH_MAX];
    if (dos_resolve_host(dir, host, sizeof host, 1))
        return DOSERR_PATH_NOT_FOUND;
    list_into(*s, host, pattern, attributes, strcmp(dir, "C:\\") == 0);
    sort_slot(*s);
    return DOSERR_NONE;
}

int find_first(const char *dospattern, uint8_t attributes)
{
    int n = (int)(find.counter++ % SEARCH_SLOTS);
    SearchSlot &s = find.slot[n];
    if (int err = find_list(dospattern, attributes, &s))
        return err;

    wr8(dta_seg, (uint16_t)(dta_off + DTA_DRIVE), 'C');
    wr16(dta_seg, (uint16_t)(dta_off + DTA_SLOT), (uint16_t)n);
    wr8(dta_seg, (uint16_t)(dta_off + DTA_SIGNATURE), SIGNATURE_0);
    wr8(dta_seg, (uint16_t)(dta_off + DTA_SIGNATURE + 1), SIGNATURE_1);
    if (!s.count)
        return DOSERR_FILE_NOT_FOUND;
    fill_dta(n, 0);
    s.next = 1;
    return DOSERR_NONE;
}

int find_next(void)
{
    uint16_t n = rd16(dta_seg, (uint16_t)(dta_off + DTA_SLOT));
    if (n >= SEARCH_SLOTS || rd8(dta_seg, (uint16_t)(dta_off + DTA_SIGNATURE)) != SIGNATURE_0 ||
        rd8(dta_seg, (uint16_t)(dta_off + DTA_SIGNATURE + 1)) != SIGNATURE_1)
        return DOSERR_NO_MORE_FILES;
    SearchSlot &s = find.slot[n];
    if (s.next >= s.count)
        return DOSERR_NO_MORE_FILES;
    fill_dta(n, s.next++);
    return DOSERR_NONE;
}

int shell_list_dir(const char *hostdir, const char *pattern, char (*names)[DOS_NAME83_MAX], int max)
{
    DIR *d = opendir(hostdir);
    if (!d)
        return 0;
    int count = 0;
    char dosname[DOS_ARG_MAX + 1], path[HOST_PATH_MAX + DOS_ARG_MAX];
    while (count < max) {
        struct dirent *e = readdir(d);
        if (!e)
            break;
        name_host_to_dos(e->d_name, dosname);
        upcase_text(dosname);
        if (!valid83(dosname) || !match83(pattern, dosname))
            continue;
        snprintf(path, sizeof path, "%s/%s", hostdir, e->d_name);
        struct stat st;
        if (stat(path, &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        snprintf(names[count++], DOS_NAME83_MAX, "%.12s", dosname);
    }
    closedir(d);
    return count;
}
