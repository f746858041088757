// A freshly reset machine on a fake time line: host_ticks_us() reads
// fake_now_us, and the idle sleep only counts and moves the time on.
#pragma once

#include "host/host.h"
#include "machine/clock.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

inline uint64_t fake_now_us;
inline uint32_t fake_sleeps;

inline uint64_t fake_clock(void) { return fake_now_us; }

inline void fake_sleep(uint32_t us)
{
    fake_sleeps++;
    fake_now_us += us;
}

inline void load(uint16_t seg, uint16_t off, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        wr8(seg, off++, b);
}

inline void set_vector(uint8_t n, uint16_t seg, uint16_t off)
{
    wr16l(n * 4u, off);
    wr16l(n * 4u + 2, seg);
}

class MachineTest : public ::testing::Test {
protected:
    static constexpr uint64_t START_US = 5'000'000;

    void SetUp() override
    {
        fake_now_us = START_US;
        fake_sleeps = 0;
        clock_set_source(fake_clock);
        clock_set_sleep(fake_sleep);
        machine_init();
    }

    void TearDown() override
    {
        clock_set_source(nullptr);
        clock_set_sleep(nullptr);
        host_quit_requested = 0;
        debug_level = 0;
    }
};
