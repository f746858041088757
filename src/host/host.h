// The host side of the player: window, input, audio and the services the
// emulated machine asks of the desktop.
#pragma once

#include <cstdint>

extern int host_headless;
extern volatile int host_quit_requested;

[[noreturn]] void host_exit(int code);
void host_shutdown(void);
void host_error(const char *msg);
const char *host_base_path(void);
// Runs the machine: fn on the calling thread; its result.
int host_run(int (*fn)(void));
