// Between the mouse driver and its game-cursor finder (mouse_find.cpp).
#pragma once

#include <cstdint>

// The finder's side, called by the driver.
void mouse_find_reset(void);                // forget everything, free the snapshot
void mouse_find_motion(int dx, int dy);     // host motion into the totals
void mouse_find_stop(void);                 // relative motion ends absolute steering
int mouse_find_found(void);
// Starts steering the found cursor towards the picture pixel (x, y).
void mouse_find_steer(int x, int y);

// The driver's side, called by the finder: motion injected for the game
// (mickeys, totals, a motion event).
void mouse_inject_motion(int dx, int dy);
