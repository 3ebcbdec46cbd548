// Single-precision transform math for the demo's one world-view-projection matrix.
//
// Every operation is written out in a fixed order and grouping, one rounding per
// operation and no fused multiply-add, so that each result is fixed to the bit by its
// inputs on every x86-64 compiler that keeps -ffp-contract=off.
#pragma once

#include <cstdint>

// A row vector of four floats; three-component operations ignore w unless they say so.
struct Float4 {
    float x;
    float y;
    float z;
    float w;
};

// A 4x4 matrix stored row by row: element (i, j) is float 4i + j. Vectors are rows
// multiplied on the left, so applying A and then B is A * B and a translation is row 3.
// The frame is left-handed and clip-space depth runs from 0 to 1.
struct Float4x4 {
    float m[4][4];
};

// The fixed camera: 3.2 units out along +x from its focus and 1.2 above it, no roll, with a
// vertical field of view of pi/4 and depth from 0.1 to 100 units. The mesh generator and
// the tools take it from here.
inline constexpr Float4 CameraEye = {3.2f, 2.0f, -0.1f, 0.0f};
inline constexpr Float4 CameraFocus = {0.0f, 0.8f, -0.1f, 0.0f};
inline constexpr Float4 CameraUp = {0.0f, 1.0f, 0.0f, 0.0f};
inline constexpr float CameraFieldOfViewY = 0.7853982f;
inline constexpr float CameraNearZ = 0.1f;
inline constexpr float CameraFarZ = 100.0f;

struct SinCos {
    float sine;
    float cosine;
};

// Polynomial sine and cosine. Valid while angle / 2pi fits in a signed 32-bit integer;
// within 3e-7 of the true values on [-pi, pi].
SinCos ScalarSinCos(float angle);

float Dot3(Float4 a, Float4 b);
Float4 Cross3(Float4 a, Float4 b);
// A zero vector stays zero; an infinite squared length gives NaN in all four lanes.
Float4 Normalize3(Float4 v);

Float4x4 MakeRotationY(float angle);
Float4x4 MakeLookAtLeftHanded(Float4 eye, Float4 focus, Float4 up);
Float4x4 MakePerspectiveFovLeftHanded(float fovY, float aspect, float nearZ, float farZ);
Float4x4 MultiplyMatrices(const Float4x4& a, const Float4x4& b);
Float4x4 TransposeMatrix(const Float4x4& m);

// The transposed world * view * projection of one frame: the spin about the vertical
// axis, the fixed camera and a 45-degree perspective with the client area's aspect
// ratio. Its sixteen floats are the 64 bytes of the vertex stage's transform constant.
// A zero-sized client area is not an error: the non-finite aspect ratio flows through.
Float4x4 ComposeTransform(float spinAngle, std::int32_t clientWidth, std::int32_t clientHeight);
