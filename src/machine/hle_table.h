// The host side of the callback table, beyond what emulated and generated
// code see in hle.h.
#pragma once

// Empties the table: no callbacks, the next stub at HLE_FIRST_OFF.
void hle_reset(void);
// The name a callback was registered with, or null for an unknown id.
const char *hle_name(int id);
