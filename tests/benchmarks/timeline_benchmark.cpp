// Cost of one frame's timeline step at the demo's usual client size.
#include <benchmark/benchmark.h>

#include "timeline.h"

namespace {

void AdvanceTimelinePerFrame(benchmark::State& bench) {
    TimelineState state;
    float t = 0.0f;
    for (auto _ : bench) {
        t += 0.016f;
        if (t > 59.9f) {
            state = TimelineState{};
            t = 0.0f;
        }
        const FrameParameters frame = AdvanceTimeline(state, t, 1920, 1080);
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(AdvanceTimelinePerFrame);

}  // namespace

BENCHMARK_MAIN();
