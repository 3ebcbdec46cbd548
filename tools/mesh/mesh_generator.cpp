// Writes the demo's mesh: the raw vertex records, then the raw 32-bit indices, in the
// byte order of the target (little-endian), exactly as the executable embeds them.
//
//   mesh_generator <output file> [--seed <n>]
//
// The same bytes on every run: the shape is fixed, the mesher's random generator is
// seeded, the meshing runs on one thread, and every choice breaks ties by index. Another
// seed gives another, equally good tessellation of the same sculpture, to try the reveal
// on.
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "mesh.h"
#include "reveal_order.h"
#include "sculpture.h"
#include "tessellate.h"
#include "timeline.h"

static_assert(std::endian::native == std::endian::little, "the file is written as in memory");

namespace {

constexpr std::uint32_t kBodyVertices = MeshVertexCount - 4;
constexpr std::uint32_t kTriangles = MeshIndexCount / 3;
constexpr std::uint32_t kSeed = 20261209;  // the mesher's, for the demo's tessellation
// How deep the level may lie, in median edges (a row of triangles is 0.87 of one).
constexpr double kLevelDepth = 1.35;

class Stopwatch {
public:
    double Lap() {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        return seconds;
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The single-precision value nearest to x rounded to four decimal places (formatting
// the decimal and reading it back rounds once, correctly).
float ToFourPlaces(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", static_cast<double>(std::llround(x * 1e4)) / 1e4);
    return std::strtof(text, nullptr);
}

// A splinter about 0.005 across, standing just off the body's surface near its
// foot; its corners are offsets from the point it is anchored to.
std::array<Vec3, 4> PlaceTetrahedron() {
    const Vec3 surface = ProjectOntoSurface({0.59, 0.075, 0.17});
    const Vec3 anchor = surface + Normalized(SculptureGradient(surface)) * 0.006;
    const Vec3 corners[4] = {{0.0, 0.0, 0.0},
                             {0.0014, 0.0011, 0.0006},
                             {0.0005, 0.0046, 0.0013},
                             {0.0009, 0.0021, 0.0057}};
    std::array<Vec3, 4> result;
    for (int i = 0; i < 4; ++i)
        result[i] = anchor + corners[i] - Vec3{0.0007, 0.0023, 0.0028};
    return result;
}

// Its four faces as a short strip, each wound outward.
std::array<Triangle, 4> TetrahedronFaces(const std::array<Vec3, 4>& p, std::uint32_t first) {
    const double volume = Dot(p[1] - p[0], Cross(p[2] - p[0], p[3] - p[0]));
    // With positive volume, (0, 2, 1) faces away from corner 3, and so on.
    std::array<Triangle, 4> faces = {Triangle{0, 2, 1}, {1, 2, 3}, {1, 3, 0}, {0, 3, 2}};
    if (volume < 0.0) {
        for (Triangle& t : faces)
            std::swap(t[1], t[2]);
    }
    for (Triangle& t : faces) {
        for (std::uint32_t& v : t)
            v += first;
    }
    return faces;
}

void Require(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
}

// The checks that the rounding to four places could break: positions still distinct,
// no triangle of zero area or turned inside out.
void CheckRounded(const std::vector<MeshVertex>& vertices,
                  const std::vector<std::uint32_t>& indices, const std::vector<Vec3>& exact) {
    std::set<std::array<float, 3>> seen;
    for (const MeshVertex& v : vertices) {
        Require(seen.insert({v.position[0], v.position[1], v.position[2]}).second,
                "two vertices round to the same position");
    }
    auto at = [&](std::uint32_t i) {
        const float* p = vertices[i].position;
        return Vec3{p[0], p[1], p[2]};
    };
    for (std::size_t k = 0; k < indices.size(); k += 3) {
        const Vec3 a = at(indices[k]), b = at(indices[k + 1]), c = at(indices[k + 2]);
        const Vec3 n = Cross(b - a, c - a);
        Require(Length(n) > 0.0, "a triangle has zero area after rounding");
        const Vec3 e = exact[indices[k]];
        const Vec3 exactNormal =
            Cross(exact[indices[k + 1]] - e, exact[indices[k + 2]] - exact[indices[k]]);
        Require(Dot(n, exactNormal) > 0.0, "a triangle turns over when rounded");
    }
}

// The frames that end a run on a 60 Hz screen: the first past the run's end, and the one
// more that the frame loop draws after destroying the window. They still draw the first
// part of the list, which must face away from the eye in both, so that they show no mesh.
struct LastFrames {
    std::uint32_t triangles = 0;  // the most either draws
    std::vector<Float4x4> transforms;
};

LastFrames FindLastFrames() {
    TimelineState state;
    LastFrames last;
    for (std::int64_t frame = 0; last.transforms.size() < 2; ++frame) {
        const float now = ElapsedSeconds(frame * 1'000'000'000 / 60);
        const FrameParameters parameters = AdvanceTimeline(state, now, 1920, 1080);
        if (IsRunOver(now) || !last.transforms.empty()) {
            last.triangles = std::max(last.triangles, parameters.indexCount / 3);
            last.transforms.push_back(parameters.transform);
        }
    }
    return last;
}

// Whether a triangle runs anticlockwise on the screen through the frame's transform, so
// that the rasteriser culls it. The transform is the transposed one: row i holds the
// coefficients of (x, y, z, 1) for clip-space component i.
bool Culled(const Float4x4& m, const std::array<Vec3, 3>& corners) {
    std::array<double, 3> x, y;
    for (int c = 0; c < 3; ++c) {
        const Vec3& p = corners[c];
        double clip[4];
        for (int i = 0; i < 4; ++i)
            clip[i] = m.m[i][0] * p.x + m.m[i][1] * p.y + m.m[i][2] * p.z + m.m[i][3];
        x[c] = clip[0] / clip[3];
        y[c] = -clip[1] / clip[3];  // the screen's y runs down
    }
    return (x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]) < 0.0;
}

double MedianEdge(const SurfaceMesh& mesh) {
    std::vector<double> edges;
    for (const Triangle& t : mesh.triangles) {
        for (int e = 0; e < 3; ++e)
            edges.push_back(Length(mesh.positions[t[(e + 1) % 3]] - mesh.positions[t[e]]));
    }
    std::nth_element(edges.begin(), edges.begin() + edges.size() / 2, edges.end());
    return edges[edges.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t seed = kSeed;
    if (argc == 4 && std::strcmp(argv[2], "--seed") == 0) {
        seed = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    } else if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file> [--seed <n>]\n", argv[0]);
        return 2;
    }
    try {
        Stopwatch watch;
        const SurfaceMesh body = TessellateSculpture(kBodyVertices, seed);
        Require(body.triangles.size() == kTriangles - 4, "unexpected triangle count");
        for (const Triangle& t : body.triangles) {
            const Vec3 a = body.positions[t[0]];
            const Vec3 n = Cross(body.positions[t[1]] - a, body.positions[t[2]] - a);
            const Vec3 centre = (a + body.positions[t[1]] + body.positions[t[2]]) * (1.0 / 3.0);
            Require(Dot(n, SculptureGradient(centre)) > 0.0, "a triangle faces inward");
        }
        const double tessellation = watch.Lap();

        // The level lies at most about one and a half rows of triangles below the top of
        // what is still to be drawn: the cut stays close to a line on screen, and the
        // bands are still high enough for the strips to use vertices again while they are
        // in the cache (at one row, nearly every triangle would load a vertex). The list
        // opens with triangles that the run's last frames cull, as the rounded positions
        // lie.
        RevealOptions options;
        options.levelDepth = kLevelDepth * MedianEdge(body);
        const LastFrames last = FindLastFrames();
        options.hiddenCount = last.triangles;
        for (const Triangle& t : body.triangles) {
            std::array<Vec3, 3> corners;
            for (int c = 0; c < 3; ++c) {
                const Vec3& p = body.positions[t[c]];
                corners[c] = {ToFourPlaces(p.x), ToFourPlaces(p.y), ToFourPlaces(p.z)};
            }
            bool hidden = true;
            for (const Float4x4& transform : last.transforms)
                hidden = hidden && Culled(transform, corners);
            options.hidden.push_back(hidden);
        }
        std::vector<std::uint32_t> numbers;
        std::vector<Triangle> order = OrderForReveal(body, options, &numbers);
        const double ordering = watch.Lap();

        // The list: the body's triangles with the tetrahedron put in where the level
        // passes its middle, after the last triangle of the body above it.
        std::vector<Vec3> positions = body.positions;
        const std::array<Vec3, 4> splinter = PlaceTetrahedron();
        Vec3 middle;
        for (const Vec3& p : splinter) {
            Require(SculptureField(p) > 0.001, "the tetrahedron touches the body");
            positions.push_back(p);
            middle = middle + p * 0.25;
        }
        std::size_t place = 0;
        for (std::size_t k = 0; k < numbers.size(); ++k) {
            const Triangle& t = body.triangles[numbers[k]];
            const double height =
                (body.positions[t[0]].y + body.positions[t[1]].y + body.positions[t[2]].y) / 3.0;
            if (height > middle.y)
                place = k + 1;
        }
        const std::array<Triangle, 4> faces = TetrahedronFaces(splinter, kBodyVertices);
        order.insert(order.begin() + static_cast<std::ptrdiff_t>(place), faces.begin(),
                     faces.end());

        // Vertices numbered by first use.
        std::vector<std::uint32_t> number(positions.size(), ~0u);
        std::vector<Vec3> exact;
        std::vector<std::uint32_t> indices;
        indices.reserve(MeshIndexCount);
        for (const Triangle& t : order) {
            for (std::uint32_t v : t) {
                if (number[v] == ~0u) {
                    number[v] = static_cast<std::uint32_t>(exact.size());
                    exact.push_back(positions[v]);
                }
                indices.push_back(number[v]);
            }
        }
        Require(exact.size() == MeshVertexCount && indices.size() == MeshIndexCount,
                "unexpected counts");

        std::vector<MeshVertex> vertices(exact.size());
        for (std::size_t i = 0; i < exact.size(); ++i) {
            vertices[i] = {
                {ToFourPlaces(exact[i].x), ToFourPlaces(exact[i].y), ToFourPlaces(exact[i].z)},
                {1.0f, 1.0f, 1.0f, 1.0f}};
        }
        CheckRounded(vertices, indices, exact);

        FILE* file = std::fopen(argv[1], "wb");
        Require(file != nullptr, std::string("cannot open ") + argv[1]);
        const bool written = std::fwrite(vertices.data(), sizeof(MeshVertex), vertices.size(),
                                         file) == vertices.size() &&
                             std::fwrite(indices.data(), 4, indices.size(), file) == indices.size();
        Require(std::fclose(file) == 0 && written, std::string("cannot write ") + argv[1]);
        std::printf(
            "mesh: %u vertices, %u indices; tessellation %.2f s, order %.2f s, output %.2f s\n",
            MeshVertexCount, MeshIndexCount, tessellation, ordering, watch.Lap());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "mesh_generator: %s\n", error.what());
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
