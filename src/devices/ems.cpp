// Expanded memory through INT 67h.
//
// The 8 MB live in one host array of 16 KB pages. A handle owns a list of
// those pages in logical order; mapping logical page L of a handle into
// physical page P points entry 56 + P of the page table at that EMS page, so
// the frame E000h-EFFFFh is plain memory to the accessors. A physical page
// with nothing mapped shows one shared scratch page.
//
// The driver segment F100h carries the device name "EMMXXXX0" at offset 0Ah,
// where programs look for it through the segment of the INT 67h vector, and
// at offset 20h a far jump to the host service's stub, which is where the
// vector points.
#include "devices/ems.h"

#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>

enum : uint8_t {
    EMS_FN_FIRST = 0x40,
    EMS_FN_LAST = 0x59,
    EMS_VERSION = 0x40,         // 4.0 in BCD
    OP_JMP_FAR = 0xEA,
    INT_EMS = 0x67,
};

enum : uint16_t {
    NO_PAGE = 0xFFFF,           // -1 in a map entry or a logical page number
    FRAME_SEG_STEP = 0x400,     // paragraphs per physical page
    // Segments just below the frame still select physical page 0.
    FRAME_LOW_SEG = 0xDC01,
    MAP_ARRAY_BYTES = EMS_FRAME_PAGES * 2,
    HANDLE_DIR_BYTES = 2 + EMS_NAME_LEN,
};

static const char device_name[] = "EMMXXXX0";

struct EmsHandle {
    int used;
    int pages;
    uint16_t page[EMS_PAGES];           // EMS page of each logical page
    uint8_t name[EMS_NAME_LEN];
    int16_t saved_map[EMS_FRAME_PAGES];
    int saved;
};

static struct {
    uint8_t *ems_mem;                   // EMS_PAGES pages, allocated once
    uint8_t *ems_dummy;                 // what an unmapped physical page shows
    int16_t ems_owner[EMS_PAGES];       // owning handle, -1 = free
    EmsHandle ems_h[EMS_HANDLES];
    int16_t ems_map[EMS_FRAME_PAGES];   // EMS page in each physical page, -1 = none
} ems;

static int free_pages(void)
{
    int n = 0;
    for (int16_t o : ems.ems_owner)
        n += o < 0;
    return n;
}

static int handle_ok(int h)
{
    return h >= 0 && h < EMS_HANDLES && ems.ems_h[h].used;
}

// Points physical page `phys` at EMS page `page` (negative: the scratch
// page). The visible bytes change without a store, so a frame page that
// holds traced or recompiled code is told about every byte that differs.
static void frame_point(int phys, int page)
{
    int entry = EMS_FRAME_FIRST + phys;
    uint8_t *old = mem_page[entry];
    uint8_t *now = page < 0 ? ems.ems_dummy : ems.ems_mem + (size_t)page * EMS_PAGE_BYTES;
    mem_page[entry] = now;
    ems.ems_map[phys] = (int16_t)(page < 0 ? -1 : page);
    if (!mem_write_watch[entry] || old == now)
        return;
    uint32_t base = (uint32_t)entry << PAGE_SHIFT;
    for (uint32_t i = 0; i < EMS_PAGE_BYTES; i++)
        if (!old || old[i] != now[i])
            mem_code_written(base + i);
}

// Gives handle h pages until it has `count`, lowest free pages first; the
// caller has checked that enough are free.
static void grow(EmsHandle &h, int id, int count)
{
    for (int p = 0; p < EMS_PAGES && h.pages < count; p++)
        if (ems.ems_owner[p] < 0) {
            ems.ems_owner[p] = (int16_t)id;
            h.page[h.pages++] = (uint16_t)p;
        }
}

static void shrink(EmsHandle &h, int count)
{
    while (h.pages > count)
        ems.ems_owner[h.page[--h.pages]] = -1;
}

int ems_map_page(int handle, int logical, int physical)
{
    if (physical < 0 || physical >= EMS_FRAME_PAGES)
        return EMS_BAD_PHYSICAL;
    if (!handle_ok(handle))
        return EMS_BAD_HANDLE;
    if (logical == -1) {
        frame_point(physical, -1);
        return EMS_OK;
    }
    const EmsHandle &h = ems.ems_h[handle];
    if (logical < 0 || logical >= h.pages)
        return EMS_BAD_LOGICAL;
    frame_point(physical, h.page[logical]);
    return EMS_OK;
}

static int logical_of(uint16_t bx)
{
    return bx == NO_PAGE ? -1 : bx;
}

// ---- the services, one per AH; each returns the status for AH ----------------

typedef uint8_t (*EmsFn)(void);

static uint8_t fn_status(void) { return EMS_OK; }

static uint8_t fn_frame_segment(void)
{
    BX = EMS_FRAME_SEG;
    return EMS_OK;
}

static uint8_t fn_page_counts(void)
{
    BX = (uint16_t)free_pages();
    DX = EMS_PAGES;
    return EMS_OK;
}

static uint8_t fn_allocate(void)
{
    int count = BX;
    if (count > free_pages())
        return EMS_NOT_ENOUGH_PAGES;
    if (count == 0)
        return EMS_ZERO_PAGES;
    for (int id = 1; id < EMS_HANDLES; id++) {
        EmsHandle &h = ems.ems_h[id];
        if (h.used)
            continue;
        memset(&h, 0, sizeof h);
        h.used = 1;
        grow(h, id, count);
        DX = (uint16_t)id;
        return EMS_OK;
    }
    return EMS_NO_HANDLES;
}

static uint8_t fn_map(void)
{
    return (uint8_t)ems_map_page(DX, logical_of(BX), AL);
}

// Handle 0 belongs to the system: releasing it gives back its pages but
// keeps it in use.
static uint8_t fn_release(void)
{
    if (!handle_ok(DX))
        return EMS_BAD_HANDLE;
    EmsHandle &h = ems.ems_h[DX];
    shrink(h, 0);
    if (DX != 0) {
        h.used = 0;
        h.saved = 0;
        memset(h.name, 0, sizeof h.name);
    }
    return EMS_OK;
}

static uint8_t fn_version(void)
{
    AL = EMS_VERSION;
    return EMS_OK;
}

static uint8_t fn_save_map(void)
{
    if (DX < EMS_HANDLES) {
        EmsHandle &h = ems.ems_h[DX];
        memcpy(h.saved_map, ems.ems_map, sizeof h.saved_map);
        h.saved = 1;
    }
    return EMS_OK;
}

static uint8_t fn_restore_map(void)
{
    if (DX < EMS_HANDLES && ems.ems_h[DX].saved) {
        EmsHandle &h = ems.ems_h[DX];
        for (int i = 0; i < EMS_FRAME_PAGES; i++)
            frame_point(i, h.saved_map[i]);
        h.saved = 0;
    }
    return EMS_OK;
}

static uint8_t fn_handle_count(void)
{
    int n = 0;
    for (const EmsHandle &h : ems.ems_h)
        n += h.used;
    BX = (uint16_t)n;
    return EMS_OK;
}

static uint8_t fn_handle_pages(void)
{
    if (!handle_ok(DX))
        return EMS_BAD_HANDLE;
    BX = (uint16_t)ems.ems_h[DX].pages;
    return EMS_OK;
}

static uint8_t fn_all_handle_pages(void)
{
    uint16_t n = 0;
    for (int id = 0; id < EMS_HANDLES; id++) {
        if (!ems.ems_h[id].used)
            continue;
        wr16(ES, (uint16_t)(DI + 4 * n), (uint16_t)id);
        wr16(ES, (uint16_t)(DI + 4 * n + 2), (uint16_t)ems.ems_h[id].pages);
        n++;
    }
    BX = n;
    return EMS_OK;
}

// Map arrays hold the EMS page of each physical page, -1 for none. A stored
// array is checked whole before any of it is mapped, so a corrupted one
// changes nothing.
static void map_get(uint16_t seg, uint16_t off)
{
    for (int i = 0; i < EMS_FRAME_PAGES; i++)
        wr16(seg, (uint16_t)(off + 2 * i), (uint16_t)ems.ems_map[i]);
}

static uint8_t map_set(uint16_t seg, uint16_t off)
{
    int16_t page[EMS_FRAME_PAGES];
    for (int i = 0; i < EMS_FRAME_PAGES; i++) {
        page[i] = (int16_t)rd16(seg, (uint16_t)(off + 2 * i));
        if (page[i] >= EMS_PAGES)
            return EMS_BAD_MAP_ARRAY;
    }
    for (int i = 0; i < EMS_FRAME_PAGES; i++)
        frame_point(i, page[i]);
    return EMS_OK;
}

static uint8_t fn_page_map(void)
{
    switch (AL) {
    case 0x00: map_get(ES, DI); return EMS_OK;
    case 0x01: return map_set(DS, SI);
    case 0x02: map_get(ES, DI); return map_set(DS, SI);
    case 0x03: AL = MAP_ARRAY_BYTES; return EMS_OK;
    default: return EMS_BAD_SUBFUNCTION;
    }
}

// Physical page of a frame segment for the segment form of the multiple
// mapping; EMS_FRAME_PAGES or more means invalid.
static int physical_of_segment(uint16_t s)
{
    if (s >= EMS_FRAME_SEG)
        return (s - EMS_FRAME_SEG) / FRAME_SEG_STEP;
    if (s >= FRAME_LOW_SEG)
        return (s - FRAME_LOW_SEG) / FRAME_SEG_STEP;
    return EMS_FRAME_PAGES;
}

static uint8_t fn_map_multiple(void)
{
    if (AL > 0x01)
        return EMS_BAD_SUBFUNCTION;
    int by_segment = AL == 0x01;
    for (uint16_t i = 0; i < CX; i++) {
        uint16_t logical = rd16(DS, (uint16_t)(SI + 4 * i));
        uint16_t where = rd16(DS, (uint16_t)(SI + 4 * i + 2));
        int physical = by_segment ? physical_of_segment(where) : where;
        int st = ems_map_page(DX, logical_of(logical), physical);
        if (st != EMS_OK)
            return (uint8_t)st;
    }
    return EMS_OK;
}

static uint8_t fn_reallocate(void)
{
    if (!handle_ok(DX))
        return EMS_BAD_HANDLE;
    EmsHandle &h = ems.ems_h[DX];
    int count = BX;
    if (count > h.pages) {
        if (count - h.pages > free_pages())
            return EMS_NOT_ENOUGH_PAGES;
        grow(h, DX, count);
    } else {
        shrink(h, count);
    }
    BX = (uint16_t)h.pages;
    return EMS_OK;
}

// Names may be read and set for any handle number in range, in use or not.
static uint8_t fn_handle_name(void)
{
    if (AL > 0x01)
        return EMS_BAD_SUBFUNCTION;
    if (DX >= EMS_HANDLES)
        return EMS_BAD_HANDLE;
    uint8_t *name = ems.ems_h[DX].name;
    for (int i = 0; i < EMS_NAME_LEN; i++) {
        if (AL == 0x00)
            wr8(ES, (uint16_t)(DI + i), name[i]);
        else
            name[i] = rd8(DS, (uint16_t)(SI + i));
    }
    return EMS_OK;
}

static uint8_t fn_handle_directory(void)
{
    switch (AL) {
    case 0x00: {
        uint16_t n = 0;
        for (int id = 0; id < EMS_HANDLES; id++) {
            if (!ems.ems_h[id].used)
                continue;
            uint16_t at = (uint16_t)(DI + HANDLE_DIR_BYTES * n);
            wr16(ES, at, (uint16_t)id);
            for (int i = 0; i < EMS_NAME_LEN; i++)
                wr8(ES, (uint16_t)(at + 2 + i), ems.ems_h[id].name[i]);
            n++;
        }
        AL = (uint8_t)n;
        return EMS_OK;
    }
    case 0x02: BX = EMS_HANDLES; return EMS_OK;
    default: return EMS_NAME_NOT_FOUND;
    }
}

static uint8_t fn_mappable_pages(void)
{
    if (AL == 0x00)
        for (int i = 0; i < EMS_FRAME_PAGES; i++) {
            wr16(ES, (uint16_t)(DI + 4 * i), (uint16_t)(EMS_FRAME_SEG + FRAME_SEG_STEP * i));
            wr16(ES, (uint16_t)(DI + 4 * i + 2), (uint16_t)i);
        }
    CX = EMS_FRAME_PAGES;
    return EMS_OK;
}

static uint8_t fn_hardware_info(void)
{
    if (AL != 0x01)
        return EMS_DENIED;
    BX = (uint16_t)free_pages();
    DX = EMS_PAGES;
    return EMS_OK;
}

static uint8_t fn_unsupported(void) { return EMS_BAD_FUNCTION; }

static const EmsFn ems_fns[EMS_FN_LAST - EMS_FN_FIRST + 1] = {
    fn_status,              // 40h get status
    fn_frame_segment,       // 41h get page frame segment
    fn_page_counts,         // 42h get unallocated and total pages
    fn_allocate,            // 43h allocate pages
    fn_map,                 // 44h map one page
    fn_release,             // 45h release handle and its pages
    fn_version,             // 46h get version
    fn_save_map,            // 47h save the page map into a handle
    fn_restore_map,         // 48h restore a handle's saved page map
    fn_unsupported,         // 49h
    fn_unsupported,         // 4Ah
    fn_handle_count,        // 4Bh handles in use
    fn_handle_pages,        // 4Ch pages of one handle
    fn_all_handle_pages,    // 4Dh pages of every handle
    fn_page_map,            // 4Eh get / set the page map
    fn_unsupported,         // 4Fh
    fn_map_multiple,        // 50h map several pages
    fn_reallocate,          // 51h reallocate a handle's pages
    fn_unsupported,         // 52h
    fn_handle_name,         // 53h get / set a handle name
    fn_handle_directory,    // 54h handle directory
    fn_unsupported,         // 55h
    fn_unsupported,         // 56h
    fn_unsupported,         // 57h
    fn_mappable_pages,      // 58h mappable physical pages
    fn_hardware_info,       // 59h hardware information
};

void int67(void)
{
    uint8_t fn = AH;
    if (fn < EMS_FN_FIRST || fn > EMS_FN_LAST) {
        AH = EMS_BAD_FUNCTION;
        return;
    }
    AH = ems_fns[fn - EMS_FN_FIRST]();
}

void ems_init(void)
{
    if (!ems.ems_mem) {
        ems.ems_mem = static_cast<uint8_t *>(calloc(EMS_PAGES, EMS_PAGE_BYTES));
        ems.ems_dummy = static_cast<uint8_t *>(calloc(1, EMS_PAGE_BYTES));
        if (!ems.ems_mem || !ems.ems_dummy)
            fatal("out of memory for EMS");
    } else {
        memset(ems.ems_mem, 0, (size_t)EMS_PAGES * EMS_PAGE_BYTES);
        memset(ems.ems_dummy, 0, EMS_PAGE_BYTES);
    }
    memset(ems.ems_owner, 0xFF, sizeof ems.ems_owner);
    memset(ems.ems_h, 0, sizeof ems.ems_h);
    ems.ems_h[0].used = 1;
    for (int i = 0; i < EMS_FRAME_PAGES; i++)
        frame_point(i, -1);

    uint16_t stub = hle_add(int67, 1, "int67");
    hle_mark_sti(stub);
    for (int i = 0; device_name[i]; i++)
        wr8(EMS_SEG, (uint16_t)(EMS_NAME_OFF + i), (uint8_t)device_name[i]);
    wr8(EMS_SEG, EMS_ENTRY_OFF, OP_JMP_FAR);
    wr16(EMS_SEG, EMS_ENTRY_OFF + 1, stub);
    wr16(EMS_SEG, EMS_ENTRY_OFF + 3, HLE_SEG);
    wr16l(INT_EMS * 4u, EMS_ENTRY_OFF);
    wr16l(INT_EMS * 4u + 2, EMS_SEG);
}
