// The order in which the surface is revealed: a level that descends from the top of the
// sculpture to its foot; shown in reverse, it rises from the foot to the top. The
// surface is cut into horizontal bands, as high as the level allows, and taken from the
// top down, so that the drawn part is at every moment all that lies above a level, but
// for the band the level is in. Each band is walked a ring at a time (an edge-connected
// piece of it: around each ear, around the body, around each leg; where a band lies
// flat, it is cut into rings two rows wide, one inside the other), each ring as strips
// that run forward along its upper row and back along its lower one, so that successive
// triangles share edges and their vertices are used again while still in the
// post-transform cache.
#pragma once

#include <cstdint>
#include <vector>

#include "tessellate.h"

struct RevealOptions {
    // How far, in model units, the level may lie below the top of what is still to be
    // drawn: the highest centre of an undrawn triangle above the lowest centre of a drawn
    // one, past the list's opening.
    double levelDepth = 0.0;
    // The list opens with at least `hiddenCount` triangles for which `hidden` is true,
    // taken from the first bands: the run's last frames, which still draw that many, cull
    // them all. Only there may the level lie deeper.
    std::vector<bool> hidden;  // one per triangle of the mesh
    std::uint32_t hiddenCount = 0;
};

// The mesh's triangles in reveal order, each rotated so that the list reads as strips:
// a strip of vertices v0, v1, v2, ... is written (v0, v1, v2), (v2, v1, v3),
// (v2, v3, v4), ... which keeps every triangle's winding. If `numbers` is given, it
// receives each listed triangle's number in the mesh. Throws std::runtime_error for an
// open mesh or where the first bands hold too few hidden triangles.
std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options,
                                     std::vector<std::uint32_t>* numbers = nullptr);
