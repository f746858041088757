// The emulated address space: 1 MB + HMA of RAM behind a table of 16 KB
// pages. A null page is memory-mapped I/O (the VGA window); pages above the
// backing store all alias one scratch page. Writes into watched pages are
// reported so that code which rewrites itself leaves recompiled code.
#include "machine/cpu.h"

#include "devices/vga.h"

#include <cstdlib>
#include <cstring>

enum : uint32_t {
    STORE_SIZE = MEM_SIZE + PAGE_SIZE,          // 1 MB + HMA + the last page
    STORE_PAGES = STORE_SIZE / PAGE_SIZE,       // 69
    VGA_WIN_LO = 0xA0000,
    VGA_WIN_HI = 0xB0000,
};

uint8_t *mem_base;
uint8_t *mem_page[NUM_PAGES];
uint8_t mem_write_watch[NUM_PAGES];
uint32_t interp_insn_lin;
uint32_t *vga_writer_hist;

static uint8_t *scratch_page;

void mem_init(void)
{
    if (!mem_base)
        mem_base = static_cast<uint8_t *>(calloc(1, STORE_SIZE));
    else
        memset(mem_base, 0, STORE_SIZE);
    if (!scratch_page)
        scratch_page = static_cast<uint8_t *>(calloc(1, PAGE_SIZE));
    if (!mem_base || !scratch_page)
        fatal("out of memory for the address space");
    for (uint32_t i = 0; i < NUM_PAGES; i++)
        mem_page[i] = i < STORE_PAGES ? mem_base + i * PAGE_SIZE : scratch_page;
    for (uint32_t i = PAGE_OF(VGA_WIN_LO); i < PAGE_OF(VGA_WIN_HI); i++)
        mem_page[i] = nullptr;
    memset(mem_write_watch, 0, sizeof mem_write_watch);
}

// No device answers the VGA window until the adapter exists: it reads as an
// open bus and drops writes like every other unmapped address.
uint8_t io_mem_rd8(uint32_t lin)
{
    if (lin - VGA_WIN_LO < VGA_WIN_HI - VGA_WIN_LO)
        return vga_mem_rd(lin);
    return 0xFF;
}

void io_mem_wr8(uint32_t lin, uint8_t v)
{
    if (vga_writer_hist)
        vga_writer_hist[interp_insn_lin & 0xFFFFF]++;
    if (lin - VGA_WIN_LO < VGA_WIN_HI - VGA_WIN_LO)
        vga_mem_wr(lin, v);
}

// Nothing raises a watch bit yet: traced code and recompiled modules are the
// only watchers.
void mem_code_written(uint32_t lin)
{
    (void)lin;
}

// The slow paths of the inline accessors of cpu.h.

void mem_wr8l_slow(uint32_t lin, uint8_t v)
{
    uint32_t pg = PAGE_OF(lin);
    uint8_t *p = mem_page[pg];
    if (!p) {
        io_mem_wr8(lin & (ADDR_SPACE - 1), v);
        return;
    }
    p[lin & PAGE_MASK] = v;
    if (mem_write_watch[pg])
        mem_code_written(lin & (ADDR_SPACE - 1));
}

uint16_t mem_rd16l_slow(uint32_t lin)
{
    return (uint16_t)(rd8l(lin) | rd8l(lin + 1) << 8);
}

void mem_wr16l_slow(uint32_t lin, uint16_t v)
{
    wr8l(lin, (uint8_t)v);
    wr8l(lin + 1, (uint8_t)(v >> 8));
}

uint32_t mem_rd32l_slow(uint32_t lin)
{
    return rd16l(lin) | (uint32_t)rd16l(lin + 2) << 16;
}

void mem_wr32l_slow(uint32_t lin, uint32_t v)
{
    wr16l(lin, (uint16_t)v);
    wr16l(lin + 2, (uint16_t)(v >> 16));
}

uint16_t mem_rd16_wrap(uint16_t s, uint16_t o)
{
    return (uint16_t)(rd8l(LIN(s, o)) | rd8l(LIN(s, o + 1)) << 8);
}

void mem_wr16_wrap(uint16_t s, uint16_t o, uint16_t v)
{
    wr8l(LIN(s, o), (uint8_t)v);
    wr8l(LIN(s, o + 1), (uint8_t)(v >> 8));
}

uint32_t mem_rd32_wrap(uint16_t s, uint16_t o)
{
    return rd16(s, o) | (uint32_t)rd16(s, (uint16_t)(o + 2)) << 16;
}

void mem_wr32_wrap(uint16_t s, uint16_t o, uint32_t v)
{
    wr16(s, o, (uint16_t)v);
    wr16(s, (uint16_t)(o + 2), (uint16_t)(v >> 16));
}
