// The track's container: RIFF/WAVE with the extensible format header (stereo, 48 kHz,
// 24-bit integer PCM), a fact chunk with the frame count, then the data chunk, nothing
// else and nothing after it.
#pragma once

#include <cstdint>
#include <vector>

namespace music {

// `samples` are interleaved left, right; each is written as 3 bytes little-endian.
std::vector<std::uint8_t> EncodeWave(const std::vector<std::int32_t>& samples);

}  // namespace music
