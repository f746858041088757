// The audio producer: 44,100 Hz stereo frames mixing the FM synthesizer with
// the DSP's output, kept in a ring that the presentation step drains into the
// host audio stream, and optionally captured to a mono WAV file.
#pragma once

#include <cstdint>

constexpr int AUDIO_RATE_HZ = 44100;
constexpr int AUDIO_RING_FRAMES = 16384;
constexpr int AUDIO_MAX_OWED_FRAMES = 11025;    // a quarter second: more is dropped
constexpr int AUDIO_CHUNK_FRAMES = 4096;
constexpr int WAV_HEADER_BYTES = 44;

// Empties the ring and starts the clock anew; opens the WAV file named by
// VRK_WAVOUT (once: a capture already open goes on). Called by sb_init.
void audio_init(void);
// Produces the frames owed since the previous call (the first only records
// the time).
void audio_advance(uint64_t now_us);
// Frames waiting in the ring.
int audio_available(void);
// Copies up to frames frames as interleaved 16-bit stereo and fills the rest
// with silence; returns the frames taken from the ring. The ring is always
// 44,100 Hz; rate is not used.
int audio_mix(int16_t *out, int frames, int rate);
// Writes the WAV header with the final frame count and closes the file.
void audio_close(void);

// The 44-byte header of a mono 16-bit 44,100 Hz WAV file of frames frames.
void wav_header(uint8_t out[WAV_HEADER_BYTES], uint32_t frames);
