// Host time for everything time-based in the machine: the PIT, presentation
// pacing and the idle waits.
#include "machine/clock.h"

#include "machine/hle.h"

#include <ctime>
#include <unistd.h>

enum : uint64_t { US_PER_S = 1000000, NS_PER_US = 1000 };

static struct {
    ClockSource source;
    ClockSleep sleep;
} clk;

static uint64_t monotonic_us(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * US_PER_S + (uint64_t)ts.tv_nsec / NS_PER_US;
}

uint64_t host_ticks_us(void)
{
    return clk.source ? clk.source() : monotonic_us();
}

void clock_set_source(ClockSource fn)
{
    clk.source = fn;
}

void clock_sleep_us(uint32_t us)
{
    if (clk.sleep)
        clk.sleep(us);
    else
        usleep(us);
}

void clock_set_sleep(ClockSleep fn)
{
    clk.sleep = fn;
}
