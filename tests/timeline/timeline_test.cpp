#include "timeline.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr std::int32_t kWidth = 1920;
constexpr std::int32_t kHeight = 1080;

std::uint32_t Bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

float Seconds(std::int64_t milliseconds) {
    return ElapsedSeconds(milliseconds * 1'000'000);
}

struct Frame {
    float seconds;
    std::uint32_t indexCount;
    TimelineState after;
};

// The reference run: frames at the whole milliseconds floor(1000k / 60), from a fresh
// state, up to and including the first frame that ends the run.
std::vector<Frame> ReferenceRun() {
    TimelineState state;
    std::vector<Frame> frames;
    for (std::int64_t k = 0;; ++k) {
        const float t = Seconds(1000 * k / 60);
        const FrameParameters frame = AdvanceTimeline(state, t, kWidth, kHeight);
        frames.push_back({t, frame.indexCount, state});
        if (IsRunOver(t)) {
            return frames;
        }
    }
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

    const BackgroundColor middle = ComputeBackgroundColor(45.0f);
    EXPECT_NEAR(middle[0], 0.7f, 1e-6);
    EXPECT_NEAR(middle[1], 0.8f, 1e-6);
    EXPECT_NEAR(middle[2], 0.95f, 1e-6);

    // Every millisecond of the run: alpha 1, no channel ever falls, no jump at 30 s.
    BackgroundColor previous = black;
    for (std::int64_t ms = 0; ms <= 61'000; ++ms) {
        const BackgroundColor color = ComputeBackgroundColor(Seconds(ms));
        ASSERT_EQ(color[3], 1.0f);
        for (int c = 0; c < 3; ++c) {
            ASSERT_GE(color[c], previous[c]) << ms;
            ASSERT_LE(color[c] - previous[c], 1e-4f) << ms;
        }
        previous = color;
    }
}

TEST(DrawProgress, StartAtZeroTurnsTwiceBeforeGrowing) {
    TimelineState state;
    EXPECT_EQ(AdvanceTimeline(state, 0.0f, kWidth, kHeight).indexCount, 0u);
    EXPECT_EQ(state.drawProgress, 0.0f);
    EXPECT_EQ(state.drawDirection, -1.0f);

    // The first positive step takes the shrinking progress below zero: back to 0, growing.
    EXPECT_EQ(AdvanceTimeline(state, 0.016f, kWidth, kHeight).indexCount, 0u);
    EXPECT_EQ(state.drawProgress, 0.0f);
    EXPECT_EQ(state.drawDirection, 1.0f);

    EXPECT_EQ(AdvanceTimeline(state, 0.033f, kWidth, kHeight).indexCount, 244u);
    EXPECT_EQ(state.drawDirection, 1.0f);
}

TEST(DrawProgress, StartAtOneMillisecondGrowsAtOnce) {
    TimelineState state;
    EXPECT_EQ(AdvanceTimeline(state, 0.001f, kWidth, kHeight).indexCount, 14u);
    EXPECT_EQ(state.drawDirection, 1.0f);
    EXPECT_GT(AdvanceTimeline(state, 0.017f, kWidth, kHeight).indexCount, 14u);
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

TEST(ReferenceRun, GrowsForThirtySecondsThenShrinksToTheEnd) {
    const std::vector<Frame> frames = ReferenceRun();

    std::size_t turn = 0;
    while (frames[turn].after.drawDirection > 0.0f || frames[turn].seconds < 1.0f) {
        ++turn;
    }
    EXPECT_EQ(frames[turn].seconds, 30.033f);
    EXPECT_EQ(frames[turn].indexCount, MeshIndexCount);
    EXPECT_EQ(static_cast<std::uint32_t>(frames[turn].after.drawProgress), 432'377u);

    for (std::size_t i = 3; i < frames.size(); ++i) {
        ASSERT_LE(frames[i].indexCount, MeshIndexCount);
        if (i < turn) {
            ASSERT_GT(frames[i].indexCount, frames[i - 1].indexCount) << frames[i].seconds;
        } else if (i > turn) {
            ASSERT_LT(frames[i].indexCount, frames[i - 1].indexCount) << frames[i].seconds;
            ASSERT_EQ(frames[i].after.drawDirection, -1.0f);
        }
    }

    const Frame& last = frames.back();
    EXPECT_EQ(last.seconds, 59.916f);
    EXPECT_EQ(last.indexCount, 1927u);
    EXPECT_EQ(Bits(last.after.drawProgress), Bits(1927.0756f));
    EXPECT_EQ(Bits(last.after.spinAngle), Bits(35.949493f));
}

TEST(ReferenceRun, SpinFollowsTheClock) {
    TimelineState state;
    float t = 0.0f;
    for (std::int64_t ms = 0; ms <= 59'916; ms += 16) {
        t = Seconds(ms);
        AdvanceTimeline(state, t, kWidth, kHeight);
        ASSERT_NEAR(state.spinAngle, 0.6f * t, 1e-3) << t;
    }
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
