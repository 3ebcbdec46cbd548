// The sculpture as an implicit surface: a field that is negative inside the body and
// positive outside, whose zero set is the surface the generator tessellates.
//
// The body is star-shaped about SculptureCentre: every ray from it leaves the body
// exactly once. That lets a direction on the unit sphere stand for a surface point.
#pragma once

#include "vec3.h"

inline constexpr Vec3 SculptureCentre{-0.25, 0.42, 0.08};

// Lowest height of the body: its underside is flat at this height.
inline constexpr double SculptureFloor = 0.021;

// The field at p (roughly a distance in model units near the surface).
double SculptureField(const Vec3& p);

// Gradient of the field by finite differences; not normalised.
Vec3 SculptureGradient(const Vec3& p);

// Distance from SculptureCentre along the unit direction d to the surface. `guess` is a
// starting estimate (a previous distance nearby); values <= 0 mean none.
double SurfaceDistance(const Vec3& d, double guess);

// The surface point reached from p, which must lie close to the surface, by Newton steps
// along the field's gradient at p (which the caller has at hand).
Vec3 ProjectOntoSurface(const Vec3& p, const Vec3& gradient);

inline Vec3 SurfacePoint(const Vec3& d, double guess) {
    return SculptureCentre + d * SurfaceDistance(d, guess);
}
