// The master stage of the track: level riding, look-ahead limiting, the closing fade and
// dithered quantisation to 24-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace music {

struct Stereo {
    explicit Stereo(std::size_t frames) : left(frames, 0.0), right(frames, 0.0) {}
    std::size_t Frames() const { return left.size(); }
    std::vector<double> left;
    std::vector<double> right;
};

// Gain per frame that keeps max(|left|, |right|) * gain <= ceiling: the gain needed at
// each frame is reached over `lookahead` frames before it (a held minimum smoothed by a
// moving average of the same length) and recovers with the release time constant.
std::vector<double> LimiterGain(const Stereo& in, double ceiling, std::size_t lookahead,
                                double releaseSeconds);

// Multiplies both channels by the limiter's gain.
void Limit(Stereo& signal, double ceiling, std::size_t lookahead, double releaseSeconds);

// Slow gain rider: finds a smooth gain curve such that, after GainAndLimit, the RMS level
// around every frame, weighted by a 4 s triangle, is `targetDb` at that frame (dBFS, of
// samples scaled to +/-1), so that a track can have a quiet opening and a loud peak. From
// frame `rideUntil` on it no longer follows the level but holds the gain it wanted there,
// so that an ending dies away as played. Returns the rider's gain per frame, before the
// limiter.
std::vector<double> RiderGain(const Stereo& mix, const std::vector<double>& targetDb,
                              double ceiling, int passes, std::size_t rideUntil);

// The same for one level throughout, `targetRms` (linear).
std::vector<double> RiderGain(const Stereo& mix, double targetRms, double ceiling, int passes,
                              std::size_t rideUntil);

// Multiplies the mix by `gain` and limits it to `ceiling` with the master's look-ahead
// and release.
Stereo GainAndLimit(const Stereo& mix, const std::vector<double>& gain, double ceiling);

// Gain of the closing fade at `seconds` into a track of `lengthSeconds`: 1 until 0.4 s
// before the end, then falling to exactly 0 at the end. It only closes a track that has
// died away on its own; the demo never plays its last tenth of a second.
double FadeGain(double seconds, double lengthSeconds);

// Rounds to signed 24-bit integers with triangular (TPDF) dither of one LSB peak on each
// side, interleaved left then right. Samples are scaled so that 1.0 is 2^23.
std::vector<std::int32_t> Quantize(const Stereo& signal, std::uint64_t seed);

}  // namespace music
