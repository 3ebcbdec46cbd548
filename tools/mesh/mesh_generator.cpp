// Writes the demo's mesh: the raw vertex records, then the raw 32-bit indices, in the
// byte order of the target (little-endian), exactly as the executable embeds them; and,
// if asked, the named part of each listed triangle, one byte each (1 + SculpturePart,
// 0 for the tetrahedron), for tools/mesh/measure_reveal.
//
//   mesh_generator <output file> [<parts file>]
//
// The same bytes on every run: the shape is fixed, the surface mesher's random
// generator is seeded, the meshing runs on one thread, and every choice breaks ties
// by index.
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

static_assert(std::endian::native == std::endian::little, "the file is written as in memory");

namespace {

constexpr std::uint32_t kBodyVertices = MeshVertexCount - 4;
constexpr std::uint32_t kTriangles = MeshIndexCount / 3;
// Where the loose tetrahedron sits in the list: it is drawn from about 20.3 s to 39.7 s.
constexpr std::size_t kTetrahedronTriangle = 97'641;
// The spin of the run's last two frames (59.916 and 59.933 s), which still draw the first
// 642 triangles of the list, and the camera's eye in the world.
constexpr double kLastSpin = 35.95;
constexpr std::uint32_t kLastIndices = 1'927;
constexpr int kParts = 6;  // the sculpture's named parts
constexpr Vec3 kEye{3.2, 2.0, -0.1};

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

// Each named part of the sculpture comes in on a bar line of the track (a bar is 2 s) and
// is finished on another: the rabbit grows from the root of its left ear, the ear and
// the head first, the body out of the neck, the right ear out of the head and the legs
// out of the body. Taken away in reverse, each part goes on the bar line that mirrors
// its coming in about the turn at 30 s. The head alone comes in a few frames after the
// start, when the count of the run's last frames is drawn: the list opens with the
// back of the ear's root, which faces away from the camera then, and the head goes
// before those frames, so that they show an empty sky.
constexpr double kIndicesPerSecond = MeshIndexCount / 30.0;
constexpr double kLastFrames = kLastIndices / kIndicesPerSecond;  // seconds of the rise
struct Milestone {
    SculpturePart part;
    double enters;    // seconds
    double finishes;  // seconds; 0 for the body, which finishes the list at 30 s
};
constexpr Milestone kMilestones[] = {
    {SculpturePart::LeftEar, 0.0, 2.0},     {SculpturePart::Head, kLastFrames, 8.0},
    {SculpturePart::Body, 2.0, 0.0},        {SculpturePart::RightEar, 2.0, 6.0},
    {SculpturePart::FrontLegs, 10.0, 24.0}, {SculpturePart::HindLegs, 12.0, 28.0}};
// How near its bar line a part comes in and is finished: within two frames at 60 Hz.
constexpr double kMilestoneTolerance = 2.0 / 60.0;

// The part of each triangle of the list, numbered from 1, with the tetrahedron's four
// (part 0) put in at their place.
std::vector<std::uint8_t> PartsInOrder(const std::vector<std::uint8_t>& parts,
                                       const std::vector<std::uint32_t>& numbers) {
    std::vector<std::uint8_t> listed;
    for (std::uint32_t f : numbers)
        listed.push_back(parts[f] + 1);
    listed.insert(listed.begin() + kTetrahedronTriangle, 4, 0);
    return listed;
}

// The triangles of the body drawn by the given moment of the rise.
std::uint32_t BodyTrianglesAt(double seconds) {
    const auto listed = static_cast<std::uint32_t>(std::llround(seconds * kIndicesPerSecond / 3.0));
    return listed > kTetrahedronTriangle ? listed - 4 : listed;
}

// The moments of the rise at which a part's first and last triangles are first drawn.
std::pair<double, double> Span(const std::vector<std::uint8_t>& parts, SculpturePart part) {
    std::size_t first = parts.size(), last = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == static_cast<std::uint8_t>(part) + 1)
            first = std::min(first, i), last = i;
    }
    return {3.0 * static_cast<double>(first) / kIndicesPerSecond,
            3.0 * static_cast<double>(last + 1) / kIndicesPerSecond};
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <output file> [<parts file>]\n", argv[0]);
        return 2;
    }
    try {
        Stopwatch watch;
        const SurfaceMesh body = TessellateSculpture(kBodyVertices);
        Require(body.triangles.size() == kTriangles - 4, "unexpected triangle count");
        for (const Triangle& t : body.triangles) {
            const Vec3 a = body.positions[t[0]];
            const Vec3 n = Cross(body.positions[t[1]] - a, body.positions[t[2]] - a);
            const Vec3 centre = (a + body.positions[t[1]] + body.positions[t[2]]) * (1.0 / 3.0);
            Require(Dot(n, SculptureGradient(centre)) > 0.0, "a triangle faces inward");
        }
        const double tessellation = watch.Lap();

        RevealOptions options;
        // The eye turned back by the last spin into model space: the list opens as far
        // from what it sees as the opening parts allow, so the run ends on an empty sky.
        const double c = std::cos(kLastSpin), s = std::sin(kLastSpin);
        options.hiddenFrom = {c * kEye.x - s * kEye.z, kEye.y, s * kEye.x + c * kEye.z};
        options.hiddenCount = kLastIndices / 3;
        for (const Triangle& t : body.triangles) {
            const Vec3 centre =
                (body.positions[t[0]] + body.positions[t[1]] + body.positions[t[2]]) * (1.0 / 3.0);
            options.triangleParts.push_back(static_cast<std::uint8_t>(SculpturePartAt(centre)));
        }
        options.triangleParts = TidyParts(body, options.triangleParts);
        options.schedule.resize(kParts);
        for (const Milestone& milestone : kMilestones) {
            options.schedule[static_cast<int>(milestone.part)] = {
                BodyTrianglesAt(milestone.enters),
                milestone.finishes > 0.0 ? BodyTrianglesAt(milestone.finishes) : 0};
        }
        options.tolerance = 40;  // half a frame
        std::vector<std::uint32_t> numbers;
        std::vector<Triangle> order = OrderForReveal(body, options, &numbers);
        const std::vector<std::uint8_t> triangleParts =
            PartsInOrder(options.triangleParts, numbers);
        for (const Milestone& milestone : kMilestones) {
            const auto [enters, finishes] = Span(triangleParts, milestone.part);
            const double end = milestone.finishes > 0.0 ? milestone.finishes : 30.0;
            Require(std::abs(enters - milestone.enters) < kMilestoneTolerance &&
                        std::abs(finishes - end) < kMilestoneTolerance,
                    "a part does not come in or finish on its bar line");
        }
        const double ordering = watch.Lap();
        // The list: the body's triangles with the tetrahedron put in at its place.
        std::vector<Vec3> positions = body.positions;
        const std::array<Vec3, 4> splinter = PlaceTetrahedron();
        for (const Vec3& p : splinter) {
            Require(SculptureField(p) > 0.001, "the tetrahedron touches the body");
            positions.push_back(p);
        }
        const std::array<Triangle, 4> faces = TetrahedronFaces(splinter, kBodyVertices);
        order.insert(order.begin() + kTetrahedronTriangle, faces.begin(), faces.end());

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
        if (argc == 3) {
            FILE* parts = std::fopen(argv[2], "wb");
            Require(parts != nullptr, std::string("cannot open ") + argv[2]);
            const bool partsWritten = std::fwrite(triangleParts.data(), 1, triangleParts.size(),
                                                  parts) == triangleParts.size();
            Require(std::fclose(parts) == 0 && partsWritten,
                    std::string("cannot write ") + argv[2]);
        }
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
