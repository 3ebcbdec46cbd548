#include "transform.h"

#include <cmath>
#include <limits>

namespace {

constexpr float kOneOverTwoPi = 0.15915494f;
constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;
constexpr float kHalfPi = 1.5707964f;

Float4 Subtract(Float4 a, Float4 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w};
}

// s * row, componentwise.
Float4 Scale(float s, const float (&row)[4]) {
    return {s * row[0], s * row[1], s * row[2], s * row[3]};
}

Float4 Add(Float4 a, Float4 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w};
}

}  // namespace

SinCos ScalarSinCos(float angle) {
    // Reduce to [-pi, pi]: the quotient is angle / 2pi rounded to the nearest integer,
    // halves away from zero.
    float quotient = angle * kOneOverTwoPi;
    quotient = angle >= 0.0f ? quotient + 0.5f : quotient - 0.5f;
    quotient = static_cast<float>(static_cast<std::int32_t>(quotient));
    float y = angle - quotient * kTwoPi;

    // Fold into [-pi/2, pi/2]; the fold keeps the sine and flips the cosine.
    float sign = 1.0f;
    if (y > kHalfPi) {
        y = kPi - y;
        sign = -1.0f;
    } else if (y < -kHalfPi) {
        y = -kPi - y;
        sign = -1.0f;
    }
    const float y2 = y * y;

    // Degree 11 in the odd powers of y.
    float sine = 2.7525562e-06f - y2 * 2.3889859e-08f;
    sine = sine * y2 - 0.00019840874f;
    sine = sine * y2 + 0.008333331f;
    sine = sine * y2 - 0.16666667f;
    sine = sine * y2 + 1.0f;

    // Degree 10 in the even powers of y.
    float cosine = 2.4760495e-05f - y2 * 2.6051615e-07f;
    cosine = cosine * y2 - 0.0013888378f;
    cosine = cosine * y2 + 0.041666638f;
    cosine = cosine * y2 - 0.5f;
    cosine = cosine * y2 + 1.0f;

    return {sine * y, cosine * sign};
}

float Dot3(Float4 a, Float4 b) {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

Float4 Cross3(Float4 a, Float4 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x, 0.0f};
}

Float4 Normalize3(Float4 v) {
    const float lengthSquared = Dot3(v, v);
    if (lengthSquared == std::numeric_limits<float>::infinity()) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        return {nan, nan, nan, nan};
    }
    const float length = std::sqrt(lengthSquared);
    if (length == 0.0f) {
        return {0.0f, 0.0f, 0.0f, 0.0f};
    }
    return {v.x / length, v.y / length, v.z / length, v.w / length};
}

Float4x4 MakeRotationY(float angle) {
    const SinCos sc = ScalarSinCos(angle);
    return {{
        {sc.cosine, 0.0f, -sc.sine, 0.0f},
        {0.0f, 1.0f, 0.0f, 0.0f},
        {sc.sine, 0.0f, sc.cosine, 0.0f},
        {0.0f, 0.0f, 0.0f, 1.0f},
    }};
}

Float4x4 MakeLookAtLeftHanded(Float4 eye, Float4 focus, Float4 up) {
    const Float4 forward = Normalize3(Subtract(focus, eye));
    const Float4 right = Normalize3(Cross3(up, forward));
    const Float4 upward = Cross3(forward, right);
    const Float4 negEye = {-eye.x, -eye.y, -eye.z, -eye.w};
    return {{
        {right.x, upward.x, forward.x, 0.0f},
        {right.y, upward.y, forward.y, 0.0f},
        {right.z, upward.z, forward.z, 0.0f},
        {Dot3(right, negEye), Dot3(upward, negEye), Dot3(forward, negEye), 1.0f},
    }};
}

Float4x4 MakePerspectiveFovLeftHanded(float fovY, float aspect, float nearZ, float farZ) {
    const SinCos half = ScalarSinCos(0.5f * fovY);
    const float h = half.cosine / half.sine;
    const float q = farZ / (farZ - nearZ);
    // Clip w is the view-space depth; depth after the divide is 0 at nearZ, 1 at farZ.
    return {{
        {h / aspect, 0.0f, 0.0f, 0.0f},
        {0.0f, h, 0.0f, 0.0f},
        {0.0f, 0.0f, q, 1.0f},
        {0.0f, 0.0f, -q * nearZ, 0.0f},
    }};
}

Float4x4 MultiplyMatrices(const Float4x4& a, const Float4x4& b) {
    Float4x4 product;
    for (int i = 0; i < 4; ++i) {
        // The four products first, then the two inner sums, then their sum: the
        // grouping of a four-lane implementation.
        const Float4 even = Add(Scale(a.m[i][0], b.m[0]), Scale(a.m[i][2], b.m[2]));
        const Float4 odd = Add(Scale(a.m[i][1], b.m[1]), Scale(a.m[i][3], b.m[3]));
        const Float4 row = Add(even, odd);
        product.m[i][0] = row.x;
        product.m[i][1] = row.y;
        product.m[i][2] = row.z;
        product.m[i][3] = row.w;
    }
    return product;
}

Float4x4 TransposeMatrix(const Float4x4& m) {
    Float4x4 t;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            t.m[i][j] = m.m[j][i];
        }
    }
    return t;
}

Float4x4 ComposeTransform(float spinAngle, std::int32_t clientWidth, std::int32_t clientHeight) {
    const Float4x4 world = MakeRotationY(spinAngle);
    const Float4x4 view = MakeLookAtLeftHanded(CameraEye, CameraFocus, CameraUp);
    const float aspect = static_cast<float>(clientWidth) / static_cast<float>(clientHeight);
    const Float4x4 projection =
        MakePerspectiveFovLeftHanded(CameraFieldOfViewY, aspect, CameraNearZ, CameraFarZ);
    return TransposeMatrix(MultiplyMatrices(MultiplyMatrices(world, view), projection));
}
