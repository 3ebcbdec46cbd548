#include "timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::int32_t kWidth = 1920;
constexpr std::int32_t kHeight = 1080;

std::uint32_t Bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

float Seconds(std::int64_t milliseconds) {
    return ElapsedSeconds(milliseconds * 1'000'000);
}

TEST(FrameClock, WholeMillisecondsAndTheStrictEnd) {
    EXPECT_EQ(ElapsedSeconds(0), 0.0f);
    EXPECT_EQ(ElapsedSeconds(999'999), 0.0f);  // truncated, not rounded
    EXPECT_EQ(ElapsedSeconds(1'000'000), 0.001f);
    EXPECT_EQ(ElapsedSeconds(59'900'999'999), 59.9f);
    EXPECT_EQ(Bits(59.9f), 0x426F999Au);
    EXPECT_FALSE(IsRunOver(ElapsedSeconds(59'900'999'999)));
    EXPECT_TRUE(IsRunOver(ElapsedSeconds(59'901'000'000)));
    EXPECT_TRUE(IsRunOver(ElapsedSeconds(3'600'000'000'000)));
}

TEST(BackgroundColor, RampsThroughLightBlueToWhite) {
    const BackgroundColor black = {0.0f, 0.0f, 0.0f, 1.0f};
    const BackgroundColor lightBlue = {0.4f, 0.6f, 0.9f, 1.0f};
    const BackgroundColor white = {1.0f, 1.0f, 1.0f, 1.0f};
    EXPECT_EQ(ComputeBackgroundColor(0.0f), black);
    EXPECT_EQ(ComputeBackgroundColor(30.0f), lightBlue);
    EXPECT_EQ(ComputeBackgroundColor(60.0f), white);
    EXPECT_EQ(ComputeBackgroundColor(60.001f), white);
    EXPECT_EQ(ComputeBackgroundColor(1e9f), white);

    // Every millisecond of the run against the ramp in double precision: about
    // (0.7, 0.8, 0.95) at 45 s, continuous at 30 s, white from 60 s on.
    for (std::int64_t ms = 0; ms <= 61'000; ++ms) {
        const BackgroundColor color = ComputeBackgroundColor(Seconds(ms));
        const double t = std::min(static_cast<double>(Seconds(ms)), 60.0);
        ASSERT_EQ(color[3], 1.0f);
        for (int c = 0; c < 3; ++c) {
            const double middle = lightBlue[c];
            const double expected =
                t <= 30.0 ? middle * t / 30.0 : middle + (1.0 - middle) * (t - 30.0) / 30.0;
            ASSERT_NEAR(color[c], expected, 2e-7) << ms;
        }
    }
}

TEST(DrawProgress, StartAtZeroTurnsTwiceBeforeGrowingAndAtOneMillisecondGrowsAtOnce) {
    TimelineState state;
    EXPECT_EQ(AdvanceTimeline(state, 0.0f, kWidth, kHeight).indexCount, 0u);
    EXPECT_EQ(state.drawProgress, 0.0f);
    EXPECT_EQ(state.drawDirection, -1.0f);

    // The first positive step takes the shrinking progress below zero: back to 0, growing.
    EXPECT_EQ(AdvanceTimeline(state, 0.016f, kWidth, kHeight).indexCount, 0u);
    EXPECT_EQ(state.drawProgress, 0.0f);
    EXPECT_EQ(state.drawDirection, 1.0f);

    // 17 ms at 432,138 indices in 30 s.
    EXPECT_EQ(AdvanceTimeline(state, 0.033f, kWidth, kHeight).indexCount,
              static_cast<std::uint32_t>(MeshIndexCount / 30.0 * 0.017));
    EXPECT_EQ(state.drawDirection, 1.0f);

    // A first frame at 1 ms grows at once.
    TimelineState early;
    EXPECT_EQ(AdvanceTimeline(early, 0.001f, kWidth, kHeight).indexCount, 14u);
    EXPECT_EQ(early.drawDirection, 1.0f);
}

TEST(DrawProgress, RepeatedTimesChangeNothing) {
    TimelineState state;
    AdvanceTimeline(state, 0.001f, kWidth, kHeight);
    const FrameParameters first = AdvanceTimeline(state, 12.345f, kWidth, kHeight);
    const TimelineState before = state;
    const FrameParameters again = AdvanceTimeline(state, 12.345f, kWidth, kHeight);
    EXPECT_EQ(Bits(state.spinAngle), Bits(before.spinAngle));
    EXPECT_EQ(Bits(state.drawProgress), Bits(before.drawProgress));
    EXPECT_EQ(state.drawDirection, before.drawDirection);
    EXPECT_EQ(again.indexCount, first.indexCount);
    EXPECT_EQ(again.backgroundColor, first.backgroundColor);
}

TEST(DrawProgress, ZeroStepsBelowOneIndexFlipTheDirectionEachTime) {
    TimelineState state;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(AdvanceDrawProgress(state, 0.0f), 0u);
    }
    EXPECT_EQ(state.drawDirection, -1.0f);  // flipped three times
    EXPECT_EQ(AdvanceDrawProgress(state, 0.016f), 0u);
    EXPECT_EQ(state.drawDirection, 1.0f);
}

// Frames at the whole milliseconds floor(1000k / 60) from a fresh state, up to and
// including the first frame that ends the run, against the same run worked out in double
// precision.
TEST(ReferenceRun, GrowsForThirtySecondsThenShrinksToTheEnd) {
    TimelineState state;
    double progress = 0.0;
    double direction = 1.0;
    double previous = 0.0;
    std::uint32_t lastCount = 0;
    float turn = -1.0f;
    for (std::int64_t k = 0;; ++k) {
        ASSERT_LT(k, 3600) << "the run does not end";
        const float t = Seconds(1000 * k / 60);
        const FrameParameters frame = AdvanceTimeline(state, t, kWidth, kHeight);
        // The frame's transform is made from the angle after this frame's step.
        const Float4x4 turned = ComposeTransform(state.spinAngle, kWidth, kHeight);
        ASSERT_EQ(std::memcmp(&frame.transform, &turned, sizeof(Float4x4)), 0) << t;
        ASSERT_NEAR(state.spinAngle, 0.6 * t, 1e-3) << t;

        progress += direction * (MeshIndexCount / 30.0) * (t - previous);
        previous = t;
        double count = 0.0;
        if (progress < 0.0) {
            progress = 0.0;
            direction = -direction;
        } else {
            count = std::floor(progress);
            if (count == 0.0 || (count > MeshIndexCount && direction > 0.0)) {
                direction = -direction;
                turn = count > 0.0 ? t : turn;
            }
        }
        // Each frame's float addition rounds by at most half an ulp of the progress, 1/64
        // of an index below 2^19, and the truncation adds one index.
        const double bound = 1.0 + static_cast<double>(k + 1) / 64.0;
        ASSERT_NEAR(frame.indexCount, std::min(count, double{MeshIndexCount}), bound) << t;
        ASSERT_EQ(state.drawDirection, direction) << t;
        if (t == turn) {
            EXPECT_EQ(frame.indexCount, MeshIndexCount);
            EXPECT_EQ(static_cast<std::uint32_t>(state.drawProgress), 432'377u);
        }
        lastCount = frame.indexCount;
        if (IsRunOver(t)) {
            break;
        }
    }
    EXPECT_EQ(turn, 30.033f);
    EXPECT_EQ(Bits(state.previousSeconds), Bits(59.916f));
    EXPECT_EQ(lastCount, 1927u);
    EXPECT_EQ(Bits(state.drawProgress), Bits(1927.0756f));
    EXPECT_EQ(Bits(state.spinAngle), Bits(35.949493f));
}

// A stall just before the top: the progress overshoots by far more than one frame's step.
TEST(DrawProgress, OvershootPastTheTopShrinksBackInsteadOfSwinging) {
    TimelineState state;
    state.previousSeconds = 29.99f;
    state.drawProgress = 432'000.0f;
    const FrameParameters stalled = AdvanceTimeline(state, 34.99f, kWidth, kHeight);
    EXPECT_EQ(stalled.indexCount, MeshIndexCount);
    EXPECT_EQ(state.drawDirection, -1.0f);

    float previousProgress = state.drawProgress;
    std::uint32_t previousCount = stalled.indexCount;
    int framesAboveTheTop = 0;
    int framesShrinking = 0;
    for (int k = 1; k <= 600; ++k) {
        const float t = Seconds(34'990 + 1000 * k / 60);
        const std::uint32_t count = AdvanceTimeline(state, t, kWidth, kHeight).indexCount;
        ASSERT_EQ(state.drawDirection, -1.0f) << t;
        ASSERT_LT(state.drawProgress, previousProgress) << t;
        if (state.drawProgress >= 432'139.0f) {
            ASSERT_EQ(count, MeshIndexCount) << t;
            ++framesAboveTheTop;
        } else {
            ASSERT_LT(count, previousCount) << t;
            ++framesShrinking;
        }
        previousProgress = state.drawProgress;
        previousCount = count;
    }
    // 72,023 indices over the top at about 240 a frame, then shrinking to the end.
    EXPECT_GT(framesAboveTheTop, 290);
    EXPECT_LT(framesAboveTheTop, 310);
    EXPECT_GT(framesShrinking, 250);
}

TEST(DrawProgress, ArbitrarilyLongStallsStayInRange) {
    TimelineState state;
    EXPECT_EQ(AdvanceDrawProgress(state, 1e9f), MeshIndexCount);
    EXPECT_EQ(state.drawDirection, -1.0f);
    EXPECT_EQ(AdvanceDrawProgress(state, 1e9f), 0u);
    EXPECT_EQ(state.drawDirection, 1.0f);
}

TEST(AdvanceTimeline, ZeroSizedClientAreaLeavesColourAndCountAlone) {
    TimelineState sized;
    TimelineState empty;
    for (std::int64_t ms = 0; ms < 2000; ms += 17) {
        const FrameParameters a = AdvanceTimeline(sized, Seconds(ms), kWidth, kHeight);
        const FrameParameters b = AdvanceTimeline(empty, Seconds(ms), 0, 0);
        ASSERT_EQ(a.indexCount, b.indexCount);
        ASSERT_EQ(a.backgroundColor, b.backgroundColor);
        ASSERT_TRUE(std::isnan(b.transform.m[0][0]));
    }
}

}  // namespace
