// Checks the generated soundtrack file: its container to the byte, and its levels as
// dBFS figures (20 log10 of the sample peak, or of the RMS of samples scaled to +/-1).
// The measured figures are printed so that they can be quoted.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
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

// RMS of one channel, or of both channels' samples together, over [from, to) seconds.
double RmsDb(const std::vector<std::int32_t>& channel, double from, double to) {
    return 10.0 * std::log10(MeanSquare(channel, Frame(from), Frame(to)));
}

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

TEST_F(MusicFile, PeakIsMinusThreeDbfsOnTheLouderChannel) {
    const double left = PeakDb(track.left, 0, kFrames);
    const double right = PeakDb(track.right, 0, kFrames);
    std::printf("peak: left %.3f dBFS, right %.3f dBFS\n", left, right);
    EXPECT_NEAR(std::max(left, right), -3.00, 0.05);
}

TEST_F(MusicFile, OpensAtItsNormalLevel) {
    const double first = RmsDb(track, 0.0, 0.1);
    const double firstTen = RmsDb(track, 0.0, 0.01);
    std::printf("RMS 0-100 ms: %.2f dBFS; 0-10 ms: %.2f dBFS\n", first, firstTen);
    EXPECT_GT(first, -19.0);
    EXPECT_LT(first, -15.1);
    EXPECT_GT(firstTen, -30.0) << "the track must not fade in";
}

TEST_F(MusicFile, EveryTwoSecondWindowUpTo54sIsWithinRange) {
    // Windows every 0.1 s, on bar lines and between them; both channels together and
    // each on its own hold the range.
    double lowest = 0.0;
    double highest = -100.0;
    for (int w = 0; w <= 520; ++w) {
        const double from = 0.1 * w;
        for (double rms : {RmsDb(track, from, from + 2.0), RmsDb(track.left, from, from + 2.0),
                           RmsDb(track.right, from, from + 2.0)}) {
            EXPECT_GE(rms, -16.4) << "window from " << from << " s";
            EXPECT_LE(rms, -15.1) << "window from " << from << " s";
            lowest = std::min(lowest, rms);
            highest = std::max(highest, rms);
        }
    }
    std::printf("2 s windows every 0.1 s up to 54 s: %.2f to %.2f dBFS\n", lowest, highest);
}

TEST_F(MusicFile, FadesOutOverTheLastSixSeconds) {
    const double a = RmsDb(track, 54.0, 56.0);
    const double b = RmsDb(track, 56.0, 58.0);
    const double c = RmsDb(track, 58.0, 60.0);
    std::printf("fade RMS: 54-56 s %.2f, 56-58 s %.2f, 58-60 s %.2f dBFS\n", a, b, c);
    EXPECT_NEAR(a, -17.2, 1.0);
    EXPECT_NEAR(b, -28.0, 1.0);
    EXPECT_NEAR(c, -44.6, 1.0);

    const double above40 = LastAbove(track, -40.0);
    const double above60 = LastAbove(track, -60.0);
    std::printf("last sample above -40 dBFS ends at %.3f s, above -60 dBFS at %.3f s\n", above40,
                above60);
    EXPECT_LE(above40, 58.65);
    EXPECT_LE(above60, 59.60);

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
    std::size_t equal = 0;
    std::size_t equalBeforeTail = 0;
    for (std::size_t i = 0; i < kFrames; ++i) {
        if (track.left[i] == track.right[i]) {
            ++equal;
            equalBeforeTail += i < Frame(59.9) ? 1 : 0;
        }
    }
    std::printf("frames with left == right: %zu of %zu (%zu before 59.9 s)\n", equal, kFrames,
                equalBeforeTail);
    // In the last tenth of a second both sides are a few LSB of dither and meet by chance.
    EXPECT_LT(equalBeforeTail, 100u);
    EXPECT_LT(equal, 600u);
}

TEST_F(MusicFile, UsesAllTwentyFourBits) {
    std::size_t zeroLowByte = 0;
    std::uint32_t everSet = 0;
    std::uint32_t everClear = 0;
    for (const auto* channel : {&track.left, &track.right}) {
        for (std::int32_t s : *channel) {
            const auto u = static_cast<std::uint32_t>(s) & 0xFFFFFF;
            zeroLowByte += (u & 0xFF) == 0 ? 1 : 0;
            everSet |= u;
            everClear |= ~u & 0xFFFFFF;
        }
    }
    std::printf("samples whose lowest byte is zero: %zu of %zu\n", zeroLowByte, 2 * kFrames);
    EXPECT_EQ(everSet, 0xFFFFFFu);
    EXPECT_EQ(everClear, 0xFFFFFFu);
    // Dithered samples have a uniform lowest byte: about 1 in 256 is zero.
    EXPECT_LT(zeroLowByte, 2 * kFrames / 128);
}

// Loudness is held level, so the build must show in the sound itself: against the
// opening, the peak is brighter (more energy in the sample-to-sample differences) and
// wider (more side signal against the mid).
struct Character {
    double brightness;
    double width;
};

Character Measure(const Track& t, double from, double to) {
    double diff = 0.0, all = 0.0, mid = 0.0, side = 0.0;
    for (std::size_t i = Frame(from) + 1; i < Frame(to); ++i) {
        const double l = t.left[i], r = t.right[i];
        const double dl = l - t.left[i - 1], dr = r - t.right[i - 1];
        diff += dl * dl + dr * dr;
        all += l * l + r * r;
        mid += (l + r) * (l + r);
        side += (l - r) * (l - r);
    }
    return {std::sqrt(diff / all), std::sqrt(side / mid)};
}

TEST_F(MusicFile, PeakIsBrighterAndWiderThanTheOpening) {
    const Character open = Measure(track, 0.0, 8.0);
    const Character peak = Measure(track, 28.0, 36.0);
    std::printf("opening 0-8 s: brightness %.3f, width %.3f\n", open.brightness, open.width);
    std::printf("peak 28-36 s: brightness %.3f, width %.3f\n", peak.brightness, peak.width);
    EXPECT_GT(peak.brightness, 2.0 * open.brightness);
    EXPECT_GT(peak.width, 1.3 * open.width);
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
