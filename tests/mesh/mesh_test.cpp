// Measures the generated mesh file (the bytes the executable embeds) against what the
// demo needs of it: counts, a closed and consistently wound surface, shape and framing,
// an even tessellation, a reveal order that is both coherent on screen and kind to the
// vertex cache, and the same bytes from every run of the generator. Prints a table of
// the figures it measures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <numbers>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "mesh.h"
#include "timeline.h"
#include "transform.h"

namespace {

constexpr std::uint32_t kTriangles = MeshIndexCount / 3;

struct P3 {
    double x, y, z;
};
P3 operator-(P3 a, P3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
P3 operator+(P3 a, P3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
P3 operator*(P3 a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double Dot(P3 a, P3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
P3 Cross(P3 a, P3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Length(P3 a) {
    return std::sqrt(Dot(a, a));
}

using Tri = std::array<std::uint32_t, 3>;

// Groups of connected vertices (union-find with path halving).
class VertexGroups {
public:
    VertexGroups() : parent_(MeshVertexCount) { std::iota(parent_.begin(), parent_.end(), 0u); }

    std::uint32_t Find(std::uint32_t v) {
        while (parent_[v] != v)
            v = parent_[v] = parent_[parent_[v]];
        return v;
    }
    void Join(std::uint32_t a, std::uint32_t b) { parent_[Find(a)] = Find(b); }

private:
    std::vector<std::uint32_t> parent_;
};

struct Mesh {
    std::vector<MeshVertex> vertices;
    std::vector<std::uint32_t> indices;
    std::vector<char> bytes;  // the file as read
    // The connected pieces, each as its vertices; the largest is the body, the others
    // are loose pieces, wherever the file puts them.
    std::vector<std::vector<std::uint32_t>> pieces;
    std::vector<bool> bodyVertex;

    P3 At(std::uint32_t v) const {
        const float* p = vertices[v].position;
        return {p[0], p[1], p[2]};
    }
    Tri Triangle(std::size_t k) const {
        return {indices[3 * k], indices[3 * k + 1], indices[3 * k + 2]};
    }
    P3 Normal(std::size_t k) const {  // twice the area, outward for a correct winding
        const Tri t = Triangle(k);
        return Cross(At(t[1]) - At(t[0]), At(t[2]) - At(t[0]));
    }
    P3 Centre(std::size_t k) const {
        const Tri t = Triangle(k);
        return (At(t[0]) + At(t[1]) + At(t[2])) * (1.0 / 3.0);
    }
    double Area(std::size_t k) const { return 0.5 * Length(Normal(k)); }
    bool IsBody(std::size_t k) const { return bodyVertex[indices[3 * k]]; }
};

const Mesh& TheMesh() {
    static const Mesh mesh = [] {
        Mesh m;
        // Another file may be named to measure another tessellation or order.
        const char* path = std::getenv("ZELTAVO_MESH_FILE");
        std::ifstream file(path != nullptr ? path : ZELTAVO_MESH_FILE, std::ios::binary);
        m.bytes.assign(std::istreambuf_iterator<char>(file), {});
        const std::vector<char>& bytes = m.bytes;
        const std::size_t vertexBytes = std::size_t{MeshVertexCount} * sizeof(MeshVertex);
        const std::size_t indexBytes = std::size_t{MeshIndexCount} * 4;
        if (bytes.size() == vertexBytes + indexBytes) {
            m.vertices.resize(MeshVertexCount);
            m.indices.resize(MeshIndexCount);
            std::memcpy(m.vertices.data(), bytes.data(), vertexBytes);
            std::memcpy(m.indices.data(), bytes.data() + vertexBytes, indexBytes);
        }
        VertexGroups groups;
        for (std::size_t i = 0; i + 2 < m.indices.size(); i += 3) {
            groups.Join(m.indices[i], m.indices[i + 1]);
            groups.Join(m.indices[i], m.indices[i + 2]);
        }
        std::map<std::uint32_t, std::vector<std::uint32_t>> pieces;
        for (std::uint32_t v = 0; v < m.vertices.size(); ++v)
            pieces[groups.Find(v)].push_back(v);
        for (auto& [root, piece] : pieces)
            m.pieces.push_back(std::move(piece));
        std::sort(m.pieces.begin(), m.pieces.end(),
                  [](const auto& a, const auto& b) { return a.size() > b.size(); });
        m.bodyVertex.assign(MeshVertexCount, false);
        if (!m.pieces.empty())
            for (std::uint32_t v : m.pieces[0])
                m.bodyVertex[v] = true;
        return m;
    }();
    return mesh;
}

double Quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * (values.size() - 1))];
}

// The length of every edge, each once (from its triangle with the smaller index first).
const std::vector<double>& EdgeLengths(const Mesh& m) {
    static const std::vector<double> lengths = [&] {
        std::vector<double> result;
        for (std::size_t k = 0; k < kTriangles; ++k) {
            const Tri t = m.Triangle(k);
            for (int i = 0; i < 3; ++i) {
                if (t[i] < t[(i + 1) % 3])
                    result.push_back(Length(m.At(t[i]) - m.At(t[(i + 1) % 3])));
            }
        }
        return result;
    }();
    return lengths;
}

double Correlation(const std::vector<double>& a, const std::vector<double>& b) {
    const double n = static_cast<double>(a.size());
    const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
    const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
    double sab = 0.0, saa = 0.0, sbb = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

bool ShareEdge(const Tri& a, const Tri& b) {
    int common = 0;
    for (std::uint32_t u : a)
        common += std::count(b.begin(), b.end(), u);
    return common >= 2;
}

// Vertices transformed per triangle with a first-in, first-out cache of `entries`.
double VerticesPerTriangle(const Mesh& m, std::uint32_t entries) {
    std::vector<std::int64_t> inserted(MeshVertexCount, -1'000'000);
    std::int64_t insertions = 0;
    for (std::uint32_t v : m.indices) {
        if (insertions - inserted[v] <= entries)
            continue;
        inserted[v] = insertions++;
    }
    return static_cast<double>(insertions) / kTriangles;
}

// For each triangle, the triangle across each of its edges (from corner i to i + 1).
std::vector<Tri> Neighbours(const Mesh& m) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> edges;
    for (std::uint32_t k = 0; k < kTriangles; ++k) {
        const Tri t = m.Triangle(k);
        for (int i = 0; i < 3; ++i)
            edges.push_back({(std::uint64_t{t[i]} << 32) | t[(i + 1) % 3], k});
    }
    std::sort(edges.begin(), edges.end());
    std::vector<Tri> across(kTriangles, Tri{kTriangles, kTriangles, kTriangles});
    for (std::uint32_t k = 0; k < kTriangles; ++k) {
        const Tri t = m.Triangle(k);
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t reverse = (std::uint64_t{t[(i + 1) % 3]} << 32) | t[i];
            const auto it = std::lower_bound(edges.begin(), edges.end(),
                                             std::pair<std::uint64_t, std::uint32_t>{reverse, 0});
            if (it != edges.end() && it->first == reverse)
                across[k][i] = it->second;
        }
    }
    return across;
}

// Whether p lies inside the body: crossings of a slightly tilted ray with its triangles.
bool InsideBody(const Mesh& m, P3 p) {
    const P3 dir{0.0123, 1.0, 0.0071};
    int crossings = 0;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        if (!m.IsBody(k))
            continue;
        const Tri t = m.Triangle(k);
        const P3 a = m.At(t[0]), e1 = m.At(t[1]) - a, e2 = m.At(t[2]) - a;
        const P3 h = Cross(dir, e2);
        const double det = Dot(e1, h);
        if (std::abs(det) < 1e-15)
            continue;
        const P3 s = p - a;
        const double u = Dot(s, h) / det;
        if (u < 0.0 || u > 1.0)
            continue;
        const P3 q = Cross(s, e1);
        const double v = Dot(dir, q) / det;
        if (v < 0.0 || u + v > 1.0)
            continue;
        if (Dot(e2, q) / det > 0.0)
            ++crossings;
    }
    return crossings % 2 == 1;
}

TEST(File, HoldsTheCountsAndRecordsTheProgramExpects) {
    const Mesh& m = TheMesh();
    ASSERT_EQ(m.bytes.size(), MeshVertexCount * sizeof(MeshVertex) + MeshIndexCount * 4);
    ASSERT_EQ(m.vertices.size(), 72'027u);
    ASSERT_EQ(m.indices.size(), 432'138u);
    std::set<std::array<float, 3>> positions;
    for (const MeshVertex& v : m.vertices) {
        for (float c : v.color)
            ASSERT_EQ(c, 1.0f);
        for (float c : v.position)
            ASSERT_TRUE(std::isfinite(c));
        positions.insert({v.position[0], v.position[1], v.position[2]});
    }
    EXPECT_EQ(positions.size(), m.vertices.size()) << "positions are not all distinct";
}

TEST(Topology, IsTwoClosedConsistentlyWoundSpheres) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    std::vector<bool> used(MeshVertexCount, false);
    std::set<std::array<std::uint32_t, 3>> sorted;
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> directed;
    double body = 0.0, splinter = 0.0;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        const Tri t = m.Triangle(k);
        for (std::uint32_t v : t) {
            ASSERT_LT(v, MeshVertexCount);
            used[v] = true;
        }
        ASSERT_TRUE(t[0] != t[1] && t[1] != t[2] && t[0] != t[2]) << "triangle " << k;
        std::array<std::uint32_t, 3> key = t;
        std::sort(key.begin(), key.end());
        EXPECT_TRUE(sorted.insert(key).second) << "triangle " << k << " repeats another";
        EXPECT_GT(m.Area(k), 0.0) << "triangle " << k;
        for (int i = 0; i < 3; ++i)
            ++directed[{t[i], t[(i + 1) % 3]}];
        // Signed volume of each piece: positive when every normal points outward.
        const double v = Dot(m.At(t[0]), Cross(m.At(t[1]), m.At(t[2]))) / 6.0;
        (m.IsBody(k) ? body : splinter) += v;
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "unused vertices";
    std::size_t edges = 0;
    for (const auto& [edge, count] : directed) {
        ASSERT_EQ(count, 1) << "edge " << edge.first << "-" << edge.second << " runs twice";
        const auto reverse = directed.find({edge.second, edge.first});
        ASSERT_NE(reverse, directed.end())
            << "edge " << edge.first << "-" << edge.second << " has one triangle";
        if (edge.first < edge.second)
            ++edges;
    }
    const long euler = long{MeshVertexCount} - long(edges) + long{kTriangles};
    EXPECT_EQ(euler, 4);

    // The body and one loose tetrahedron: four vertices, four triangles.
    ASSERT_EQ(m.pieces.size(), 2u);
    EXPECT_EQ(m.pieces[1].size(), 4u);
    std::size_t bodyTriangles = 0;
    for (std::size_t k = 0; k < kTriangles; ++k)
        bodyTriangles += m.IsBody(k) ? 1 : 0;
    EXPECT_EQ(kTriangles - bodyTriangles, 4u);

    EXPECT_GT(body, 0.5);
    EXPECT_GT(splinter, 0.0);
    std::printf("volume: body %.4f, tetrahedron %.3g; edges %zu; V - E + F = %ld\n", body, splinter,
                edges, euler);
}

TEST(Shape, StandsOnTheFloorWithTwoSeparateTallPointsAndAFlatUnderside) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    P3 lo{1e9, 1e9, 1e9}, hi{-1e9, -1e9, -1e9};
    double radius = 0.0;
    for (std::uint32_t v = 0; v < MeshVertexCount; ++v) {
        const P3 p = m.At(v);
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
        hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        radius = std::max(radius, std::hypot(p.x, p.z));
    }
    std::printf("box: x %.4f..%.4f, y %.4f..%.4f, z %.4f..%.4f; farthest from the axis %.4f\n",
                lo.x, hi.x, lo.y, hi.y, lo.z, hi.z, radius);
    EXPECT_NEAR(lo.y, 0.021, 0.001);
    EXPECT_NEAR(hi.y, 1.64, 0.01);
    EXPECT_LE(radius, 1.08);

    double area = 0.0, downward = 0.0;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        if (!m.IsBody(k))
            continue;
        const P3 n = m.Normal(k);
        area += m.Area(k);
        if (n.y < -0.999 * Length(n) && m.Centre(k).y < 0.09)
            downward += m.Area(k);
    }
    std::printf("area %.4f, facing straight down %.1f%%\n", area, 100.0 * downward / area);
    EXPECT_GE(area, 6.5);
    EXPECT_LE(area, 6.7);
    EXPECT_GE(downward / area, 0.06);
    EXPECT_LE(downward / area, 0.10);

    // Above 1.4 the body is two separate points, of nearly the same height.
    VertexGroups groups;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        const Tri t = m.Triangle(k);
        for (int i = 0; i < 3; ++i) {
            const std::uint32_t a = t[i], b = t[(i + 1) % 3];
            if (m.At(a).y > 1.4 && m.At(b).y > 1.4)
                groups.Join(a, b);
        }
    }
    std::map<std::uint32_t, std::uint32_t> points;  // group -> its highest vertex
    for (std::uint32_t v = 0; v < MeshVertexCount; ++v) {
        if (m.At(v).y <= 1.4)
            continue;
        auto [it, fresh] = points.insert({groups.Find(v), v});
        if (!fresh && m.At(it->second).y < m.At(v).y)
            it->second = v;
    }
    ASSERT_EQ(points.size(), 2u) << "separate parts above 1.4";
    std::vector<P3> tops;
    for (const auto& [group, v] : points)
        tops.push_back(m.At(v));
    std::sort(tops.begin(), tops.end(), [](P3 a, P3 b) { return a.y < b.y; });
    for (const P3& t : tops)
        std::printf("tall point %.4f at (x, z) = (%.3f, %.3f)\n", t.y, t.x, t.z);
    EXPECT_NEAR(tops[0].y, 1.63, 0.02);
    EXPECT_NEAR(tops[1].y, 1.64, 0.01);
    EXPECT_GE(std::hypot(tops[0].x - tops[1].x, tops[0].z - tops[1].z), 0.2)
        << "the two tall points are not apart";

    // The loose tetrahedron: tiny, just outside the body near its foot.
    P3 tlo{1e9, 1e9, 1e9}, thi{-1e9, -1e9, -1e9}, centre{0, 0, 0};
    ASSERT_EQ(m.pieces.size(), 2u);
    const std::vector<std::uint32_t>& tetrahedron = m.pieces[1];
    for (std::uint32_t v : tetrahedron) {
        const P3 p = m.At(v);
        tlo = {std::min(tlo.x, p.x), std::min(tlo.y, p.y), std::min(tlo.z, p.z)};
        thi = {std::max(thi.x, p.x), std::max(thi.y, p.y), std::max(thi.z, p.z)};
        centre = centre + p * 0.25;
    }
    const P3 size = thi - tlo;
    std::printf("tetrahedron: %.4f x %.4f x %.4f at (%.3f, %.3f, %.3f)\n", size.x, size.y, size.z,
                centre.x, centre.y, centre.z);
    EXPECT_LT(std::max({size.x, size.y, size.z}), 0.01);
    EXPECT_GT(std::min({size.x, size.y, size.z}), 0.0005);
    EXPECT_LT(centre.y, 0.1) << "not near the foot";
    double nearest = 1e9;
    for (std::uint32_t v = 0; v < MeshVertexCount; ++v) {
        if (m.bodyVertex[v]) {
            nearest = std::min(nearest, Length(m.At(v) - centre));
        }
    }
    EXPECT_LT(nearest, 0.03) << "not near the body";
    for (std::uint32_t v : tetrahedron) {
        EXPECT_FALSE(InsideBody(m, m.At(v))) << "tetrahedron vertex " << v << " inside the body";
    }
}

// The demo's own transform at many spin angles, at 1920 x 1080.
TEST(Framing, WholeMeshOnScreenAndFocusInsideAtEverySpin) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    double xMin = 1e9, xMax = -1e9, yMin = 1e9, yMax = -1e9, wMin = 1e9, wMax = -1e9;
    int focusOutside = 0;
    const int steps = 720;
    for (int s = 0; s < steps; ++s) {
        const float angle = static_cast<float>(2.0 * std::numbers::pi * s / steps);
        const Float4x4 t = ComposeTransform(angle, 1920, 1080);  // rows: columns of w*v*p
        for (std::uint32_t v = 0; v < MeshVertexCount; ++v) {
            const float* p = m.vertices[v].position;
            double clip[4];
            for (int j = 0; j < 4; ++j) {
                clip[j] = double{t.m[j][0]} * p[0] + double{t.m[j][1]} * p[1] +
                          double{t.m[j][2]} * p[2] + double{t.m[j][3]};
            }
            const double w = clip[3];
            ASSERT_TRUE(std::abs(clip[0]) <= w && std::abs(clip[1]) <= w && clip[2] >= 0.0 &&
                        clip[2] <= w)
                << "vertex " << v << " off screen at angle " << angle;
            xMin = std::min(xMin, clip[0] / w), xMax = std::max(xMax, clip[0] / w);
            yMin = std::min(yMin, clip[1] / w), yMax = std::max(yMax, clip[1] / w);
            wMin = std::min(wMin, w), wMax = std::max(wMax, w);
        }
        // The world point the camera looks at, (0, 0.8, -0.1), turned back by the spin
        // into model space; every other degree.
        if (s % 4 == 0) {
            const P3 focus{0.1 * std::sin(angle), 0.8, -0.1 * std::cos(angle)};
            if (!InsideBody(m, focus))
                ++focusOutside;
        }
    }
    std::printf("screen: x %.3f..%.3f, y %.3f..%.3f; depth in front of the eye %.3f..%.3f\n", xMin,
                xMax, yMin, yMax, wMin, wMax);
    EXPECT_EQ(focusOutside, 0) << "the focus point leaves the body at some spin angles";
}

TEST(Tessellation, IsEvenAndIsotropic) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    const std::vector<double>& lengths = EdgeLengths(m);
    std::vector<int> valence(MeshVertexCount, 0);
    for (std::uint32_t v : m.indices)
        ++valence[v];
    const double median = Quantile(lengths, 0.5);
    const double inside =
        static_cast<double>(std::count_if(lengths.begin(), lengths.end(),
                                          [](double l) { return l >= 0.0064 && l <= 0.0155; })) /
        lengths.size();
    std::map<int, int> histogram;
    for (int v : valence)
        ++histogram[v];
    const double six = static_cast<double>(histogram[6]) / MeshVertexCount;
    std::printf("edges: min %.4f, median %.4f, max %.4f, %.1f%% in 0.0064..0.0155\n",
                Quantile(lengths, 0.0), median, Quantile(lengths, 1.0), 100.0 * inside);
    std::printf("valence:");
    for (const auto& [v, count] : histogram) {
        std::printf(" %d: %.1f%%", v, 100.0 * count / MeshVertexCount);
    }
    std::printf("\n");
    EXPECT_NEAR(median, 0.0105, 0.001);
    EXPECT_GE(inside, 0.95);
    EXPECT_GE(histogram.begin()->first, 3);
    EXPECT_LE(histogram.rbegin()->first, 10);
    EXPECT_GE(six, 0.50);
    // No needles or slivers on the surface (the tetrahedron is a splinter by design).
    double smallest = 180.0;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        if (!m.IsBody(k))
            continue;
        const Tri t = m.Triangle(k);
        for (int i = 0; i < 3; ++i) {
            const P3 u = m.At(t[(i + 1) % 3]) - m.At(t[i]), w = m.At(t[(i + 2) % 3]) - m.At(t[i]);
            smallest = std::min(
                smallest, std::atan2(Length(Cross(u, w)), Dot(u, w)) * 180.0 / std::numbers::pi);
        }
    }
    std::printf("smallest angle of the surface's triangles: %.1f degrees\n", smallest);
    EXPECT_GE(smallest, 15.0);
}

TEST(RevealOrder, RevealsInCoherentStripsThatSpreadEvenly) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    std::vector<double> steps, place, xs, ys, zs;
    std::size_t sharing = 0, runs = 0, run = 1, longest = 0;
    std::vector<double> runLengths;
    for (std::size_t k = 0; k < kTriangles; ++k) {
        const P3 c = m.Centre(k);
        place.push_back(static_cast<double>(k));
        xs.push_back(c.x), ys.push_back(c.y), zs.push_back(c.z);
        if (k == 0)
            continue;
        steps.push_back(Length(c - m.Centre(k - 1)));
        if (ShareEdge(m.Triangle(k), m.Triangle(k - 1))) {
            ++sharing, ++run;
        } else {
            runLengths.push_back(static_cast<double>(run)), ++runs, run = 1;
        }
        longest = std::max(longest, run);
    }
    runLengths.push_back(static_cast<double>(run));
    const double shareFraction = static_cast<double>(sharing) / (kTriangles - 1);
    const double jumps = static_cast<double>(std::count_if(steps.begin(), steps.end(),
                                                           [](double s) { return s >= 0.3; })) /
                         steps.size();
    const double medianEdge = Quantile(EdgeLengths(m), 0.5);
    const double medianStep = Quantile(steps, 0.5);
    std::printf(
        "successors sharing an edge: %zu of %u (%.1f%%); runs: median %.0f, mean %.1f, "
        "max %zu\n",
        sharing, kTriangles - 1, 100.0 * shareFraction, Quantile(runLengths, 0.5),
        std::accumulate(runLengths.begin(), runLengths.end(), 0.0) / runLengths.size(), longest);
    std::printf(
        "centre steps: median %.4f, 90th percentile %.4f (median edge %.4f); "
        "steps of 0.3 or more: %.2f%%\n",
        medianStep, Quantile(steps, 0.9), medianEdge, 100.0 * jumps);
    const double cx = Correlation(place, xs), cy = Correlation(place, ys),
                 cz = Correlation(place, zs);
    std::printf("correlation of list place with x %.3f, height %.3f, z %.3f\n", cx, cy, cz);
    // Bands walked in zigzags across keep nearly every successor on a shared edge; the
    // walk restarts only where it may not run further ahead along a row.
    EXPECT_GE(shareFraction, 0.90);
    EXPECT_LT(medianStep, medianEdge);
    // Where the front is in pieces (around the ears and the legs), the walk goes from
    // one to the next in every band.
    EXPECT_LE(jumps, 0.01);

    // Per tenth of the list: area share, mean centre, successors sharing an edge.
    double total = 0.0;
    for (std::size_t k = 0; k < kTriangles; ++k)
        total += m.Area(k);
    std::printf("tenth | mean height | mean x | mean z | area | sharing\n");
    for (std::uint32_t tenth = 1; tenth <= 10; ++tenth) {
        const std::size_t begin = (tenth - 1) * std::size_t{kTriangles} / 10;
        const std::size_t end = tenth * std::size_t{kTriangles} / 10;
        double area = 0.0;
        P3 mean{0, 0, 0};
        std::size_t shared = 0;
        for (std::size_t k = begin; k < end; ++k) {
            area += m.Area(k);
            mean = mean + m.Centre(k);
            if (k + 1 < kTriangles && ShareEdge(m.Triangle(k), m.Triangle(k + 1)))
                ++shared;
        }
        mean = mean * (1.0 / (end - begin));
        std::printf("%5u | %11.3f | %6.3f | %6.3f | %4.1f%% | %.1f%%\n", tenth, mean.y, mean.x,
                    mean.z, 100.0 * area / total, 100.0 * shared / (end - begin));
        EXPECT_GE(area / total, 0.097) << "tenth " << tenth;
        EXPECT_LE(area / total, 0.102) << "tenth " << tenth;
    }
    // The first 5% lies on the upper part of the shape.
    double firstHeight = 0.0;
    const std::size_t first = kTriangles / 20;
    for (std::size_t k = 0; k < first; ++k)
        firstHeight += m.Centre(k).y;
    firstHeight /= first;
    std::printf("first 5%%: mean height %.3f\n", firstHeight);
    EXPECT_GE(firstHeight, 1.2);
}

// The drawn part of the body (the tetrahedron left out) at a moment of the run.
struct DrawnPart {
    const Mesh& m;
    const std::vector<Tri>& across;
    std::vector<bool> drawn;
    // The triangles whose front counts: the body's, but for its flat underside, which no
    // viewer sees and which any level fills last, as a disc from its rim.
    const std::vector<bool>& seen;

    // Edge steps from each seen triangle to the nearest one in `from`, up to `limit`
    // (limit + 1 beyond).
    std::vector<int> Steps(const std::vector<bool>& from, int limit) const {
        std::vector<int> steps(kTriangles, limit + 1);
        std::vector<std::uint32_t> ring;
        for (std::uint32_t k = 0; k < kTriangles; ++k) {
            if (from[k])
                steps[k] = 0, ring.push_back(k);
        }
        for (int d = 1; d <= limit; ++d) {
            std::vector<std::uint32_t> next;
            for (std::uint32_t f : ring) {
                for (std::uint32_t g : across[f]) {
                    if (seen[g] && steps[g] > d)
                        steps[g] = d, next.push_back(g);
                }
            }
            ring = std::move(next);
        }
        return steps;
    }

    // The edge-connected parts of a set of triangles, each as its triangles.
    std::vector<std::vector<std::uint32_t>> Parts(const std::vector<bool>& set) const {
        std::vector<bool> reached(kTriangles, false);
        std::vector<std::vector<std::uint32_t>> parts;
        for (std::uint32_t k = 0; k < kTriangles; ++k) {
            if (!set[k] || reached[k])
                continue;
            std::vector<std::uint32_t> part, stack{k};
            for (reached[k] = true; !stack.empty();) {
                const std::uint32_t f = stack.back();
                stack.pop_back();
                part.push_back(f);
                for (std::uint32_t g : across[f]) {
                    if (set[g] && !reached[g])
                        reached[g] = true, stack.push_back(g);
                }
            }
            parts.push_back(std::move(part));
        }
        return parts;
    }

    // What an opening by `rings` edge steps strips of the seen triangles: the drawn ones
    // that no drawn one at least `rings` + 1 steps from every undrawn one lies within
    // `rings` steps of. Bands left half drawn, too thin for a disc of that radius.
    std::vector<std::vector<std::uint32_t>> Stripped(int rings) const {
        std::vector<bool> undrawn(kTriangles, false);
        for (std::uint32_t k = 0; k < kTriangles; ++k)
            undrawn[k] = seen[k] && !drawn[k];
        const std::vector<int> depth = Steps(undrawn, rings);
        std::vector<bool> core(kTriangles, false);
        for (std::uint32_t k = 0; k < kTriangles; ++k)
            core[k] = seen[k] && drawn[k] && depth[k] > rings;
        const std::vector<int> reach = Steps(core, rings);
        std::vector<bool> stripped(kTriangles, false);
        for (std::uint32_t k = 0; k < kTriangles; ++k)
            stripped[k] = seen[k] && drawn[k] && reach[k] > rings;
        return Parts(stripped);
    }

    // The largest distance between two corners of a part's triangles.
    double Extent(const std::vector<std::uint32_t>& part) const {
        std::vector<P3> corners;
        for (std::uint32_t f : part) {
            for (std::uint32_t v : m.Triangle(f))
                corners.push_back(m.At(v));
        }
        double longest = 0.0;
        for (std::size_t i = 0; i < corners.size(); ++i) {
            for (std::size_t j = i + 1; j < corners.size(); ++j)
                longest = std::max(longest, Length(corners[i] - corners[j]));
        }
        return longest;
    }
};

// At every quarter second of the run, rising (0.5 to 29.5 s) and falling (30.5 to 59.5 s),
// with the draw count the timeline gives frames at 60 Hz, the drawn part of the body is
// all that lies above a level: past the list's first 1%, where it opens out of the last
// frames' sight, no undrawn triangle's centre lies more than two median edges above a
// drawn one's. It is at most two edge-connected pieces (the two ears, until the level
// reaches the head), and its front is clean: an opening by 3 edge steps strips no part
// larger than 15 triangles or longer than 5 median edges, and one by 8 steps no part
// larger than 80 triangles. A part left half drawn along the front reads on screen as a
// splinter, a needle or a loose shard.
TEST(RevealOrder, DescendsAsALevelWithACleanFrontAtEveryQuarterSecond) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    const std::vector<Tri> across = Neighbours(m);
    const double medianEdge = Quantile(EdgeLengths(m), 0.5);
    std::vector<bool> seen(kTriangles);
    for (std::uint32_t k = 0; k < kTriangles; ++k)
        seen[k] = m.IsBody(k) && m.Normal(k).y > -0.99 * Length(m.Normal(k));
    TimelineState state;
    float previous = 0.0f;
    std::vector<std::string> unfit;
    std::size_t worstPieces = 0;
    int worst3 = 0, worst8 = 0;
    double longest3 = 0.0, widest = 0.0;
    double next = 0.5;  // the next quarter second to sample, at the first frame from it
    for (std::int64_t frame = 1; next <= 59.5; ++frame) {
        const float now = ElapsedSeconds(frame * 1'000'000'000 / 60);
        const std::uint32_t count = AdvanceDrawProgress(state, now - previous);
        previous = now;
        if (now < next - 1e-6)
            continue;
        const double grid = next;
        next += next == 29.5 ? 1.0 : 0.25;
        DrawnPart part{m, across, std::vector<bool>(kTriangles, false), seen};
        double lowestDrawn = 2.0, highestUndrawn = 0.0;
        for (std::uint32_t k = 0; k < kTriangles; ++k) {
            if (!m.IsBody(k))
                continue;
            part.drawn[k] = k < count / 3;
            double& edge = part.drawn[k] ? lowestDrawn : highestUndrawn;
            edge = part.drawn[k] ? std::min(edge, m.Centre(k).y) : std::max(edge, m.Centre(k).y);
        }
        const double overlap = count / 3 > kTriangles / 100
                                   ? std::max(0.0, highestUndrawn - lowestDrawn) / medianEdge
                                   : 0.0;
        const std::size_t pieces = part.Parts(part.drawn).size();
        std::size_t size3 = 0, size8 = 0;
        double length3 = 0.0;
        for (const auto& p : part.Stripped(3)) {
            size3 = std::max(size3, p.size());
            length3 = std::max(length3, part.Extent(p) / medianEdge);
        }
        for (const auto& p : part.Stripped(8))
            size8 = std::max(size8, p.size());
        worstPieces = std::max(worstPieces, pieces);
        widest = std::max(widest, overlap);
        worst3 = std::max(worst3, static_cast<int>(size3));
        worst8 = std::max(worst8, static_cast<int>(size8));
        longest3 = std::max(longest3, length3);
        if (overlap > 2.0 || pieces > 2 || size3 > 15 || length3 > 5.0 || size8 > 80) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "%.2f s: level %.1f median edges deep, %zu pieces; 3 rings strip %zu "
                          "triangles, %.1f edges long; 8 rings strip %zu",
                          grid, overlap, pieces, size3, length3, size8);
            unfit.push_back(line);
        }
    }
    std::printf(
        "deepest level %.2f median edges; most pieces %zu; largest part stripped by 3 rings %d "
        "triangles, longest %.1f median edges; by 8 rings %d triangles\n",
        widest, worstPieces, worst3, longest3, worst8);
    std::string first;
    for (std::size_t i = 0; i < std::min<std::size_t>(unfit.size(), 8); ++i)
        first += "\n  " + unfit[i];
    EXPECT_EQ(unfit.size(), 0u) << "samples off the level, in pieces or with a band left half "
                                   "drawn, the first:"
                                << first;
}

TEST(RevealOrder, IsKindToThePostTransformCache) {
    const Mesh& m = TheMesh();
    ASSERT_FALSE(m.indices.empty());
    const double fifo16 = VerticesPerTriangle(m, 16);
    const double fifo32 = VerticesPerTriangle(m, 32);
    // How far ahead each vertex is used again.
    std::vector<std::int64_t> lastUse(MeshVertexCount, -1);
    std::vector<double> gaps;
    for (std::size_t i = 0; i < m.indices.size(); ++i) {
        const std::uint32_t v = m.indices[i];
        if (lastUse[v] >= 0)
            gaps.push_back(static_cast<double>(i - lastUse[v]));
        lastUse[v] = static_cast<std::int64_t>(i);
    }
    std::printf(
        "vertices transformed per triangle: %.3f with 16 entries, %.3f with 32; next use "
        "median %.0f, 90th percentile %.0f indices later\n",
        fifo16, fifo32, Quantile(gaps, 0.5), Quantile(gaps, 0.9));
    // The goal is for the 16-entry cache; the 32-entry figure is for comparison only.
    // Rings two rows wide, walked in zigzags across, load each vertex on a ring's edge
    // twice: (2 + 1) / 4 = 0.75 at best, and restarts cost the rest. One row at a time
    // would load nearly one vertex per triangle.
    EXPECT_LE(fifo16, 0.99);
}

TEST(MeshGenerator, WritesTheSameBytesEveryRun) {
    const std::string copy = std::string(::testing::TempDir()) + "mesh_again.bin";
    const std::string command = std::string("\"") + MESH_GENERATOR + "\" \"" + copy + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(copy, std::ios::binary);
    const std::vector<char> again(std::istreambuf_iterator<char>(file), {});
    std::remove(copy.c_str());
    EXPECT_TRUE(again == TheMesh().bytes) << "a second run wrote different bytes";
}

}  // namespace
