// The sculpture as an implicit surface: a sitting rabbit, upright on its haunches with its
// head raised and its two long ears standing up, cut flat underneath where it rests on
// the floor. The field is negative inside the body and positive outside; its zero set is
// the surface the generator meshes.
//
// The rabbit is built from smooth blends of ellipsoids and tapered limbs:
//   left ear and right ear (the rabbit's own left and right as the demo shows it, whose
//   coordinates are left-handed): the two tall points, the right one leaning back more;
//   head: skull, muzzle and cheeks, on a short neck;
//   body: rump, back and chest, and the short tail at the back;
//   front legs: the two straight forelegs and their paws;
//   hind legs: the thighs on either side of the rump and the long hind feet.
// Model units; y is up, the spin axis is the y axis.
#pragma once

#include "vec3.h"

// Lowest height of the body: its underside is flat at this height.
inline constexpr double SculptureFloor = 0.021;

// The field at p (roughly a distance in model units near the surface).
double SculptureField(const Vec3& p);

// Gradient of the field by finite differences; not normalised.
Vec3 SculptureGradient(const Vec3& p);

// The surface point reached from p, which must lie close to the surface, by Newton steps
// along the field's gradient.
Vec3 ProjectOntoSurface(const Vec3& p);

// A point inside the body, well away from its surface.
inline constexpr Vec3 SculptureInside{0.0, 0.45, 0.0};
