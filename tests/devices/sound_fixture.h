// A reset machine on the fake time line with the Sound Blaster, the DMA
// controller and the OPL initialised, driven through the port dispatch as a
// DOS program would drive them, and helpers that produce and collect audio.
#pragma once

#include "../machine/machine_fixture.h"
#include "devices/audio.h"
#include "devices/opl.h"
#include "devices/sb.h"
#include "machine/pic.h"
#include "machine/ports.h"

#include <cmath>
#include <cstdlib>
#include <vector>

enum : uint16_t {
    DSP_RESET = 0x226,
    DSP_READ = 0x22A,
    DSP_WRITE = 0x22C,
    DSP_STATUS = 0x22E,
    MIXER_INDEX = 0x224,
    MIXER_DATA = 0x225,
    DMA_CH1_ADDR = 0x02,
    DMA_CH1_COUNT = 0x03,
    DMA_STATUS_PORT = 0x08,
    DMA_MASK_PORT = 0x0A,
    DMA_MODE_PORT = 0x0B,
    DMA_FF_PORT = 0x0C,
    DMA_CH1_PAGE = 0x83,
};

enum : uint8_t {
    DMA_MODE_SINGLE_READ_CH1 = 0x49,    // single transfer, memory to device, channel 1
    DMA_MODE_AUTO_READ_CH1 = 0x59,      // the same with auto-initialise
    SB_IRQ_BIT = 1 << 5,
};

constexpr int DSP_POLL_LIMIT = 1000;

class SoundTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        unsetenv("VRK_WAVOUT");
        unsetenv("VRK_NO_FM");
        sb_init();
        opl_init();
        audio_advance(fake_now_us);     // the producer's clock starts here
    }

    void TearDown() override
    {
        audio_close();
        unsetenv("VRK_WAVOUT");
        unsetenv("VRK_NO_FM");
        MachineTest::TearDown();
    }

    static void dsp_reset()
    {
        port_out8(DSP_RESET, 1);
        port_out8(DSP_RESET, 0);
    }

    static void dsp(std::initializer_list<uint8_t> bytes)
    {
        for (uint8_t b : bytes)
            port_out8(DSP_WRITE, b);
    }

    // Polls the data-available bit as programs do; -1 when it never comes.
    static int dsp_read()
    {
        for (int i = 0; i < DSP_POLL_LIMIT; i++)
            if (port_in8(DSP_STATUS) & 0x80)
                return port_in8(DSP_READ);
        return -1;
    }

    static void opl(uint8_t reg, uint8_t v)
    {
        port_out8(OPL_PORT_INDEX, reg);
        port_out8(OPL_PORT_DATA, v);
    }

    static int sb_irq_raised() { return (pic_irr(PIC_MASTER) & SB_IRQ_BIT) != 0; }

    // Programs DMA channel 1 for a transfer of len bytes at linear address lin.
    static void dma_program(uint32_t lin, int len, uint8_t mode)
    {
        port_out8(DMA_MASK_PORT, 0x05);
        port_out8(DMA_FF_PORT, 0);
        port_out8(DMA_MODE_PORT, mode);
        port_out8(DMA_CH1_ADDR, (uint8_t)lin);
        port_out8(DMA_CH1_ADDR, (uint8_t)(lin >> 8));
        port_out8(DMA_CH1_PAGE, (uint8_t)(lin >> 16));
        port_out8(DMA_CH1_COUNT, (uint8_t)(len - 1));
        port_out8(DMA_CH1_COUNT, (uint8_t)((len - 1) >> 8));
        port_out8(DMA_MASK_PORT, 0x01);
    }

    static void fill(uint32_t lin, int len, uint8_t v)
    {
        for (int i = 0; i < len; i++)
            wr8l(lin + i, v);
    }

    // Moves the time on by us in steps of step_us, producing as the poll
    // would, and returns the left channel of everything produced.
    static std::vector<int16_t> run_us(uint64_t us, uint64_t step_us = 1000)
    {
        std::vector<int16_t> got;
        int16_t buf[2 * AUDIO_CHUNK_FRAMES];
        for (uint64_t t = 0; t < us; t += step_us) {
            fake_now_us += std::min(step_us, us - t);
            audio_advance(fake_now_us);
            while (int n = audio_available()) {
                n = std::min(n, (int)AUDIO_CHUNK_FRAMES);
                audio_mix(buf, n, AUDIO_RATE_HZ);
                for (int i = 0; i < n; i++)
                    got.push_back(buf[2 * i]);
            }
        }
        return got;
    }

    static double rms(const std::vector<int16_t> &s, size_t from, size_t len)
    {
        double sum = 0;
        for (size_t i = from; i < from + len && i < s.size(); i++)
            sum += (double)s[i] * s[i];
        return std::sqrt(sum / (double)len);
    }

    static int peak(const std::vector<int16_t> &s)
    {
        int p = 0;
        for (int16_t v : s)
            p = std::max(p, std::abs((int)v));
        return p;
    }
};
