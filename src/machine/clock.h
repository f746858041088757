// The host's monotonic clock and the idle sleep, both replaceable so that
// tests can run the timer and the waits on a fake time line.
#pragma once

#include <cstdint>

using ClockSource = uint64_t (*)(void);
using ClockSleep = void (*)(uint32_t us);

// host_ticks_us() (declared with the run loop) reads the source; null puts
// back CLOCK_MONOTONIC.
void clock_set_source(ClockSource fn);
// Idle for about us microseconds; null puts back usleep.
void clock_sleep_us(uint32_t us);
void clock_set_sleep(ClockSleep fn);
