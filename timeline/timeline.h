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

// What persists from frame to frame; one per run, never reset.
struct TimelineState {
    float previousSeconds = 0.0f;  // elapsed time of the previous frame
    float spinAngle = 0.0f;        // radians about the vertical axis, never wrapped
    float drawProgress = 0.0f;     // fractional count of drawn indices, never negative
    float drawDirection = 1.0f;    // +1 while the drawn part grows, -1 while it shrinks
};

// Linear RGBA, alpha always 1.
using BackgroundColor = std::array<float, 4>;

// One frame's output, filled anew every frame.
struct FrameParameters {
    BackgroundColor backgroundColor;
    Float4x4 transform;        // already transposed: the 64 bytes of the transform constant
    std::uint32_t indexCount;  // 0 to MeshIndexCount
};

// The frame clock's reading: whole milliseconds of a nanosecond count, truncated toward
// zero, as seconds. Two frames within one millisecond see the same time.
float ElapsedSeconds(std::int64_t nanosecondsSinceStart);

// The run ends on the first frame strictly later than 59.9 s, i.e. at 59,901 ms.
bool IsRunOver(float elapsedSeconds);

// Black to (0.4, 0.6, 0.9) over the first 30 s, on to white at 60 s, white after.
BackgroundColor ComputeBackgroundColor(float elapsedSeconds);

// Moves the draw progress by 14404.6 indices per second in the current direction and
// returns the index count to draw. The direction turns at the bottom and, when growing,
// at the top of the index list.
std::uint32_t AdvanceDrawProgress(TimelineState& state, float deltaSeconds);

// Called once per frame with non-decreasing elapsed times (seconds since the clock start,
// whole milliseconds) and the client size read on that frame.
FrameParameters AdvanceTimeline(TimelineState& state, float elapsedSeconds,
                                std::int32_t clientWidth, std::int32_t clientHeight);
