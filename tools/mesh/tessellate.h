// An even, isotropic triangulation of the sculpture's surface with a given vertex count.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vec3.h"

using Triangle = std::array<std::uint32_t, 3>;

struct SurfaceMesh {
    std::vector<Vec3> positions;
    std::vector<Triangle> triangles;  // wound so that (b - a) x (c - a) points outward
};

// A closed topological sphere of exactly vertexCount vertices and 2 * vertexCount - 4
// triangles on the sculpture's surface, its triangles of nearly equal size. The seed
// picks one of many equally good tessellations.
SurfaceMesh TessellateSculpture(std::uint32_t vertexCount, std::uint32_t seed);
