#include "transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace {

std::uint32_t Bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

// Floats 4i to 4i+3 of a matrix as it lies in memory.
float At(const Float4x4& m, int index) {
    return m.m[index / 4][index % 4];
}

void ExpectMatrixNear(const Float4x4& actual, const float (&expected)[16]) {
    for (int i = 0; i < 16; ++i) {
        // The expected tables are rounded to seven decimals.
        EXPECT_NEAR(At(actual, i), expected[i], 1e-7) << "float " << i;
    }
}

// The polynomial's figures at the quarter turns, to the bit. Only at 0 are they the
// true values; at the floats nearest pi, 2pi and pi/2 the true ones differ by up to 2e-7.
TEST(ScalarSinCos, QuarterTurnsToTheBit) {
    const float figures[][3] = {{0.0f, 0.0f, 1.0f},
                                {3.1415927f, 0.0f, -1.0f},
                                {6.2831855f, 0.0f, 1.0f},
                                {1.5707964f, 0.99999988f, -1.1920929e-07f}};
    for (const auto& [angle, sine, cosine] : figures) {
        const SinCos result = ScalarSinCos(angle);
        EXPECT_EQ(Bits(result.sine), Bits(sine)) << angle;
        EXPECT_EQ(Bits(result.cosine), Bits(cosine)) << angle;
    }
}

TEST(ScalarSinCos, OddSineEvenCosineAndAccurate) {
    // Every angle the demo meets (up to about 36 rad) and both halves of each period.
    for (int step = -40000; step <= 40000; ++step) {
        const float angle = static_cast<float>(step) * 0.001f;
        const SinCos positive = ScalarSinCos(angle);
        const SinCos negative = ScalarSinCos(-angle);
        ASSERT_EQ(Bits(negative.sine), Bits(-positive.sine)) << angle;
        ASSERT_EQ(Bits(negative.cosine), Bits(positive.cosine)) << angle;

        const double tolerance = std::fabs(angle) <= 3.1415927f ? 3e-7 : 2e-6;
        ASSERT_NEAR(positive.sine, std::sin(static_cast<double>(angle)), tolerance) << angle;
        ASSERT_NEAR(positive.cosine, std::cos(static_cast<double>(angle)), tolerance) << angle;
    }
}

TEST(VectorOperations, NormalizeHandlesZeroAndInfiniteLengths) {
    const Float4 unit = Normalize3({3.0f, 0.0f, 4.0f, 0.0f});
    EXPECT_EQ(unit.x, 0.6f);
    EXPECT_EQ(unit.z, 0.8f);
    EXPECT_EQ(unit.w, 0.0f);

    const Float4 zero = Normalize3({0.0f, 0.0f, 0.0f, 5.0f});
    EXPECT_EQ(zero.x, 0.0f);
    EXPECT_EQ(zero.y, 0.0f);
    EXPECT_EQ(zero.z, 0.0f);
    EXPECT_EQ(zero.w, 0.0f);

    const Float4 huge = Normalize3({3e38f, 1.0f, 0.0f, 0.0f});
    EXPECT_TRUE(std::isnan(huge.x) && std::isnan(huge.y) && std::isnan(huge.z) &&
                std::isnan(huge.w));
}

TEST(Camera, LookAtGivesTheDemoBasis) {
    const Float4x4 view = MakeLookAtLeftHanded({3.2f, 2.0f, -0.1f, 0.0f}, {0.0f, 0.8f, -0.1f, 0.0f},
                                               {0.0f, 1.0f, 0.0f, 0.0f});
    // Columns: right (0, 0, 1), upward and forward; row 3 the translations.
    const float expected[16] = {0.0f,         -0.35112345f, -0.93632919f, 0.0f, 0.0f, 0.93632919f,
                                -0.35112345f, 0.0f,         1.0f,         0.0f, 0.0f, 0.0f,
                                0.1f,         -0.74906325f, 3.6985004f,   1.0f};
    ExpectMatrixNear(view, expected);
}

TEST(Camera, PerspectiveMapsNearToZeroAndFarToOne) {
    const Float4x4 p = MakePerspectiveFovLeftHanded(0.7853982f, 1.0f, 0.1f, 100.0f);
    EXPECT_EQ(Bits(p.m[1][1]), Bits(2.4142134f));
    EXPECT_EQ(Bits(p.m[2][2]), Bits(1.001001f));
    EXPECT_EQ(Bits(p.m[3][2]), Bits(-0.1001001f));

    for (const float depth : {0.1f, 100.0f}) {
        const float clipZ = depth * p.m[2][2] + p.m[3][2];
        const float clipW = depth * p.m[2][3];
        EXPECT_NEAR(clipZ / clipW, depth == 0.1f ? 0.0f : 1.0f, 1e-6) << depth;
    }
}

TEST(ComposeTransform, MatchesTheReferenceTables) {
    const float atRest[16] = {0.0f,        0.0f,        1.3579950f, 0.1357995f,
                              -0.8476869f, 2.2604985f,  0.0f,       -1.8083986f,
                              -0.9372665f, -0.3514749f, 0.0f,       3.6021025f,
                              -0.9363292f, -0.3511235f, 0.0f,       3.6985004f};
    ExpectMatrixNear(ComposeTransform(0.0f, 1920, 1080), atRest);

    const float afterTenSeconds[16] = {0.3794451f,  0.0f,        1.3039063f, 0.1357995f,
                                       -0.8139237f, 2.2604985f,  0.2368570f, -1.8083986f,
                                       -0.8999353f, -0.3514749f, 0.2618869f, 3.6021025f,
                                       -0.8990354f, -0.3511235f, 0.2616251f, 3.6985004f};
    ExpectMatrixNear(ComposeTransform(6.0f, 1920, 1080), afterTenSeconds);
}

TEST(ComposeTransform, AspectRatioChangesOnlyTheFirstRow) {
    const Float4x4 wide = ComposeTransform(6.0f, 1920, 1080);
    const Float4x4 square = ComposeTransform(6.0f, 1280, 1024);
    const float expected[4] = {0.5396553f, 0.0f, 1.8544446f, 0.1931371f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(At(square, i), expected[i], 1e-7);
    }
    for (int i = 4; i < 16; ++i) {
        EXPECT_EQ(Bits(At(square, i)), Bits(At(wide, i))) << "float " << i;
    }
}

// The same transform from its closed form in double precision, within a few float ulps
// of the largest element of each row: the camera's forward (fx, fy, 0), right (0, 0, 1)
// and upward = forward x right from its eye (3.2, 2.0, -0.1) and focus (0, 0.8, -0.1),
// the spin's true sine and cosine and the projection's cotangent of pi/8.
void ExpectMatchesTheClosedForm(float angle, std::int32_t width, std::int32_t height) {
    const double fx = -3.2 / std::hypot(3.2, 1.2), fy = -1.2 / std::hypot(3.2, 1.2);
    const double ux = fy, uy = -fx;
    const double d0 = 0.1, d1 = -(ux * 3.2 + uy * 2.0), d2 = -(fx * 3.2 + fy * 2.0);
    const double h = 1.0 / std::tan(std::numbers::pi / 8.0),
                 a = static_cast<double>(width) / height;
    const double q = 100.0 / 99.9, s = std::sin(angle), c = std::cos(angle);
    const double expected[4][4] = {{-s * h / a, 0.0, c * h / a, d0 * h / a},
                                   {c * ux * h, uy * h, s * ux * h, d1 * h},
                                   {c * fx * q, fy * q, s * fx * q, (d2 - 0.1) * q},
                                   {c * fx, fy, s * fx, d2}};
    const Float4x4 m = ComposeTransform(angle, width, height);
    for (int i = 0; i < 4; ++i) {
        const double* row = expected[i];
        const double scale =
            std::max({std::fabs(row[0]), std::fabs(row[1]), std::fabs(row[2]), std::fabs(row[3])});
        for (int j = 0; j < 4; ++j) {
            EXPECT_NEAR(m.m[i][j], row[j], 4 * std::numeric_limits<float>::epsilon() * scale)
                << "(" << i << ", " << j << ") at " << angle << " rad, " << width << " by "
                << height;
        }
    }
}

TEST(ComposeTransform, MatchesTheClosedFormAtEveryAngleAndSize) {
    for (int step = -16; step <= 16; ++step) {
        const float angle = 0.19634954f * static_cast<float>(step);  // sixteenths of a turn
        ExpectMatchesTheClosedForm(angle, 1920, 1080);
        ExpectMatchesTheClosedForm(angle + 0.1f, 1280, 1024);
        ExpectMatchesTheClosedForm(angle + 0.3f, 320, 200);
    }
}

TEST(ComposeTransform, ZeroSizedClientAreasFlowThroughWithoutATrap) {
    const Float4x4 normal = ComposeTransform(1.0f, 1920, 1080);

    // 0/0: the aspect ratio is not a number and so is every float of the first row.
    const Float4x4 empty = ComposeTransform(1.0f, 0, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(std::isnan(At(empty, i))) << i;
    }
    // Zero width: h / 0 is infinite, and it multiplies zeros and non-zeros alike.
    const Float4x4 noWidth = ComposeTransform(1.0f, 0, 1080);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(std::isfinite(At(noWidth, i))) << i;
    }
    // Zero height: an infinite aspect ratio collapses the first row to zeros.
    const Float4x4 noHeight = ComposeTransform(1.0f, 1920, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(At(noHeight, i), 0.0f) << i;
    }
    for (int i = 4; i < 16; ++i) {
        EXPECT_EQ(Bits(At(empty, i)), Bits(At(normal, i))) << i;
        EXPECT_EQ(Bits(At(noWidth, i)), Bits(At(normal, i))) << i;
        EXPECT_EQ(Bits(At(noHeight, i)), Bits(At(normal, i))) << i;
    }
}

}  // namespace
