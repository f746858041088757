// The built-in command shell behind COMMAND.COM: one command line with
// redirection, the internal commands, programs found on drive C:, and batch
// files with parameters, IF, GOTO, SHIFT, CALL and chaining. Everything it
// prints goes through DOS handle 1, so redirection and the screen see it.
#include "dos/dos.h"

#include "machine/cpu.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    LINE_MAX_USED = 511,
    WORD_MAX = 63,
    MESSAGE_MAX = 1022,
    BATCH_LINES = 1024,
    BATCH_LINE_MAX = 599,
    PARAM_MAX = 127,
    PARAMS = 10,
    EXPAND_MAX = 512,
    EXPAND_PATH = 128,
    COPY_BLOCK = 8192,
    TYPE_BLOCK = 4096,
    SELF_CHAIN_LIMIT = 100,
    CH_EOF = 0x1A,
    INT_VIDEO = 0x10,
    VIDEO_MODE_TEXT = 0x0003,
};

struct Batch {
    char line[BATCH_LINES][BATCH_LINE_MAX + 1];
    int count;
    char param[PARAMS][PARAM_MAX + 1];
};

static int run_simple(char *line);
int shell_batch(const char *dospath, const char *args);

static struct {
    int echo_on;
    int errorlevel;
} sh = {1, 0};

static void sh_print(const char *text)
{
    uint8_t out[MESSAGE_MAX * 2];
    int n = 0;
    for (; *text && n < MESSAGE_MAX; text++) {
        if (*text == '\n')
            out[n++] = '\r';
        out[n++] = (uint8_t)*text;
    }
    dos_write_host(1, out, n);
}

// The program a command word names: 1 for COM or EXE, 2 for BAT, 0 none.
static int find_program(const char *name, char *out)
{
    const char *last = strrchr(name, '\\');
    int has_path = last || strchr(name, ':');
    if (strchr(last ? last : name, '.')) {
        char try_[DOS_PATH_MAX + 8];
        snprintf(try_, sizeof try_, "%s", name);
        if (!dos_file_exists(try_)) {
            if (has_path)
                return 0;
            snprintf(try_, sizeof try_, "C:\\%s", name);
            if (!dos_file_exists(try_))
                return 0;
        }
        dos_normalize(try_, out);
        size_t n = strlen(out);
        return n > 4 && strcmp(out + n - 4, ".BAT") == 0 ? 2 : 1;
    }
    static const char *const exts[] = {".COM", ".EXE", ".BAT"};
    for (int round = 0; round < 4; round++) {
        int root = round & 1;
        if (root && has_path)
            continue;
        for (int e = 0; e < 3; e++) {
            char try_[DOS_PATH_MAX + 8];
            snprintf(try_, sizeof try_, "%s%s%s", root ? "C:\\" : "", name, exts[e]);
            if (round < 2 ? dos_file_on_disk(try_) : dos_file_exists(try_)) {
                dos_normalize(try_, out);
                return e == 2 ? 2 : 1;
            }
        }
    }
    return 0;
}

// Cuts every "<name", ">name" and ">>name" out of the line.
static void take_redirections(char *line, char *in, char *out, int *append)
{
    for (char *p = line; *p; p++) {
        if (*p != '<' && *p != '>')
            continue;
        char kind = *p;
        char *start = p;
        int app = kind == '>' && p[1] == '>';
        p += app ? 2 : 1;
        while (*p == ' ')
            p++;
        char *name = p;
        while (*p && *p != ' ' && *p != '<' && *p != '>')
            p++;
        size_t n = (size_t)(p - name);
        char *dst = kind == '<' ? in : out;
        if (n > DOS_ARG_MAX)
            n = DOS_ARG_MAX;
        memcpy(dst, name, n);
        dst[n] = 0;
        if (kind == '>')
            *append = app;
        memmove(start + 1, p, strlen(p) + 1);
        *start = ' ';
        p = start;
    }
}

static int redirect(int target, const char *name, int output, int append)
{
    int h = -1, saved = -1;
    int err;
    if (output && append && dos_file_exists(name)) {
        err = dos_open(name, ACCESS_WRITE, &h);
        if (!err)
            dos_seek_end(h);
    } else if (output)
        err = dos_create(name, &h, 0);
    else
        err = dos_open(name, ACCESS_READ, &h);
    if (err)
        return -1;
    if (dos_dup(target, &saved)) {
        dos_close(h);
        return -1;
    }
    dos_dup2(h, target);
    dos_close(h);
    return saved;
}

static void restore(int target, int saved)
{
    if (saved < 0)
        return;
    dos_dup2(saved, target);
    dos_close(saved);
}

static int has_wildcard(const char *s)
{
    return strchr(s, '*') || strchr(s, '?');
}

// The files a pattern names, as full DOS paths.
static int expand(const char *pattern, char (*out)[EXPAND_PATH], int max)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(pattern, norm);
    if (!has_wildcard(norm)) {
        if (!dos_file_exists(norm) || max < 1)
            return 0;
        snprintf(out[0], EXPAND_PATH, "%.127s", norm);
        return 1;
    }
    char *slash = strrchr(norm, '\\');
    *slash = 0;
    char dir[DOS_PATH_MAX], host[HOST_PATH_MAX];
    snprintf(dir, sizeof dir, "%s", strcmp(norm, "C:") == 0 ? "C:\\" : norm);
    if (dos_resolve_host(dir, host, sizeof host, 1))
        return 0;
    static char names[EXPAND_MAX][DOS_NAME83_MAX];
    int n = shell_list_dir(host, slash + 1, names, max < EXPAND_MAX ? max : EXPAND_MAX);
    for (int i = 0; i < n; i++)
        snprintf(out[i], EXPAND_PATH, "%.110s\\%.12s", norm, names[i]);
    return n;
}

// The next blank-separated word of s (advanced past it) into w.
static int next_word(const char *&s, char *w, size_t wsz)
{
    while (*s == ' ' || *s == '\t')
        s++;
    size_t n = 0;
    while (*s && *s != ' ' && *s != '\t') {
        if (n + 1 < wsz)
            w[n++] = *s;
        s++;
    }
    w[n] = 0;
    return n > 0;
}

static int is_console(const char *path)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(path, norm);
    return is_device(norm) == SFT_CON;
}

static int is_dir(const char *dospath)
{
    char host[HOST_PATH_MAX];
    struct stat st;
    return dos_host_path(dospath, 0, host, sizeof host) && stat(host, &st) == 0 && S_ISDIR(st.st_mode);
}

static void copy_handle_to(int from, int to)
{
    uint8_t buf[COPY_BLOCK];
    int n;
    while ((n = dos_read_host(from, buf, sizeof buf)) > 0)
        dos_write_host(to, buf, n);
}

static int copy_one(const char *src, const char *target)
{
    if (is_console(target)) {
        int h;
        if (dos_open(src, ACCESS_READ, &h))
            return 0;
        copy_handle_to(h, 1);
        dos_close(h);
        return 1;
    }
    char sh_[HOST_PATH_MAX], th[HOST_PATH_MAX];
    struct stat st;
    if (dos_host_path(src, 0, sh_, sizeof sh_) && stat(sh_, &st) == 0 && !S_ISDIR(st.st_mode)) {
        if (!dos_host_path(target, 1, th, sizeof th) || !dos_host_writable(th))
            return 0;
        char rs[HOST_PATH_MAX], rt[HOST_PATH_MAX];
        if (realpath(sh_, rs) && realpath(th, rt) && strcmp(rs, rt) == 0)
            return 1;
        FILE *in = fopen(sh_, "rb"), *out = in ? fopen(th, "wb") : nullptr;
        if (!out) {
            if (in)
                fclose(in);
            return 0;
        }
        static uint8_t buf[COPY_BLOCK];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, in)) > 0)
            fwrite(buf, 1, n, out);
        fclose(in);
        fclose(out);
        return 1;
    }
    // A device or a file without a host copy goes through DOS handles.
    int hin, hout;
    if (dos_open(src, ACCESS_READ, &hin))
        return 0;
    if (dos_create(target, &hout, 0)) {
        dos_close(hin);
        return 0;
    }
    copy_handle_to(hin, hout);
    dos_close(hin);
    dos_close(hout);
    return 1;
}

static int cmd_copy(const char *args)
{
    char src[PARAM_MAX + 1] = "", target[PARAM_MAX + 1] = "", w[PARAM_MAX + 1];
    next_word(args, src, sizeof src);
    while (next_word(args, w, sizeof w))
        if (w[0] != '/') {
            snprintf(target, sizeof target, "%s", w);
            break;
        }
    static char names[EXPAND_MAX][EXPAND_PATH];
    int n = expand(src, names, EXPAND_MAX), copied = 0;
    for (int i = 0; i < n; i++) {
        const char *base = strrchr(names[i], '\\') + 1;
        char to[DOS_PATH_MAX + DOS_NAME83_MAX + 2];
        if (!target[0])
            snprintf(to, sizeof to, "%s", base);
        else if (!is_console(target) && is_dir(target))
            snprintf(to, sizeof to, "%s\\%s", target, base);
        else
            snprintf(to, sizeof to, "%s", target);
        copied += copy_one(names[i], to);
    }
    char msg[64];
    snprintf(msg, sizeof msg, "%9d file(s) copied\n", copied);
    sh_print(msg);
    return 0;
}

static int cmd_type(const char *args)
{
    char name[PARAM_MAX + 1], host[HOST_PATH_MAX];
    next_word(args, name, sizeof name);
    FILE *f = dos_host_path(name, 0, host, sizeof host) ? fopen(host, "rb") : nullptr;
    if (!f) {
        sh_print("File not found\n");
        return 1;
    }
    uint8_t buf[TYPE_BLOCK];
    uint8_t prev = 0;
    size_t n;
    int done = 0;
    while (!done && (n = fread(buf, 1, sizeof buf, f)) > 0)
        for (size_t i = 0; i < n; i++) {
            if (buf[i] == CH_EOF) {
                done = 1;
                break;
            }
            // The previous byte is remembered across blocks, so a CR LF
            // split by a block boundary is not doubled.
            if (buf[i] == '\n' && prev != '\r') {
                uint8_t cr = '\r';
                dos_write_host(1, &cr, 1);
            }
            dos_write_host(1, &buf[i], 1);
            prev = buf[i];
        }
    fclose(f);
    return 0;
}

static int cmd_dir_op(const char *args, int make)
{
    char name[PARAM_MAX + 1], host[HOST_PATH_MAX];
    next_word(args, name, sizeof name);
    if (!dos_host_path(name, make, host, sizeof host) || !dos_host_writable(host))
        return 0;
    return make ? mkdir(host, 0777) : rmdir(host);
}

static int cmd_rename(const char *args)
{
    char from[PARAM_MAX + 1], to[PARAM_MAX + 1];
    if (!next_word(args, from, sizeof from) || !next_word(args, to, sizeof to))
        return 0;
    char norm[DOS_PATH_MAX], target[(int)DOS_PATH_MAX + (int)PARAM_MAX + 2];
    dos_normalize(from, norm);
    if (!strchr(to, '\\')) {
        *strrchr(norm, '\\') = 0;
        snprintf(target, sizeof target, "%s\\%s", norm, to);
        dos_normalize(from, norm);
    } else
        snprintf(target, sizeof target, "%s", to);
    char oh[HOST_PATH_MAX], nh[HOST_PATH_MAX];
    if (dos_host_path(norm, 0, oh, sizeof oh) && dos_host_path(target, 1, nh, sizeof nh) &&
        dos_host_writable(oh) && dos_host_writable(nh))
        rename(oh, nh);
    return 0;
}

static void set_text_mode(void)
{
    if (!rd16l(INT_VIDEO * 4) && !rd16l(INT_VIDEO * 4 + 2))
        return;
    uint16_t ax = AX;
    AX = VIDEO_MODE_TEXT;
    cpu_int(INT_VIDEO);
    AX = ax;
}

static int run_command(const char *word, const char *args)
{
    if (strcmp(word, "ECHO") == 0) {
        if (!args[0])
            sh_print(sh.echo_on ? "ECHO is on\n" : "ECHO is off\n");
        else if (strcasecmp(args, "off") == 0 || strcasecmp(args, "on") == 0)
            sh.echo_on = strcasecmp(args, "on") == 0;
        else {
            sh_print(args[0] == '.' ? args + 1 : args);
            sh_print("\n");
        }
        return 0;
    }
    if (strcmp(word, "ECHO.") == 0) {
        sh_print("\n");
        return 0;
    }
    if (strcmp(word, "CD") == 0 || strcmp(word, "CHDIR") == 0) {
        if (!args[0]) {
            char text[DOS_CWD_MAX + 8];
            snprintf(text, sizeof text, "C:%s\n", dos_cwd[0] ? dos_cwd : "\\");
            sh_print(text);
            return 0;
        }
        if (dos_chdir(args)) {
            sh_print("Invalid directory\n");
            return 1;
        }
        return 0;
    }
    if (strcmp(word, "COPY") == 0)
        return cmd_copy(args);
    if (strcmp(word, "TYPE") == 0)
        return cmd_type(args);
    if (strcmp(word, "DEL") == 0 || strcmp(word, "ERASE") == 0) {
        char first[PARAM_MAX + 1];
        if (!next_word(args, first, sizeof first))
            return 1;
        static char names[EXPAND_MAX][EXPAND_PATH];
        int n = expand(first, names, EXPAND_MAX);
        for (int i = 0; i < n; i++)
            dos_delete(names[i]);
        return 0;
    }
    if (strcmp(word, "MD") == 0 || strcmp(word, "MKDIR") == 0)
        return cmd_dir_op(args, 1);
    if (strcmp(word, "RD") == 0 || strcmp(word, "RMDIR") == 0)
        return cmd_dir_op(args, 0);
    if (strcmp(word, "REN") == 0 || strcmp(word, "RENAME") == 0)
        return cmd_rename(args);
    if (strcmp(word, "CLS") == 0 || strcmp(word, "MODE") == 0) {
        set_text_mode();
        return 0;
    }
    if (strcmp(word, "PAUSE") == 0) {
        sh_print("Press any key to continue . . .\n");
        dos_key_read();
        return 0;
    }
    if (strcmp(word, "CALL") == 0) {
        const char *rest = args;
        char first[PARAM_MAX + 1], path[DOS_PATH_MAX];
        next_word(rest, first, sizeof first);
        while (*rest == ' ' || *rest == '\t')
            rest++;
        if (first[0] && find_program(first, path) == 2)
            return shell_batch(path, rest);
        char copy[LINE_MAX_USED + 1];
        snprintf(copy, sizeof copy, "%s", args);
        return run_simple(copy);
    }
    static const char *const quiet[] = {"REM", "VER", "SET", "PROMPT", "PATH", "BREAK", "VERIFY", "EXIT"};
    for (const char *q : quiet)
        if (strcmp(word, q) == 0)
            return 0;
    if (strlen(word) == 2 && word[1] == ':')
        return 0;

    char path[DOS_PATH_MAX];
    int kind = find_program(word, path);
    if (!kind) {
        sh_print("Bad command or file name\n");
        return 1;
    }
    if (kind == 2)
        return shell_batch(path, args);
    char tail[LINE_MAX_USED + 2];
    snprintf(tail, sizeof tail, "%s%s", args[0] ? " " : "", args);
    DosStart st;
    if (dos_exec(path, tail, 0, 0, &st)) {
        sh_print("Program too big to fit in memory\n");
        return 1;
    }
    sh.errorlevel = dos_last_exit & 0xFF;
    return sh.errorlevel;
}

static int run_simple(char *line)
{
    char in[DOS_ARG_MAX + 1] = "", out[DOS_ARG_MAX + 1] = "";
    int append = 0;
    take_redirections(line, in, out, &append);
    while (*line == ' ' || *line == '\t')
        line++;
    size_t n = strlen(line);
    while (n && strchr(" \t\r\n", line[n - 1]))
        line[--n] = 0;
    if (*line == '@') {
        line++;
        while (*line == ' ' || *line == '\t')
            line++;
    }
    if (!*line)
        return 0;

    char word[WORD_MAX + 1];
    size_t w = 0;
    if (*line == '/')
        word[w++] = '/';
    else
        while (line[w] && !strchr(" \t/", line[w]) && w < WORD_MAX) {
            word[w] = line[w];
            w++;
        }
    word[w] = 0;
    if (w > 2 && strncasecmp(word, "cd", 2) == 0 && (word[2] == '\\' || word[2] == '.')) {
        w = 2;
        word[2] = 0;
    }
    for (char *c = word; *c; c++)
        *c = (char)dos_upcase((uint8_t)*c);
    const char *args = line + w;
    while (*args == ' ' || *args == '\t')
        args++;

    int saved_out = out[0] ? redirect(1, out, 1, append) : -1;
    int saved_in = in[0] ? redirect(0, in, 0, 0) : -1;
    int rc = run_command(word, args);
    restore(1, saved_out);
    restore(0, saved_in);
    return rc;
}

int shell_run(const char *line)
{
    char buf[LINE_MAX_USED + 1];
    snprintf(buf, sizeof buf, "%s", line);
    return run_simple(buf);
}

// ---- batch files -----------------------------------------------------------

static void trim(char *s)
{
    char *p = s;
    while (*p == ' ' || *p == '\t')
        p++;
    memmove(s, p, strlen(p) + 1);
    size_t n = strlen(s);
    while (n && strchr(" \t\r\n", s[n - 1]))
        s[--n] = 0;
}

static int load_batch(Batch *b, const char *dospath, const char *args)
{
    char host[HOST_PATH_MAX];
    FILE *f = dos_host_path(dospath, 0, host, sizeof host) ? fopen(host, "rb") : nullptr;
    if (!f)
        return 0;
    b->count = 0;
    char buf[BATCH_LINE_MAX + 2];
    while (b->count < BATCH_LINES && fgets(buf, sizeof buf, f)) {
        size_t n = strlen(buf);
        int whole = n && buf[n - 1] == '\n';
        // The rest of an overlong line is dropped.
        if (!whole && !feof(f)) {
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        }
        buf[strcspn(buf, "\r\n")] = 0;
        snprintf(b->line[b->count++], BATCH_LINE_MAX + 1, "%s", buf);
    }
    fclose(f);
    memset(b->param, 0, sizeof b->param);
    char norm[DOS_PATH_MAX];
    dos_normalize(dospath, norm);
    snprintf(b->param[0], PARAM_MAX + 1, "%.127s", norm);
    const char *s = args;
    for (int i = 1; i < PARAMS; i++)
        next_word(s, b->param[i], PARAM_MAX + 1);
    sh.echo_on = 1;
    return 1;
}

static void substitute(const Batch *b, const char *in, char *out)
{
    size_t o = 0;
    for (; *in && o < BATCH_LINE_MAX; in++) {
        if (in[0] == '%' && in[1] >= '0' && in[1] <= '9') {
            for (const char *p = b->param[in[1] - '0']; *p && o < BATCH_LINE_MAX; p++)
                out[o++] = *p;
            in++;
        } else if (in[0] == '%' && in[1] == '%') {
            out[o++] = '%';
            in++;
        } else
            out[o++] = *in;
    }
    out[o] = 0;
}

// The IF tests at the start of a line; 0 when one is false (skip the line),
// else 1 with the line reduced to what follows the tests.
static int if_tests(char *line)
{
    while (strncasecmp(line, "if ", 3) == 0) {
        const char *p = line + 3;
        while (*p == ' ' || *p == '\t')
            p++;
        int neg = strncasecmp(p, "not ", 4) == 0;
        if (neg)
            for (p += 4; *p == ' ' || *p == '\t'; p++) {
            }
        int test;
        char w[PARAM_MAX + 1];
        if (strncasecmp(p, "exist ", 6) == 0) {
            p += 6;
            next_word(p, w, sizeof w);
            static char names[1][EXPAND_PATH];
            test = expand(w, names, 1) > 0;
        } else if (strncasecmp(p, "errorlevel ", 11) == 0) {
            p += 11;
            next_word(p, w, sizeof w);
            test = sh.errorlevel >= atoi(w);
        } else {
            const char *eq = strstr(p, "==");
            if (!eq) {
                memmove(line, p, strlen(p) + 1);
                return 1;
            }
            char a[PARAM_MAX + 1];
            size_t n = (size_t)(eq - p);
            if (n > PARAM_MAX)
                n = PARAM_MAX;
            memcpy(a, p, n);
            a[n] = 0;
            trim(a);
            p = eq + 2;
            size_t k = 0;
            while (*p && *p != ' ' && k < PARAM_MAX)
                w[k++] = *p++;
            w[k] = 0;
            while (*p && *p != ' ')
                p++;
            test = strcmp(a, w) == 0;
        }
        if (neg)
            test = !test;
        if (!test)
            return 0;
        while (*p == ' ' || *p == '\t')
            p++;
        memmove(line, p, strlen(p) + 1);
    }
    return 1;
}

static int find_label(const Batch *b, const char *label)
{
    size_t n = strcspn(label, " \t\r\n");
    for (int i = 0; i < b->count; i++) {
        const char *s = b->line[i];
        while (*s == ' ' || *s == '\t')
            s++;
        if (*s++ != ':')
            continue;
        while (*s == ' ' || *s == '\t')
            s++;
        if (strncasecmp(s, label, n) == 0 && strchr(" \t\r\n", s[n]))
            return i;
    }
    return -1;
}

int shell_batch(const char *dospath, const char *args)
{
    Batch *b = static_cast<Batch *>(calloc(1, sizeof(Batch)));
    if (!b || !load_batch(b, dospath, args)) {
        free(b);
        return 1;
    }
    int result = 0, self_chains = 0;
    char line[BATCH_LINE_MAX + 1];
    for (int pc = 0; pc < b->count;) {
        substitute(b, b->line[pc++], line);
        trim(line);
        if (!line[0] || line[0] == ':')
            continue;
        if (line[0] == '@') {
            line[0] = ' ';
            trim(line);
        }
        if (!if_tests(line))
            continue;
        if (strncasecmp(line, "goto", 4) == 0 && (line[4] == ' ' || line[4] == '\t')) {
            const char *label = line + 5;
            while (*label == ' ' || *label == '\t' || *label == ':')
                label++;
            int at = find_label(b, label);
            if (at < 0)
                break;
            pc = at + 1;
            continue;
        }
        if (strncasecmp(line, "shift", 5) == 0 && strchr(" \t", line[5])) {
            memmove(b->param[0], b->param[1], sizeof b->param - sizeof b->param[0]);
            b->param[PARAMS - 1][0] = 0;
            continue;
        }
        char word[PARAM_MAX + 1], path[DOS_PATH_MAX];
        size_t n = strcspn(line, " <>");
        if (n > PARAM_MAX)
            n = PARAM_MAX;
        memcpy(word, line, n);
        word[n] = 0;
        if (strcasecmp(word, "call") != 0 && find_program(word, path) == 2) {
            // Chaining: this batch file ends and the named one takes its place.
            if (strcasecmp(path, b->param[0]) == 0) {
                if (++self_chains >= SELF_CHAIN_LIMIT) {
                    sh_print("Batch file runs itself endlessly: stopped\n");
                    result = 1;
                    break;
                }
            } else
                self_chains = 0;
            const char *rest = line + strcspn(line, " <>");
            while (*rest == ' ' || *rest == '\t')
                rest++;
            char args_copy[BATCH_LINE_MAX + 1];
            snprintf(args_copy, sizeof args_copy, "%s", rest);
            if (!load_batch(b, path, args_copy)) {
                result = 1;
                break;
            }
            pc = 0;
            continue;
        }
        result = run_simple(line);
    }
    free(b);
    return result;
}
