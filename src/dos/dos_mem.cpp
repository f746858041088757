// Conventional memory as DOS manages it: a chain of memory control blocks,
// each a paragraph in front of its block, from the first MCB up to A000h.
// Allocation is first fit; freed neighbours are merged lazily, before the
// next allocation or resize. The chain lives in emulated memory where
// programs can read (and break) it; a broken chain ends the run.
#include "dos/dos.h"

#include "machine/cpu.h"

uint16_t dos_first_mcb = FIRST_MCB_DEFAULT;

static uint8_t mcb_type(uint16_t mcb) { return rd8(mcb, MCB_TYPE); }
static uint16_t mcb_owner(uint16_t mcb) { return rd16(mcb, MCB_OWNER); }
static uint16_t mcb_size(uint16_t mcb) { return rd16(mcb, MCB_SIZE); }

void mcb_set(uint16_t mcb, uint8_t type, uint16_t owner, uint16_t size)
{
    wr8(mcb, MCB_TYPE, type);
    wr16(mcb, MCB_OWNER, owner);
    wr16(mcb, MCB_SIZE, size);
}

// The MCB after mcb, checked: a block that runs past the end of conventional
// memory (or wraps) is as broken as a bad type byte.
static uint16_t mcb_next(uint16_t mcb)
{
    uint32_t next = (uint32_t)mcb + mcb_size(mcb) + 1;
    if (next >= DOS_MEM_END)
        fatal("MCB chain corrupt at %04X", mcb);
    uint8_t t = mcb_type((uint16_t)next);
    if (t != MCB_MID && t != MCB_LAST)
        fatal("MCB chain corrupt at %04X", (unsigned)next);
    return (uint16_t)next;
}

static void mcb_check(uint16_t mcb)
{
    uint8_t t = mcb_type(mcb);
    if (t != MCB_MID && t != MCB_LAST)
        fatal("MCB chain corrupt at %04X", mcb);
}

void mcb_coalesce(void)
{
    uint16_t mcb = dos_first_mcb;
    mcb_check(mcb);
    while (mcb_type(mcb) == MCB_MID) {
        uint16_t next = mcb_next(mcb);
        if (mcb_owner(mcb) == DOS_OWNER_FREE && mcb_owner(next) == DOS_OWNER_FREE) {
            mcb_set(mcb, mcb_type(next), DOS_OWNER_FREE, (uint16_t)(mcb_size(mcb) + mcb_size(next) + 1));
            continue;
        }
        mcb = next;
    }
}

uint16_t dos_alloc(uint16_t paragraphs, uint16_t owner, uint16_t *largest)
{
    mcb_coalesce();
    uint16_t best = 0, found = 0;
    for (uint16_t mcb = dos_first_mcb;; mcb = mcb_next(mcb)) {
        if (mcb_owner(mcb) == DOS_OWNER_FREE) {
            if (mcb_size(mcb) > best)
                best = mcb_size(mcb);
            if (!found && mcb_size(mcb) >= paragraphs)
                found = mcb;
        }
        if (mcb_type(mcb) == MCB_LAST)
            break;
    }
    if (largest)
        *largest = best;
    if (!found)
        return 0;
    uint16_t size = mcb_size(found);
    if (size > paragraphs) {
        mcb_set((uint16_t)(found + paragraphs + 1), mcb_type(found), DOS_OWNER_FREE,
                (uint16_t)(size - paragraphs - 1));
        mcb_set(found, MCB_MID, owner, paragraphs);
    } else {
        mcb_set(found, mcb_type(found), owner, size);
    }
    for (int i = 0; i < MCB_NAME_LEN; i++)
        wr8(found, (uint16_t)(MCB_NAME + i), 0);
    return (uint16_t)(found + 1);
}

static int is_mcb(uint16_t segment)
{
    if (segment == 0)
        return 0;
    uint8_t t = mcb_type((uint16_t)(segment - 1));
    return t == MCB_MID || t == MCB_LAST;
}

int dos_free(uint16_t segment)
{
    if (!is_mcb(segment))
        return DOSERR_BAD_BLOCK;
    wr16((uint16_t)(segment - 1), MCB_OWNER, DOS_OWNER_FREE);
    return DOSERR_NONE;
}

int dos_resize(uint16_t segment, uint16_t paragraphs, uint16_t *maximum)
{
    if (!is_mcb(segment))
        return DOSERR_BAD_BLOCK;
    mcb_coalesce();
    uint16_t mcb = (uint16_t)(segment - 1);
    uint16_t size = mcb_size(mcb);
    uint8_t type = mcb_type(mcb);
    if (paragraphs <= size) {
        if (paragraphs < size) {
            mcb_set((uint16_t)(mcb + paragraphs + 1), type, DOS_OWNER_FREE, (uint16_t)(size - paragraphs - 1));
            mcb_set(mcb, MCB_MID, mcb_owner(mcb), paragraphs);
            mcb_coalesce();
        }
        return DOSERR_NONE;
    }
    uint32_t space = size;
    uint16_t next = 0;
    if (type == MCB_MID) {
        next = mcb_next(mcb);
        if (mcb_owner(next) == DOS_OWNER_FREE)
            space = (uint32_t)size + mcb_size(next) + 1;
        else
            next = 0;
    }
    if (!next || space < paragraphs) {
        if (maximum)
            *maximum = (uint16_t)(space > 0xFFFF ? 0xFFFF : space);
        return DOSERR_NO_MEMORY;
    }
    uint8_t next_type = mcb_type(next);
    if (space == paragraphs) {
        mcb_set(mcb, next_type, mcb_owner(mcb), paragraphs);
    } else {
        mcb_set((uint16_t)(mcb + paragraphs + 1), next_type, DOS_OWNER_FREE,
                (uint16_t)(space - paragraphs - 1));
        mcb_set(mcb, MCB_MID, mcb_owner(mcb), paragraphs);
    }
    return DOSERR_NONE;
}

void dos_free_owned(uint16_t psp)
{
    for (uint16_t mcb = dos_first_mcb;; mcb = mcb_next(mcb)) {
        if (mcb_owner(mcb) == psp)
            wr16(mcb, MCB_OWNER, DOS_OWNER_FREE);
        if (mcb_type(mcb) == MCB_LAST)
            break;
    }
    mcb_coalesce();
}
