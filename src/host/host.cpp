#include "host/host.h"

#include <cstdio>
#include <cstdlib>

int host_headless = 1;
volatile int host_quit_requested;

void host_shutdown(void)
{
    fflush(stdout);
}

void host_exit(int code)
{
    host_shutdown();
    exit(code);
}

void host_error(const char *msg)
{
    fprintf(stderr, "%s\n", msg);
}
