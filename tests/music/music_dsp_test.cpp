// The master stage's guarantees, on signals made for the purpose.
#include "dsp.h"
#include "mastering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

using music::Stereo;

// Noise with loud bursts, some only a few samples long, on one channel or the other.
Stereo BurstyNoise(std::size_t frames) {
    music::Rng rng(42);
    Stereo s(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double burst = (i / 997) % 7 == 3 ? 6.0 : ((i % 5003) < 3 ? 9.0 : 1.0);
        s.left[i] = 0.3 * burst * rng.Bipolar();
        s.right[i] = 0.3 * (i % 2 == 0 ? burst : 1.0) * rng.Bipolar();
    }
    return s;
}

TEST(Limiter, NeverLetsASampleAboveTheCeilingAndLeavesQuietPartsAlone) {
    Stereo s = BurstyNoise(200'000);
    const double ceiling = music::DbToGain(-3.0);
    const std::vector<double> gain = music::LimiterGain(s, ceiling, 240, 0.08);
    double peak = 0.0;
    for (std::size_t i = 0; i < s.Frames(); ++i) {
        peak = std::max({peak, std::abs(s.left[i] * gain[i]), std::abs(s.right[i] * gain[i])});
        ASSERT_LE(gain[i], 1.0);
        ASSERT_GT(gain[i], 0.0);
    }
    EXPECT_LE(peak, ceiling * (1.0 + 1e-12));
    EXPECT_GT(peak, 0.999 * ceiling);
    // Long after the last loud sample the gain is back at unity.
    Stereo quiet(48'000);
    for (std::size_t i = 0; i < quiet.Frames(); ++i) {
        quiet.left[i] = i == 1'000 ? 2.0 : 0.1;
        quiet.right[i] = 0.1;
    }
    const std::vector<double> g = music::LimiterGain(quiet, ceiling, 240, 0.08);
    EXPECT_NEAR(g[1'000], ceiling / 2.0, 1e-12);
    EXPECT_EQ(g[1'000 - 240], 1.0);
    EXPECT_GT(g[47'999], 0.999);
}

TEST(Limiter, GainChangesSmoothlyOverTheLookahead) {
    Stereo s(10'000);
    for (std::size_t i = 0; i < s.Frames(); ++i) {
        s.left[i] = s.right[i] = i == 5'000 ? 4.0 : 0.2;
    }
    const std::vector<double> gain = music::LimiterGain(s, 1.0, 240, 0.08);
    // The drop to a quarter is spread over the 240 frames before the peak.
    double largestStep = 0.0;
    for (std::size_t i = 1; i < gain.size(); ++i) {
        largestStep = std::max(largestStep, std::abs(gain[i] - gain[i - 1]));
    }
    EXPECT_NEAR(gain[5'000], 0.25, 1e-12);
    EXPECT_DOUBLE_EQ(gain[4'760 - 1], 1.0);
    EXPECT_LE(largestStep, 0.75 / 240 + 1e-12);
}

// The rider follows the level up to its hold and from there keeps the gain it wanted at
// the hold, so that an ending dies away as played. The mix is quiet for 6 s, then 20 dB
// louder. Held at 12 s the rider rides both parts and keeps the loud part's gain; held at
// 3 s, the loud part passes at the quiet part's gain.
class RiderHold : public ::testing::TestWithParam<double> {};

TEST_P(RiderHold, HoldsTheLevelOfPartsThatDifferByTwentyDecibelsUpToItsHold) {
    const double hold = GetParam();
    const std::size_t frames = 16 * music::kSampleRate;
    const std::size_t holdFrame = static_cast<std::size_t>(hold * music::kSampleRate);
    music::Rng rng(7);
    Stereo mix(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double level = i < 6 * music::kSampleRate ? 0.03 : 0.3;
        mix.left[i] = level * rng.Bipolar();
        mix.right[i] = level * rng.Bipolar();
    }
    const double target = music::DbToGain(-16.0);
    const double ceiling = music::DbToGain(-3.0);
    const std::vector<double> gain = music::RiderGain(mix, target, ceiling, 4, holdFrame);
    const Stereo out = music::GainAndLimit(mix, gain, ceiling);
    // Away from the change, and a bar's smoothing before the hold, the level is on target;
    // a second after a hold in the quiet part the loud part is far above it.
    for (double from : {1.0, 3.0, 8.0, 10.0}) {
        double sum = 0.0;
        const std::size_t a = static_cast<std::size_t>(from * music::kSampleRate);
        const std::size_t b = a + music::kSampleRate;
        for (std::size_t i = a; i < b; ++i) {
            sum += 0.5 * (out.left[i] * out.left[i] + out.right[i] * out.right[i]);
        }
        const double level = 10.0 * std::log10(sum / music::kSampleRate);
        if (from + 2.0 <= hold) {
            EXPECT_NEAR(level, -16.0, 0.3) << from;
        } else if (from >= hold + 1.0) {
            EXPECT_GT(level, -10.0) << from;
        }
    }
    // From a second after the hold (three seconds and more of the mix) the gain does not
    // move at all.
    const std::size_t settled = holdFrame + music::kSampleRate;
    const auto [lo, hi] =
        std::minmax_element(gain.begin() + static_cast<std::ptrdiff_t>(settled), gain.end());
    EXPECT_LT(20.0 * std::log10(*hi / *lo), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Rider, RiderHold, ::testing::Values(12.0, 3.0));

// A half-time kick, one a second, over a bed of about its power: the rider must hold the
// level without following the beat, which would pump audibly.
TEST(Rider, HoldsTheLevelOfAHalfTimeKickWithoutPumping) {
    const std::size_t frames = 16 * music::kSampleRate;
    music::Rng rng(11);
    Stereo mix(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double s = static_cast<double>(i % music::kSampleRate) / music::kSampleRate;
        const double kick = 0.6 * std::exp(-s / 0.17) * std::sin(2.0 * music::kPi * 55.0 * s);
        mix.left[i] = kick + 0.25 * rng.Bipolar();
        mix.right[i] = kick + 0.25 * rng.Bipolar();
    }
    const double ceiling = music::DbToGain(-3.0);
    const std::vector<double> gain =
        music::RiderGain(mix, music::DbToGain(-16.0), ceiling, 4, frames);
    const Stereo out = music::GainAndLimit(mix, gain, ceiling);
    double sum = 0.0;
    for (std::size_t i = 4 * music::kSampleRate; i < 12 * music::kSampleRate; ++i) {
        sum += 0.5 * (out.left[i] * out.left[i] + out.right[i] * out.right[i]);
    }
    EXPECT_NEAR(10.0 * std::log10(sum / (8 * music::kSampleRate)), -16.0, 0.3);
    // Peak to peak of the gain in dB within every 2 s window, in steps of 10 ms.
    const std::size_t window = 2 * music::kSampleRate;
    double largest = 0.0;
    for (std::size_t from = 0; from + window <= frames; from += 480) {
        const auto [lo, hi] =
            std::minmax_element(gain.begin() + from, gain.begin() + from + window);
        largest = std::max(largest, 20.0 * std::log10(*hi / *lo));
    }
    std::printf("largest rider swing within 2 s: %.2f dB\n", largest);
    EXPECT_LE(largest, 1.5);
}

// The fade only closes a track that has died away on its own: it must leave the ring-out
// alone until the last 0.4 s and then reach silence.
TEST(Fade, IsUnityBeforeTheLastFourTenthsThenFallsToExactlyZero) {
    EXPECT_EQ(music::FadeGain(0.0, 60.0), 1.0);
    EXPECT_EQ(music::FadeGain(59.55, 60.0), 1.0);
    EXPECT_EQ(music::FadeGain(60.0, 60.0), 0.0);
    double previous = 1.0;
    for (int i = 59'000; i <= 60'000; ++i) {
        const double g = music::FadeGain(i / 1000.0, 60.0);
        ASSERT_LE(g, previous) << i;
        previous = g;
    }
    EXPECT_LT(music::FadeGain(59.9, 60.0), music::DbToGain(-29.0));
}

TEST(Quantize, RoundsWithAtMostOneLsbOfDither) {
    Stereo s(20'000);
    for (std::size_t i = 0; i < s.Frames(); ++i) {
        s.left[i] = 0.25 + 1e-9 * static_cast<double>(i);
        s.right[i] = 0.0;
    }
    const std::vector<std::int32_t> q = music::Quantize(s, 1);
    std::size_t zeros = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < s.Frames(); ++i) {
        const double exact = s.left[i] * 8388608.0;
        ASSERT_LE(std::abs(q[2 * i] - exact), 1.5);
        ASSERT_LE(std::abs(q[2 * i + 1]), 1);
        zeros += q[2 * i + 1] == 0 ? 1 : 0;
        sum += q[2 * i + 1];
    }
    // Triangular dither on silence: 0 three times in four, +/-1 otherwise, mean zero.
    EXPECT_NEAR(static_cast<double>(zeros) / s.Frames(), 0.75, 0.02);
    EXPECT_NEAR(sum / s.Frames(), 0.0, 0.02);
}

}  // namespace
