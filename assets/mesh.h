// The mesh the demo draws: a vertex array and a triangle list whose storage order is the
// order in which the surface is revealed. The arrays are generated at build time and
// linked into the executable's read-only data; the counts are fixed here because the
// buffer sizes and the timeline's turning point follow from them.
#pragma once

#include <cstdint>

struct MeshVertex {
    float position[3];  // model space; y is the height, the only input of the shading
    float color[4];     // opaque white; the vertex program does not read it
};
static_assert(sizeof(MeshVertex) == 28, "the vertex buffer's stride");

inline constexpr std::uint32_t MeshVertexCount = 72'027;
inline constexpr std::uint32_t MeshIndexCount = 432'138;  // 144,046 triangles

// Defined by the embedded mesh (mesh_data.S), each on a 16-byte boundary.
extern "C" const MeshVertex MeshVertices[MeshVertexCount];
extern "C" const std::uint32_t MeshIndices[MeshIndexCount];
