// Finding a game's own cursor and steering it to the host pointer.
//
// Many games ignore the driver's position: they read the mickey counters
// and move cursor variables of their own. With an absolute host pointer
// such a cursor drifts away from where the user points. The finder watches
// conventional memory while the host mouse moves: between two quiet moments
// it compares memory with a snapshot and looks for two adjacent words that
// changed by exactly the host motion in x and y. Addresses that keep doing
// so over several movements are the game's cursor. From then on an absolute
// host position is turned into motion that brings those words to the
// pointer's pixel: the difference is injected as mickeys, and again after
// each step the game took, until the words hold the target.
#include "devices/mouse_find.h"

#include "devices/mouse.h"
#include "machine/cpu.h"
#include "machine/hle.h"

#include <cstdlib>
#include <cstring>

enum : uint32_t {
    CONVENTIONAL_BYTES = 0xA0000,           // linear 0-9FFFFh
    LAST_PAIR = CONVENTIONAL_BYTES - 4,     // the last address with two whole words
    QUIET_US = 40000,           // host motion must have rested this long
    SNAPSHOT_AGE_US = 80000,    // and the snapshot be at least this old
    STEP_WAIT_US = 100000,      // how long an injected step may take the game
};

enum {
    CANDIDATES_MAX = 16,        // more matches than this say nothing
    CONFIRMATIONS = 3,          // matching movements after the first, exceeded to accept
    ATTEMPTS_MAX = 300,         // then the finder gives up
    MOTION_X_MAX = 159,         // larger moves may have been clipped by the game
    MOTION_Y_MAX = 119,
};

static struct {
    int64_t total_x, total_y;           // host motion since the reset
    int64_t snap_total_x, snap_total_y; // the totals when the snapshot was taken
    uint64_t motion_us, snap_us;
    uint8_t *snap;                      // conventional memory, allocated on first use
    int snap_taken;
    uint32_t candidate[CANDIDATES_MAX];
    int candidates;
    int confirm, attempts;
    uint32_t found_at;
    int found;
    int steering, target_x, target_y;
    int injected, game_x, game_y;       // the last injected step and what the game had then
    uint64_t inject_us;
} cs;

void mouse_find_reset(void)
{
    free(cs.snap);
    memset(&cs, 0, sizeof cs);
}

void mouse_find_motion(int dx, int dy)
{
    cs.total_x += dx;
    cs.total_y += dy;
    if (dx || dy)
        cs.motion_us = host_ticks_us();
}

void mouse_find_stop(void) { cs.steering = 0; }

int mouse_find_found(void) { return cs.found; }

int32_t mouse_game_cursor(void) { return cs.found ? (int32_t)cs.found_at : -1; }

void mouse_find_steer(int x, int y)
{
    cs.steering = 1;
    cs.target_x = x;
    cs.target_y = y;
}

static void take_snapshot(uint64_t now)
{
    if (!cs.snap) {
        cs.snap = static_cast<uint8_t *>(malloc(CONVENTIONAL_BYTES));
        if (!cs.snap)
            return;
    }
    memcpy(cs.snap, memptr(0), CONVENTIONAL_BYTES);
    cs.snap_taken = 1;
    cs.snap_us = now;
    cs.snap_total_x = cs.total_x;
    cs.snap_total_y = cs.total_y;
}

// Whether the words at a and a + 2 moved by (dx, dy) since the snapshot,
// with the 16-bit wrap-around of the game's own arithmetic.
static int moved_by(uint32_t a, uint16_t dx, uint16_t dy)
{
    const uint8_t *now = memptr(0);
    uint16_t x0 = mem_ld16(cs.snap + a), y0 = mem_ld16(cs.snap + a + 2);
    uint16_t x1 = mem_ld16(now + a), y1 = mem_ld16(now + a + 2);
    return (uint16_t)(x1 - x0) == dx && (uint16_t)(y1 - y0) == dy;
}

static void accept(uint32_t a)
{
    cs.found = 1;
    cs.found_at = a;
    free(cs.snap);      // not needed any more
    cs.snap = nullptr;
    cs.snap_taken = 0;
    dbg("mouse: the game's cursor at %05X (%d, %d)\n", a, (int16_t)rd16l(a), (int16_t)rd16l(a + 2));
}

static void confirm_candidates(uint16_t dx, uint16_t dy)
{
    int kept = 0;
    for (int i = 0; i < cs.candidates; i++)
        if (moved_by(cs.candidate[i], dx, dy))
            cs.candidate[kept++] = cs.candidate[i];
    cs.candidates = kept;
    if (!kept) {
        cs.confirm = 0;
        return;
    }
    if (++cs.confirm > CONFIRMATIONS)
        accept(cs.candidate[0]);
}

static void scan_candidates(uint16_t dx, uint16_t dy)
{
    int n = 0;
    for (uint32_t a = 0; a <= LAST_PAIR; a++) {
        if (!moved_by(a, dx, dy))
            continue;
        if (n == CANDIDATES_MAX) {
            n = 0;      // too common a change to mean anything
            break;
        }
        cs.candidate[n++] = a;
    }
    cs.candidates = n;
    cs.confirm = n ? 1 : 0;
}

static void find_step(uint64_t now)
{
    if (cs.attempts > ATTEMPTS_MAX)
        return;
    if (!cs.snap_taken) {
        if (now - cs.motion_us >= QUIET_US)
            take_snapshot(now);
        return;
    }
    if (now - cs.snap_us < SNAPSHOT_AGE_US || now - cs.motion_us < QUIET_US)
        return;
    int64_t d = cs.total_x - cs.snap_total_x, f = cs.total_y - cs.snap_total_y;
    if ((d || f) && llabs(d) <= MOTION_X_MAX && llabs(f) <= MOTION_Y_MAX) {
        cs.attempts++;
        if (cs.candidates)
            confirm_candidates((uint16_t)d, (uint16_t)f);
        else if (d && f)
            scan_candidates((uint16_t)d, (uint16_t)f);
    }
    if (!cs.found)
        take_snapshot(now);
}

static void steer_step(uint64_t now)
{
    int gx = (int16_t)rd16l(cs.found_at), gy = (int16_t)rd16l(cs.found_at + 2);
    if (cs.injected && now - cs.inject_us < STEP_WAIT_US && gx == cs.game_x && gy == cs.game_y)
        return;     // the game has not taken the last step yet
    if (gx == cs.target_x && gy == cs.target_y) {
        cs.steering = 0;
        cs.injected = 0;
        return;
    }
    cs.injected = 1;
    cs.game_x = gx;
    cs.game_y = gy;
    cs.inject_us = now;
    mouse_inject_motion(cs.target_x - gx, cs.target_y - gy);
}

void mouse_sync(void)
{
    uint64_t now = host_ticks_us();
    if (!cs.found)
        find_step(now);
    else if (cs.steering)
        steer_step(now);
}
