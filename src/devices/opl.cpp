// The OPL2 model. Each chip sample (49,716 per second) advances the LFOs,
// the noise generator and all 18 envelopes, then sums the channels: a
// channel is a modulator whose output shifts the carrier's phase (FM) or is
// added to it (additive). Levels are attenuations in units of 0.1875 dB
// (0 = full volume, 511 = silent) held in floating point; an operator's
// output is a waveform table lookup scaled by the gain of its attenuation.
// The mixer's rate is reached by linear interpolation between chip samples.
//
// Phases are 32-bit accumulators with 20 bits to a full wave: the top ten of
// those index the 1024-entry waveform tables, so a frequency of
// F-number x 2^block x multiplier x 49716 / 2^20 Hz.
#include "devices/opl.h"

#include "machine/cpu.h"
#include "machine/hle.h"
#include "machine/ports.h"

#include <algorithm>
#include <cmath>
#include <cstring>

enum {
    OPS = 18,
    CHANNELS = 9,
    MELODIC_IN_RHYTHM = 6,          // channels 6-8 become percussion in rhythm mode
    WAVES = 4,
    WAVE_MASK = 1023,
    PHASE_FRAC_BITS = 10,           // phase bits below the waveform index
    ATT_TABLE = 1024,
    RATES = 64,
    RATE_MAX = RATES - 1,
    ATTACK_INSTANT = 59,            // attack rates above this reach full volume at once
    SUSTAIN_MAX = 15,
    SUSTAIN_MAX_ATT = 496,          // sustain level 15 means about 93 dB, not 45
    SUSTAIN_UNIT = 16,              // 3 dB per sustain step
    TL_UNIT = 4,                    // 0.75 dB per total-level step
    KSL_UNIT = 4,
    KSL_BLOCK = 8,
    KSL_OFFSET = 64,
    TREM_STEPS = 210,               // triangle of 105 steps up and down
    TREM_HALF = 105,
    TREM_DIV = 64,                  // chip samples per tremolo step
    TREM_SHALLOW_MUL = 5,           // about 1 dB without the depth bit
    TREM_SHALLOW_DIV = 104,
    TREM_DEEP_SHIFT = 2,            // about 4.8 dB with it
    VIB_SHIFT = 10,                 // chip samples per vibrato step: 1024
    VIB_STEPS_MASK = 7,
    VIB_FNUM_SHIFT = 7,
    NOISE_TAPS = 0x400181,          // 23-bit noise register feedback
    RHYTHM_X_SNARE_BIT = 18,
};

enum : uint8_t {
    REG_TEST_WAVE = 0x01,
    REG_TIMER1 = 0x02,
    REG_TIMER2 = 0x03,
    REG_TIMER_CTRL = 0x04,
    REG_CSM_NOTE = 0x08,
    REG_OP_CHAR = 0x20,             // AM, vibrato, sustain, KSR, multiplier
    REG_OP_LEVEL = 0x40,            // key-scale level, total level
    REG_OP_AD = 0x60,               // attack, decay
    REG_OP_SR = 0x80,               // sustain level, release
    REG_OP_WAVE = 0xE0,
    REG_FNUM_LO = 0xA0,
    REG_KEY_BLOCK = 0xB0,           // key-on, block, F-number high bits
    REG_RHYTHM = 0xBD,
    REG_FB_CNT = 0xC0,              // feedback, connection
    REG_CH_LAST_OFF = 0x08,         // channel registers Xh0-Xh8

    WAVE_ENABLE_BIT = 0x20,
    NOTE_SEL_BIT = 0x40,
    TIMER_RESET_BIT = 0x80,         // 04h: clear the status only
    TIMER_CTRL_KEEP = 0x63,         // the start bits and the two mask bits
    TIMER1_MASK = 0x40,
    TIMER2_MASK = 0x20,
    STATUS_T1 = 0xC0,               // IRQ + timer 1 flag
    STATUS_T2 = 0xA0,               // IRQ + timer 2 flag
    STATUS_ALWAYS = 0x06,
    OPEN_BUS = 0xFF,

    AM_BIT = 0x80, VIB_BIT = 0x40, SUS_BIT = 0x20, KSR_BIT = 0x10, MULT_BITS = 0x0F,
    KEY_ON_BIT = 0x20,
    AM_DEPTH_BIT = 0x80, VIB_DEPTH_BIT = 0x40, RHYTHM_BIT = 0x20,
    BD_KEY = 0x10, SD_KEY = 0x08, TT_KEY = 0x04, CY_KEY = 0x02, HH_KEY = 0x01,
};

constexpr int WAVE_LEN = 1024;
constexpr int ATT_SILENT = 511;

enum { KEY_MELODIC = 1, KEY_RHYTHM = 2 };  // an operator's key bits
enum { ENV_OFF, ENV_ATTACK, ENV_DECAY, ENV_SUSTAIN, ENV_RELEASE };

// The percussion operators of rhythm mode.
enum { OP_BD_MOD = 12, OP_BD_CAR = 15, OP_HH = 13, OP_SD = 16, OP_TT = 14, OP_CY = 17 };
enum { CH_BD = 6, CH_TT_CY = 8 };

constexpr double OUT_SCALE = 4084.0;                // operator output to sample
constexpr double MOD_WAVES = 4084.0 / 1024.0;       // operator output to waves of phase shift
constexpr double ATT_DB = 0.1875;
constexpr double ENV_STEP_UNIT = 0.00013085;        // attenuation per chip sample at rate 4 (x 2^-2)
constexpr double ATTACK_UNIT = 0.0000444;
constexpr int DEBUG_OPL_WRITES = 3;
constexpr uint32_t TIMER1_TICK_US = 80;
constexpr uint32_t TIMER2_TICK_US = 320;
constexpr int TIMER_RANGE = 256;

// Multipliers x 2, so that 0.5 stays an integer.
static const uint8_t mult2_tab[16] = {1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 20, 24, 24, 30, 30};
static const uint8_t ksl_tab[16] = {0, 32, 40, 45, 48, 51, 53, 55, 56, 58, 59, 60, 61, 62, 63, 64};
static const int vib_pattern[8] = {0, 1, 2, 1, 0, -1, -2, -1};
// Register offset within an operator block -> operator, -1 for the gaps.
static const int8_t op_of_offset[32] = {
    0,  1,  2,  3,  4,  5,  -1, -1, 6,  7,  8,  9,  10, 11, -1, -1,
    12, 13, 14, 15, 16, 17, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};

struct Op {
    int am, vib, sus, ksr, mult, ksl, tl, ar, dr, sl, rr, wave;
    uint32_t phase;
    double env;                     // envelope attenuation
    int state;
    int key;                        // KEY_MELODIC | KEY_RHYTHM
    double out1, out2;              // last two outputs, for feedback
    int ch;                         // owning channel
    uint32_t inc;                   // phase increment without vibrato
    int base_att;                   // total level plus key scaling
    // Envelope rates with the key scaling of the channel's note applied.
    int attack_rate;
    double attack_k, decay_step, release_step;
};

struct Ch {
    int fnum, block, key, fb, cnt;
    int mod, car;
};

static struct {
    Op ops[OPS];
    Ch ch[CHANNELS];
    uint8_t addr_latch;
    int wave_enable, note_sel, am_depth, vib_depth, rhythm;
    uint8_t tval[2], tctrl, tstatus;
    uint64_t tstart[2];
    uint32_t lfo_am_cnt, lfo_vib_cnt;
    uint32_t noise;
    int trem;                       // this chip sample's tremolo attenuation
    double native_pos;
    double last, cur;               // the last two chip samples
    float wave[WAVES][WAVE_LEN];
    float att_gain[ATT_TABLE];
    double env_step[RATES];         // decay/release step per rate
    double attack_k[RATES];         // attack factor per rate
} opl;

static void op_refresh(Op &o)
{
    const Ch &c = opl.ch[o.ch];
    o.inc = ((uint32_t)c.fnum << c.block) * mult2_tab[o.mult] >> 1;
    int k = std::max(0, (ksl_tab[c.fnum >> 6] + c.block * KSL_BLOCK - KSL_OFFSET) * KSL_UNIT);
    static const int ksl_shift[4] = {-1, 1, 2, 0};      // levels 0-3: none, k/2, k/4, k
    int ksl = o.ksl == 0 ? 0 : k >> ksl_shift[o.ksl];
    o.base_att = o.tl * TL_UNIT + ksl;

    int r = o.ksr ? c.block * 2 + ((c.fnum >> (opl.note_sel ? 8 : 9)) & 1) : c.block / 2;
    o.attack_rate = o.ar * 4 + r;
    o.attack_k = o.attack_rate <= ATTACK_INSTANT ? opl.attack_k[o.attack_rate] : 0;
    o.decay_step = opl.env_step[std::min(o.dr * 4 + r, (int)RATE_MAX)];
    o.release_step = opl.env_step[std::min(o.rr * 4 + r, (int)RATE_MAX)];
}

static void channel_refresh(int n)
{
    op_refresh(opl.ops[opl.ch[n].mod]);
    op_refresh(opl.ops[opl.ch[n].car]);
}

static void op_key_on(Op &o, int bit)
{
    if (!o.key) {
        o.state = ENV_ATTACK;
        o.phase = 0;
    }
    o.key |= bit;
}

static void op_key_off(Op &o, int bit)
{
    o.key &= ~bit;
    if (!o.key && o.state != ENV_OFF)
        o.state = ENV_RELEASE;
}

static void rhythm_keys(uint8_t v)
{
    struct { uint8_t bit; int op; } keys[] = {
        {BD_KEY, OP_BD_MOD}, {BD_KEY, OP_BD_CAR}, {SD_KEY, OP_SD},
        {TT_KEY, OP_TT}, {CY_KEY, OP_CY}, {HH_KEY, OP_HH},
    };
    for (auto &k : keys) {
        if (opl.rhythm && (v & k.bit))
            op_key_on(opl.ops[k.op], KEY_RHYTHM);
        else
            op_key_off(opl.ops[k.op], KEY_RHYTHM);
    }
}

static void timer_control(uint8_t v)
{
    if (v & TIMER_RESET_BIT) {
        opl.tstatus = 0;
        return;
    }
    uint64_t now = host_ticks_us();
    for (int t = 0; t < 2; t++)
        if ((v & (1 << t)) && !(opl.tctrl & (1 << t)))
            opl.tstart[t] = now;
    opl.tctrl = v & TIMER_CTRL_KEEP;
}

static void write_op_reg(uint8_t reg, uint8_t v)
{
    int n = op_of_offset[reg & 0x1F];
    if (n < 0)
        return;
    Op &o = opl.ops[n];
    switch (reg & 0xE0) {
    case REG_OP_CHAR:
        o.am = (v & AM_BIT) != 0;
        o.vib = (v & VIB_BIT) != 0;
        o.sus = (v & SUS_BIT) != 0;
        o.ksr = (v & KSR_BIT) != 0;
        o.mult = v & MULT_BITS;
        break;
    case REG_OP_LEVEL:
        o.ksl = v >> 6;
        o.tl = v & 0x3F;
        break;
    case REG_OP_AD:
        o.ar = v >> 4;
        o.dr = v & 0x0F;
        break;
    case REG_OP_SR:
        o.sl = v >> 4;
        o.rr = v & 0x0F;
        break;
    case REG_OP_WAVE:
        o.wave = v & 3;
        break;
    }
    op_refresh(o);
}

static void write_reg(uint8_t reg, uint8_t v)
{
    if (debug_level > DEBUG_OPL_WRITES)
        dbg("OPL %02X=%02X %llu\n", reg, v, (unsigned long long)host_ticks_us());
    switch (reg) {
    case REG_TEST_WAVE:
        opl.wave_enable = (v & WAVE_ENABLE_BIT) != 0;
        return;
    case REG_TIMER1:
    case REG_TIMER2:
        opl.tval[reg - REG_TIMER1] = v;
        return;
    case REG_TIMER_CTRL:
        timer_control(v);
        return;
    case REG_CSM_NOTE:
        opl.note_sel = (v & NOTE_SEL_BIT) != 0;
        for (Op &o : opl.ops)
            op_refresh(o);
        return;
    case REG_RHYTHM:
        opl.am_depth = (v & AM_DEPTH_BIT) != 0;
        opl.vib_depth = (v & VIB_DEPTH_BIT) != 0;
        opl.rhythm = (v & RHYTHM_BIT) != 0;
        rhythm_keys(v);
        return;
    }
    if ((reg >= REG_OP_CHAR && reg < REG_FNUM_LO) || reg >= REG_OP_WAVE) {
        write_op_reg(reg, v);
        return;
    }
    int n = reg & 0x0F;
    if (n > REG_CH_LAST_OFF)
        return;
    Ch &c = opl.ch[n];
    switch (reg & 0xF0) {
    case REG_FNUM_LO:
        c.fnum = (c.fnum & 0x300) | v;
        channel_refresh(n);
        break;
    case REG_KEY_BLOCK: {
        c.fnum = (c.fnum & 0xFF) | (v & 3) << 8;
        c.block = (v >> 2) & 7;
        int key = (v & KEY_ON_BIT) != 0;
        if (key != c.key) {
            c.key = key;
            if (key) {
                op_key_on(opl.ops[c.mod], KEY_MELODIC);
                op_key_on(opl.ops[c.car], KEY_MELODIC);
            } else {
                op_key_off(opl.ops[c.mod], KEY_MELODIC);
                op_key_off(opl.ops[c.car], KEY_MELODIC);
            }
        }
        channel_refresh(n);
        break;
    }
    case REG_FB_CNT:
        c.fb = (v >> 1) & 7;
        c.cnt = v & 1;
        break;
    }
}

static void timers_check(uint64_t now)
{
    static const uint8_t mask[2] = {TIMER1_MASK, TIMER2_MASK};
    static const uint8_t flag[2] = {STATUS_T1, STATUS_T2};
    static const uint32_t tick_us[2] = {TIMER1_TICK_US, TIMER2_TICK_US};
    for (int t = 0; t < 2; t++) {
        if (!(opl.tctrl & (1 << t)) || (opl.tctrl & mask[t]))
            continue;
        uint64_t period = (uint64_t)(TIMER_RANGE - opl.tval[t]) * tick_us[t];
        if (now >= opl.tstart[t] && now - opl.tstart[t] >= period) {
            opl.tstart[t] = now;
            opl.tstatus |= flag[t];
        }
    }
}

void opl_timer_update(void)
{
    timers_check(host_ticks_us());
}

uint8_t opl_port_in(uint16_t port)
{
    if (port & 1)
        return OPEN_BUS;
    timers_check(host_ticks_us());
    return opl.tstatus | STATUS_ALWAYS;
}

void opl_port_out(uint16_t port, uint8_t v)
{
    if (port & 1)
        write_reg(opl.addr_latch, v);
    else
        opl.addr_latch = v;
}

// --- synthesis ---------------------------------------------------------------

static void env_advance(Op &o)
{
    if (o.state == ENV_OFF) {
        o.env = ATT_SILENT;
        return;
    }
    switch (o.state) {
    case ENV_ATTACK: {
        if (o.ar == 0)
            return;
        if (o.attack_rate > ATTACK_INSTANT) {
            o.env = 0;
        } else {
            o.env -= o.attack_k * (1 + o.env);
            if (o.env < 0.5)
                o.env = 0;
        }
        if (o.env == 0)
            o.state = ENV_DECAY;
        return;
    }
    case ENV_DECAY: {
        if (o.dr == 0)
            return;
        double target = o.sl == SUSTAIN_MAX ? SUSTAIN_MAX_ATT : o.sl * SUSTAIN_UNIT;
        o.env += o.decay_step;
        if (o.env >= target) {
            o.env = target;
            o.state = target >= ATT_SILENT ? ENV_OFF : ENV_SUSTAIN;
        }
        return;
    }
    case ENV_SUSTAIN:
        if (o.sus) {
            if (o.env >= ATT_SILENT)
                o.state = ENV_OFF;
            return;
        }
        break;                      // a percussive envelope keeps falling
    case ENV_RELEASE:
        break;
    }
    if (o.rr == 0)
        return;
    o.env += o.release_step;
    if (o.env >= ATT_SILENT) {
        o.env = ATT_SILENT;
        o.state = ENV_OFF;
    }
}

static inline void op_advance(Op &o)
{
    if (!o.vib) {
        o.phase += o.inc;
        return;
    }
    const Ch &c = opl.ch[o.ch];
    int f = c.fnum + (((c.fnum >> VIB_FNUM_SHIFT) * vib_pattern[(opl.lfo_vib_cnt >> VIB_SHIFT) & VIB_STEPS_MASK])
                      >> (opl.vib_depth ? 0 : 1));
    o.phase += ((uint32_t)f << c.block) * mult2_tab[o.mult] >> 1;
}

// The output at a wave position, with the operator's attenuation.
static inline double op_out(const Op &o, int pos)
{
    if (o.state == ENV_OFF)
        return 0;
    double att = o.env + o.base_att + (o.am ? opl.trem : 0);
    if (att > ATT_SILENT)
        return 0;
    return opl.wave[opl.wave_enable ? o.wave : 0][pos & WAVE_MASK] * opl.att_gain[(int)att];
}

// Advances the phase and returns the output, the phase shifted by mod_waves.
static inline double op_calc(Op &o, double mod_waves)
{
    op_advance(o);
    return op_out(o, (int)(o.phase >> PHASE_FRAC_BITS) + (int)(mod_waves * WAVE_LEN));
}

static inline double channel_out(const Ch &c)
{
    Op &m = opl.ops[c.mod];
    Op &k = opl.ops[c.car];
    double fb = c.fb ? (m.out1 + m.out2) * MOD_WAVES / (double)(1 << (9 - c.fb)) : 0;
    double mo = op_calc(m, fb);
    m.out2 = m.out1;
    m.out1 = mo;
    if (c.cnt)
        return mo + op_calc(k, 0);
    return op_calc(k, mo * MOD_WAVES);
}

static inline int channel_active(const Ch &c)
{
    return opl.ops[c.mod].state != ENV_OFF || opl.ops[c.car].state != ENV_OFF;
}

// The five percussion voices, each counted twice.
static double rhythm_out(void)
{
    const Ch &bd_ch = opl.ch[CH_BD];
    double sum = 0;
    if (channel_active(bd_ch)) {
        Op &m = opl.ops[bd_ch.mod];
        Op &k = opl.ops[bd_ch.car];
        double fb = bd_ch.fb ? (m.out1 + m.out2) * MOD_WAVES / (double)(1 << (9 - bd_ch.fb)) : 0;
        double mo = op_calc(m, fb);
        m.out2 = m.out1;
        m.out1 = mo;
        sum += bd_ch.cnt ? op_calc(k, 0) : op_calc(k, mo * MOD_WAVES);
    }

    Op &hh = opl.ops[OP_HH];
    Op &cy = opl.ops[OP_CY];
    op_advance(hh);
    op_advance(cy);
    uint32_t x = hh.phase;
    uint32_t y = (cy.phase >> PHASE_FRAC_BITS) & WAVE_MASK;
    uint32_t z = (x >> PHASE_FRAC_BITS) & WAVE_MASK;
    uint32_t yy = (y >> 5) ^ (y >> 3);
    uint32_t zz = ((z >> 2) ^ (z >> 7)) | (z >> 3);
    // The hi-hat, snare and cymbal do not follow their own phases: they read
    // the waveform at fixed positions picked by bits of the hi-hat and
    // cymbal phases and by the noise bit, which gives their metallic noise.
    int b = (yy | zz) & 1;
    int n = opl.noise & 1;
    int hh_pos = b ? (n ? 720 : 564) : (n ? 52 : 208);
    int sd_pos = ((x >> RHYTHM_X_SNARE_BIT) & 1 ? 512 : 256) ^ (n * 256);
    int cy_pos = b ? 768 : 256;
    sum += op_out(hh, hh_pos) + op_out(opl.ops[OP_SD], sd_pos) + op_calc(opl.ops[OP_TT], 0) + op_out(cy, cy_pos);
    return 2 * sum;
}

static double chip_sample(void)
{
    opl.lfo_am_cnt++;
    opl.lfo_vib_cnt++;
    int h = (int)((opl.lfo_am_cnt / TREM_DIV) % TREM_STEPS);
    int t = h < TREM_HALF ? h : TREM_STEPS - 1 - h;
    opl.trem = opl.am_depth ? t >> TREM_DEEP_SHIFT : t * TREM_SHALLOW_MUL / TREM_SHALLOW_DIV;

    opl.noise = (opl.noise >> 1) ^ (opl.noise & 1 ? NOISE_TAPS : 0);

    for (Op &o : opl.ops)
        env_advance(o);

    double sum = 0;
    int melodic = opl.rhythm ? MELODIC_IN_RHYTHM : CHANNELS;
    for (int n = 0; n < melodic; n++)
        if (channel_active(opl.ch[n]))
            sum += channel_out(opl.ch[n]);
    if (opl.rhythm)
        sum += rhythm_out();
    return std::clamp(sum * OUT_SCALE, -32768.0, 32767.0);
}

void opl_generate(int16_t *out, int count, int rate)
{
    if (rate <= 0) {
        memset(out, 0, sizeof *out * (count > 0 ? count : 0));
        return;
    }
    double step = (double)OPL_CHIP_RATE_HZ / rate;
    for (int i = 0; i < count; i++) {
        opl.native_pos += step;
        while (opl.native_pos >= 1) {
            opl.native_pos -= 1;
            opl.last = opl.cur;
            opl.cur = chip_sample();
        }
        out[i] = (int16_t)(opl.last + (opl.cur - opl.last) * opl.native_pos);
    }
}

static void build_tables(void)
{
    for (int i = 0; i < WAVE_LEN; i++) {
        float s = (float)sin((i + 0.5) * 2 * M_PI / WAVE_LEN);
        opl.wave[0][i] = s;
        opl.wave[1][i] = i < WAVE_LEN / 2 ? s : 0;
        opl.wave[2][i] = fabsf(s);
        opl.wave[3][i] = (i & (WAVE_LEN / 4)) ? 0 : fabsf(s);
    }
    for (int j = 0; j < ATT_TABLE; j++)
        opl.att_gain[j] = (float)pow(10.0, -ATT_DB * j / 20);
    for (int r = 0; r < RATES; r++) {
        opl.env_step[r] = ((r & 3) | 4) * 0.25 * ldexp(1.0, r >> 2) * ENV_STEP_UNIT;
        opl.attack_k[r] = pow(2.0, (r - 4) / 4.0) * ATTACK_UNIT;
    }
}

void opl_init(void)
{
    memset(&opl, 0, sizeof opl);
    build_tables();
    opl.noise = 1;
    for (int n = 0; n < CHANNELS; n++) {
        Ch &c = opl.ch[n];
        c.mod = n % 3 + 6 * (n / 3);
        c.car = c.mod + 3;
        opl.ops[c.mod].ch = n;
        opl.ops[c.car].ch = n;
    }
    for (Op &o : opl.ops) {
        o.env = ATT_SILENT;
        o.state = ENV_OFF;
        op_refresh(o);
    }
    port_map(OPL_PORT_FIRST, OPL_PORT_LAST, opl_port_in, opl_port_out);
}
