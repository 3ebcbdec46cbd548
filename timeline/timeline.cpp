#include "timeline.h"

#include <algorithm>

namespace {

constexpr float kMiddleRed = RampMiddleColor[0];
constexpr float kMiddleGreen = RampMiddleColor[1];
constexpr float kMiddleBlue = RampMiddleColor[2];

// The smallest progress whose truncated count lies above the index list.
constexpr float kFirstProgressPastTop = static_cast<float>(MeshIndexCount + 1);

}  // namespace

float ElapsedSeconds(std::int64_t nanosecondsSinceStart) {
    const std::int64_t milliseconds = nanosecondsSinceStart / 1'000'000;
    return static_cast<float>(milliseconds) / 1000.0f;
}

bool IsRunOver(float elapsedSeconds) {
    return elapsedSeconds > RunSeconds;
}

BackgroundColor ComputeBackgroundColor(float elapsedSeconds) {
    const float t = RampEndSeconds < elapsedSeconds ? RampEndSeconds : elapsedSeconds;
    if (t <= RampMiddleSeconds) {
        const float s = t / RampMiddleSeconds;
        return {s * kMiddleRed + 0.0f, s * kMiddleGreen + 0.0f, s * kMiddleBlue + 0.0f, 1.0f};
    }
    // Each slope is 1 minus the middle value in single precision, so that every channel
    // reaches exactly 1.0 at the end time.
    const float s = (t - RampMiddleSeconds) / RampMiddleSeconds;
    return {s * (1.0f - kMiddleRed) + kMiddleRed, s * (1.0f - kMiddleGreen) + kMiddleGreen,
            s * (1.0f - kMiddleBlue) + kMiddleBlue, 1.0f};
}

std::uint32_t AdvanceDrawProgress(TimelineState& state, float deltaSeconds) {
    state.drawProgress =
        state.drawProgress + (state.drawDirection * DrawIndicesPerSecond) * deltaSeconds;
    if (state.drawProgress < 0.0f) {
        state.drawProgress = 0.0f;
        state.drawDirection = state.drawDirection * -1.0f;
        return 0;
    }

    // Truncating a progress capped just past the top gives the same decisions as the
    // full value, and no conversion overflows after an arbitrarily long stall.
    const auto count =
        static_cast<std::uint32_t>(std::min(state.drawProgress, kFirstProgressPastTop));

    // Past the top only a growing direction turns: a progress that overshot by more
    // than one frame's step keeps shrinking until it is back under the bound, instead of
    // swinging around the top for the rest of the run.
    const bool growingPastTop = count > MeshIndexCount && state.drawDirection > 0.0f;
    if (count == 0 || growingPastTop) {
        state.drawDirection = state.drawDirection * -1.0f;
    }
    return std::min(count, MeshIndexCount);
}

FrameParameters AdvanceTimeline(TimelineState& state, float elapsedSeconds,
                                std::int32_t clientWidth, std::int32_t clientHeight) {
    const float deltaSeconds = elapsedSeconds - state.previousSeconds;
    state.previousSeconds = elapsedSeconds;
    state.spinAngle = state.spinAngle + deltaSeconds * SpinRadiansPerSecond;

    FrameParameters frame;
    frame.backgroundColor = ComputeBackgroundColor(elapsedSeconds);
    frame.transform = ComposeTransform(state.spinAngle, clientWidth, clientHeight);
    frame.indexCount = AdvanceDrawProgress(state, deltaSeconds);
    return frame;
}
