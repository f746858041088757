// Extended memory: a driver entry point found through INT 2Fh AX=4310h that
// hands out up to 16 MB in host-memory blocks and copies between them and
// conventional memory. INT 2Fh also answers the multiplex queries that DOS
// programs make about Windows and the HMA.
#pragma once

#include <cstdint>

enum {
    XMS_HANDLES = 64,           // handle 0 stands for conventional memory
    XMS_CAPACITY_KB = 16384,
};

// Error codes returned in BL.
enum : uint8_t {
    XMS_OK = 0x00,
    XMS_BAD_FUNCTION = 0x80,
    XMS_NO_MEMORY = 0xA0,
    XMS_NO_HANDLES = 0xA1,
    XMS_BAD_HANDLE = 0xA2,
    XMS_BAD_MOVE_HANDLE = 0xA3,
    XMS_BAD_LENGTH = 0xA7,
    XMS_NO_UMB = 0xB1,
    XMS_BAD_UMB = 0xB2,
};

void xms_init(void);
uint16_t xms_entry_offset(void);
void xms_entry(void);
void int2f(void);
