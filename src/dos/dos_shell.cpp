// The built-in command shell behind COMMAND.COM: one command line with
// redirection, the internal commands, and programs found on drive C:.
#include "dos/dos.h"

#include <cstring>
#include <strings.h>

enum { LINE_MAX_USED = 511, WORD_MAX = 63, MESSAGE_MAX = 1022 };

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
    static const char *const quiet[] = {"REM", "VER", "SET", "PROMPT", "PATH", "BREAK", "VERIFY", "EXIT"};
    for (const char *q : quiet)
        if (strcmp(word, q) == 0)
            return 0;
    if (strlen(word) == 2 && word[1] == ':')
        return 0;

    char path[DOS_PATH_MAX];
    int kind = find_program(word, path);
    if (!kind || kind == 2) {
        sh_print("Bad command or file name\n");
        return 1;
    }
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
