// Start-up of the player. main() picks the mode (translator, launcher, game
// folder or DOS program), reads the options that come before the program
// name, builds the machine in its fixed order and hands the run to the host.
#include "host/start.h"

#include "bios/bios.h"
#include "devices/ems.h"
#include "devices/mouse.h"
#include "devices/opl.h"
#include "devices/sb.h"
#include "devices/vga.h"
#include "devices/xms.h"
#include "dos/dos.h"
#include "host/host.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

int rec_enabled = 1;
char run_prog[COMMAND_MAX + 1];
char run_tail[COMMAND_MAX + 1];

enum {
    PROFILE_PARAGRAPHS = MEM_SIZE / 16,     // 69,632 counters
    VGAW_ADDRESSES = 0x100000,              // one counter per linear address
};

static const char *const usage_lines[] = {
    "usage: halverd [options] [PROGRAM [args...]]",
    "  --root DIR     host directory used as drive C: (default: the current directory if PROGRAM",
    "                 is there, else the folder chosen last time)",
    "  --cd DIR       DOS directory to start in (e.g. \\RUNNER\\DEMO)",
    "  --headless     no window/audio",
    "  --debug N      log level",
    "  --interp       interpreter only (disable recompiled code)",
    "  --play DIR     start the game in DIR (or a folder below it): its VRK.CMD, GO.BAT, ...",
    "  --start CMD    with --play: the program (and arguments) to start it with, if it is there",
    "  --game ID      the game's id in the game list (for its key bindings in halverd.cfg)",
    "  --dry          with --play: only say what would be started",
    "  --date Y-M-D   the date DOS reports (test versions that stop past a date)",
    "Without arguments, halverd shows the list of games (set VRK_NO_LAUNCHER=1 to start VRK.EXE instead).",
    "PROGRAM defaults to VRK.EXE (the VRK front end); a .BAT file runs through COMMAND.COM.",
};

static const char recomp_usage[] = "usage: --recomp EXE --name N --ident ID --out F [--trace T]\n";

void start_usage(void)
{
    for (const char *line : usage_lines)
        fprintf(stderr, "%s\n", line);
}

char *read_all(const char *path, size_t *length)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return nullptr;
    // Only regular files have a length; a folder opens but reads nothing.
    struct stat st;
    char *buf = nullptr;
    if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode))
        buf = static_cast<char *>(malloc((size_t)st.st_size + 1));
    size_t n = buf ? fread(buf, 1, (size_t)st.st_size, f) : 0;
    fclose(f);
    if (!buf || n != (size_t)st.st_size) {
        free(buf);
        return nullptr;
    }
    buf[n] = 0;
    if (length)
        *length = n;
    return buf;
}

static int is_batch(const char *program)
{
    size_t n = strlen(program);
    return n > 4 && strcasecmp(program + n - 4, ".BAT") == 0;
}

const char *dos_command(const char *program, const char *tail, char *out)
{
    const char *sep = tail[0] ? " " : "";
    if (is_batch(program)) {
        snprintf(out, COMMAND_MAX + 1, " /c %s%s%s", program, sep, tail);
        return "COMMAND.COM";
    }
    snprintf(out, COMMAND_MAX + 1, "%s%s", sep, tail);
    return program;
}

void on_term(int sig)
{
    (void)sig;
    fflush(stdout);
    cpu_dump("signal");
    _exit(EXIT_SIGNAL);
}

// Translator mode: collects its arguments; the translator itself is a
// separate module of the recompiler.
static int start_recomp(int argc, char **argv)
{
    const char *exe = nullptr, *name = nullptr, *ident = nullptr, *out = nullptr;
    char *traces[RECOMP_TRACES_MAX];
    int ntraces = 0;
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        int has_value = i + 1 < argc;
        if (strcmp(a, "--name") == 0 && has_value)
            name = argv[++i];
        else if (strcmp(a, "--ident") == 0 && has_value)
            ident = argv[++i];
        else if (strcmp(a, "--out") == 0 && has_value)
            out = argv[++i];
        else if (strcmp(a, "--trace") == 0 && has_value) {
            char *text = read_all(argv[++i], nullptr);
            if (text && ntraces < RECOMP_TRACES_MAX)
                traces[ntraces++] = text;
            else
                free(text);
        } else
            exe = a;
    }
    size_t exe_len = 0;
    char *image = exe ? read_all(exe, &exe_len) : nullptr;
    int rc = EXIT_SIGNAL;
    if (!name || !ident || !out || !image)
        fputs(recomp_usage, stderr);
    else {
        fprintf(stderr, "halverd: this build has no translator\n");
        rc = EXIT_START_FAILED;
    }
    free(image);
    for (int i = 0; i < ntraces; i++)
        free(traces[i]);
    return rc;
}

static void tail_append(char *tail, const char *arg)
{
    size_t n = strlen(tail);
    if (n && n < TAIL_MAX)
        tail[n++] = ' ';
    while (*arg && n < TAIL_MAX)
        tail[n++] = *arg++;
    tail[n] = 0;
}

enum OptKind { OPT_ROOT, OPT_CD, OPT_PLAY, OPT_START, OPT_GAME, OPT_DEBUG, OPT_DATE,
               OPT_HEADLESS, OPT_INTERP, OPT_DRY };

struct OptRow {
    const char *name;
    OptKind kind;
    int takes_value;
};

static const OptRow option_table[] = {
    {"--root", OPT_ROOT, 1},     {"--cd", OPT_CD, 1},         {"--play", OPT_PLAY, 1},
    {"--start", OPT_START, 1},   {"--game", OPT_GAME, 1},     {"--debug", OPT_DEBUG, 1},
    {"--date", OPT_DATE, 1},     {"--headless", OPT_HEADLESS, 0},
    {"--interp", OPT_INTERP, 0}, {"--dry", OPT_DRY, 0},
};

static const OptRow *find_option(const char *arg)
{
    for (const OptRow &row : option_table)
        if (strcmp(arg, row.name) == 0)
            return &row;
    return nullptr;
}

static void apply_option(OptKind kind, const char *v, StartOptions *o)
{
    switch (kind) {
    case OPT_ROOT: o->root = v; o->root_given = 1; break;
    case OPT_CD: o->start_dir = v; break;
    case OPT_PLAY: o->play_dir = v; break;
    case OPT_START: o->start_cmd = v; break;
    case OPT_GAME: o->game_id = v; break;
    case OPT_DEBUG: debug_level = atoi(v); break;
    case OPT_DATE:
        if (v[0])
            setenv("VRK_DATE", v, 1);
        else
            unsetenv("VRK_DATE");
        break;
    case OPT_HEADLESS: o->headless = 1; break;
    case OPT_INTERP: rec_enabled = 0; break;
    case OPT_DRY: o->dry = 1; break;
    }
}

// Options come before the program name; an option with a value takes the
// next argument whatever it is. Returns -1 to go on, else an exit code.
int start_parse(int argc, char **argv, StartOptions *o)
{
    o->program = "VRK.EXE";
    o->root = ".";
    int i = 1;
    for (; i < argc; i++) {
        const OptRow *row = find_option(argv[i]);
        if (!row)
            break;
        const char *value = nullptr;
        if (row->takes_value) {
            if (i + 1 >= argc) {
                fprintf(stderr, "halverd: %s needs a value\n", row->name);
                return EXIT_START_FAILED;
            }
            value = argv[++i];
        }
        apply_option(row->kind, value, o);
    }
    if (i >= argc)
        return -1;
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
        start_usage();
        return EXIT_OK;
    }
    // DOS names never start with two dashes: this is a mistyped option.
    if (strncmp(argv[i], "--", 2) == 0) {
        fprintf(stderr, "halverd: unknown option %s\n", argv[i]);
        start_usage();
        return EXIT_START_FAILED;
    }
    o->program = argv[i];
    for (i++; i < argc; i++)
        tail_append(o->tail, argv[i]);
    return -1;
}

static uint32_t *alloc_counters(size_t n)
{
    uint32_t *p = static_cast<uint32_t *>(calloc(n, sizeof(uint32_t)));
    if (!p) {
        fprintf(stderr, "halverd: out of memory\n");
        exit(EXIT_START_FAILED);
    }
    return p;
}

// The machine is built in one fixed order, so every run registers its
// stubs and vectors at the same addresses.
static void start_machine(const char *root)
{
    machine_init();
    bios_init();
    vga_init();
    mouse_init();
    ems_init();
    xms_init();
    sb_init();
    opl_init();
    dos_init(root);
}

int run_main(void)
{
    return dos_run_program(run_prog, run_tail);
}

static const char cannot_find[] =
    "Cannot find %s in %s.\n\nStart halverd with --root set to a folder that holds it "
    "(a copy of Reference/VRK), for example:\n  halverd --root ~/vrk";

static void missing_program(const char *program, const char *where)
{
    char msg[DOS_ROOT_MAX + 512];
    snprintf(msg, sizeof msg, cannot_find, program, where);
    host_error(msg);
    host_shutdown();
}

static int try_root(const char *folder, const char *program)
{
    snprintf(dos_root, sizeof dos_root, "%s", folder);
    return dos_program_home(program);
}

// The executable's folder and up to two parents, each as it is and with
// VRK below it.
static int search_installation(const char *program)
{
    const char *base = host_base_path();
    if (!base)
        return 0;
    char dir[DOS_ROOT_MAX - 8];
    snprintf(dir, sizeof dir, "%s", base);
    for (int level = 0; level < 3 && dir[0]; level++) {
        if (try_root(dir, program))
            return 1;
        size_t n = strlen(dir);
        char vrk[DOS_ROOT_MAX];
        snprintf(vrk, sizeof vrk, "%s%sVRK", dir, n && (dir[n - 1] == '/' || dir[n - 1] == '\\') ? "" : "/");
        if (try_root(vrk, program))
            return 1;
        while (n && (dir[n - 1] == '/' || dir[n - 1] == '\\'))
            dir[--n] = 0;
        while (n && dir[n - 1] != '/' && dir[n - 1] != '\\')
            dir[--n] = 0;
    }
    return 0;
}

static int enter_start_dir(const char *start_dir)
{
    if (start_dir && dos_chdir(start_dir)) {
        fprintf(stderr, "no such directory %s\n", start_dir);
        host_shutdown();
        return 0;
    }
    return 1;
}

// Finds drive C: for the program; 0 when the run cannot go on (the message
// is out and the host closed).
static int settle_drive(const StartOptions &o)
{
    char norm[DOS_PATH_MAX];
    dos_normalize(o.program, norm);
    size_t n = strlen(norm);
    int shell = n >= 11 && strcmp(norm + n - 11, "COMMAND.COM") == 0;
    if (o.root_given) {
        if (!enter_start_dir(o.start_dir))
            return 0;
        if (!shell && !dos_file_exists(o.program)) {
            missing_program(o.program, o.root);
            return 0;
        }
        return 1;
    }
    if (!shell && !try_root(".", o.program) && !search_installation(o.program)) {
        // Without a window there is no folder dialog to ask with.
        snprintf(dos_root, sizeof dos_root, ".");
        missing_program(o.program, "the current folder");
        return 0;
    }
    if (shell)
        snprintf(dos_root, sizeof dos_root, ".");
    return enter_start_dir(o.start_dir);
}

int start_main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--recomp") == 0)
        return start_recomp(argc, argv);

    StartOptions o = {};
    int rc = start_parse(argc, argv, &o);
    if (rc >= 0)
        return rc;
    if (o.play_dir) {
        fprintf(stderr, "halverd: this build cannot start game folders (--play)\n");
        return EXIT_START_FAILED;
    }

    signal(SIGTERM, on_term);
    signal(SIGINT, on_term);
    if (getenv("VRK_PROFILE"))
        interp_profile = alloc_counters(PROFILE_PARAGRAPHS);
    if (getenv("VRK_VGAW"))
        vga_writer_hist = alloc_counters(VGAW_ADDRESSES);
    start_machine(o.root);
    if (!settle_drive(o))
        return EXIT_START_FAILED;

    const char *prog = dos_command(o.program, o.tail, run_tail);
    snprintf(run_prog, sizeof run_prog, "%s", prog);
    rc = host_run(run_main);
    host_shutdown();
    return rc < 0 ? EXIT_START_FAILED : rc;
}
