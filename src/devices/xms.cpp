// Extended memory through a far-call driver entry, and the INT 2Fh
// multiplex services that lead programs to it.
//
// Each handle owns one zero-filled host block. Programs never see the blocks
// directly: they copy with the move-block function, which checks both sides
// against the block sizes and the top of conventional memory before a byte
// moves. Copies that touch conventional memory go through the emulated
// accessors, so video memory and pages holding code see the writes as
// program stores.
#include "devices/xms.h"

#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>

enum : uint16_t {
    XMS_VERSION = 0x0300,       // interface version 3.00
    XMS_REVISION = 0x0300,
    MUX_XMS_PRESENT = 0x4300,
    MUX_XMS_ENTRY = 0x4310,
    MUX_WINDOWS_CHECK = 0x1600,
    MUX_RELEASE_SLICE = 0x1680,
    MUX_HMA_FREE = 0x4A01,
    MUX_HMA_ALLOCATE = 0x4A02,
    LOCK_ADDR_SCALE = 16,       // a locked block's pseudo address: (h * 16 + 32) << 16
    LOCK_ADDR_BASE = 32,
};

enum : uint8_t {
    XMS_INSTALLED = 0x80,
    INT_MULTIPLEX = 0x2F,
};

enum : uint32_t {
    KB = 1024,
    CONV_TOP = 0x110000,        // conventional memory and the HMA
    HIGHEST_ADDRESS = 0x0010FFFF,
};

// Offsets in the move-block parameter record.
enum : uint16_t {
    MOVE_LENGTH = 0,
    MOVE_SRC_HANDLE = 4,
    MOVE_SRC_OFFSET = 6,
    MOVE_DST_HANDLE = 10,
    MOVE_DST_OFFSET = 12,
};

struct XmsHandle {
    int used;
    uint8_t *block;
    int size_kb;
    int locks;
};

static struct {
    XmsHandle xh[XMS_HANDLES];
    int xms_used_kb;
    uint16_t xms_entry_off;
} xms;

static int free_kb(void) { return XMS_CAPACITY_KB - xms.xms_used_kb; }

static int handle_ok(uint32_t h)
{
    return h >= 1 && h < XMS_HANDLES && xms.xh[h].used;
}

static int free_handles(void)
{
    int n = 0;
    for (int h = 1; h < XMS_HANDLES; h++)
        n += !xms.xh[h].used;
    return n;
}

static void succeed(void)
{
    AX = 1;
    BL = XMS_OK;
}

static void fail(uint8_t code)
{
    AX = 0;
    BL = code;
}

static void allocate(uint32_t kb)
{
    if (kb == 0)
        kb = 1;
    if (kb > (uint32_t)free_kb())
        return fail(XMS_NO_MEMORY);
    for (int h = 1; h < XMS_HANDLES; h++) {
        XmsHandle &x = xms.xh[h];
        if (x.used)
            continue;
        x.block = static_cast<uint8_t *>(calloc(kb, KB));
        if (!x.block)
            return fail(XMS_NO_MEMORY);
        x.used = 1;
        x.size_kb = (int)kb;
        x.locks = 0;
        xms.xms_used_kb += (int)kb;
        DX = (uint16_t)h;
        return succeed();
    }
    fail(XMS_NO_HANDLES);
}

static void release(uint32_t h)
{
    if (!handle_ok(h))
        return fail(XMS_BAD_HANDLE);
    XmsHandle &x = xms.xh[h];
    free(x.block);
    xms.xms_used_kb -= x.size_kb;
    memset(&x, 0, sizeof x);
    succeed();
}

// A block grows only into free capacity, so the free figure never goes
// negative.
static void resize(uint32_t h, uint32_t kb)
{
    if (!handle_ok(h))
        return fail(XMS_BAD_HANDLE);
    XmsHandle &x = xms.xh[h];
    if (kb == 0)
        kb = 1;
    if (kb > (uint32_t)x.size_kb && kb - x.size_kb > (uint32_t)free_kb())
        return fail(XMS_NO_MEMORY);
    uint8_t *p = static_cast<uint8_t *>(realloc(x.block, (size_t)kb * KB));
    if (!p)
        return fail(XMS_NO_MEMORY);
    if (kb > (uint32_t)x.size_kb)
        memset(p + (size_t)x.size_kb * KB, 0, (size_t)(kb - x.size_kb) * KB);
    xms.xms_used_kb += (int)kb - x.size_kb;
    x.block = p;
    x.size_kb = (int)kb;
    succeed();
}

// One side of a move: a block (host pointer) or conventional memory (linear).
struct MoveSide {
    uint8_t *block;
    uint32_t lin;
};

static uint8_t move_side(uint16_t handle, uint32_t off, uint32_t len, MoveSide &side)
{
    if (handle == 0) {
        side.block = nullptr;
        side.lin = (off >> 16) * 16 + (off & 0xFFFF);
        return (uint64_t)side.lin + len <= CONV_TOP ? XMS_OK : XMS_BAD_LENGTH;
    }
    if (!handle_ok(handle) || (uint64_t)off + len > (uint64_t)xms.xh[handle].size_kb * KB)
        return XMS_BAD_MOVE_HANDLE;
    side.block = xms.xh[handle].block + off;
    return XMS_OK;
}

static void move_block(void)
{
    uint32_t len = rd32(DS, (uint16_t)(SI + MOVE_LENGTH));
    if (len & 1)
        return fail(XMS_BAD_LENGTH);
    MoveSide src, dst;
    uint8_t st = move_side(rd16(DS, (uint16_t)(SI + MOVE_SRC_HANDLE)), rd32(DS, (uint16_t)(SI + MOVE_SRC_OFFSET)),
                           len, src);
    if (st == XMS_OK)
        st = move_side(rd16(DS, (uint16_t)(SI + MOVE_DST_HANDLE)), rd32(DS, (uint16_t)(SI + MOVE_DST_OFFSET)),
                       len, dst);
    if (st != XMS_OK)
        return fail(st);

    if (src.block && dst.block)
        memmove(dst.block, src.block, len);
    else if (src.block)
        for (uint32_t i = 0; i < len; i++)
            wr8l(dst.lin + i, src.block[i]);
    else if (dst.block)
        for (uint32_t i = 0; i < len; i++)
            dst.block[i] = rd8l(src.lin + i);
    else if (dst.lin > src.lin)     // overlapping copies keep the source intact
        for (uint32_t i = len; i-- > 0;)
            wr8l(dst.lin + i, rd8l(src.lin + i));
    else
        for (uint32_t i = 0; i < len; i++)
            wr8l(dst.lin + i, rd8l(src.lin + i));
    succeed();
}

static void handle_info(uint32_t h, int wide)
{
    if (!handle_ok(h))
        return fail(XMS_BAD_HANDLE);
    const XmsHandle &x = xms.xh[h];
    AX = 1;
    BH = (uint8_t)(x.locks > 0xFF ? 0xFF : x.locks);
    BL = (uint8_t)free_handles();
    if (wide) {
        CX = (uint16_t)free_handles();
        EDX = (uint32_t)x.size_kb;
    } else {
        DX = (uint16_t)x.size_kb;
    }
}

void xms_entry(void)
{
    switch (AH) {
    case 0x00:
        AX = XMS_VERSION;
        BX = XMS_REVISION;
        DX = 1;                         // the HMA exists
        break;
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x07:
        succeed();                      // HMA and A20: always there, always on
        break;
    case 0x08:
        AX = DX = (uint16_t)free_kb();
        BL = XMS_OK;
        break;
    case 0x09: allocate(DX); break;
    case 0x0A: release(DX); break;
    case 0x0B: move_block(); break;
    case 0x0C:
        if (!handle_ok(DX))
            return fail(XMS_BAD_HANDLE);
        xms.xh[DX].locks++;
        DX = (uint16_t)(DX * LOCK_ADDR_SCALE + LOCK_ADDR_BASE);
        BX = 0;
        AX = 1;
        break;
    case 0x0D:
        if (handle_ok(DX) && xms.xh[DX].locks > 0)
            xms.xh[DX].locks--;
        succeed();
        break;
    case 0x0E: handle_info(DX, 0); break;
    case 0x0F: resize(DX, BX); break;
    case 0x10:
        fail(XMS_NO_UMB);
        DX = 0;
        break;
    case 0x11: fail(XMS_BAD_UMB); break;
    case 0x88:
        EAX = EDX = (uint32_t)free_kb();
        ECX = HIGHEST_ADDRESS;
        BL = XMS_OK;
        break;
    case 0x89: allocate(EDX); break;
    case 0x8E: handle_info(DX, 1); break;
    default: fail(XMS_BAD_FUNCTION); break;
    }
}

void int2f(void)
{
    switch (AX) {
    case MUX_XMS_PRESENT: AL = XMS_INSTALLED; break;
    case MUX_XMS_ENTRY:
        ES = HLE_SEG;
        BX = xms.xms_entry_off;
        break;
    case MUX_WINDOWS_CHECK: AL = 0; break;
    case MUX_RELEASE_SLICE:
        AL = 0;
        machine_wait();
        break;
    case MUX_HMA_FREE:
    case MUX_HMA_ALLOCATE: BX = 0; break;
    default: break;
    }
}

uint16_t xms_entry_offset(void) { return xms.xms_entry_off; }

void xms_init(void)
{
    for (XmsHandle &x : xms.xh)
        free(x.block);
    memset(&xms, 0, sizeof xms);
    xms.xms_entry_off = hle_add(xms_entry, 0, "xms");
    hle_set_vector(INT_MULTIPLEX, int2f, "int2f");
}
