// Start-up of a headless run up to the program's first instruction.
//   in-process: machine reset, DOS start over the folder, finding the
//               program and loading it (what precedes its first instruction);
//   whole run:  the player started as a process on a program whose first
//               instruction ends it (MZEXIT.EXE), from exec to exit.
// Prints the mean of each in milliseconds.
#include "dos/dos.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

static double now_ms(void)
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int main(void)
{
    const int rounds = 50, runs = 20;
    const char *dir = HALVERD_DOS_DIR;

    double t0 = now_ms();
    for (int i = 0; i < rounds; i++) {
        machine_init();
        dos_init(dir);
        if (!dos_program_home("MZEXIT.EXE"))
            return fprintf(stderr, "MZEXIT.EXE missing in %s\n", dir), 1;
        DosStart st;
        if (dos_exec("MZEXIT.EXE", "", 0, 1, &st))
            return fprintf(stderr, "cannot load MZEXIT.EXE\n"), 1;
    }
    double in_process = (now_ms() - t0) / rounds;

    std::string cmd = std::string("'") + HALVERD_BINARY_DIR + "/halverd' --headless --root '" + dir +
                      "' MZEXIT.EXE >/dev/null 2>&1";
    t0 = now_ms();
    for (int i = 0; i < runs; i++)
        if (system(cmd.c_str()) == -1)
            return 1;
    double whole = (now_ms() - t0) / runs;

    printf("startup in-process: %.3f ms\n", in_process);
    printf("startup whole run: %.3f ms\n", whole);
    return 0;
}
