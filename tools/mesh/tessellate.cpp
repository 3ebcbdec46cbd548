#include "tessellate.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "sculpture.h"
#include "sphere_hull.h"
#include "splitmix64.h"

namespace {

constexpr std::size_t kCandidatesPerVertex = 3;
constexpr int kSmoothingRounds = 6;

std::vector<Vec3> FibonacciSphere(std::uint32_t n) {
    std::vector<Vec3> directions(n);
    const double turn = std::numbers::pi * (3.0 - std::sqrt(5.0));
    for (std::uint32_t i = 0; i < n; ++i) {
        const double y = 1.0 - 2.0 * (i + 0.5) / n;
        const double r = std::sqrt(1.0 - y * y);
        directions[i] = {r * std::cos(turn * i), y, r * std::sin(turn * i)};
    }
    return directions;
}

// The surface over a set of directions from the centre, triangulated through their
// convex hull.
SurfaceMesh SurfaceOverDirections(const std::vector<Vec3>& directions) {
    SurfaceMesh mesh;
    mesh.triangles = TriangulateSphere(directions);
    mesh.positions.resize(directions.size());
    for (std::size_t i = 0; i < directions.size(); ++i) {
        mesh.positions[i] = SurfacePoint(directions[i], 0.0);
    }
    return mesh;
}

double TriangleArea(const SurfaceMesh& mesh, const Triangle& t) {
    const Vec3& a = mesh.positions[t[0]];
    return 0.5 * Length(Cross(mesh.positions[t[1]] - a, mesh.positions[t[2]] - a));
}

// Points spread uniformly by area over a (coarse) triangulated surface.
std::vector<Vec3> SampleByArea(const SurfaceMesh& mesh, std::size_t count, SplitMix64& random) {
    std::vector<double> cumulative(mesh.triangles.size());
    double total = 0.0;
    for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
        total += TriangleArea(mesh, mesh.triangles[i]);
        cumulative[i] = total;
    }
    std::vector<Vec3> points(count);
    for (Vec3& p : points) {
        const double pick = random.Uniform() * total;
        const std::size_t k = std::min<std::size_t>(
            std::upper_bound(cumulative.begin(), cumulative.end(), pick) - cumulative.begin(),
            cumulative.size() - 1);
        const Triangle& t = mesh.triangles[k];
        const double s = std::sqrt(random.Uniform());
        const double u = random.Uniform();
        p = mesh.positions[t[0]] * (1.0 - s) + mesh.positions[t[1]] * (s * (1.0 - u)) +
            mesh.positions[t[2]] * (s * u);
    }
    return points;
}

// Weighted sample elimination: drops the most crowded candidate, one at a time, until
// `keep` remain. Each candidate's crowding is the sum over its neighbours within
// 2 r of (1 - d / 2r)^8, where r is the spacing of a dense packing of `keep` points.
std::vector<std::uint32_t> EliminateSamples(const std::vector<Vec3>& candidates, std::size_t keep,
                                            double area) {
    const double reach = 2.0 * std::sqrt(area / (2.0 * std::sqrt(3.0) * keep));
    Vec3 lo{1e9, 1e9, 1e9};
    for (const Vec3& p : candidates) {
        lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    }
    auto cellOf = [&](const Vec3& p) {
        return std::array<int, 3>{static_cast<int>((p.x - lo.x) / reach),
                                  static_cast<int>((p.y - lo.y) / reach),
                                  static_cast<int>((p.z - lo.z) / reach)};
    };
    int dims[3] = {0, 0, 0};
    for (const Vec3& p : candidates) {
        const auto c = cellOf(p);
        for (int k = 0; k < 3; ++k)
            dims[k] = std::max(dims[k], c[k] + 2);
    }
    auto cellIndex = [&](int x, int y, int z) {
        return (static_cast<std::size_t>(z) * dims[1] + y) * dims[0] + x;
    };
    // Counting sort of the candidates into grid cells; from here on a point's number
    // is its place in cell order, which keeps neighbours close in memory.
    std::vector<std::uint32_t> cellStart(static_cast<std::size_t>(dims[0]) * dims[1] * dims[2] + 1);
    for (const Vec3& p : candidates) {
        const auto c = cellOf(p);
        ++cellStart[cellIndex(c[0], c[1], c[2]) + 1];
    }
    for (std::size_t i = 1; i < cellStart.size(); ++i)
        cellStart[i] += cellStart[i - 1];
    std::vector<std::uint32_t> original(candidates.size());
    std::vector<Vec3> points(candidates.size());
    {
        std::vector<std::uint32_t> fill(cellStart.begin(), cellStart.end() - 1);
        for (std::uint32_t i = 0; i < candidates.size(); ++i) {
            const auto c = cellOf(candidates[i]);
            const std::uint32_t k = fill[cellIndex(c[0], c[1], c[2])]++;
            original[k] = i;
            points[k] = candidates[i];
        }
    }
    // Neighbour lists with their weights.
    std::vector<std::uint32_t> neighbourStart(points.size() + 1);
    std::vector<std::pair<std::uint32_t, float>> neighbours;
    neighbours.reserve(points.size() * 16);
    std::vector<double> weight(points.size(), 0.0);
    for (std::uint32_t i = 0; i < points.size(); ++i) {
        const auto c = cellOf(points[i]);
        for (int z = std::max(c[2] - 1, 0); z <= c[2] + 1; ++z) {
            for (int y = std::max(c[1] - 1, 0); y <= c[1] + 1; ++y) {
                for (int x = std::max(c[0] - 1, 0); x <= c[0] + 1; ++x) {
                    const std::size_t cell = cellIndex(x, y, z);
                    for (std::uint32_t j = cellStart[cell]; j < cellStart[cell + 1]; ++j) {
                        const Vec3 offset = points[j] - points[i];
                        const double squared = Dot(offset, offset);
                        if (j == i || squared >= reach * reach)
                            continue;
                        const double s = 1.0 - std::sqrt(squared) / reach;
                        const double s2 = s * s;
                        const float w = static_cast<float>((s2 * s2) * (s2 * s2));
                        neighbours.push_back({j, w});
                        weight[i] += w;
                    }
                }
            }
        }
        neighbourStart[i + 1] = static_cast<std::uint32_t>(neighbours.size());
    }
    // An indexed max-heap on (weight, index), so that ties break the same way every time.
    std::vector<std::uint32_t> heap(points.size());
    std::vector<std::uint32_t> place(points.size());
    for (std::uint32_t i = 0; i < points.size(); ++i)
        heap[i] = place[i] = i;
    auto above = [&](std::uint32_t a, std::uint32_t b) {
        return weight[a] > weight[b] || (weight[a] == weight[b] && a > b);
    };
    std::size_t size = heap.size();
    auto swapAt = [&](std::size_t i, std::size_t j) {
        std::swap(heap[i], heap[j]);
        place[heap[i]] = static_cast<std::uint32_t>(i);
        place[heap[j]] = static_cast<std::uint32_t>(j);
    };
    auto siftDown = [&](std::size_t i) {
        for (;;) {
            std::size_t best = i;
            const std::size_t l = 2 * i + 1;
            const std::size_t r = l + 1;
            if (l < size && above(heap[l], heap[best]))
                best = l;
            if (r < size && above(heap[r], heap[best]))
                best = r;
            if (best == i)
                return;
            swapAt(i, best);
            i = best;
        }
    };
    for (std::size_t i = size / 2; i-- > 0;)
        siftDown(i);
    std::vector<bool> removed(points.size(), false);
    while (size > keep) {
        const std::uint32_t top = heap[0];
        removed[top] = true;
        swapAt(0, size - 1);
        --size;
        siftDown(0);
        for (std::uint32_t k = neighbourStart[top]; k < neighbourStart[top + 1]; ++k) {
            const auto [j, w] = neighbours[k];
            if (removed[j])
                continue;
            weight[j] -= w;  // only decreases: the entry can only move down
            siftDown(place[j]);
        }
    }
    std::vector<std::uint32_t> kept;
    kept.reserve(keep);
    for (std::uint32_t i = 0; i < points.size(); ++i) {
        if (!removed[i])
            kept.push_back(original[i]);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

// Half-edge view of a triangle list: half-edge 3f + i runs from corner i of triangle f
// to corner i + 1; twin[h] is the same edge run the other way in the neighbour.
class HalfEdgeMesh {
public:
    explicit HalfEdgeMesh(SurfaceMesh& mesh) : mesh_(mesh) {
        const std::size_t count = mesh.triangles.size() * 3;
        std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(count);
        for (std::uint32_t h = 0; h < count; ++h) {
            keys[h] = {Key(From(h), To(h)), h};
        }
        std::sort(keys.begin(), keys.end());
        twin_.assign(count, ~0u);
        for (std::uint32_t h = 0; h < count; ++h) {
            const std::uint64_t want = Key(To(h), From(h));
            const auto it = std::lower_bound(keys.begin(), keys.end(),
                                             std::pair<std::uint64_t, std::uint32_t>{want, 0});
            if (it == keys.end() || it->first != want)
                throw std::runtime_error("open surface");
            twin_[h] = it->second;
        }
        outgoing_.assign(mesh.positions.size(), 0);
        valence_.assign(mesh.positions.size(), 0);
        for (std::uint32_t h = 0; h < count; ++h) {
            outgoing_[From(h)] = h;
            ++valence_[From(h)];
        }
    }

    std::uint32_t From(std::uint32_t h) const { return mesh_.triangles[h / 3][h % 3]; }
    std::uint32_t To(std::uint32_t h) const { return mesh_.triangles[h / 3][(h + 1) % 3]; }
    static std::uint32_t Next(std::uint32_t h) { return h / 3 * 3 + (h + 1) % 3; }
    static std::uint32_t Prev(std::uint32_t h) { return h / 3 * 3 + (h + 2) % 3; }
    std::uint32_t Twin(std::uint32_t h) const { return twin_[h]; }
    std::uint32_t Valence(std::uint32_t v) const { return valence_[v]; }

    // Calls visit(w) for each neighbour w of v.
    template <typename Visit>
    void ForEachNeighbour(std::uint32_t v, Visit visit) const {
        const std::uint32_t first = outgoing_[v];
        std::uint32_t h = first;
        do {
            visit(To(h));
            h = twin_[Prev(h)];
        } while (h != first);
    }

    bool Adjacent(std::uint32_t a, std::uint32_t b) const {
        bool found = false;
        ForEachNeighbour(a, [&](std::uint32_t w) { found = found || w == b; });
        return found;
    }

    // Replaces the edge of h by the other diagonal of its two triangles.
    void Flip(std::uint32_t h) {
        const std::uint32_t g = twin_[h];
        const std::uint32_t f0 = h / 3;
        const std::uint32_t f1 = g / 3;
        const std::uint32_t a = From(h), b = To(h), c = To(Next(h)), d = To(Next(g));
        const std::uint32_t outCA = twin_[Prev(h)], outBC = twin_[Next(h)];
        const std::uint32_t outAD = twin_[Next(g)], outDB = twin_[Prev(g)];
        mesh_.triangles[f0] = {c, a, d};
        mesh_.triangles[f1] = {d, b, c};
        Link(3 * f0 + 0, outCA);
        Link(3 * f0 + 1, outAD);
        Link(3 * f0 + 2, 3 * f1 + 2);
        Link(3 * f1 + 0, outDB);
        Link(3 * f1 + 1, outBC);
        outgoing_[a] = 3 * f0 + 1;
        outgoing_[b] = 3 * f1 + 1;
        outgoing_[c] = 3 * f0 + 0;
        outgoing_[d] = 3 * f1 + 0;
        --valence_[a], --valence_[b], ++valence_[c], ++valence_[d];
    }

private:
    static std::uint64_t Key(std::uint32_t a, std::uint32_t b) {
        return (static_cast<std::uint64_t>(a) << 32) | b;
    }
    void Link(std::uint32_t h, std::uint32_t g) { twin_[h] = g, twin_[g] = h; }

    SurfaceMesh& mesh_;
    std::vector<std::uint32_t> twin_;
    std::vector<std::uint32_t> outgoing_;
    std::vector<std::uint32_t> valence_;
};

double AngleAt(const Vec3& apex, const Vec3& a, const Vec3& b) {
    const Vec3 u = a - apex;
    const Vec3 v = b - apex;
    return std::atan2(Length(Cross(u, v)), Dot(u, v));
}

// The four vertices around the edge of half-edge h: a to b along it, c opposite it in h's
// triangle, d opposite it in the twin's.
struct EdgeQuad {
    std::uint32_t a, b, c, d;
};

EdgeQuad QuadAround(HalfEdgeMesh& topology, std::uint32_t h) {
    return {topology.From(h), topology.To(h), topology.To(HalfEdgeMesh::Next(h)),
            topology.To(HalfEdgeMesh::Next(topology.Twin(h)))};
}

// Whether both triangles after a flip of the quad's edge face the way the pair does now.
bool FlipKeepsFacing(const SurfaceMesh& mesh, const EdgeQuad& q) {
    const Vec3 &pa = mesh.positions[q.a], &pb = mesh.positions[q.b];
    const Vec3 &pc = mesh.positions[q.c], &pd = mesh.positions[q.d];
    const Vec3 before = Cross(pb - pa, pc - pa) + Cross(pa - pb, pd - pb);
    return Dot(Cross(pa - pc, pd - pc), before) > 0.0 && Dot(Cross(pb - pd, pc - pd), before) > 0.0;
}

// Flips every edge whose two opposite angles sum to more than pi (the surface's
// Delaunay condition), unless the flip would fold the surface. Returns the flip count.
int FlipToDelaunay(HalfEdgeMesh& topology, SurfaceMesh& mesh) {
    int flips = 0;
    for (int pass = 0; pass < 20; ++pass) {
        int passFlips = 0;
        for (std::uint32_t h = 0; h < mesh.triangles.size() * 3; ++h) {
            if (topology.Twin(h) < h)
                continue;
            const EdgeQuad q = QuadAround(topology, h);
            const Vec3 &pa = mesh.positions[q.a], &pb = mesh.positions[q.b];
            const Vec3 &pc = mesh.positions[q.c], &pd = mesh.positions[q.d];
            if (AngleAt(pc, pa, pb) + AngleAt(pd, pb, pa) <= std::numbers::pi + 1e-9)
                continue;
            if (topology.Valence(q.a) <= 4 || topology.Valence(q.b) <= 4)
                continue;
            if (topology.Adjacent(q.c, q.d) || !FlipKeepsFacing(mesh, q))
                continue;
            topology.Flip(h);
            ++passFlips;
        }
        flips += passFlips;
        if (passFlips == 0)
            break;
    }
    return flips;
}

// Flips edges where that brings the four vertices concerned closer to six neighbours
// each, unless the flip would fold the surface or make a needle. Returns the flip count.
int FlipTowardsValenceSix(HalfEdgeMesh& topology, SurfaceMesh& mesh) {
    int flips = 0;
    auto off = [](std::uint32_t valence) { return std::abs(static_cast<int>(valence) - 6); };
    for (std::uint32_t h = 0; h < mesh.triangles.size() * 3; ++h) {
        if (topology.Twin(h) < h)
            continue;
        const EdgeQuad q = QuadAround(topology, h);
        const std::uint32_t va = topology.Valence(q.a), vb = topology.Valence(q.b);
        const std::uint32_t vc = topology.Valence(q.c), vd = topology.Valence(q.d);
        const int before = off(va) + off(vb) + off(vc) + off(vd);
        const int after = off(va - 1) + off(vb - 1) + off(vc + 1) + off(vd + 1);
        if (after >= before || va <= 4 || vb <= 4 || topology.Adjacent(q.c, q.d) ||
            !FlipKeepsFacing(mesh, q)) {
            continue;
        }
        const Vec3 &pa = mesh.positions[q.a], &pb = mesh.positions[q.b];
        const Vec3 &pc = mesh.positions[q.c], &pd = mesh.positions[q.d];
        // No angle of the new pair beyond 120 degrees.
        const double limit = 2.0 * std::numbers::pi / 3.0;
        if (AngleAt(pa, pc, pd) > limit || AngleAt(pb, pd, pc) > limit ||
            AngleAt(pc, pa, pd) + AngleAt(pc, pd, pb) > 2.0 * limit ||
            AngleAt(pd, pa, pc) + AngleAt(pd, pc, pb) > 2.0 * limit) {
            continue;
        }
        topology.Flip(h);
        ++flips;
    }
    return flips;
}

// Moves each vertex part of the way to the mean of its neighbours, within the tangent
// plane, and back onto the surface along the normal. (Back along the ray from the centre
// would be ill-conditioned where rays graze the surface, on the flanks of the heads.)
void SmoothTangentially(const HalfEdgeMesh& topology, SurfaceMesh& mesh, double rate) {
    std::vector<Vec3> moved(mesh.positions.size());
    for (std::uint32_t v = 0; v < mesh.positions.size(); ++v) {
        const Vec3& p = mesh.positions[v];
        Vec3 sum;
        int count = 0;
        topology.ForEachNeighbour(v, [&](std::uint32_t w) {
            sum = sum + mesh.positions[w];
            ++count;
        });
        const Vec3 shift = sum * (1.0 / count) - p;
        const Vec3 gradient = SculptureGradient(p);
        const Vec3 n = Normalized(gradient);
        moved[v] = ProjectOntoSurface(p + (shift - n * Dot(shift, n)) * rate, gradient);
    }
    mesh.positions = std::move(moved);
}

}  // namespace

SurfaceMesh TessellateSculpture(std::uint32_t vertexCount) {
    // A coarse surface to sample from, then candidates three times over, thinned to an
    // even spread of exactly vertexCount points.
    const SurfaceMesh coarse = SurfaceOverDirections(FibonacciSphere(12'000));
    double area = 0.0;
    for (const Triangle& t : coarse.triangles)
        area += TriangleArea(coarse, t);
    SplitMix64 random(0x5A17A5C0FFEEull);
    const std::vector<Vec3> candidates =
        SampleByArea(coarse, kCandidatesPerVertex * std::size_t{vertexCount}, random);
    const std::vector<std::uint32_t> kept = EliminateSamples(candidates, vertexCount, area);

    // The survivors go onto the surface, and are triangulated through their directions.
    SurfaceMesh mesh;
    std::vector<Vec3> directions;
    for (std::uint32_t i : kept) {
        const Vec3& p = candidates[i];
        mesh.positions.push_back(ProjectOntoSurface(p, SculptureGradient(p)));
        directions.push_back(Normalized(mesh.positions.back() - SculptureCentre));
    }
    mesh.triangles = TriangulateSphere(directions);

    HalfEdgeMesh topology(mesh);
    FlipToDelaunay(topology, mesh);
    // Delaunay flips while the points settle, with one pass towards regular valence
    // before the last round.
    for (int round = 0; round < kSmoothingRounds; ++round) {
        SmoothTangentially(topology, mesh, 0.5);
        if (round + 2 != kSmoothingRounds) {
            FlipToDelaunay(topology, mesh);
        } else {
            FlipTowardsValenceSix(topology, mesh);
        }
    }
    return mesh;
}
