// Diagnostics shared by every module: gated debug lines, the CPU dump and
// the fatal end of a run.
#include "machine/cpu.h"

#include "host/host.h"

#include <cstdarg>
#include <cstdio>

int debug_level;

void dbg(const char *fmt, ...)
{
    if (debug_level <= 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

enum { DUMP_CODE_BYTES = 16, DUMP_STACK_WORDS = 12 };

void cpu_dump(const char *why)
{
    fprintf(stderr,
            "[%s] CS:IP=%04X:%04X AX=%04X BX=%04X CX=%04X DX=%04X SI=%04X DI=%04X BP=%04X "
            "SP=%04X DS=%04X ES=%04X SS=%04X FL=%04X\n",
            why, CS, IP, AX, BX, CX, DX, SI, DI, BP, SP, DS, ES, SS, flags_get());
    fprintf(stderr, "  code:");
    uint32_t code = (uint32_t)CS * 16 + IP;
    for (int i = 0; i < DUMP_CODE_BYTES; i++)
        fprintf(stderr, " %02X", rd8l(code + i));
    fprintf(stderr, "\n  stack:");
    for (int i = 0; i < DUMP_STACK_WORDS; i++)
        fprintf(stderr, " %04X", rd16(SS, (uint16_t)(SP + 2 * i)));
    fprintf(stderr, "\n");
}

void fatal(const char *fmt, ...)
{
    fflush(stdout);
    va_list ap;
    va_start(ap, fmt);
    fputs("FATAL: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    cpu_dump("fatal");
    host_exit(3);
}
