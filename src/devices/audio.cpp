// Production runs in bulk from the machine's periodic poll: the frames owed
// since the previous call (at most a quarter second, so a stalled machine
// does not burst), in chunks of 4096, from static buffers. Each chunk is the
// FM synthesizer's output plus the DSP's, clamped, written to the WAV
// capture and stored left = right in the ring. Everything runs on the
// machine thread; the ring positions are still published with release
// stores.
#include "devices/audio.h"

#include "devices/opl.h"
#include "devices/sb.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr uint32_t RING_MASK = AUDIO_RING_FRAMES - 1;
constexpr int CHANNELS_OUT = 2;
constexpr int WAV_CHANNELS = 1;
constexpr int WAV_BITS = 16;
constexpr int WAV_BYTES_PER_FRAME = WAV_CHANNELS * WAV_BITS / 8;
constexpr int WAV_FMT_SIZE = 16;
constexpr int WAV_FORMAT_PCM = 1;
constexpr int WAV_RIFF_REST = 36;       // header bytes after the RIFF size field, less 8
constexpr int WAV_NAME_MAX = 4096;

constexpr double US_PER_S = 1e6;
constexpr uint32_t WAV_MAX_FRAMES = (UINT32_MAX - WAV_RIFF_REST) / WAV_BYTES_PER_FRAME;

static struct {
    int16_t ring[AUDIO_RING_FRAMES][CHANNELS_OUT];
    std::atomic<uint32_t> ring_w, ring_r;
    int started;
    uint64_t audio_last_us;
    double audio_frac;
    int no_fm;                      // VRK_NO_FM: the FM part is silence
    int16_t fm[AUDIO_CHUNK_FRAMES];
    int32_t acc[AUDIO_CHUNK_FRAMES];
    uint8_t wav_buf[AUDIO_CHUNK_FRAMES * WAV_BYTES_PER_FRAME];
    FILE *wav_out;
    uint32_t wav_frames;
    char wav_name[WAV_NAME_MAX];
} au;

static void put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t *p, uint32_t v)
{
    put16(p, (uint16_t)v);
    put16(p + 2, (uint16_t)(v >> 16));
}

void wav_header(uint8_t out[WAV_HEADER_BYTES], uint32_t frames)
{
    uint32_t data = std::min(frames, WAV_MAX_FRAMES) * WAV_BYTES_PER_FRAME;
    memcpy(out, "RIFF", 4);
    put32(out + 4, WAV_RIFF_REST + data);
    memcpy(out + 8, "WAVEfmt ", 8);
    put32(out + 16, WAV_FMT_SIZE);
    put16(out + 20, WAV_FORMAT_PCM);
    put16(out + 22, WAV_CHANNELS);
    put32(out + 24, AUDIO_RATE_HZ);
    put32(out + 28, AUDIO_RATE_HZ * WAV_BYTES_PER_FRAME);
    put16(out + 32, WAV_BYTES_PER_FRAME);
    put16(out + 34, WAV_BITS);
    memcpy(out + 36, "data", 4);
    put32(out + 40, data);
}

static void wav_fail(const char *what)
{
    fprintf(stderr, "halverd: cannot %s WAV file %s: %s\n", what, au.wav_name, strerror(errno));
    fclose(au.wav_out);
    au.wav_out = nullptr;
}

static void wav_open(const char *name)
{
    snprintf(au.wav_name, sizeof au.wav_name, "%s", name);
    au.wav_out = fopen(name, "wb");
    if (!au.wav_out) {
        fprintf(stderr, "halverd: cannot write WAV file %s: %s\n", name, strerror(errno));
        return;
    }
    au.wav_frames = 0;
    uint8_t h[WAV_HEADER_BYTES];
    wav_header(h, 0);
    if (fwrite(h, sizeof h, 1, au.wav_out) != 1)
        wav_fail("write");
}

static void wav_write(const int16_t *s, int n)
{
    for (int i = 0; i < n; i++)
        put16(au.wav_buf + i * WAV_BYTES_PER_FRAME, (uint16_t)s[i]);
    if (fwrite(au.wav_buf, WAV_BYTES_PER_FRAME, (size_t)n, au.wav_out) != (size_t)n) {
        wav_fail("write");
        return;
    }
    au.wav_frames += (uint32_t)n;
}

void audio_close(void)
{
    if (!au.wav_out)
        return;
    uint8_t h[WAV_HEADER_BYTES];
    wav_header(h, au.wav_frames);
    if (fseek(au.wav_out, 0, SEEK_SET) != 0 || fwrite(h, sizeof h, 1, au.wav_out) != 1) {
        wav_fail("finish");
        return;
    }
    if (fclose(au.wav_out) != 0)
        fprintf(stderr, "halverd: cannot finish WAV file %s: %s\n", au.wav_name, strerror(errno));
    au.wav_out = nullptr;
}

static void ring_put(const int16_t *s, int n)
{
    uint32_t w = au.ring_w.load(std::memory_order_relaxed);
    uint32_t r = au.ring_r.load(std::memory_order_relaxed);
    for (int i = 0; i < n; i++) {
        au.ring[w][0] = au.ring[w][1] = s[i];
        w = (w + 1) & RING_MASK;
        if (w == r)                 // full: the oldest frame goes
            r = (r + 1) & RING_MASK;
    }
    au.ring_r.store(r, std::memory_order_release);
    au.ring_w.store(w, std::memory_order_release);
}

static void produce(int n)
{
    if (au.no_fm)
        memset(au.fm, 0, sizeof au.fm[0] * n);
    else
        opl_generate(au.fm, n, AUDIO_RATE_HZ);
    for (int i = 0; i < n; i++)
        au.acc[i] = au.fm[i];
    sb_render(au.acc, n, AUDIO_RATE_HZ);
    for (int i = 0; i < n; i++)
        au.fm[i] = (int16_t)std::clamp(au.acc[i], (int32_t)INT16_MIN, (int32_t)INT16_MAX);
    if (au.wav_out)
        wav_write(au.fm, n);
    ring_put(au.fm, n);
}

void audio_advance(uint64_t now_us)
{
    if (!au.started) {
        au.started = 1;
        au.audio_last_us = now_us;
        return;
    }
    uint64_t elapsed = now_us > au.audio_last_us ? now_us - au.audio_last_us : 0;
    au.audio_last_us = now_us;
    double owed = (double)elapsed * AUDIO_RATE_HZ / US_PER_S + au.audio_frac;
    opl_timer_update();
    int frames;
    if (owed > AUDIO_MAX_OWED_FRAMES) {
        frames = AUDIO_MAX_OWED_FRAMES;
        au.audio_frac = 0;
    } else {
        frames = (int)owed;
        au.audio_frac = owed - frames;
    }
    while (frames > 0) {
        int n = std::min(frames, (int)AUDIO_CHUNK_FRAMES);
        produce(n);
        frames -= n;
    }
}

int audio_available(void)
{
    uint32_t w = au.ring_w.load(std::memory_order_acquire);
    uint32_t r = au.ring_r.load(std::memory_order_acquire);
    return (int)((w - r) & RING_MASK);
}

int audio_mix(int16_t *out, int frames, int)
{
    if (frames <= 0)
        return 0;
    uint32_t r = au.ring_r.load(std::memory_order_acquire);
    int n = std::min(frames, audio_available());
    for (int i = 0; i < n; i++) {
        out[2 * i] = au.ring[r][0];
        out[2 * i + 1] = au.ring[r][1];
        r = (r + 1) & RING_MASK;
    }
    au.ring_r.store(r, std::memory_order_release);
    memset(out + 2 * n, 0, sizeof *out * CHANNELS_OUT * (size_t)(frames - n));
    return n;
}

void audio_init(void)
{
    au.ring_w.store(0, std::memory_order_release);
    au.ring_r.store(0, std::memory_order_release);
    au.started = 0;
    au.audio_frac = 0;
    au.no_fm = getenv("VRK_NO_FM") != nullptr;
    const char *name = getenv("VRK_WAVOUT");
    if (!au.wav_out && name && *name)
        wav_open(name);
}
