// The DOS sound programs of tests/dos run on the interpreter with the BIOS,
// the Sound Blaster and the OPL: the .COM image is loaded as DOS would load
// it, a stand-in INT 21h offers the few services they use (print, get and
// set a vector, exit), and time follows the instruction count. What they
// played is captured to a WAV file and checked by analysis.
#include "../bios/bios_fixture.h"

#include "devices/audio.h"
#include "devices/opl.h"
#include "devices/sb.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t PSP_SEG = 0x1000, COM_START = 0x100, STACK = 0xFFFE;
constexpr uint16_t END_SEG = 0x0050, END_OFF = 0x0000;     // where an exit lands
constexpr uint16_t SP_ANY = 0x8000;     // the return point matches at any high SP
constexpr uint64_t INSNS_PER_US = 10;   // the emulated machine's pace

int exit_code;
std::string printed;

void int21(void)
{
    switch (AH) {
    case 0x09:
        for (uint16_t o = DX; rd8(DS, o) != '$'; o++)
            printed += (char)rd8(DS, o);
        break;
    case 0x25:
        wr16l(AL * 4u, DX);
        wr16l(AL * 4u + 2, DS);
        break;
    case 0x35:
        BX = rd16l(AL * 4u);
        ES = rd16l(AL * 4u + 2);
        break;
    case 0x4C:
        exit_code = AL;
        wr16(SS, SP, END_OFF);
        wr16(SS, (uint16_t)(SP + 2), END_SEG);
        break;
    }
}

constexpr uint64_t CLOCK_START_US = 5000000;
uint64_t instruction_clock(void) { return CLOCK_START_US + cpu.icount / INSNS_PER_US; }

class SoundProgramTest : public BiosTest {
protected:
    char wav_path[32] = "/tmp/halverd_prog_XXXXXX";

    void SetUp() override
    {
        BiosTest::SetUp();
        int fd = mkstemp(wav_path);
        ASSERT_GE(fd, 0);
        close(fd);
        setenv("VRK_WAVOUT", wav_path, 1);
        unsetenv("VRK_NO_FM");
        sb_init();
        opl_init();
        clock_set_source(instruction_clock);
    }

    void TearDown() override
    {
        audio_close();
        unsetenv("VRK_WAVOUT");
        unlink(wav_path);
        BiosTest::TearDown();
    }

    // Loads and runs a program; returns its exit status, -1 if it is missing.
    int run(const char *name)
    {
        std::string path = std::string(HALVERD_DOS_DIR) + "/" + name;
        FILE *f = fopen(path.c_str(), "rb");
        if (!f)
            return -1;
        std::vector<uint8_t> image(0x10000 - COM_START);
        size_t n = fread(image.data(), 1, image.size(), f);
        fclose(f);
        for (size_t i = 0; i < n; i++)
            wr8(PSP_SEG, (uint16_t)(COM_START + i), image[i]);
        hle_set_vector(0x21, int21, "int21 stand-in");
        exit_code = -1;
        printed.clear();
        CS = DS = ES = SS = PSP_SEG;
        SP = STACK;
        IP = COM_START;
        cpu.flags |= F_IF;
        cpu_run_until(END_SEG, END_OFF, SP_ANY);
        return exit_code;
    }

    // The captured samples, after the capture is finished.
    std::vector<int16_t> captured()
    {
        audio_close();
        std::vector<int16_t> s;
        FILE *f = fopen(wav_path, "rb");
        if (!f)
            return s;
        uint8_t h[WAV_HEADER_BYTES];
        if (fread(h, 1, sizeof h, f) == sizeof h) {
            uint8_t b[2];
            while (fread(b, 1, 2, f) == 2)
                s.push_back((int16_t)(b[0] | b[1] << 8));
        }
        fclose(f);
        return s;
    }

    static double rms(const std::vector<int16_t> &s, size_t from, size_t len)
    {
        double sum = 0;
        for (size_t i = from; i < from + len; i++)
            sum += (double)s[i] * s[i];
        return std::sqrt(sum / (double)len);
    }

    // Frequency from rising zero crossings over [from, from + len).
    static double frequency(const std::vector<int16_t> &s, size_t from, size_t len)
    {
        double first = -1, last = -1;
        int crossings = 0;
        for (size_t i = from + 1; i < from + len; i++)
            if (s[i - 1] < 0 && s[i] >= 0) {
                double t = (double)(i - 1) + (double)-s[i - 1] / (s[i] - s[i - 1]);
                if (first < 0)
                    first = t;
                last = t;
                crossings++;
            }
        return crossings < 2 ? 0 : (crossings - 1) * (double)AUDIO_RATE_HZ / (last - first);
    }
};

TEST_F(SoundProgramTest, DetectsTheDspAndTheOpl)
{
    ASSERT_EQ(run("SBDETECT.COM"), 0) << printed;
    EXPECT_EQ(printed, "SB 3.02 OPL ok\r\n");
}

TEST_F(SoundProgramTest, PlaysSingleCycleAndAutoInitDmaWithAnIrqHandler)
{
    ASSERT_EQ(run("SBDMA.COM"), 0) << printed;
    EXPECT_EQ(printed, "DMA ok\r\n");
    std::vector<int16_t> s = captured();
    size_t played = 0, first = 0, last = 0;
    for (size_t i = 0; i < s.size(); i++)
        if (s[i] == 0x4000 || s[i] == -0x4000) {
            if (!played++)
                first = i;
            last = i;
        }
    // 2048 bytes single-cycle, then 5 or 6 blocks of 1024 (the exit command
    // may land just after the fourth block's interrupt or the fifth's).
    double per_byte = (double)AUDIO_RATE_HZ / 11111;
    EXPECT_GE((double)played, (2048 + 5 * 1024) * per_byte * 0.99);
    EXPECT_LE((double)played, (2048 + 6 * 1024) * per_byte * 1.01);
    // The square wave of 50 bytes per period: 222.2 Hz.
    EXPECT_NEAR(frequency(s, first, last - first), 11111.0 / 50, 1.0);
    for (size_t i = last + 1; i < s.size(); i++)
        ASSERT_EQ(s[i], 0) << "the speaker is off after the transfer, frame " << i;
}

TEST_F(SoundProgramTest, PlaysFmNotesAndPercussion)
{
    ASSERT_EQ(run("FMNOTES.COM"), 0) << printed;
    EXPECT_EQ(printed, "FM done\r\n");
    std::vector<int16_t> s = captured();
    const size_t win = AUDIO_RATE_HZ / 20;      // 50 ms
    size_t start = 0;
    while (start < s.size() && s[start] == 0)
        start++;
    ASSERT_GT(s.size(), start + 40 * win);

    // The held note: F-number 241h, block 4, multiplier 1.
    double expect = 0x241 * 16.0 * OPL_CHIP_RATE_HZ / (1 << 20);
    EXPECT_NEAR(frequency(s, start + win, 4 * win), expect, expect * 0.003);
    double held = rms(s, start + win, 4 * win);
    EXPECT_NEAR(held, 4084 / std::sqrt(2.0), 100);

    // After the key-off the level falls window by window to silence.
    size_t at = start + win;
    while (at + win < s.size() && rms(s, at, win) > 0.9 * held)
        at += win;
    at += win;
    double prev = held;
    for (int i = 0; i < 6; i++, at += win) {
        double r = rms(s, at, win);
        EXPECT_LT(r, prev) << "window " << i << " of the release";
        prev = r;
    }
    while (at + win < s.size() && rms(s, at, win) > 0)
        at += win;
    size_t silent = at;
    while (at < s.size() && s[at] == 0)
        at++;
    EXPECT_GT(at - silent, 10 * win);           // the pause before the drums
    ASSERT_LT(at + 4 * win, s.size());
    EXPECT_GT(rms(s, at, 4 * win), 500);        // the bass drum
    EXPECT_EQ(rms(s, s.size() - win, win), 0);  // all released at the end
}

}  // namespace
