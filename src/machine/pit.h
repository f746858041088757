// The 8254 interval timer: three channels counting down from their reloads in
// step with the host clock. Channel 0 drives IRQ 0, channel 2 shows on port B.
#pragma once

#include <cstdint>

enum { PIT_CHANNELS = 3 };

// All channels zeroed with access mode 3 and started now; the tick queue empty.
void pit_reset(void);
// Queues the channel 0 ticks due by now_us and raises IRQ 0 for the next one
// when the previous one has been acknowledged and ended.
void pit_update(uint64_t now_us);
// A channel's current count (no latch involved).
uint16_t pit_count(int ch);
