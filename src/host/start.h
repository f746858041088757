// Start-up: the command line, the environment, the order in which the
// machine is built, and the end of the process.
#pragma once

#include <cstddef>

enum {
    EXIT_OK = 0,
    EXIT_START_FAILED = 1,      // start-up failure, or the program could not be started
    EXIT_SIGNAL = 2,            // SIGINT/SIGTERM, or a translator usage error
    EXIT_FATAL = 3,             // an unrecoverable emulation state
};

enum {
    TAIL_MAX = 255,             // a DOS command tail
    COMMAND_MAX = 259,          // what dos_command builds
    RECOMP_TRACES_MAX = 64,
};

// What the command line asked for.
struct StartOptions {
    const char *program;        // "VRK.EXE" unless given
    char tail[TAIL_MAX + 1];    // the arguments after the program, one blank apart
    const char *root;           // host folder of drive C:, "." unless given
    int root_given;
    const char *start_dir;      // DOS directory to start in
    int headless;
    const char *game_id;
    const char *play_dir;
    const char *start_cmd;
    int dry;
};

extern int rec_enabled;
extern char run_prog[COMMAND_MAX + 1];
extern char run_tail[COMMAND_MAX + 1];

// The whole start-up of the executable; returns the process exit code.
int start_main(int argc, char **argv);

// A whole file in a new buffer of length + 1 bytes, zero-terminated; null if
// it cannot be opened or read completely. The caller frees it.
char *read_all(const char *path, size_t *length);

// The DOS command that runs program with tail: batch files go through the
// built-in COMMAND.COM with " /c". Writes the tail (at most COMMAND_MAX
// characters) to out and returns the program to run.
const char *dos_command(const char *program, const char *tail, char *out);

// Reads the options before the program name into o (zeroed by the caller):
// -1 to go on, otherwise the exit code (help printed, or a bad option).
int start_parse(int argc, char **argv, StartOptions *o);
void start_usage(void);
// The run on the machine thread: the DOS exit code, or -1.
int run_main(void);
void on_term(int sig);
