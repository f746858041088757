#include "devices/opl.h"

#include "sound_fixture.h"

#include <string>

namespace {

class OplTest : public SoundTest {
protected:
    // Channel n's operator register offsets: modulator, carrier.
    static int mod_off(int ch) { return ch % 3 + 8 * (ch / 3); }
    static int car_off(int ch) { return mod_off(ch) + 3; }

    // A plain sine on channel ch: the modulator never leaves its silent
    // attack (rate 0), the carrier starts at full volume and holds.
    static void sine_patch(int ch, int mult, int tl = 0)
    {
        opl((uint8_t)(0x20 + mod_off(ch)), 0x00);
        opl((uint8_t)(0x40 + mod_off(ch)), 0x3F);
        opl((uint8_t)(0x60 + mod_off(ch)), 0x00);
        opl((uint8_t)(0x20 + car_off(ch)), (uint8_t)(0x20 | mult));   // sustained
        opl((uint8_t)(0x40 + car_off(ch)), (uint8_t)tl);
        opl((uint8_t)(0x60 + car_off(ch)), 0xF0);
        opl((uint8_t)(0x80 + car_off(ch)), 0x06);   // sustain level 0, release 6
        opl((uint8_t)(0xC0 + ch), 0x00);
    }

    static void key_on(int ch, int fnum, int block)
    {
        opl((uint8_t)(0xA0 + ch), (uint8_t)fnum);
        opl((uint8_t)(0xB0 + ch), (uint8_t)(0x20 | block << 2 | fnum >> 8));
    }

    static void key_off(int ch, int fnum, int block)
    {
        opl((uint8_t)(0xB0 + ch), (uint8_t)(block << 2 | fnum >> 8));
    }

    // The tone's frequency from its rising zero crossings, interpolated
    // between samples.
    static double frequency(const std::vector<int16_t> &s)
    {
        double first = -1, last = -1;
        int crossings = 0;
        for (size_t i = 1; i < s.size(); i++) {
            if (s[i - 1] < 0 && s[i] >= 0) {
                double t = (double)(i - 1) + (double)-s[i - 1] / (s[i] - s[i - 1]);
                if (first < 0)
                    first = t;
                last = t;
                crossings++;
            }
        }
        if (crossings < 2)
            return 0;
        return (crossings - 1) * (double)AUDIO_RATE_HZ / (last - first);
    }

    // The magnitude of one frequency in the signal (a single DFT bin).
    static double magnitude(const std::vector<int16_t> &s, double hz)
    {
        double re = 0, im = 0;
        for (size_t i = 0; i < s.size(); i++) {
            double a = 2 * M_PI * hz * (double)i / AUDIO_RATE_HZ;
            re += s[i] * cos(a);
            im += s[i] * sin(a);
        }
        return std::sqrt(re * re + im * im) / (double)s.size();
    }
};

uint8_t status() { return port_in8(OPL_PORT_INDEX); }

TEST_F(OplTest, TimerDetectionAsProgramsDoIt)
{
    EXPECT_EQ(status(), 0x06);              // no timer running
    opl(0x04, 0x60);                        // mask both timers
    opl(0x04, 0x80);                        // reset the flags
    EXPECT_EQ(status() & 0xE0, 0x00);
    opl(0x02, 0xFF);                        // timer 1: one tick of 80 us
    opl(0x04, 0x21);                        // start timer 1, timer 2 masked
    fake_now_us += 79;
    EXPECT_EQ(status() & 0xE0, 0x00);
    fake_now_us += 1;
    EXPECT_EQ(status(), 0xC6);
    opl(0x04, 0x60);
    opl(0x04, 0x80);
    EXPECT_EQ(status(), 0x06);
    EXPECT_EQ(port_in8(OPL_PORT_DATA), 0xFF);

    opl(0x03, 0xFE);                        // timer 2: two ticks of 320 us
    opl(0x04, 0x42);
    fake_now_us += 639;
    opl_timer_update();
    EXPECT_EQ(status() & 0xE0, 0x00);
    fake_now_us += 1;
    opl_timer_update();                     // seen by the producer's update too
    EXPECT_EQ(status() & 0xE0, 0xA0);
}

TEST_F(OplTest, MaskedTimerNeverSetsTheStatus)
{
    opl(0x02, 0xFF);
    opl(0x04, 0x41);                        // timer 1 started but masked
    fake_now_us += 100000;
    EXPECT_EQ(status(), 0x06);
    opl(0x03, 0xFF);
    opl(0x04, 0x22);                        // timer 2 started but masked
    fake_now_us += 100000;
    EXPECT_EQ(status(), 0x06);
}

TEST_F(OplTest, RunningTimerRestartsFromItsExpiry)
{
    opl(0x02, 0x00);                        // 256 ticks: 20480 us
    opl(0x04, 0x01);
    fake_now_us += 20480;
    EXPECT_EQ(status() & 0xE0, 0xC0);
    opl(0x04, 0x81);                        // the flags go, the timer keeps its time
    EXPECT_EQ(status() & 0xE0, 0x00);
    fake_now_us += 20479;
    EXPECT_EQ(status() & 0xE0, 0x00);
    fake_now_us += 1;
    EXPECT_EQ(status() & 0xE0, 0xC0);
}

struct ToneCase {
    int fnum, block, mult_index;
    double mult;
};

TEST_F(OplTest, ToneFrequencyFollowsFnumberBlockAndMultiplier)
{
    const ToneCase cases[] = {
        {0x241, 4, 1, 1},       // about 440 Hz
        {0x198, 3, 2, 2},
        {0x2AE, 5, 0, 0.5},
        {0x100, 2, 15, 15},
        {0x3FF, 1, 10, 10},     // multiplier index 10 is 10
        {0x16B, 6, 11, 10},     // and so is 11
        {0x080, 3, 7, 7},
    };
    for (const ToneCase &c : cases) {
        opl_init();
        sine_patch(0, c.mult_index);
        key_on(0, c.fnum, c.block);
        std::vector<int16_t> s = run_us(500000);
        double expect = c.fnum * (double)(1 << c.block) * c.mult * OPL_CHIP_RATE_HZ / (1 << 20);
        EXPECT_NEAR(frequency(s), expect, expect * 0.002)
            << "F-number " << c.fnum << " block " << c.block << " multiplier " << c.mult_index;
        EXPECT_NEAR(peak(s), 4084, 60);
    }
}

// Bessel function of the first kind, by its integral.
double bessel(int n, double x)
{
    const int steps = 2000;
    double sum = 0;
    for (int i = 0; i < steps; i++) {
        double t = M_PI * (i + 0.5) / steps;
        sum += cos(n * t - x * sin(t));
    }
    return sum / steps;
}

TEST_F(OplTest, FrequencyModulationSidebandsFollowTheModulationIndex)
{
    // Carrier at f, modulator at 2f with total level 16 (12 dB down): the
    // modulator's full output shifts the phase by 4084/1024 waves, so the
    // index is b = 2 pi x 4084/1024 x 10^(-12/20), and the harmonic n (odd)
    // gets J((n-1)/2, b) - J(-(n+1)/2, b) of the carrier's amplitude.
    sine_patch(0, 1);
    opl(0x20 + mod_off(0), 0x22);
    opl(0x40 + mod_off(0), 0x10);
    opl(0x60 + mod_off(0), 0xF0);
    key_on(0, 0x241, 4);
    double f = 0x241 * 16.0 * OPL_CHIP_RATE_HZ / (1 << 20);
    double b = 2 * M_PI * 4084.0 / 1024 * std::pow(10.0, -16 * 4 * 0.1875 / 20);
    std::vector<int16_t> s = run_us(200000);
    const double half_amplitude = 4084.0 / 2;
    for (int n = 1; n <= 9; n++) {
        double expect = 0;
        if (n % 2) {
            int k1 = (n - 1) / 2, k2 = (n + 1) / 2;
            double j_neg = (k2 % 2 ? -1 : 1) * bessel(k2, b);
            expect = half_amplitude * std::fabs(bessel(k1, b) - j_neg);
        }
        EXPECT_NEAR(magnitude(s, n * f), expect, 0.05 * expect + 15) << "harmonic " << n;
    }
}

TEST_F(OplTest, DesignExampleNoteSoundsAndFadesAfterKeyOff)
{
    opl(0x20, 0x01);
    opl(0x40, 0x10);
    opl(0x60, 0xF0);
    opl(0x80, 0x77);
    opl(0xA0, 0x98);
    opl(0x23, 0x01);
    opl(0x43, 0x00);
    opl(0x63, 0xF0);
    opl(0x83, 0x77);
    opl(0xB0, 0x31);
    std::vector<int16_t> on = run_us(300000);
    EXPECT_GT(rms(on, 0, on.size()), 500);
    opl(0xB0, 0x11);
    std::vector<int16_t> off = run_us(3000000);
    EXPECT_EQ(peak(std::vector<int16_t>(off.end() - 4410, off.end())), 0);
}

TEST_F(OplTest, ReleaseFadesSteadilyAfterKeyOff)
{
    sine_patch(0, 1);
    key_on(0, 0x241, 4);
    run_us(100000);
    key_off(0, 0x241, 4);
    std::vector<int16_t> s = run_us(1200000);
    // Release 6 at block 4 takes about 0.82 s to fall the full 96 dB; the
    // level in dB falls linearly with time.
    const size_t win = 2205;                        // 50 ms
    double prev_db = 1e9;
    std::vector<double> db;
    for (size_t at = 0; at <= 3 * 2 * win; at += 2 * win) {     // every 100 ms
        double r = rms(s, at, win);
        db.push_back(r > 0 ? 20 * std::log10(r) : -100);
        EXPECT_LT(db.back(), prev_db) << "window at " << at;
        prev_db = db.back();
    }
    // Equal spacing: the steps between windows are alike.
    double step1 = db[0] - db[1], step2 = db[2] - db[3];
    EXPECT_NEAR(step1, step2, 1.5);
    EXPECT_NEAR(step1, 96.0 * 0.1 / 0.82, 1.5);
    EXPECT_EQ(peak(std::vector<int16_t>(s.end() - 4410, s.end())), 0);
}

TEST_F(OplTest, WaveformSelectNeedsTheEnableBit)
{
    sine_patch(0, 1);
    opl(0xE0 + car_off(0), 0x01);           // half sine, not enabled yet
    key_on(0, 0x241, 4);
    std::vector<int16_t> sine = run_us(100000);
    int lowest = 0;
    for (int16_t v : sine)
        lowest = std::min(lowest, (int)v);
    EXPECT_LT(lowest, -3000);

    opl(0x01, 0x20);
    std::vector<int16_t> half = run_us(100000);
    lowest = 0;
    for (int16_t v : std::vector<int16_t>(half.begin() + 2, half.end()))   // past the interpolation from before
        lowest = std::min(lowest, (int)v);
    EXPECT_GT(lowest, -100);                // only the positive half remains
    EXPECT_GT(peak(half), 3000);
}

TEST_F(OplTest, RegistersOutsideTheMapDoNothing)
{
    sine_patch(0, 1);
    key_on(0, 0x241, 4);
    std::vector<int16_t> before = run_us(50000);
    opl_init();
    sine_patch(0, 1);
    for (uint8_t reg : {0x06, 0x38, 0x26, 0x46, 0xB9, 0xA9, 0xC9, 0xF6, 0xFF, 0x00})
        opl(reg, 0xFF);
    key_on(0, 0x241, 4);
    std::vector<int16_t> after = run_us(50000);
    EXPECT_EQ(before, after);
}

TEST_F(OplTest, RhythmBassDrumIsTwiceAMelodicChannel)
{
    sine_patch(0, 1);
    key_on(0, 0x241, 4);
    int melodic = peak(run_us(100000));

    opl_init();
    sine_patch(6, 1);
    opl(0xA6, 0x41);
    opl(0xB6, 0x12);                        // block 4, no melodic key-on
    opl(0xBD, 0x30);                        // rhythm mode, bass drum
    int drum = peak(run_us(100000));
    EXPECT_NEAR((double)drum / melodic, 2.0, 0.05);

    opl(0xBD, 0x20);                        // the drum's key goes, the release runs
    run_us(2000000);
    EXPECT_EQ(peak(run_us(100000)), 0);
}

TEST_F(OplTest, PercussionVoicesSoundOnlyInRhythmMode)
{
    struct { const char *name; uint8_t key; int ch; } voices[] = {
        {"snare", 0x08, 7}, {"tom", 0x04, 8}, {"cymbal", 0x02, 8}, {"hi-hat", 0x01, 7},
    };
    for (auto &v : voices) {
        opl_init();
        for (int ch : {7, 8}) {
            for (int off : {mod_off(ch), car_off(ch)}) {
                opl((uint8_t)(0x20 + off), 0x21);
                opl((uint8_t)(0x40 + off), 0x00);
                opl((uint8_t)(0x60 + off), 0xF0);
                opl((uint8_t)(0x80 + off), 0x05);
            }
            opl((uint8_t)(0xA0 + ch), 0x50);
            opl((uint8_t)(0xB0 + ch), 0x09);
        }
        opl(0xBD, v.key);                   // rhythm bit clear: nothing keyed
        EXPECT_EQ(peak(run_us(50000)), 0) << v.name;
        opl(0xBD, (uint8_t)(0x20 | v.key));
        std::vector<int16_t> s = run_us(100000);
        EXPECT_GT(peak(s), 2000) << v.name;
        opl(0xBD, 0x20);
        run_us(3000000);
        EXPECT_EQ(peak(run_us(50000)), 0) << v.name << " after its key went";
    }
}

TEST_F(OplTest, HiHatIsNoiseNotATone)
{
    for (int ch : {7, 8})
        for (int off : {mod_off(ch), car_off(ch)}) {
            opl((uint8_t)(0x20 + off), 0x21);
            opl((uint8_t)(0x60 + off), 0xF0);
        }
    opl(0xA7, 0x50); opl(0xB7, 0x09);
    opl(0xA8, 0x50); opl(0xB8, 0x09);
    opl(0xBD, 0x21);
    std::vector<int16_t> s = run_us(200000);
    int positive = 0;
    for (int16_t v : s)
        positive += v > 0;
    // The fixed wave positions jump with the noise bit: both signs occur and
    // no single frequency dominates.
    EXPECT_GT(positive, (int)s.size() / 10);
    EXPECT_LT(positive, (int)s.size() * 9 / 10);
}

TEST_F(OplTest, NineVoicesMixWithoutWrapping)
{
    for (int ch = 0; ch < 9; ch++) {
        sine_patch(ch, 1);
        key_on(ch, 0x241, 4);               // all in phase: the sum clips
    }
    std::vector<int16_t> s = run_us(50000);
    EXPECT_EQ(*std::max_element(s.begin(), s.end()), 32767);
    EXPECT_EQ(*std::min_element(s.begin(), s.end()), -32768);
    for (size_t i = 1; i < s.size(); i++)
        ASSERT_LT(std::abs(s[i] - s[i - 1]), 20000) << i;   // clipped, never wrapped
}

TEST_F(OplTest, WritesAreTracedAboveDebugLevel3)
{
    debug_level = 4;
    testing::internal::CaptureStderr();
    opl(0x20, 0x01);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("OPL 20=01 "), std::string::npos) << err;
}

}  // namespace
