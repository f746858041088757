// CRT controller (3B4h/3B5h, 3D4h/3D5h) and input status 1 (3BAh/3DAh) with
// the retrace emulation.
//
// Retrace runs on the host clock: each refresh period of vga_frame_us ends in
// a retrace window of a tenth of the period. Programs poll bit 3 to pace
// themselves, but an interpreted or recompiled program may poll too rarely
// to ever land inside the short window; so a period whose window passed
// unseen is reported late, at the next read. The engine integration may ask
// for only every n-th retrace (its frame divider), and vga_sync_phase slides
// the period origin so that the emulated retrace comes just before the host
// display's own.
#include "devices/vga_state.h"

#include "machine/hle.h"

enum : uint8_t { CRTC_INDEX_MASK = CRTC_COUNT - 1 };
enum : uint32_t { HRETRACE_BIT = 5 };      // toggles every 32 us, like horizontal retrace

uint8_t vga_crtc_in(uint16_t port)
{
    if ((port & 1) == 0)
        return vga.crtc_idx;
    return vga.crtc[vga.crtc_idx & CRTC_INDEX_MASK];
}

void vga_crtc_out(uint16_t port, uint8_t v)
{
    if ((port & 1) == 0) {
        vga.crtc_idx = v;
        return;
    }
    int r = vga.crtc_idx & CRTC_INDEX_MASK;
    vga.crtc[r] = v;
}

static VgaDivFn engine_div;

void vga_set_engine_div(VgaDivFn fn)
{
    engine_div = fn;
}

static uint8_t report_retrace(int64_t b)
{
    int n = engine_div ? engine_div() : 1;
    if (n > 1 && vga.last_ok >= 0 && vga.last_ok < b && b < vga.last_ok + n) {
        vga.seen = b;
        return 0;
    }
    vga.seen = vga.last_ok = b;
    return VGA_STATUS_VRETRACE | VGA_STATUS_DISPLAY_OFF;
}

uint8_t vga_status_read(void)
{
    vga.attr_flip = 0;
    uint64_t now = host_ticks_us();
    uint64_t t = now - vga.t0;
    uint64_t f = vga_frame_us ? vga_frame_us : 1;
    uint64_t window = f / 10;
    int64_t b = (int64_t)((t + window) / f);
    uint8_t hflag = (uint8_t)((t >> HRETRACE_BIT) & 1);
    if (t % f >= f - window) {
        uint8_t r = report_retrace(b);
        return r ? r : hflag;
    }
    if (vga.seen < 0)
        vga.seen = b;
    if (vga.seen < b) {
        uint8_t r = report_retrace(b);
        if (r)
            return r;
    }
    return hflag;
}

void vga_sync_phase(uint64_t vsync_us, uint32_t lead_us, int div)
{
    int64_t f = vga_frame_us;
    int64_t e = f / (div > 1 ? div : 1);
    if (e <= 0)
        return;
    int64_t a = ((int64_t)(vsync_us - vga.t0 - lead_us)) % e;
    if (a < 0)
        a += e;
    a -= (f - f / 10) % e;
    if (a > e / 2)
        a -= e;
    if (a < -e / 2)
        a += e;
    vga.t0 += (uint64_t)(a / 4);
}
