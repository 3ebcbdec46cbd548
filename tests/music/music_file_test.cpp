// Checks the generated soundtrack file: its container to the byte, and its levels as
// dBFS figures (20 log10 of the sample peak, or of the RMS of samples scaled to +/-1),
// its loudness as a listener hears it (BS.1770: K-weighted, in LUFS), how it holds up
// played in mono, how wide it is, and the level of a few bands where the arrangement puts
// a landing or a backbeat. The measured figures are printed so that they can be quoted.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr std::size_t kFrames = 2'880'000;
constexpr std::size_t kHeaderBytes = 80;
constexpr double kFullScale = 8388608.0;  // 2^23

struct Track {
    std::vector<std::uint8_t> bytes;
    std::vector<std::int32_t> left;
    std::vector<std::int32_t> right;
};

const Track& LoadTrack() {
    static const Track track = [] {
        Track t;
        std::ifstream file(ZELTAVO_MUSIC_FILE, std::ios::binary);
        t.bytes.assign(std::istreambuf_iterator<char>(file), {});
        if (t.bytes.size() < kHeaderBytes) {
            return t;
        }
        const std::size_t frames = (t.bytes.size() - kHeaderBytes) / 6;
        for (std::size_t i = 0; i < frames; ++i) {
            const std::uint8_t* p = &t.bytes[kHeaderBytes + 6 * i];
            for (int c = 0; c < 2; ++c) {
                const std::uint32_t u = p[3 * c] | (p[3 * c + 1] << 8) | (p[3 * c + 2] << 16);
                // Sign-extend the 24-bit value.
                const std::int32_t v = static_cast<std::int32_t>(u << 8) >> 8;
                (c == 0 ? t.left : t.right).push_back(v);
            }
        }
        return t;
    }();
    return track;
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::string Tag(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

double Db(double linear) {
    return 20.0 * std::log10(linear);
}

std::size_t Frame(double seconds) {
    return static_cast<std::size_t>(std::llround(seconds * kRate));
}

double PeakDb(const std::vector<std::int32_t>& channel, std::size_t from, std::size_t to) {
    std::int64_t peak = 0;
    for (std::size_t i = from; i < to; ++i) {
        peak = std::max<std::int64_t>(peak, std::abs(static_cast<std::int64_t>(channel[i])));
    }
    return Db(static_cast<double>(peak) / kFullScale);
}

double MeanSquare(const std::vector<std::int32_t>& channel, std::size_t from, std::size_t to) {
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double x = channel[i] / kFullScale;
        sum += x * x;
    }
    return sum / static_cast<double>(to - from);
}

// RMS of both channels' samples together over [from, to) seconds.
double RmsDb(const Track& t, double from, double to) {
    const double ms = 0.5 * (MeanSquare(t.left, Frame(from), Frame(to)) +
                             MeanSquare(t.right, Frame(from), Frame(to)));
    return 10.0 * std::log10(ms);
}

// Time just after the last sample (either channel) whose level exceeds `db` dBFS.
double LastAbove(const Track& t, double db) {
    const double limit = std::pow(10.0, db / 20.0) * kFullScale;
    for (std::size_t i = t.left.size(); i-- > 0;) {
        if (std::abs(t.left[i]) > limit || std::abs(t.right[i]) > limit) {
            return static_cast<double>(i + 1) / kRate;
        }
    }
    return 0.0;
}

// A 4th-order Butterworth high-pass at `low` Hz and low-pass at `high` Hz (0 leaves either
// out), run forwards: two biquads each, bilinear with the cutoff prewarped, the cookbook
// form with the Butterworth pair of Qs.
std::vector<double> Filtered(std::vector<double> x, double low, double high) {
    for (const double q : {0.54119610014619698, 1.3065629648763766}) {
        for (const bool highPass : {true, false}) {
            const double hz = highPass ? low : high;
            if (hz <= 0.0) {
                continue;
            }
            const double w = 2.0 * std::numbers::pi * hz / kRate;
            const double alpha = std::sin(w) / (2.0 * q);
            const double c = std::cos(w);
            const double a0 = 1.0 + alpha;
            const double b1 = (highPass ? -(1.0 + c) : 1.0 - c) / a0;
            const double b0 = 0.5 * (highPass ? -b1 : b1);
            const double a1 = -2.0 * c / a0;
            const double a2 = (1.0 - alpha) / a0;
            double s1 = 0.0, s2 = 0.0;
            for (double& v : x) {
                const double y = b0 * v + s1;
                s1 = b1 * v - a1 * y + s2;
                s2 = b0 * v - a2 * y;
                v = y;
            }
        }
    }
    return x;
}

std::vector<double> Scaled(const std::vector<std::int32_t>& channel) {
    std::vector<double> x(channel.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = channel[i] / kFullScale;
    }
    return x;
}

// The power of both channels through one band, summed over any stretch.
class BandEnergy {
public:
    BandEnergy(const Track& t, double low, double high) : prefix_(kFrames + 1, 0.0) {
        const std::vector<double> left = Filtered(Scaled(t.left), low, high);
        const std::vector<double> right = Filtered(Scaled(t.right), low, high);
        for (std::size_t i = 0; i < kFrames; ++i) {
            prefix_[i + 1] = prefix_[i] + 0.5 * (left[i] * left[i] + right[i] * right[i]);
        }
    }

    double Sum(double from, double to) const { return prefix_[Frame(to)] - prefix_[Frame(from)]; }

    // Mean power over [from, to) in dBFS.
    double Db(double from, double to) const {
        return 10.0 * std::log10(Sum(from, to) / static_cast<double>(Frame(to) - Frame(from)));
    }

private:
    std::vector<double> prefix_;
};

// Loudness as BS.1770 measures it: each channel K-weighted (a high shelf of +4 dB above
// about 1.5 kHz, then a high-pass at 38 Hz; the standard's biquads at 48 kHz), the powers
// of both channels summed, and -0.691 + 10 log10 of their mean over a window, in LUFS.
class Loudness {
public:
    explicit Loudness(const Track& t) : prefix_(kFrames + 1, 0.0) {
        const std::vector<double> left = KWeighted(t.left);
        const std::vector<double> right = KWeighted(t.right);
        for (std::size_t i = 0; i < kFrames; ++i) {
            prefix_[i + 1] = prefix_[i] + left[i] * left[i] + right[i] * right[i];
        }
    }

    double Lufs(double from, double to) const {
        const std::size_t a = Frame(from);
        const std::size_t b = Frame(to);
        return -0.691 + 10.0 * std::log10((prefix_[b] - prefix_[a]) / static_cast<double>(b - a));
    }

    // Largest momentary loudness (400 ms windows every 10 ms) of the windows within
    // [from, to].
    double MaxMomentary(double from, double to) const {
        double most = -200.0;
        for (double end = from + 0.4; end <= to + 1e-9; end += 0.01) {
            most = std::max(most, Lufs(end - 0.4, end));
        }
        return most;
    }

    // Gated loudness of [from, to]: 400 ms blocks every 100 ms, those above -70 LUFS and
    // above 10 LU under the level of those.
    double Integrated(double from, double to) const {
        std::vector<double> blocks;
        for (double end = from + 0.4; end <= to + 1e-9; end += 0.1) {
            blocks.push_back(Lufs(end - 0.4, end));
        }
        const auto gatedMean = [&](double gate) {
            double sum = 0.0;
            std::size_t count = 0;
            for (double b : blocks) {
                if (b > gate) {
                    sum += std::pow(10.0, (b + 0.691) / 10.0);
                    ++count;
                }
            }
            return -0.691 + 10.0 * std::log10(sum / static_cast<double>(count));
        };
        return gatedMean(std::max(-70.0, gatedMean(-70.0) - 10.0));
    }

private:
    static std::vector<double> KWeighted(const std::vector<std::int32_t>& channel) {
        struct Biquad {
            double b0, b1, b2, a1, a2;
        };
        static constexpr Biquad kStages[] = {
            {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
             0.73248077421585},
            {1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621},
        };
        std::vector<double> x(channel.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] = channel[i] / kFullScale;
        }
        for (const Biquad& q : kStages) {
            double s1 = 0.0;
            double s2 = 0.0;
            for (double& v : x) {
                const double y = q.b0 * v + s1;
                s1 = q.b1 * v - q.a1 * y + s2;
                s2 = q.b2 * v - q.a2 * y;
                v = y;
            }
        }
        return x;
    }

    std::vector<double> prefix_;
};

// Highest magnitude between and on the samples, 4x oversampled by a windowed-sinc
// interpolator (32 taps per phase, Blackman window), in dBTP.
double TruePeakDb(const std::vector<std::int32_t>& channel) {
    constexpr int kUp = 4;
    constexpr int kTaps = 32;
    std::array<std::array<double, kTaps>, kUp> phases{};
    for (int p = 0; p < kUp; ++p) {
        for (int k = 0; k < kTaps; ++k) {
            // Distance in input samples from the interpolated point to tap k.
            const double x = (k - kTaps / 2 + 1) - static_cast<double>(p) / kUp;
            const double sinc =
                x == 0.0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            const double w = (x + kTaps / 2.0) / kTaps;  // 0..1 across the taps
            const double blackman = 0.42 - 0.5 * std::cos(2.0 * std::numbers::pi * w) +
                                    0.08 * std::cos(4.0 * std::numbers::pi * w);
            phases[p][k] = sinc * blackman;
        }
    }
    double peak = 0.0;
    for (std::size_t n = kTaps; n < channel.size(); ++n) {
        for (const auto& h : phases) {
            double y = 0.0;
            for (int k = 0; k < kTaps; ++k) {
                y += h[k] * channel[n - static_cast<std::size_t>(k)];
            }
            peak = std::max(peak, std::abs(y));
        }
    }
    return Db(peak / kFullScale);
}

// Correlation of left and right over [from, to), the power of the mono fold-down
// (L + R) / 2 against the mean power of the two sides, in dB (0 for a centred signal,
// -3 for unrelated sides, far below for opposite ones), and the power of the side
// (L - R) / 2 against that of the mid, in dB (-inf for a centred signal, 0 for unrelated
// sides).
struct Stereo {
    double correlation;
    double monoDb;
    double sideDb;
};

Stereo StereoOf(const Track& t, std::size_t from, std::size_t to) {
    double lr = 0.0, ll = 0.0, rr = 0.0, mono = 0.0, side = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double l = t.left[i], r = t.right[i];
        lr += l * r;
        ll += l * l;
        rr += r * r;
        mono += 0.25 * (l + r) * (l + r);
        side += 0.25 * (l - r) * (l - r);
    }
    return {lr / std::sqrt(ll * rr), 10.0 * std::log10(mono / (0.5 * (ll + rr))),
            10.0 * std::log10(side / mono)};
}

class MusicFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadTrack().bytes.size(), 17'280'080u) << "cannot read " << ZELTAVO_MUSIC_FILE;
        ASSERT_EQ(LoadTrack().left.size(), kFrames);
    }
    const Track& track = LoadTrack();
};

TEST_F(MusicFile, HeaderIsExtensibleStereo48kHz24BitPcm) {
    const auto& b = track.bytes;
    EXPECT_EQ(Tag(b, 0), "RIFF");
    EXPECT_EQ(U32(b, 4), 17'280'072u);
    EXPECT_EQ(Tag(b, 8), "WAVE");
    EXPECT_EQ(Tag(b, 12), "fmt ");
    EXPECT_EQ(U32(b, 16), 40u);
    EXPECT_EQ(U16(b, 20), 0xFFFE);  // WAVE_FORMAT_EXTENSIBLE
    EXPECT_EQ(U16(b, 22), 2);
    EXPECT_EQ(U32(b, 24), 48'000u);
    EXPECT_EQ(U32(b, 28), 288'000u);
    EXPECT_EQ(U16(b, 32), 6);
    EXPECT_EQ(U16(b, 34), 24);
    EXPECT_EQ(U16(b, 36), 22);
    EXPECT_EQ(U16(b, 38), 24);
    EXPECT_EQ(U32(b, 40), 3u);
    // KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00AA00389B71} as stored.
    const std::array<std::uint8_t, 16> pcm = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), b.begin() + 44));
}

TEST_F(MusicFile, FactAndDataChunksCoverExactlyTheFile) {
    const auto& b = track.bytes;
    EXPECT_EQ(Tag(b, 60), "fact");
    EXPECT_EQ(U32(b, 64), 4u);
    EXPECT_EQ(U32(b, 68), 2'880'000u);
    EXPECT_EQ(Tag(b, 72), "data");
    EXPECT_EQ(U32(b, 76), 17'280'000u);
    // RIFF size + 8 and data offset + data size both end exactly at the end of the file.
    EXPECT_EQ(U32(b, 4) + 8u, b.size());
    EXPECT_EQ(80u + U32(b, 76), b.size());
    EXPECT_EQ(U32(b, 76), U32(b, 68) * U16(b, 32));
}

TEST_F(MusicFile, PeakIsMinusThreeDbfsAndTheTruePeakUnderMinusOne) {
    const double left = PeakDb(track.left, 0, kFrames);
    const double right = PeakDb(track.right, 0, kFrames);
    std::printf("peak: left %.3f dBFS, right %.3f dBFS\n", left, right);
    EXPECT_NEAR(std::max(left, right), -3.00, 0.05);
    // A converter's reconstruction swings above the samples; played back it must not clip.
    const double truePeak = std::max(TruePeakDb(track.left), TruePeakDb(track.right));
    std::printf("true peak (4x oversampled): %.2f dBTP\n", truePeak);
    EXPECT_LE(truePeak, -1.0);
}

TEST_F(MusicFile, OpensWithoutLeadingSilence) {
    const double first = RmsDb(track, 0.0, 0.1);
    const double firstTen = RmsDb(track, 0.0, 0.01);
    std::printf("RMS 0-100 ms: %.2f dBFS; 0-10 ms: %.2f dBFS\n", first, firstTen);
    EXPECT_GT(first, -25.0);
    EXPECT_GT(firstTen, -30.0) << "the track must not fade in";
}

// Phones, club subs and video sites play the mix in mono: no 2 s window up to the end of
// the last chord's bar may cancel, and short stretches of opposite phase stay rare.
TEST_F(MusicFile, HoldsUpInMonoInEveryTwoSecondWindowUpTo54s) {
    double lowest = 1.0;
    double largestLoss = 0.0;
    for (int w = 0; w <= 520; ++w) {
        const double from = 0.1 * w;
        const Stereo s = StereoOf(track, Frame(from), Frame(from + 2.0));
        EXPECT_GE(s.correlation, 0.3) << "window from " << from << " s";
        EXPECT_GE(s.monoDb, -1.5) << "window from " << from << " s";
        lowest = std::min(lowest, s.correlation);
        largestLoss = std::max(largestLoss, -s.monoDb);
    }
    std::size_t opposite = 0;
    for (int w = 0; w < 540; ++w) {
        opposite += StereoOf(track, Frame(0.1 * w), Frame(0.1 * (w + 1))).correlation < 0.0;
    }
    std::printf(
        "2 s windows up to 54 s: lowest correlation %.2f, largest mono loss %.2f dB; "
        "anti-correlated 100 ms windows: %zu of 540\n",
        lowest, largestLoss, opposite);
    EXPECT_LE(opposite, 5u);
}

// Yet the peak, where the music is fullest, is wide: the pad, the arpeggio, the hats, the
// echoes and the reverb differ from side to side. The kick and the bass stay in the
// middle, where a club's subs and a vinyl cut want them.
TEST_F(MusicFile, IsWideInThePeakWithTheLowEndCentred) {
    const Stereo peak = StereoOf(track, Frame(30.0), Frame(46.0));
    const std::size_t until = Frame(54.0);
    std::vector<double> mid(until), side(until);
    for (std::size_t i = 0; i < until; ++i) {
        mid[i] = 0.5 * (track.left[i] + track.right[i]) / kFullScale;
        side[i] = 0.5 * (track.left[i] - track.right[i]) / kFullScale;
    }
    const std::vector<double> lowMid = Filtered(mid, 0.0, 150.0);
    const std::vector<double> lowSide = Filtered(side, 0.0, 150.0);
    double midPower = 0.0, sidePower = 0.0;
    for (std::size_t i = 0; i < until; ++i) {
        midPower += lowMid[i] * lowMid[i];
        sidePower += lowSide[i] * lowSide[i];
    }
    const double lowDb = 10.0 * std::log10(sidePower / midPower);
    std::printf(
        "peak 30-46 s: correlation %.2f, side %.1f dB against the mid; under 150 Hz, 0-54 s, "
        "side %.1f dB against the mid\n",
        peak.correlation, peak.sideDb, lowDb);
    EXPECT_GE(peak.sideDb, -10.0);
    EXPECT_LE(peak.correlation, 0.85);
    EXPECT_LE(lowDb, -20.0);
}

// The last chord is struck and let go: its 0.25 s levels from 55 s fall along a straight
// line in dB until they are under -70 dBFS, with no fade bending them, and the track is
// quiet before the demo's end.
TEST_F(MusicFile, RingsOutAfterTheLastChord) {
    std::vector<double> times, levels;
    for (double t = 55.0; RmsDb(track, t, t + 0.25) >= -70.0; t += 0.25) {
        times.push_back(t + 0.125);
        levels.push_back(RmsDb(track, t, t + 0.25));
    }
    ASSERT_GE(times.size(), 8u) << "the ending is under -70 dBFS before 57 s";
    // Least-squares line through the levels.
    const double n = static_cast<double>(times.size());
    double st = 0.0, sl = 0.0, stt = 0.0, stl = 0.0;
    for (std::size_t k = 0; k < times.size(); ++k) {
        st += times[k];
        sl += levels[k];
        stt += times[k] * times[k];
        stl += times[k] * levels[k];
    }
    const double slope = (n * stl - st * sl) / (n * stt - st * st);
    const double offset = (sl - slope * st) / n;
    double departure = 0.0;
    for (std::size_t k = 0; k < times.size(); ++k) {
        departure = std::max(departure, std::abs(levels[k] - (offset + slope * times[k])));
    }
    std::printf("ending: %.1f to %.1f dBFS until %.2f s, %.1f dB/s, largest departure %.1f dB\n",
                levels.front(), levels.back(), times.back() + 0.125, slope, departure);
    EXPECT_LE(departure, 4.0);

    const double above60 = LastAbove(track, -60.0);
    std::printf("last sample above -60 dBFS ends at %.3f s\n", above60);
    EXPECT_LE(above60, 59.55);

    const double tail = RmsDb(track, 59.9, 60.0);
    std::printf("RMS 59.9-60 s: %.1f dBFS\n", tail);
    EXPECT_LT(tail, -85.0);
    // The last millisecond is silence up to the dither: within one LSB of zero.
    for (std::size_t i = kFrames - 48; i < kFrames; ++i) {
        EXPECT_LE(std::abs(track.left[i]), 1) << "frame " << i;
        EXPECT_LE(std::abs(track.right[i]), 1) << "frame " << i;
    }
}

TEST_F(MusicFile, HasNoDcOffset) {
    for (const auto* channel : {&track.left, &track.right}) {
        double sum = 0.0;
        for (std::int32_t s : *channel) {
            sum += s / kFullScale;
        }
        const double mean = sum / static_cast<double>(channel->size());
        std::printf("mean %s: %.2e of full scale\n", channel == &track.left ? "left" : "right",
                    mean);
        EXPECT_LT(std::abs(mean), 1e-4);
    }
}

// A click is a step or a kink: a spike in the second difference far above the second
// difference around it. Musical attacks stay below 20 dB by this measure; in the sparse
// and quiet parts a step of -40 dBFS (1% of full scale) stands out.
TEST_F(MusicFile, HasNoClicks) {
    constexpr std::size_t kHalf = 480;  // 10 ms either side
    for (const auto* channel : {&track.left, &track.right}) {
        const std::vector<std::int32_t>& x = *channel;
        std::vector<double> prefix(kFrames + 1, 0.0);
        std::vector<double> d2(kFrames, 0.0);
        for (std::size_t i = 2; i < kFrames; ++i) {
            d2[i] = static_cast<double>(x[i]) - 2.0 * x[i - 1] + x[i - 2];
        }
        for (std::size_t i = 0; i < kFrames; ++i) {
            prefix[i + 1] = prefix[i] + d2[i] * d2[i];
        }
        double worst = 0.0;
        std::size_t worstAt = 0;
        for (std::size_t i = kHalf; i < Frame(59.9); ++i) {
            const double around =
                (prefix[i + kHalf] - prefix[i - kHalf] - d2[i] * d2[i]) / (2 * kHalf - 1);
            const double ratio = d2[i] * d2[i] / (around + 1e-9);
            if (ratio > worst) {
                worst = ratio;
                worstAt = i;
            }
        }
        const double db = 10.0 * std::log10(worst);
        std::printf(
            "%s: largest second-difference spike %.1f dB over its surroundings, at "
            "%.4f s\n",
            channel == &track.left ? "left" : "right", db, static_cast<double>(worstAt) / kRate);
        EXPECT_LT(db, 24.0);
    }
}

TEST_F(MusicFile, ChannelsDifferAlmostEverywhere) {
    // Once the last chord has died away under -90 dBFS both sides are a few hundred LSB of
    // tail and dither at most, and meet by chance; before that they must not.
    const double quiet = LastAbove(track, -90.0);
    std::size_t equal = 0;
    std::size_t equalBeforeQuiet = 0;
    for (std::size_t i = 0; i < kFrames; ++i) {
        if (track.left[i] == track.right[i]) {
            ++equal;
            equalBeforeQuiet += i < Frame(quiet) ? 1 : 0;
        }
    }
    std::printf(
        "frames with left == right: %zu of %zu (%zu before %.2f s, from when the track "
        "is under -90 dBFS)\n",
        equal, kFrames, equalBeforeQuiet, quiet);
    EXPECT_LT(equalBeforeQuiet, 100u);
}

TEST_F(MusicFile, UsesAllTwentyFourBits) {
    std::size_t zeroLowByte = 0;
    for (const auto* channel : {&track.left, &track.right}) {
        for (std::int32_t s : *channel) {
            const auto u = static_cast<std::uint32_t>(s) & 0xFFFFFF;
            zeroLowByte += (u & 0xFF) == 0 ? 1 : 0;
        }
    }
    std::printf("samples whose lowest byte is zero: %zu of %zu\n", zeroLowByte, 2 * kFrames);
    // Dithered samples have a uniform lowest byte: about 1 in 256 is zero.
    EXPECT_LT(zeroLowByte, 2 * kFrames / 128);
}

// The loudness follows the picture: a quiet opening that builds, a break that draws
// breath, a landing at 30 s, when the sculpture is whole, louder than anything before,
// and a last chord that settles rather than jolts, no louder than the release before it.
TEST_F(MusicFile, LoudnessFollowsThePicture) {
    const Loudness loudness(track);
    const double opening = loudness.Integrated(0.0, 8.0);
    const double pause = loudness.Integrated(28.0, 30.0);
    const double peak = loudness.Integrated(30.0, 46.0);
    const double whole = loudness.Integrated(0.0, 60.0);
    const double before = loudness.MaxMomentary(0.0, 29.8);
    const double landing = loudness.MaxMomentary(30.0, 32.0);
    const double release = loudness.MaxMomentary(46.0, 54.0);
    const double ending = loudness.MaxMomentary(54.0, 60.0);
    std::printf(
        "loudness: opening %.1f, break %.1f, peak %.1f, integrated %.1f LUFS; momentary "
        "maximum 0-29.8 s %.1f, 30-32 s %.1f, 46-54 s %.1f, 54-60 s %.1f LUFS\n",
        opening, pause, peak, whole, before, landing, release, ending);
    EXPECT_GE(landing, before);
    EXPECT_LE(ending, release);
    EXPECT_GE(peak, opening + 3.0);
    EXPECT_GE(peak, pause + 1.0);
    EXPECT_GE(whole, -17.0);
    EXPECT_LE(whole, -12.0);
}

// The landing opens up: 5-12 kHz over its first half second (the crash) stands 3 dB over
// the brightest quarter second of the ten before it, the riser's top included. In the peak
// the claps drive the backbeat: 2.5-6 kHz in the 100 ms after beats 2 and 4 stands 4 dB
// over the 100 ms after beats 1 and 3, where only the kick, the hats and the arpeggio play.
TEST_F(MusicFile, OpensUpAtTheLandingAndClapsDriveThePeak) {
    const BandEnergy air(track, 5000.0, 12000.0);
    double brightest = -200.0;
    for (double from = 20.0; from + 0.25 <= 29.9 + 1e-9; from += 0.01) {
        brightest = std::max(brightest, air.Db(from, from + 0.25));
    }
    const double landing = air.Db(30.0, 30.5);
    const BandEnergy presence(track, 2500.0, 6000.0);
    double backbeat = 0.0, downbeat = 0.0;
    for (int bar = 15; bar < 23; ++bar) {
        for (const double beat : {0.0, 1.0}) {
            downbeat += presence.Sum(2.0 * bar + beat, 2.0 * bar + beat + 0.1);
            backbeat += presence.Sum(2.0 * bar + beat + 0.5, 2.0 * bar + beat + 0.6);
        }
    }
    const double claps = 10.0 * std::log10(backbeat / downbeat);
    std::printf(
        "5-12 kHz: brightest 250 ms in 20-29.9 s %.1f dBFS, 30-30.5 s %.1f dBFS; peak, "
        "2.5-6 kHz after beats 2 and 4 against 1 and 3: %+.1f dB\n",
        brightest, landing, claps);
    EXPECT_GE(landing, brightest + 3.0);
    EXPECT_GE(claps, 4.0);
}

TEST(MusicGenerator, WritesTheSameBytesEveryRun) {
    const std::string copy = std::string(::testing::TempDir()) + "music_again.wav";
    const std::string command = std::string("\"") + MUSIC_GENERATOR + "\" \"" + copy + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(copy, std::ios::binary);
    const std::vector<std::uint8_t> again(std::istreambuf_iterator<char>(file), {});
    std::remove(copy.c_str());
    EXPECT_TRUE(again == LoadTrack().bytes) << "a second run wrote different bytes";
}

}  // namespace
