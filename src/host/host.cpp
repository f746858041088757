#include "host/host.h"

#include "devices/audio.h"

#include <SDL3/SDL.h>

#include <cstdio>
#include <cstdlib>

int host_headless = 1;
volatile int host_quit_requested;

void host_shutdown(void)
{
    audio_close();
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

// The executable's folder as SDL reports it, ending in a separator; null when
// it cannot be told.
const char *host_base_path(void)
{
    return SDL_GetBasePath();
}

int host_run(int (*fn)(void))
{
    return fn();
}
