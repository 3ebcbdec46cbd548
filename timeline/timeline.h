// The demo's per-frame arithmetic: from the elapsed time and the client-area size to
// the background colour, the transform and the number of indices to draw.
//
// Pure single-precision arithmetic without allocation or platform calls; given the
// sequence of elapsed times and client sizes, every frame is fixed to the bit.
#pragma once

#include <array>
#include <cstdint>

#include "mesh.h"  // MeshIndexCount: the draw count grows to it in 30 s and turns there
#include "transform.h"

// The run's constants. The mesh generator and the tools take them from here.

// The run ends on the first frame strictly later than this, in seconds.
inline constexpr float RunSeconds = 59.9f;

// The spin about the vertical axis.
inline constexpr float SpinRadiansPerSecond = 0.6f;

// The draw count's rate: the whole list in 30 s, then as many fewer a second. Its
// single-precision value is 14404.599609375.
inline constexpr float DrawIndicesPerSecond = 14404.6f;
static_assert(DrawIndicesPerSecond == static_cast<float>(MeshIndexCount / 30.0),
              "the draw count reaches the end of the list in 30 s");

// Linear RGBA, alpha always 1.
using BackgroundColor = std::array<float, 4>;

// The background ramp: black at the clock start, this colour at RampMiddleSeconds, white
// from RampEndSeconds on.
inline constexpr BackgroundColor RampMiddleColor = {0.4f, 0.6f, 0.9f, 1.0f};
inline constexpr float RampMiddleSeconds = 30.0f;
inline constexpr float RampEndSeconds = 60.0f;

// What persists from frame to frame; one per run, never reset.
struct TimelineState {
    float previousSeconds = 0.0f;  // elapsed time of the previous frame
    float spinAngle = 0.0f;        // radians about the vertical axis, never wrapped
    float drawProgress = 0.0f;     // fractional count of drawn indices, never negative
    float drawDirection = 1.0f;    // +1 while the drawn part grows, -1 while it shrinks
};

// One frame's output, filled anew every frame.
struct FrameParameters {
    BackgroundColor backgroundColor;
    Float4x4 transform;        // already transposed: the 64 bytes of the transform constant
    std::uint32_t indexCount;  // 0 to MeshIndexCount
};

// The frame clock's reading: whole milliseconds of a nanosecond count, truncated toward
// zero, as seconds. Two frames within one millisecond see the same time.
float ElapsedSeconds(std::int64_t nanosecondsSinceStart);

// The run ends on the first frame strictly later than RunSeconds, i.e. at 59,901 ms.
bool IsRunOver(float elapsedSeconds);

// The ramp: black to RampMiddleColor over the first RampMiddleSeconds, on to white at
// RampEndSeconds, white after.
BackgroundColor ComputeBackgroundColor(float elapsedSeconds);

// Moves the draw progress by DrawIndicesPerSecond in the current direction and
// returns the index count to draw. The direction turns at the bottom and, when growing,
// at the top of the index list.
std::uint32_t AdvanceDrawProgress(TimelineState& state, float deltaSeconds);

// Called once per frame with non-decreasing elapsed times (seconds since the clock start,
// whole milliseconds) and the client size read on that frame.
FrameParameters AdvanceTimeline(TimelineState& state, float elapsedSeconds,
                                std::int32_t clientWidth, std::int32_t clientHeight);
