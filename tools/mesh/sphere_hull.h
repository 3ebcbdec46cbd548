// Triangulation of points on the unit sphere by their convex hull.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vec3.h"

// Triangles over the given unit vectors, each wound so that its normal points away
// from the sphere's centre. Every point becomes a vertex; the result has 2n - 4
// triangles. Throws std::runtime_error if the hull does not use every point.
std::vector<std::array<std::uint32_t, 3>> TriangulateSphere(const std::vector<Vec3>& directions);
