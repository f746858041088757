// The 8237 as programs drive it for sound: address and count registers
// written low byte then high byte through one shared flip-flop, a mode
// byte per channel, mask bits, and the terminal-count status bits. Base and
// current registers are written together; transfers only move the current
// ones, so auto-initialise can put the base values back.
#include "devices/dma.h"

#include "machine/cpu.h"
#include "machine/ports.h"

#include <cstring>

enum : uint16_t {
    DMA_PORT_FIRST = 0x00,
    DMA_PORT_CHANNEL_LAST = 0x07,       // 00h-07h: address/count of channels 0-3
    DMA_PORT_STATUS = 0x08,             // read: terminal-count bits, cleared by reading
    DMA_PORT_MASK_ONE = 0x0A,           // write: mask bit of one channel
    DMA_PORT_MODE = 0x0B,
    DMA_PORT_CLEAR_FF = 0x0C,
    DMA_PORT_MASTER_CLEAR = 0x0D,
    DMA_PORT_UNMASK_ALL = 0x0E,
    DMA_PORT_MASK_ALL = 0x0F,           // write: mask bits of channels 0-3
    DMA_PORT_LAST = 0x0F,
    DMA_PAGE_FIRST = 0x80,
    DMA_PAGE_LAST = 0x8F,
    DMA_PAGE_CH0 = 0x87,
    DMA_PAGE_CH1 = 0x83,
    DMA_PAGE_CH2 = 0x81,
    DMA_PAGE_CH3 = 0x82,
};

enum : uint8_t {
    DMA_CH_SELECT = 0x03,           // channel number in mask and mode bytes
    DMA_MASK_BIT = 0x04,            // 0Ah: set or clear the mask
    DMA_MODE_AUTOINIT = 0x10,       // reload base address and count at the terminal count
    DMA_MODE_DOWN = 0x20,           // address decrements
    DMA_STATUS_TC = 0x0F,           // bits 0-3: terminal count reached, per channel
    DMA_PAGE_BITS = 0x0F,           // A16-A19
    DMA_OPEN_BUS = 0xFF,
};

constexpr int DEBUG_PORT_WRITES = 2;    // debug level above which writes are traced

struct DmaChannel {
    uint16_t base_addr, base_count;
    uint16_t cur_addr, cur_count;
    uint8_t page;
    uint8_t mode;
    int masked;
};

static struct {
    DmaChannel ch[DMA_CHANNELS];
    int ff;                         // 0: the next access is the low byte
    uint8_t status;
} dma;

static const uint16_t page_port[DMA_CHANNELS] = {DMA_PAGE_CH0, DMA_PAGE_CH1, DMA_PAGE_CH2, DMA_PAGE_CH3};

static int page_channel(uint16_t port)
{
    for (int c = 0; c < DMA_CHANNELS; c++)
        if (page_port[c] == port)
            return c;
    return -1;
}

// One byte of a 16-bit register through the flip-flop, which toggles.
static void write_half(uint16_t *reg, uint8_t v)
{
    *reg = dma.ff ? (uint16_t)((*reg & 0x00FF) | v << 8) : (uint16_t)((*reg & 0xFF00) | v);
    dma.ff ^= 1;
}

static uint8_t read_half(uint16_t reg)
{
    uint8_t v = dma.ff ? (uint8_t)(reg >> 8) : (uint8_t)reg;
    dma.ff ^= 1;
    return v;
}

uint8_t dma_port_in(uint16_t port)
{
    if (port <= DMA_PORT_CHANNEL_LAST) {
        DmaChannel &c = dma.ch[port >> 1];
        return read_half(port & 1 ? c.cur_count : c.cur_addr);
    }
    if (port == DMA_PORT_STATUS) {
        uint8_t v = dma.status;
        dma.status &= (uint8_t)~DMA_STATUS_TC;
        return v;
    }
    int pc = page_channel(port);
    return pc >= 0 ? dma.ch[pc].page : (uint8_t)DMA_OPEN_BUS;
}

void dma_port_out(uint16_t port, uint8_t v)
{
    if (debug_level > DEBUG_PORT_WRITES)
        dbg("DMA out %02X %02X\n", port, v);
    if (port <= DMA_PORT_CHANNEL_LAST) {
        DmaChannel &c = dma.ch[port >> 1];
        int ff = dma.ff;
        if (port & 1) {
            write_half(&c.base_count, v);
            dma.ff = ff;
            write_half(&c.cur_count, v);
        } else {
            write_half(&c.base_addr, v);
            dma.ff = ff;
            write_half(&c.cur_addr, v);
        }
        return;
    }
    switch (port) {
    case DMA_PORT_MASK_ONE:
        dma.ch[v & DMA_CH_SELECT].masked = (v & DMA_MASK_BIT) != 0;
        return;
    case DMA_PORT_MODE:
        dma.ch[v & DMA_CH_SELECT].mode = v;
        return;
    case DMA_PORT_CLEAR_FF:
        dma.ff = 0;
        return;
    case DMA_PORT_MASTER_CLEAR:
        dma.ff = 0;
        for (DmaChannel &c : dma.ch)
            c.masked = 1;
        return;
    case DMA_PORT_UNMASK_ALL:
        for (DmaChannel &c : dma.ch)
            c.masked = 0;
        return;
    case DMA_PORT_MASK_ALL:
        for (int c = 0; c < DMA_CHANNELS; c++)
            dma.ch[c].masked = (v >> c) & 1;
        return;
    }
    int pc = page_channel(port);
    if (pc >= 0)
        dma.ch[pc].page = v;
}

int dma_masked(int ch)
{
    return dma.ch[ch].masked;
}

uint8_t dma_read8(int ch)
{
    DmaChannel &c = dma.ch[ch];
    uint8_t v = rd8l((uint32_t)(c.page & DMA_PAGE_BITS) << 16 | c.cur_addr);
    c.cur_addr = (uint16_t)(c.mode & DMA_MODE_DOWN ? c.cur_addr - 1 : c.cur_addr + 1);
    if (c.cur_count-- == 0) {           // passed below 0: terminal count
        dma.status |= (uint8_t)(1 << ch);
        if (c.mode & DMA_MODE_AUTOINIT) {
            c.cur_addr = c.base_addr;
            c.cur_count = c.base_count;
        } else {
            c.masked = 1;
        }
    }
    return v;
}

uint16_t dma_current_address(int ch)
{
    return dma.ch[ch].cur_addr;
}

uint16_t dma_current_count(int ch)
{
    return dma.ch[ch].cur_count;
}

void dma_init(void)
{
    memset(&dma, 0, sizeof dma);
    for (DmaChannel &c : dma.ch)
        c.masked = 1;
    port_map(DMA_PORT_FIRST, DMA_PORT_LAST, dma_port_in, dma_port_out);
    port_map(DMA_PAGE_FIRST, DMA_PAGE_LAST, dma_port_in, dma_port_out);
}
