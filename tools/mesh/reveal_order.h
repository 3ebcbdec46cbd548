// The order in which the surface is revealed: the surface is split into named parts,
// each of which comes in at a given moment and is finished at another. Each part grows
// as a wavefront from where it joins the parts already drawn (the first from the start),
// at a pace of its own, so that the drawn part is at every moment
// one piece whose boundary runs at one distance within each part. The fronts are walked
// in bands only a couple of triangle rows thick, each zigzagged as strips, so that
// successive triangles share edges and the vertex cache is reused.
#pragma once

#include <cstdint>
#include <vector>

#include "tessellate.h"

// When a part comes in and when it is finished, in triangles of the list.
struct PartSchedule {
    // Triangles drawn before the part's first one. The parts that come in at 0 grow from
    // the start: a point where they meet, or, if one part alone comes in at 0, a point of
    // it near where it meets the next. Every other part grows from where it joins the
    // parts that came in before it, which must have reached it by then.
    std::uint32_t enter = 0;
    // Triangles drawn up to and with the part's last one; 0 for the part that finishes
    // the list, which the others' schedules leave no choice for.
    std::uint32_t finish = 0;
};

struct RevealOptions {
    // The list opens out of sight of this point (model space): the eye as the run's last
    // frames see the mesh, so that what is still drawn there faces away from it.
    Vec3 hiddenFrom{0.0, 0.0, 0.0};
    std::uint32_t hiddenCount = 0;            // how many triangles those frames draw
    std::uint32_t bandRows = 3;               // thickness of each band, in triangle rows
    std::vector<std::uint8_t> triangleParts;  // each triangle's part, an index into schedule
    std::vector<PartSchedule> schedule;
    // How far, in triangles, a part may finish from its aim: the pace of each part is
    // adjusted until all do.
    std::uint32_t tolerance = 40;
};

// The parts, with every triangle that shares no edge with a triangle of its own part
// given the part that most of its neighbours have: a speck of one part inside another
// would come in with its own part, cut off from it.
std::vector<std::uint8_t> TidyParts(const SurfaceMesh& mesh, std::vector<std::uint8_t> parts);

// The mesh's triangles in reveal order, each rotated so that the list reads as strips:
// a strip of vertices v0, v1, v2, ... is written (v0, v1, v2), (v2, v1, v3),
// (v2, v3, v4), ... which keeps every triangle's winding. Every part comes in and is
// finished within the tolerance of its schedule's counts; throws
// std::runtime_error where the schedule cannot be met. If `numbers` is given, it receives
// each listed triangle's number in the mesh.
std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options,
                                     std::vector<std::uint32_t>* numbers = nullptr);
