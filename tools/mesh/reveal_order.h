// The order in which the surface is revealed: a wavefront that spreads from one point
// along the surface, so that the drawn part is at every moment nearly a ball around that
// point, whose boundary runs at one distance. The front is walked in bands only a couple
// of triangle rows thick, each zigzagged as strips, so that successive triangles share
// edges and the vertex cache is reused.
#pragma once

#include <cstdint>
#include <vector>

#include "tessellate.h"

struct RevealOptions {
    // The list opens out of sight of this point (model space): the eye as the run's last
    // frames see the mesh, so that what is still drawn there faces away from it.
    Vec3 hiddenFrom{0.0, 0.0, 0.0};
    double startAbove = 1.25;    // the opening lies above this height
    std::uint32_t bandRows = 3;  // thickness of each band, in triangle rows
    // Named parts of the surface, if given: each vertex's part, the start's part (instead
    // of startAbove) and, for each part, how much longer a way across it counts than it
    // is, which sets when the front finishes each part.
    std::vector<std::uint8_t> vertexPart;
    std::uint8_t startPart = 0;
    std::vector<double> partScale;
};

// The mesh's triangles in reveal order, each rotated so that the list reads as strips:
// a strip of vertices v0, v1, v2, ... is written (v0, v1, v2), (v2, v1, v3),
// (v2, v3, v4), ... which keeps every triangle's winding.
std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options);
