// The DSP as programs drive it: reset through 226h, commands and their
// argument bytes through 22Ch, answers through a 64-byte FIFO read at 22Ah,
// and the data-available/IRQ-acknowledge port 22Eh. Output is produced in
// bulk by sb_render from the audio producer, never per port access: the
// DSP's sample clock runs at the programmed rate against the output rate,
// and each DSP sample is one DMA byte (or one sample of silence).
#include "devices/sb.h"

#include "devices/audio.h"
#include "devices/dma.h"
#include "devices/opl.h"
#include "machine/cpu.h"
#include "machine/pic.h"
#include "machine/ports.h"

#include <cstring>

enum : uint16_t {
    SB_OPL_LO_FIRST = 0x220,        // 220h-223h: OPL aliases
    SB_OPL_LO_LAST = 0x223,
    SB_MIXER_INDEX = 0x224,
    SB_MIXER_DATA = 0x225,
    SB_RESET = 0x226,
    SB_OPL_HI_FIRST = 0x228,        // 228h-229h: OPL aliases
    SB_OPL_HI_LAST = 0x229,
    SB_READ_DATA = 0x22A,
    SB_WRITE = 0x22C,               // write: command/argument; read: write status
    SB_READ_STATUS = 0x22E,         // read: data available, acknowledges the IRQ
};

enum : uint8_t {
    DSP_READY_BYTE = 0xAA,          // what a reset leaves in the FIFO
    STATUS_SET = 0xFF,
    STATUS_CLEAR = 0x7F,
    OPEN_BUS = 0xFF,
    RESET_ARM_BIT = 0x01,
    JOY_IDLE = 0xF0,                // no buttons, no axis timing
    MIXER_STEREO_REG = 0x0E,
    MIXER_STEREO_BIT = 0x02,
    ADC_SILENCE = 0x80,
    SPEAKER_ON_ANSWER = 0xFF,
    SPEAKER_OFF_ANSWER = 0x00,
    VERSION_MAJOR = 0x03,
    VERSION_MINOR = 0x02,
};

enum : uint8_t {
    CMD_DIRECT_DAC = 0x10,
    CMD_DMA8 = 0x14,
    CMD_DMA8_ALT1 = 0x16,           // 2-bit and 2.6-bit ADPCM, played as 8-bit
    CMD_DMA8_ALT2 = 0x17,
    CMD_DMA8_AUTO = 0x1C,
    CMD_DMA8_AUTO_ALT = 0x1F,
    CMD_DIRECT_ADC = 0x20,
    CMD_TIME_CONSTANT = 0x40,
    CMD_RATE_OUT = 0x41,
    CMD_RATE_IN = 0x42,
    CMD_BLOCK_SIZE = 0x48,
    CMD_SILENCE = 0x80,
    CMD_DMA8_AUTO_HS = 0x90,
    CMD_DMA8_HS = 0x91,
    CMD_PAUSE = 0xD0,
    CMD_SPEAKER_ON = 0xD1,
    CMD_SPEAKER_OFF = 0xD3,
    CMD_CONTINUE = 0xD4,
    CMD_SPEAKER_STATUS = 0xD8,
    CMD_EXIT_AUTO = 0xDA,
    CMD_IDENTIFY = 0xE0,
    CMD_VERSION = 0xE1,
    CMD_COPYRIGHT = 0xE3,
    CMD_TEST_WRITE = 0xE4,
    CMD_TEST_READ = 0xE8,
    CMD_IRQ_REQUEST = 0xF2,
};

enum {
    MIXER_REGS = 256,
    ARGS_MAX = 3,
    DAC_CENTRE = 128,
    DMA_SAMPLE_BIAS = 32768,        // unsigned 8-bit samples around 80h
    SAMPLE_SHIFT = 8,
    TIME_CONSTANT_BASE = 256,
    DEBUG_COMMANDS = 0,
    DEBUG_WRITES = 2,
};

constexpr int32_t US_PER_S = 1000000;
static const char copyright_text[] = "COPYRIGHT (C) CREATIVE TECHNOLOGY LTD, 1992.";
static const uint8_t mixer_full_volume[] = {0x04, 0x22, 0x26};  // voice, master, FM

static struct {
    int reset_armed;
    uint8_t fifo[SB_FIFO_SIZE];
    int fifo_r, fifo_w;
    int cmd, args_expected, args_got;
    uint8_t args[ARGS_MAX];
    int speaker;
    int rate_hz;
    int dma_active, dma_auto, dma_paused;
    int block_len, remaining;
    int block_size;                 // command 48h
    double clock;                   // DSP samples owed, fraction
    int16_t dma_sample;
    int dac_level;
    int irq;
    uint8_t test_reg;
    uint8_t mixer_index;
    uint8_t mixer[MIXER_REGS];
    int silence;
} dsp;

static void fifo_put(uint8_t v)
{
    dsp.fifo[dsp.fifo_w] = v;
    dsp.fifo_w = (dsp.fifo_w + 1) % SB_FIFO_SIZE;
}

static int fifo_empty(void)
{
    return dsp.fifo_r == dsp.fifo_w;
}

static void irq_request(void)
{
    dsp.irq = 1;
    pic_raise(SB_IRQ);
}

static void dsp_reset(void)
{
    dsp.speaker = 0;
    dsp.rate_hz = SB_DEFAULT_RATE_HZ;
    dsp.cmd = 0;
    dsp.args_expected = 0;
    dsp.args_got = 0;
    dsp.silence = 0;
    dsp.dma_active = 0;
    dsp.dma_auto = 0;
    dsp.dma_paused = 0;
    dsp.fifo_r = dsp.fifo_w = 0;
    fifo_put(DSP_READY_BYTE);
}

static int args_of(int cmd)
{
    switch (cmd) {
    case 0x10: case 0x38: case 0x40: case 0xE0: case 0xE4:
        return 1;
    case 0x14: case 0x16: case 0x17: case 0x24: case 0x41: case 0x42: case 0x48:
    case 0x74: case 0x75: case 0x76: case 0x77: case 0x80:
        return 2;
    }
    return cmd >= 0xB0 && cmd <= 0xCF ? 3 : 0;
}

static int arg16(void)
{
    return dsp.args[0] | dsp.args[1] << 8;
}

static void start_dma(int auto_init, int len)
{
    dsp.dma_active = 1;
    dsp.dma_auto = auto_init;
    dsp.dma_paused = 0;
    dsp.block_len = len;
    dsp.remaining = len;
}

static void run_command(void)
{
    int c = dsp.cmd;
    if (debug_level > DEBUG_COMMANDS && c != CMD_DIRECT_DAC)
        dbg("SB cmd %02X %02X %02X\n", c, dsp.args[0], dsp.args[1]);
    switch (c) {
    case CMD_DIRECT_DAC:
        dsp.dac_level = (dsp.args[0] - DAC_CENTRE) << SAMPLE_SHIFT;
        break;
    case CMD_DMA8: case CMD_DMA8_ALT1: case CMD_DMA8_ALT2: case CMD_DMA8_HS:
        start_dma(0, arg16() + 1);
        break;
    case CMD_DMA8_AUTO: case CMD_DMA8_AUTO_ALT: case CMD_DMA8_AUTO_HS:
        start_dma(1, dsp.block_size);
        break;
    case CMD_DIRECT_ADC:
        fifo_put(ADC_SILENCE);
        break;
    case CMD_TIME_CONSTANT:
        dsp.rate_hz = US_PER_S / (TIME_CONSTANT_BASE - dsp.args[0]);
        if (dsp.mixer[MIXER_STEREO_REG] & MIXER_STEREO_BIT)
            dsp.rate_hz /= 2;
        break;
    case CMD_RATE_OUT: case CMD_RATE_IN:
        dsp.rate_hz = dsp.args[0] << 8 | dsp.args[1];
        break;
    case CMD_BLOCK_SIZE:
        dsp.block_size = arg16() + 1;
        break;
    case CMD_SILENCE:
        dsp.silence = arg16() + 1;
        break;
    case CMD_PAUSE:
        dsp.dma_paused = 1;
        break;
    case CMD_SPEAKER_ON:
        dsp.speaker = 1;
        break;
    case CMD_SPEAKER_OFF:
        dsp.speaker = 0;
        break;
    case CMD_CONTINUE:
        dsp.dma_paused = 0;
        break;
    case CMD_SPEAKER_STATUS:
        fifo_put(dsp.speaker ? SPEAKER_ON_ANSWER : SPEAKER_OFF_ANSWER);
        break;
    case CMD_EXIT_AUTO:
        dsp.dma_auto = 0;
        break;
    case CMD_IDENTIFY:
        fifo_put((uint8_t)~dsp.args[0]);
        break;
    case CMD_VERSION:
        fifo_put(VERSION_MAJOR);
        fifo_put(VERSION_MINOR);
        break;
    case CMD_COPYRIGHT:
        for (const char *p = copyright_text; *p; p++)
            fifo_put((uint8_t)*p);
        fifo_put(0);
        break;
    case CMD_TEST_WRITE:
        dsp.test_reg = dsp.args[0];
        break;
    case CMD_TEST_READ:
        fifo_put(dsp.test_reg);
        break;
    case CMD_IRQ_REQUEST:
        irq_request();
        break;
    }
}

static void dsp_write(uint8_t v)
{
    if (debug_level > DEBUG_WRITES)
        dbg("SB wr %02X\n", v);
    if (dsp.args_got < dsp.args_expected) {
        dsp.args[dsp.args_got++] = v;
        if (dsp.args_got == dsp.args_expected)
            run_command();
        return;
    }
    dsp.cmd = v;
    dsp.args_expected = args_of(v);
    dsp.args_got = 0;
    if (dsp.args_expected == 0)
        run_command();
}

static int is_opl_alias(uint16_t port)
{
    return (port >= SB_OPL_LO_FIRST && port <= SB_OPL_LO_LAST) ||
           (port >= SB_OPL_HI_FIRST && port <= SB_OPL_HI_LAST);
}

static uint16_t opl_port_of(uint16_t port)
{
    return port & 1 ? OPL_PORT_DATA : OPL_PORT_INDEX;
}

uint8_t sb_port_in(uint16_t port)
{
    if (is_opl_alias(port))
        return opl_port_in(opl_port_of(port));
    switch (port) {
    case SB_MIXER_INDEX:
        return dsp.mixer_index;
    case SB_MIXER_DATA:
        return dsp.mixer[dsp.mixer_index];
    case SB_READ_DATA: {
        if (fifo_empty())
            return OPEN_BUS;
        uint8_t v = dsp.fifo[dsp.fifo_r];
        dsp.fifo_r = (dsp.fifo_r + 1) % SB_FIFO_SIZE;
        return v;
    }
    case SB_WRITE:
        return STATUS_CLEAR;        // always ready for a write
    case SB_READ_STATUS:
        if (dsp.irq) {
            dsp.irq = 0;
            pic_lower(SB_IRQ);
            return fifo_empty() ? STATUS_CLEAR : STATUS_SET;
        }
        return fifo_empty() ? STATUS_CLEAR : STATUS_SET;
    }
    return OPEN_BUS;
}

void sb_port_out(uint16_t port, uint8_t v)
{
    if (is_opl_alias(port)) {
        opl_port_out(opl_port_of(port), v);
        return;
    }
    switch (port) {
    case SB_MIXER_INDEX:
        dsp.mixer_index = v;
        break;
    case SB_MIXER_DATA:
        dsp.mixer[dsp.mixer_index] = v;
        break;
    case SB_RESET:
        if (v & RESET_ARM_BIT) {
            dsp.reset_armed = 1;
        } else if (dsp.reset_armed) {
            dsp.reset_armed = 0;
            dsp_reset();
        }
        break;
    case SB_WRITE:
        dsp_write(v);
        break;
    }
}

uint8_t joy_port_in(uint16_t)
{
    return JOY_IDLE;
}

void joy_port_out(uint16_t, uint8_t)
{
}

// One DSP sample: silence first, else a DMA byte when the transfer may run.
static void dsp_tick(void)
{
    if (dsp.silence > 0) {
        dsp.dma_sample = 0;
        if (--dsp.silence == 0)
            irq_request();
        return;
    }
    if (!dsp.dma_active || dsp.dma_paused || dma_masked(DMA_SB_CHANNEL))
        return;
    dsp.dma_sample = (int16_t)((dma_read8(DMA_SB_CHANNEL) << SAMPLE_SHIFT) - DMA_SAMPLE_BIAS);
    if (--dsp.remaining <= 0) {
        irq_request();
        if (dsp.dma_auto)
            dsp.remaining = dsp.block_len;
        else
            dsp.dma_active = 0;
    }
}

void sb_render(int32_t *acc, int n, int out_rate)
{
    double step = (double)dsp.rate_hz / out_rate;
    for (int i = 0; i < n; i++) {
        if (dsp.silence > 0 || dsp.dma_active) {
            dsp.clock += step;
            while (dsp.clock >= 1) {
                dsp.clock -= 1;
                dsp_tick();
            }
            if (dsp.speaker)
                acc[i] += dsp.dma_sample;
        } else if (dsp.speaker) {
            acc[i] += dsp.dac_level;
        }
    }
}

int sb_rate_hz(void)
{
    return dsp.rate_hz;
}

int sb_dma_active(void)
{
    return dsp.dma_active;
}

void sb_init(void)
{
    audio_init();
    dma_init();
    memset(&dsp, 0, sizeof dsp);
    for (uint8_t r : mixer_full_volume)
        dsp.mixer[r] = 0xFF;
    dsp.rate_hz = SB_DEFAULT_RATE_HZ;
    port_map(SB_PORT_FIRST, SB_PORT_LAST, sb_port_in, sb_port_out);
    port_map(JOY_PORT, JOY_PORT, joy_port_in, joy_port_out);
}
