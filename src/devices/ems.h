// Expanded memory: an INT 67h driver with 8 MB in 16 KB pages and a 64 KB
// page frame at segment E000h. The frame's four pages of the address space
// point straight at the mapped EMS pages, so programs reach them at full
// speed through the ordinary memory accessors.
#pragma once

#include <cstdint>

enum {
    EMS_PAGES = 512,            // 8 MB of 16 KB pages
    EMS_PAGE_BYTES = 0x4000,
    EMS_HANDLES = 255,          // handles 0-254; handle 0 belongs to the system
    EMS_FRAME_PAGES = 4,        // physical pages of the frame
    EMS_FRAME_FIRST = 56,       // their entries in mem_page
    EMS_NAME_LEN = 8,
};

enum : uint16_t {
    EMS_FRAME_SEG = 0xE000,
    EMS_NAME_OFF = 0x000A,      // "EMMXXXX0" in the driver segment
    EMS_ENTRY_OFF = 0x0020,     // the INT 67h entry in the driver segment
};

// Status codes returned in AH.
enum : uint8_t {
    EMS_OK = 0x00,
    EMS_BAD_HANDLE = 0x83,
    EMS_BAD_FUNCTION = 0x84,
    EMS_NO_HANDLES = 0x85,
    EMS_NOT_ENOUGH_PAGES = 0x88,
    EMS_ZERO_PAGES = 0x89,
    EMS_BAD_LOGICAL = 0x8A,
    EMS_BAD_PHYSICAL = 0x8B,
    EMS_BAD_SUBFUNCTION = 0x8F,
    EMS_NAME_NOT_FOUND = 0xA0,
    EMS_BAD_MAP_ARRAY = 0xA3,
    EMS_DENIED = 0xA4,
};

void ems_init(void);
int ems_map_page(int handle, int logical, int physical);
void int67(void);
