// The scripted test driver: VRK_SCRIPT holds a timed list of steps (keys,
// typed text, mouse actions) and measurements (screenshots, register, VGA and
// memory dumps, profiles) that run between emulated instructions, from the
// machine's periodic work.
#pragma once

#include <cstdint>

enum {
    AUTOTEST_MAX_STEPS = 256,
    AUTOTEST_CMD_CHARS = 15,
    AUTOTEST_ARG_CHARS = 255,
    AUTOTEST_STEP_CHARS = 299,  // a longer step is cut here
    AUTOTEST_TOP_PARAGRAPHS = 25,
};

struct AutotestStep {
    double t;                               // seconds from the first poll
    char cmd[AUTOTEST_CMD_CHARS + 1];
    char arg[AUTOTEST_ARG_CHARS + 1];
};

// Called on every periodic poll; does nothing without a script. The first
// call reads VRK_SCRIPT and starts the clock.
void autotest_poll(void);
// The emulated display as a 24-bit BMP file; 0, or -1 when it cannot be
// written.
int save_bmp(const char *path);

// A picture of R, G, B, FFh bytes per pixel as a 24-bit bottom-up BMP file.
int bmp_save(const char *path, const uint8_t *rgba, int width, int height);

// Seams for tests: forget the script so that the next poll reads VRK_SCRIPT
// again, parse a script text, look at the parsed steps.
void autotest_reset(void);
int autotest_parse(const char *text);
const AutotestStep *autotest_step(int i);
