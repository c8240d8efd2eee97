// RIFF/WAVE encoding of the mono 16-bit sound that espeak-ng hands us.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace say {

// The largest sample count whose data chunk still fits the 32-bit RIFF size fields.
inline constexpr std::uint64_t kMaxWavSamples = (0xFFFFFFFFull - 36) / 2;

// Returns a complete WAV file: a 44-byte PCM header followed by the samples,
// everything little-endian whatever the host byte order is.
// The caller keeps samples.size() <= kMaxWavSamples.
std::vector<unsigned char> encode_wav(std::span<const std::int16_t> samples, std::uint32_t sample_rate);

}  // namespace say
