// The I/O port map: every IN and OUT is routed by port number to the device
// that registered the range. Ports nobody registered read FFh and ignore
// writes. Device handlers receive the full port number.
#pragma once

#include <cstdint>

using PortIn = uint8_t (*)(uint16_t port);
using PortOut = void (*)(uint16_t port, uint8_t v);

enum : uint16_t {
    PORT_B = 0x61,              // system control port B
};

// Routes ports lo..hi (inclusive) to the handlers; either may be null (reads
// FFh, writes ignored). A later mapping replaces an earlier one port by port.
void port_map(uint16_t lo, uint16_t hi, PortIn in, PortOut out);
// Empties the map and resets port B, which it maps again.
void port_reset(void);
