/* hle.h - host functions reached from emulated code, and the run loop.
 *
 * BIOS, DOS and driver services are host functions. Emulated code reaches
 * them through 8-byte stubs in segment F000h that start with the escape
 * FE 38 <id16>; interrupt vectors point at the stubs, so programs can hook
 * and chain vectors as on a real PC. Plain C: generated code includes it.
 */
#ifndef HALVERD_HLE_H
#define HALVERD_HLE_H

#include "machine/cpu.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*HleFn)(void);

#define HLE_SEG 0xF000u
#define EMS_SEG 0xF100u
#define HLE_MAX 512             /* callback table entries */
#define HLE_FIRST_OFF 0x0100u   /* offset of the first stub after a reset */
#define HLE_SLOT 8              /* bytes per stub slot */
#define POLL_STEPS 20000        /* steps between periodic host polls */

uint16_t hle_add(HleFn fn, int iret_style, const char *name);
uint16_t hle_set_vector(uint8_t n, HleFn fn, const char *name);
uint16_t hle_add_trampoline(HleFn fn, const char *name, const uint8_t *orig, int n,
                            uint16_t back_seg, uint16_t back_off);
void hle_mark_sti(uint16_t off);
int hle_id_of(uint16_t off);
int hle_is_direct(uint16_t off);
void hle_callback(uint16_t id);
void hle_call_direct(uint16_t off);

extern int poll_counter;                /* steps until the next machine_poll */
extern uint32_t vga_frame_us;           /* refresh period of the emulated display */
extern uint64_t last_present_us, last_flip_us;
extern int p3d_new_frame;               /* the 3D engine completed a frame */

void cpu_run_until(uint16_t retcs, uint16_t retip, uint16_t sp_mark);
void cpu_check_irq(void);
void machine_poll(void);
void machine_wait(void);
void hle_halt(void);
void machine_init(void);
uint64_t host_ticks_us(void);

#ifdef __cplusplus
}
#endif

#endif
