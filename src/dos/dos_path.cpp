// DOS names over the host folder of drive C:.
//
// Every operation works on the normalised form C:\DIR\NAME.EXT (upper case,
// no "." or "..", at most 64 components). A normalised path is resolved to a
// host path one component at a time by listing each host directory and
// comparing the entries' names as DOS sees them (code page 437, upper case),
// so host names of any letter case are found. ".." can never climb above the
// root because it is consumed while normalising; symbolic links are checked
// separately before anything is written.
#include "dos/dos.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

char dos_root[DOS_ROOT_MAX];
char dos_cwd[DOS_CWD_MAX];

// Unicode code points of the code page 437 bytes 80h-FFh.
static const uint16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // A0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, // D8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, // E0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, // E8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, // F8
};

// The lower-case letters of the upper half that DOS upper-cases.
static const uint8_t upcase_high[][2] = {
    {0x81, 0x9A}, {0x82, 0x90}, {0x84, 0x8E}, {0x86, 0x8F},
    {0x87, 0x80}, {0x91, 0x92}, {0x94, 0x99}, {0xA4, 0xA5},
};

struct DeviceRow {
    const char *name;
    int kind;
};

static const DeviceRow devices[] = {
    {"CON", SFT_CON}, {"NUL", SFT_NUL}, {"EMMXXXX0", SFT_NUL}, {"PRN", SFT_PRN},
    {"LPT1", SFT_PRN}, {"AUX", SFT_AUX}, {"COM1", SFT_AUX},
};

enum {
    NAME83_BASE = 8,
    NAME83_EXT = 3,
    NORM_WORK_MAX = 1024,
    UTF8_MAX = 4,
};

uint8_t dos_upcase(uint8_t c)
{
    if (c >= 'a' && c <= 'z')
        return (uint8_t)(c - 'a' + 'A');
    if (c >= 0x80)
        for (const auto &row : upcase_high)
            if (row[0] == c)
                return row[1];
    return c;
}

static void upcase_text(char *s)
{
    for (; *s; s++)
        *s = (char)dos_upcase((uint8_t)*s);
}

void cp437_to_utf8(uint8_t c, char *out)
{
    uint16_t u = c < 0x80 ? c : cp437_high[c - 0x80];
    if (u < 0x80) {
        out[0] = (char)u;
        out[1] = 0;
    } else if (u < 0x800) {
        out[0] = (char)(0xC0 | u >> 6);
        out[1] = (char)(0x80 | (u & 0x3F));
        out[2] = 0;
    } else {
        out[0] = (char)(0xE0 | u >> 12);
        out[1] = (char)(0x80 | ((u >> 6) & 0x3F));
        out[2] = (char)(0x80 | (u & 0x3F));
        out[3] = 0;
    }
}

static int cp437_of(uint32_t u)
{
    for (int i = 0; i < 128; i++)
        if (cp437_high[i] == u)
            return 0x80 + i;
    return -1;
}

void dos_normalize(const char *dospath, char *out)
{
    char work[NORM_WORK_MAX];
    while (*dospath == ' ')
        dospath++;
    if (dospath[0] && dospath[1] == ':')
        dospath += 2;
    if (dospath[0] == '\\' || dospath[0] == '/')
        snprintf(work, sizeof work, "%s", dospath);
    else
        snprintf(work, sizeof work, "%s\\%s", dos_cwd, dospath);
    upcase_text(work);

    char comp[DOS_COMPONENTS_MAX][DOS_COMPONENT_MAX + 1];
    int n = 0;
    char *p = work;
    for (;;) {
        char *end = p + strcspn(p, "\\/");
        char sep = *end;
        *end = 0;
        size_t len = strlen(p);
        while (len && p[len - 1] == ' ')
            p[--len] = 0;
        if (strcmp(p, "..") == 0) {
            if (n)
                n--;
        } else if (len && strcmp(p, ".") != 0) {
            while (len && p[len - 1] == '.')
                p[--len] = 0;
            // A component made only of dots names the directory itself.
            if (len && n < DOS_COMPONENTS_MAX)
                snprintf(comp[n++], DOS_COMPONENT_MAX + 1, "%s", p);
        }
        if (!sep)
            break;
        p = end + 1;
    }

    size_t o = 2;
    memcpy(out, "C:", 3);
    for (int i = 0; i < n; i++) {
        size_t len = strlen(comp[i]);
        if (o + 1 + len >= DOS_PATH_MAX)
            break;      // the rest does not fit a DOS path
        out[o++] = '\\';
        memcpy(out + o, comp[i], len + 1);
        o += len;
    }
    if (o == 2)
        memcpy(out, "C:\\", 4);
}

void name_host_to_dos(const char *hostname, char *out)
{
    const uint8_t *s = (const uint8_t *)hostname;
    size_t o = 0;
    auto put = [&](int c) {
        if (o < DOS_ARG_MAX)
            out[o++] = (char)c;
    };
    while (*s && o < DOS_ARG_MAX) {
        uint8_t c = *s;
        if (c < 0x80) {
            put(c);
            s++;
            continue;
        }
        int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
        uint32_t u = len == 2 ? (c & 0x1Fu) : (c & 0x0Fu);
        int ok = len != 0;
        for (int i = 1; ok && i < len; i++) {
            if ((s[i] & 0xC0) != 0x80)
                ok = 0;
            else
                u = u << 6 | (s[i] & 0x3Fu);
        }
        // Overlong forms are malformed too.
        if (ok && ((len == 2 && u < 0x80) || (len == 3 && u < 0x800)))
            ok = 0;
        if (!ok) {
            put('_');
            s++;
            continue;
        }
        int b = u < 0x80 ? (int)u : cp437_of(u);
        put(b < 0 ? '_' : b);
        s += len;
    }
    out[o] = 0;
}

int dos_name_matches_host(const char *dosname, const char *hostname)
{
    char a[DOS_ARG_MAX + 1], b[DOS_ARG_MAX + 1];
    snprintf(a, sizeof a, "%s", dosname);
    name_host_to_dos(hostname, b);
    upcase_text(a);
    upcase_text(b);
    return strcmp(a, b) == 0;
}

int valid83(const char *name)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 1;
    if (name[0] == '.')
        return 0;
    const char *dot = strchr(name, '.');
    if (!dot)
        return strlen(name) <= NAME83_BASE;
    if (dot - name > NAME83_BASE || strlen(dot + 1) > NAME83_EXT)
        return 0;
    return strchr(dot + 1, '.') == nullptr;
}

// The 11-byte blank-padded form of a name or pattern, "*" filling its field
// with "?".
static void expand83(const char *s, char field[11])
{
    memset(field, ' ', 11);
    int i = 0;
    for (; *s && *s != '.'; s++) {
        if (*s == '*') {
            while (i < NAME83_BASE)
                field[i++] = '?';
        } else if (i < NAME83_BASE)
            field[i++] = *s;
    }
    const char *dot = strchr(s, '.');
    if (!dot)
        return;
    i = NAME83_BASE;
    for (s = dot + 1; *s && *s != '.'; s++) {
        if (*s == '*') {
            while (i < NAME83_BASE + NAME83_EXT)
                field[i++] = '?';
        } else if (i < NAME83_BASE + NAME83_EXT)
            field[i++] = *s;
    }
}

int match83(const char *pattern, const char *name)
{
    char p[11], n[11];
    expand83(pattern, p);
    expand83(name, n);
    for (int i = 0; i < 11; i++)
        if (p[i] != '?' && p[i] != n[i])
            return 0;
    return 1;
}

int is_device(const char *path)
{
    const char *last = path;
    for (const char *s = path; *s; s++)
        if (*s == '\\' || *s == '/' || *s == ':')
            last = s + 1;
    char name[DOS_COMPONENT_MAX + 1];
    size_t n = strcspn(last, ".");
    if (n > DOS_COMPONENT_MAX)
        return 0;
    memcpy(name, last, n);
    name[n] = 0;
    upcase_text(name);
    for (const DeviceRow &d : devices)
        if (strcmp(name, d.name) == 0)
            return d.kind;
    return 0;
}

static int append_host(char *out, size_t outsz, const char *name)
{
    size_t n = strlen(out);
    int need = snprintf(out + n, outsz - n, "%s%s", n && out[n - 1] == '/' ? "" : "/", name);
    return need >= 0 && (size_t)need < outsz - n;
}

// The host entry of dir whose DOS name is comp, into found.
static int find_host_entry(const char *dir, const char *comp, char *found, size_t foundsz)
{
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    int hit = 0;
    char dosname[DOS_ARG_MAX + 1];
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        name_host_to_dos(e->d_name, dosname);
        upcase_text(dosname);
        if (strcmp(dosname, comp) == 0) {
            snprintf(found, foundsz, "%s", e->d_name);
            hit = 1;
            break;
        }
    }
    closedir(d);
    return hit;
}

int dos_resolve_host(const char *normpath, char *out, size_t outsz, int must_exist)
{
    snprintf(out, outsz, "%s", dos_root[0] ? dos_root : ".");
    const char *p = normpath;
    if (p[0] && p[1] == ':')
        p += 2;
    while (*p == '\\')
        p++;
    while (*p) {
        char comp[DOS_PATH_MAX];
        size_t n = strcspn(p, "\\");
        if (n >= sizeof comp)
            return DOSERR_PATH_NOT_FOUND;
        memcpy(comp, p, n);
        comp[n] = 0;
        p += n;
        while (*p == '\\')
            p++;
        int last = *p == 0;

        char host[NAME_MAX + 1];
        if (find_host_entry(out, comp, host, sizeof host)) {
            if (!append_host(out, outsz, host))
                return DOSERR_PATH_NOT_FOUND;
            continue;
        }
        if (!last)
            return DOSERR_PATH_NOT_FOUND;
        // A new name: DOS characters above 7Fh become their UTF-8 forms.
        char name[DOS_PATH_MAX * 3];
        size_t o = 0;
        for (const uint8_t *s = (const uint8_t *)comp; *s; s++) {
            char u[UTF8_MAX];
            cp437_to_utf8(*s, u);
            size_t l = strlen(u);
            memcpy(name + o, u, l);
            o += l;
        }
        name[o] = 0;
        append_host(out, outsz, name);
        return must_exist ? DOSERR_FILE_NOT_FOUND : DOSERR_NONE;
    }
    return DOSERR_NONE;
}

char *dos_host_path(const char *dospath, int create, char *out, size_t outsz)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    return dos_resolve_host(norm, out, outsz, !create) ? nullptr : out;
}

static int host_kind(const char *dospath, int want_dir)
{
    char norm[DOS_PATH_MAX], host[HOST_PATH_MAX];
    dos_normalize(dospath, norm);
    if (dos_resolve_host(norm, host, sizeof host, 1))
        return 0;
    struct stat st;
    if (stat(host, &st) != 0)
        return 0;
    return want_dir ? S_ISDIR(st.st_mode) : !S_ISDIR(st.st_mode);
}

int dos_file_on_disk(const char *dospath)
{
    return host_kind(dospath, 0);
}

int dos_file_exists(const char *dospath)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    return is_device(norm) || dos_file_on_disk(norm);
}

int dos_chdir(const char *dospath)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    // A directory too deep for the current-directory text cannot be entered.
    if (!host_kind(norm, 1) || strlen(norm + 2) >= sizeof dos_cwd)
        return DOSERR_PATH_NOT_FOUND;
    if (strcmp(norm, "C:\\") == 0)
        dos_cwd[0] = 0;
    else
        memcpy(dos_cwd, norm + 2, strlen(norm + 2) + 1);
    return DOSERR_NONE;
}

static int inside(const char *real, const char *root)
{
    size_t n = strlen(root);
    if (n == 1 && root[0] == '/')
        return 1;
    return strncmp(real, root, n) == 0 && (real[n] == 0 || real[n] == '/');
}

int dos_host_writable(const char *hostpath)
{
    char root[PATH_MAX], real[PATH_MAX];
    if (!realpath(dos_root[0] ? dos_root : ".", root))
        return 0;
    struct stat st;
    if (lstat(hostpath, &st) == 0) {
        // An existing name is written through: it and every link on the way
        // must stay inside. A dangling link resolves nowhere and is refused.
        if (!realpath(hostpath, real))
            return 0;
        return inside(real, root);
    }
    char parent[HOST_PATH_MAX];
    snprintf(parent, sizeof parent, "%s", hostpath);
    char *slash = strrchr(parent, '/');
    if (!slash)
        snprintf(parent, sizeof parent, ".");
    else if (slash == parent)
        parent[1] = 0;
    else
        *slash = 0;
    if (!realpath(parent, real))
        return 0;
    return inside(real, root);
}
