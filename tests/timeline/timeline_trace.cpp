// Prints every bit the timeline produces over long runs, one frame per line, so that the
// native and the Windows builds can be compared line by line.
#include <bit>
#include <cstdint>
#include <cstdio>

#include "timeline.h"

namespace {

void Print(float f) {
    std::printf(" %08x", std::bit_cast<std::uint32_t>(f));
}

void PrintFrame(const char* run, int frame, const FrameParameters& p, const TimelineState& s) {
    std::printf("%s %d", run, frame);
    for (const float c : p.backgroundColor) {
        Print(c);
    }
    for (const auto& row : p.transform.m) {
        for (const float f : row) {
            Print(f);
        }
    }
    std::printf(" %u", p.indexCount);
    Print(s.previousSeconds);
    Print(s.spinAngle);
    Print(s.drawProgress);
    Print(s.drawDirection);
    std::printf("\n");
}

// A small deterministic generator, the same on every platform.
std::uint32_t Next(std::uint32_t& seed) {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
}

}  // namespace

int main() {
    // Steady 60 Hz frames to just past the end of the run.
    TimelineState steady;
    for (int k = 0; k <= 3700; ++k) {
        const float t = ElapsedSeconds(std::int64_t{1000} * k / 60 * 1'000'000);
        PrintFrame("steady", k, AdvanceTimeline(steady, t, 1920, 1080), steady);
    }

    // Uneven frames, repeated times, stalls and odd or empty client areas, over a few
    // hours of clock, so that both turns happen many times.
    constexpr std::int64_t kSteps[] = {0, 1, 15, 16, 17, 33, 100, 1000, 5000, 20000};
    constexpr std::int32_t kSizes[][2] = {{1920, 1080}, {1280, 1024}, {800, 600}, {1, 1},
                                          {0, 0},       {0, 1080},    {1920, 0},  {3840, 2160}};
    TimelineState uneven;
    std::uint32_t seed = 12345;
    std::int64_t milliseconds = 0;
    for (int frame = 0; frame < 20000; ++frame) {
        milliseconds += kSteps[Next(seed) % 10];
        const auto& size = kSizes[Next(seed) % 8];
        const float t = ElapsedSeconds(milliseconds * 1'000'000);
        PrintFrame("uneven", frame, AdvanceTimeline(uneven, t, size[0], size[1]), uneven);
    }

    // The sine and cosine alone, well beyond the demo's angles and through both signs.
    for (int i = -20000; i <= 20000; ++i) {
        const float angle = static_cast<float>(i) * 0.0123f;
        const SinCos sc = ScalarSinCos(angle);
        std::printf("sincos %d", i);
        Print(sc.sine);
        Print(sc.cosine);
        std::printf("\n");
    }
    return 0;
}
