#include "devices/audio.h"

#include "sound_fixture.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using AudioTest = SoundTest;

constexpr int16_t LEVEL_A = 0x40 * 256;     // direct DAC C0h
constexpr int16_t LEVEL_B = -0x40 * 256;    // direct DAC 40h

void dac(uint8_t v)
{
    port_out8(DSP_WRITE, 0x10);
    port_out8(DSP_WRITE, v);
}

TEST_F(AudioTest, FirstCallOnlyStartsTheClock)
{
    sb_init();                      // a fresh producer
    fake_now_us += 500000;
    audio_advance(fake_now_us);
    EXPECT_EQ(audio_available(), 0);
    fake_now_us += 10000;
    audio_advance(fake_now_us);
    EXPECT_EQ(audio_available(), 441);
}

TEST_F(AudioTest, LongPauseProducesAQuarterSecond)
{
    fake_now_us += 3000000;
    audio_advance(fake_now_us);
    EXPECT_EQ(audio_available(), AUDIO_MAX_OWED_FRAMES);
    fake_now_us += 10;              // the dropped time left no fraction behind
    audio_advance(fake_now_us);
    EXPECT_EQ(audio_available(), AUDIO_MAX_OWED_FRAMES);
}

TEST_F(AudioTest, FractionsAddUpToTheRate)
{
    std::vector<int16_t> s = run_us(1000000, 7);    // 0.3087 frames per call
    EXPECT_NEAR((double)s.size(), AUDIO_RATE_HZ, 1);
    EXPECT_EQ(run_us(0).size(), 0u);
    fake_now_us -= 5000;            // a clock that goes back produces nothing
    audio_advance(fake_now_us);
    EXPECT_EQ(audio_available(), 0);
}

TEST_F(AudioTest, FullRingDropsTheOldestFrames)
{
    dsp_reset();
    port_out8(DSP_WRITE, 0xD1);
    dac(0xC0);
    fake_now_us += 250000;
    audio_advance(fake_now_us);
    dac(0x40);
    fake_now_us += 250000;
    audio_advance(fake_now_us);
    ASSERT_EQ(audio_available(), AUDIO_RING_FRAMES - 1);
    std::vector<int16_t> out(2 * AUDIO_RING_FRAMES);
    EXPECT_EQ(audio_mix(out.data(), AUDIO_RING_FRAMES, AUDIO_RATE_HZ), AUDIO_RING_FRAMES - 1);
    int kept_a = AUDIO_RING_FRAMES - 1 - AUDIO_MAX_OWED_FRAMES;
    EXPECT_EQ(out[0], LEVEL_A);
    EXPECT_EQ(out[2 * (kept_a - 1)], LEVEL_A);
    EXPECT_EQ(out[2 * kept_a], LEVEL_B);
    EXPECT_EQ(out[2 * kept_a + 1], LEVEL_B);     // right = left
    EXPECT_EQ(out[2 * (AUDIO_RING_FRAMES - 2)], LEVEL_B);
    EXPECT_EQ(out[2 * (AUDIO_RING_FRAMES - 1)], 0);  // the frame it had no data for
}

TEST_F(AudioTest, MixFillsWhatTheRingLacksWithSilence)
{
    int16_t out[2 * 64];
    memset(out, 0x55, sizeof out);
    EXPECT_EQ(audio_mix(out, 64, AUDIO_RATE_HZ), 0);
    for (int16_t v : out)
        ASSERT_EQ(v, 0);

    dsp_reset();
    port_out8(DSP_WRITE, 0xD1);
    dac(0xC0);
    fake_now_us += 500;             // 22 frames
    audio_advance(fake_now_us);
    memset(out, 0x55, sizeof out);
    EXPECT_EQ(audio_mix(out, 64, AUDIO_RATE_HZ), 22);
    EXPECT_EQ(out[2 * 21 + 1], LEVEL_A);
    for (int i = 2 * 22; i < 2 * 64; i++)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(audio_available(), 0);
}

TEST_F(AudioTest, FmAndDigitalAreSummedAndClipped)
{
    // A loud FM tone plus a DAC at full positive level clips at 32767.
    opl(0x20, 0x01); opl(0x23, 0x01);
    opl(0x40, 0x3F); opl(0x43, 0x00);
    opl(0x60, 0x0F); opl(0x63, 0xF0);
    opl(0x80, 0x0F); opl(0x83, 0x00);
    opl(0xA0, 0x41); opl(0xB0, 0x32);
    std::vector<int16_t> fm = run_us(50000);
    int fm_peak = peak(fm);
    EXPECT_GT(fm_peak, 3000);
    dsp_reset();
    port_out8(DSP_WRITE, 0xD1);
    dac(0xFF);
    std::vector<int16_t> sum = run_us(50000);
    int top = 0, clipped = 0;
    for (int16_t v : sum) {
        top = std::max(top, (int)v);
        clipped += v == 32767;
    }
    EXPECT_EQ(top, 32767);
    EXPECT_GT(clipped, 0);
}

TEST_F(AudioTest, NoFmSilencesTheSynthesizerOnly)
{
    setenv("VRK_NO_FM", "1", 1);
    sb_init();
    audio_advance(fake_now_us);
    opl(0x20, 0x01); opl(0x23, 0x01);
    opl(0x40, 0x3F); opl(0x43, 0x00);
    opl(0x60, 0x0F); opl(0x63, 0xF0);
    opl(0xA0, 0x41); opl(0xB0, 0x32);
    EXPECT_EQ(peak(run_us(50000)), 0);
    dsp_reset();
    port_out8(DSP_WRITE, 0xD1);
    dac(0xC0);
    std::vector<int16_t> s = run_us(10000);
    EXPECT_EQ(s.back(), LEVEL_A);
}

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint16_t le16(const uint8_t *p) { return (uint16_t)(p[0] | p[1] << 8); }

TEST_F(AudioTest, WavCaptureHasAValidHeaderAfterClose)
{
    char path[] = "/tmp/halverd_wav_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("VRK_WAVOUT", path, 1);
    sb_init();
    audio_advance(fake_now_us);
    dsp_reset();
    port_out8(DSP_WRITE, 0xD1);
    dac(0xC0);
    std::vector<int16_t> s = run_us(100000);
    dac(0x40);
    std::vector<int16_t> t = run_us(100000);
    s.insert(s.end(), t.begin(), t.end());
    audio_close();
    audio_close();                  // a second close does nothing

    FILE *f = fopen(path, "rb");
    ASSERT_TRUE(f);
    std::vector<uint8_t> b(WAV_HEADER_BYTES + 2 * s.size() + 16);
    size_t got = fread(b.data(), 1, b.size(), f);
    fclose(f);
    unlink(path);
    ASSERT_EQ(got, WAV_HEADER_BYTES + 2 * s.size());
    const uint8_t *h = b.data();
    EXPECT_EQ(std::string((const char *)h, 4), "RIFF");
    EXPECT_EQ(le32(h + 4), 36 + 2 * s.size());
    EXPECT_EQ(std::string((const char *)h + 8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(h + 16), 16u);
    EXPECT_EQ(le16(h + 20), 1);     // PCM
    EXPECT_EQ(le16(h + 22), 1);     // mono
    EXPECT_EQ(le32(h + 24), 44100u);
    EXPECT_EQ(le32(h + 28), 88200u);
    EXPECT_EQ(le16(h + 32), 2);
    EXPECT_EQ(le16(h + 34), 16);
    EXPECT_EQ(std::string((const char *)h + 36, 4), "data");
    EXPECT_EQ(le32(h + 40), 2 * s.size());
    for (size_t i = 0; i < s.size(); i++)
        ASSERT_EQ((int16_t)le16(h + WAV_HEADER_BYTES + 2 * i), s[i]) << i;
}

TEST_F(AudioTest, UnwritableWavPathIsReportedAndIgnored)
{
    setenv("VRK_WAVOUT", "/nonexistent-dir/x.wav", 1);
    testing::internal::CaptureStderr();
    sb_init();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("cannot write WAV file /nonexistent-dir/x.wav"), std::string::npos) << err;
    audio_advance(fake_now_us);
    EXPECT_EQ(run_us(10000).size(), 441u);  // production goes on
}

TEST_F(AudioTest, WavHeaderForAnEmptyCapture)
{
    uint8_t h[WAV_HEADER_BYTES];
    wav_header(h, 0);
    EXPECT_EQ(le32(h + 4), 36u);
    EXPECT_EQ(le32(h + 40), 0u);
    wav_header(h, 0xFFFFFFFFu);     // a size that no longer fits is capped, not wrapped
    EXPECT_GE(le32(h + 4), le32(h + 40));
    EXPECT_GT(le32(h + 40), 0x7FFFFFFFu);
}

}  // namespace
