// The order in which the surface is revealed: compact patches visited one after another
// across the surface, each laid whole in narrow bands side by side, like a plough, so
// that the drawn part grows as solid patches at its fronts. Walks zigzag across each
// band, so that successive triangles share edges and the vertex cache is reused.
#pragma once

#include <cstdint>
#include <vector>

#include "tessellate.h"

struct RevealOptions {
    std::uint32_t patchCount = 100;      // regions the walk visits one after another
    double bandWidth = 0.06;             // width of the bands a patch is walked in
    Vec3 firstPatchNear{0.0, 0.0, 0.0};  // the walk starts at the patch nearest this point
    int walkVariants = 32;               // walks tried, differing in how they break ties
};

// The mesh's triangles in reveal order, each rotated so that the list reads as strips:
// a strip of vertices v0, v1, v2, ... is written (v0, v1, v2), (v2, v1, v3),
// (v2, v3, v4), ... which keeps every triangle's winding.
std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options);
