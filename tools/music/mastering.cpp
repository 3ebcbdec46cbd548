#include "mastering.h"

#include "dsp.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace music {

namespace {

// Centred moving average of `width` samples; near the ends it averages what exists.
std::vector<double> BoxAverage(const std::vector<double>& x, std::size_t width) {
    const std::size_t n = x.size();
    std::vector<double> prefix(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        prefix[i + 1] = prefix[i] + x[i];
    }
    std::vector<double> out(n);
    const std::size_t half = width / 2;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t lo = i >= half ? i - half : 0;
        const std::size_t hi = std::min(n, i + half + 1);
        out[i] = (prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo);
    }
    return out;
}

}  // namespace

std::vector<double> LimiterGain(const Stereo& in, double ceiling, std::size_t lookahead,
                                double releaseSeconds) {
    const std::size_t n = in.Frames();
    std::vector<double> needed(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double peak = std::max(std::abs(in.left[i]), std::abs(in.right[i]));
        needed[i] = peak > ceiling ? ceiling / peak : 1.0;
    }
    // held[k] = min(needed[k .. k + lookahead - 1]), by a monotonic queue of indices.
    std::vector<double> held(n);
    std::deque<std::size_t> queue;
    for (std::size_t j = n; j-- > 0;) {
        while (!queue.empty() && needed[queue.back()] >= needed[j]) {
            queue.pop_back();
        }
        queue.push_back(j);
        while (queue.front() >= j + lookahead) {
            queue.pop_front();
        }
        held[j] = needed[queue.front()];
    }
    // Release: the hold may only recover towards unity at the release rate.
    const double release = std::exp(-1.0 / (releaseSeconds * kSampleRate));
    double state = 1.0;
    for (std::size_t k = 0; k < n; ++k) {
        state = std::min(held[k], 1.0 - (1.0 - state) * release);
        held[k] = state;
    }
    // Averaging the held values of frames k in (i - lookahead, i]: each covers frame i, so
    // the mean is no larger than the gain frame i needs.
    std::vector<double> gain(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += held[i];
        if (i >= lookahead) {
            sum -= held[i - lookahead];
        }
        const std::size_t count = std::min(i + 1, lookahead);
        // Frames before the start count as the first one, whose hold covers them too.
        gain[i] = (sum + static_cast<double>(lookahead - count) * held[0]) /
                  static_cast<double>(lookahead);
    }
    return gain;
}

void Limit(Stereo& signal, double ceiling, std::size_t lookahead, double releaseSeconds) {
    const std::vector<double> gain = LimiterGain(signal, ceiling, lookahead, releaseSeconds);
    for (std::size_t i = 0; i < signal.Frames(); ++i) {
        signal.left[i] *= gain[i];
        signal.right[i] *= gain[i];
    }
}

namespace {

// The master limiter: 5 ms of look-ahead, 80 ms of release.
constexpr std::size_t kLookahead = 240;
constexpr double kRelease = 0.08;

}  // namespace

Stereo GainAndLimit(const Stereo& mix, const std::vector<double>& gain, double ceiling) {
    Stereo out(mix.Frames());
    for (std::size_t i = 0; i < mix.Frames(); ++i) {
        out.left[i] = mix.left[i] * gain[i];
        out.right[i] = mix.right[i] * gain[i];
    }
    Limit(out, ceiling, kLookahead, kRelease);
    return out;
}

std::vector<double> RiderGain(const Stereo& mix, double targetRms, double ceiling, int passes,
                              std::size_t rideUntil) {
    return RiderGain(mix, std::vector<double>(mix.Frames(), 20.0 * std::log10(targetRms)), ceiling,
                     passes, rideUntil);
}

std::vector<double> RiderGain(const Stereo& mix, const std::vector<double>& targetDb,
                              double ceiling, int passes, std::size_t rideUntil) {
    const std::size_t n = mix.Frames();
    rideUntil = std::clamp<std::size_t>(rideUntil, 1, n);
    // Levels are taken over a bar-long box, so a pattern that repeats every bar or every beat
    // averages out exactly and the gain does not follow the kick; a shorter average lets the
    // beat through, and correcting it pumps audibly. The wanted gain is then smoothed in
    // decibels over another bar, which bounds how fast it moves.
    const std::size_t kBar = 2 * kSampleRate;
    const auto barLevelDb = [&](const Stereo& s) {
        std::vector<double> power(n);
        for (std::size_t i = 0; i < n; ++i) {
            power[i] = 0.5 * (s.left[i] * s.left[i] + s.right[i] * s.right[i]);
        }
        std::vector<double> level = BoxAverage(power, kBar);
        for (double& v : level) {
            v = 10.0 * std::log10(std::max(v, 1e-24));
        }
        return level;
    };
    const std::vector<double> mixDb = barLevelDb(mix);
    // What the limiter takes from the level of each bar, which the next pass makes up. Each
    // pass corrects the mix's own level, never its previous output's: a correction of a
    // correction would spread a loud part's influence a bar further into its neighbours.
    std::vector<double> limiterDb(n, 0.0);
    std::vector<double> gain(n);
    for (int pass = 0;; ++pass) {
        std::vector<double> wanted(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = std::min(i, rideUntil - 1);
            wanted[i] = std::clamp(targetDb[k] - mixDb[k] + limiterDb[k], -26.0, 26.0);
        }
        const std::vector<double> smooth = BoxAverage(wanted, kBar);
        for (std::size_t i = 0; i < n; ++i) {
            gain[i] = DbToGain(smooth[i]);
        }
        if (pass == passes) {
            return gain;
        }
        Stereo ridden(n);
        for (std::size_t i = 0; i < n; ++i) {
            ridden.left[i] = mix.left[i] * gain[i];
            ridden.right[i] = mix.right[i] * gain[i];
        }
        const std::vector<double> before = barLevelDb(ridden);
        Limit(ridden, ceiling, kLookahead, kRelease);
        const std::vector<double> after = barLevelDb(ridden);
        for (std::size_t i = 0; i < n; ++i) {
            limiterDb[i] = before[i] - after[i];
        }
    }
}

double FadeGain(double seconds, double lengthSeconds) {
    // Level in dB against seconds before the end, linear between the points: -30 dB 0.1 s
    // before the end, and the last samples go to exactly zero.
    struct Point {
        double before;
        double db;
    };
    static constexpr Point kCurve[] = {{0.4, 0.0}, {0.1, -30.0}, {0.01, -100.0}, {0.0, -140.0}};
    const double before = lengthSeconds - seconds;
    if (before >= kCurve[0].before) {
        return 1.0;
    }
    if (before <= 0.0) {
        return 0.0;
    }
    for (std::size_t k = 1; k < std::size(kCurve); ++k) {
        if (before >= kCurve[k].before) {
            const Point& a = kCurve[k - 1];
            const Point& b = kCurve[k];
            const double u = (a.before - before) / (a.before - b.before);
            const double db = a.db + (b.db - a.db) * u;
            return DbToGain(db) * std::min(1.0, before / 0.005);
        }
    }
    return 0.0;
}

std::vector<std::int32_t> Quantize(const Stereo& signal, std::uint64_t seed) {
    Rng rng(seed);
    constexpr double kScale = 8388608.0;  // 2^23
    std::vector<std::int32_t> out;
    out.reserve(2 * signal.Frames());
    for (std::size_t i = 0; i < signal.Frames(); ++i) {
        for (double x : {signal.left[i], signal.right[i]}) {
            const double dither = rng.Uniform() - rng.Uniform();
            const double v = std::floor(x * kScale + dither + 0.5);
            out.push_back(static_cast<std::int32_t>(std::clamp(v, -kScale, kScale - 1.0)));
        }
    }
    return out;
}

}  // namespace music
