#include "reveal_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// The post-transform cache the order is laid out for: first in, first out.
constexpr std::uint32_t kCacheEntries = 16;
// How far back in the list a dead end looks for a drawn triangle with an undrawn
// neighbour before it goes back to the band's undrawn triangle furthest behind.
constexpr std::size_t kRestartReach = 2000;
// A dead end first looks this far back for the undrawn neighbour that costs the cache
// least: about the triangles whose vertices are still in it.
constexpr std::size_t kRestartNear = 16;
// Triangles in a row that touch the drawn part along one edge only: the walk's own
// limit, and the one it may stretch to rather than restart (which breaks the strip).
constexpr std::uint32_t kOverhangs = 2;
constexpr std::uint32_t kOverhangsAtDeadEnd = 4;
// More than one overhang in a row only this many triangles of the band, in order along
// it, past its undrawn triangle furthest behind: near the back of the band the walk
// fills in towards the drawn part, further ahead it would leave a splinter.
constexpr std::uint32_t kOverhangReach = 90;

using TriangleNeighbours = std::array<std::uint32_t, 3>;  // [e]: across corner e -> e + 1

std::vector<TriangleNeighbours> FindNeighbours(const std::vector<Triangle>& triangles) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> edges;
    edges.reserve(triangles.size() * 3);
    for (std::uint32_t f = 0; f < triangles.size(); ++f) {
        for (int e = 0; e < 3; ++e) {
            const std::uint64_t key =
                (std::uint64_t{triangles[f][e]} << 32) | triangles[f][(e + 1) % 3];
            edges.push_back({key, f});
        }
    }
    std::sort(edges.begin(), edges.end());
    std::vector<TriangleNeighbours> neighbours(triangles.size());
    for (std::uint32_t f = 0; f < triangles.size(); ++f) {
        for (int e = 0; e < 3; ++e) {
            const std::uint64_t reverse =
                (std::uint64_t{triangles[f][(e + 1) % 3]} << 32) | triangles[f][e];
            const auto it = std::lower_bound(edges.begin(), edges.end(),
                                             std::pair<std::uint64_t, std::uint32_t>{reverse, 0});
            if (it == edges.end() || it->first != reverse)
                throw std::runtime_error("open mesh");
            neighbours[f][e] = it->second;
        }
    }
    return neighbours;
}

// Distances along the surface between vertices: the mesh's edges, and across each edge
// the straight line between the two vertices opposite it, which rounds off the
// hexagonal balls that edges alone would give.
struct Links {
    std::vector<std::uint32_t> start;  // links of vertex v: [start[v], start[v + 1])
    std::vector<std::pair<std::uint32_t, double>> to;
};

Links LinkVertices(const SurfaceMesh& mesh, const std::vector<TriangleNeighbours>& neighbours) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f) {
        const Triangle& t = mesh.triangles[f];
        for (int e = 0; e < 3; ++e) {
            pairs.push_back({t[e], t[(e + 1) % 3]});
            const std::uint32_t g = neighbours[f][e];
            if (f < g) {
                const Triangle& u = mesh.triangles[g];
                const std::uint32_t far = u[0] + u[1] + u[2] - t[e] - t[(e + 1) % 3];
                const std::uint32_t near = t[(e + 2) % 3];
                pairs.push_back({near, far});
                pairs.push_back({far, near});
            }
        }
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    Links links;
    links.start.assign(mesh.positions.size() + 1, 0);
    for (const auto& [a, b] : pairs) {
        ++links.start[a + 1];
        links.to.push_back({b, Length(mesh.positions[a] - mesh.positions[b])});
    }
    for (std::size_t v = 0; v < mesh.positions.size(); ++v)
        links.start[v + 1] += links.start[v];
    return links;
}

// The links with each length scaled by the mean of its ends' factors, which slows the
// front (factor above 1) or speeds it up (below 1) in a part.
Links Scaled(Links links, const std::vector<double>& scale) {
    for (std::uint32_t a = 0; a + 1 < links.start.size(); ++a) {
        for (std::uint32_t k = links.start[a]; k < links.start[a + 1]; ++k) {
            auto& [b, length] = links.to[k];
            length = 0.5 * (scale[a] + scale[b]) * length;
        }
    }
    return links;
}

// Shortest distances along the links from the given vertices, where no vertex is reached
// before its gate (if gates are given): the moment its part comes in.
std::vector<double> Distances(const Links& links, const std::vector<std::uint32_t>& sources,
                              const std::vector<double>& gate = {}) {
    std::vector<double> distance(links.start.size() - 1, std::numeric_limits<double>::infinity());
    using Entry = std::pair<double, std::uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    for (std::uint32_t s : sources) {
        distance[s] = gate.empty() ? 0.0 : gate[s];
        queue.push({distance[s], s});
    }
    while (!queue.empty()) {
        const auto [d, v] = queue.top();
        queue.pop();
        if (d > distance[v])
            continue;
        for (std::uint32_t k = links.start[v]; k < links.start[v + 1]; ++k) {
            const auto [w, length] = links.to[k];
            const double arrival = gate.empty() ? d + length : std::max(d + length, gate[w]);
            if (arrival < distance[w]) {
                distance[w] = arrival;
                queue.push({arrival, w});
            }
        }
    }
    return distance;
}

Vec3 Centre(const SurfaceMesh& mesh, std::uint32_t f) {
    const Triangle& t = mesh.triangles[f];
    return (mesh.positions[t[0]] + mesh.positions[t[1]] + mesh.positions[t[2]]) * (1.0 / 3.0);
}

// Walks the triangles of one band at a time, each step to a neighbour of the triangle
// drawn last, while keeping a model of the vertex cache: among the neighbours it takes
// the one that brings the fewest new vertices into the cache, then the one furthest
// behind along the band, so that the walk zigzags across the band and each pass runs
// alongside the vertices the last one left in the cache; between neighbours that cost
// the cache the same, one that touches the drawn part along two edges goes first. Of
// triangles that touch the drawn part along one edge only, at most kOverhangs may come
// in a row, and more only near the back of the band: the walk does not run ahead along
// a row whose inner row is still undrawn, which would leave a splinter. Where that
// rule leaves no neighbour, the walk stretches it to kOverhangsAtDeadEnd before it
// restarts elsewhere.
class BandWalker {
public:
    BandWalker(const SurfaceMesh& mesh, const std::vector<TriangleNeighbours>& neighbours,
               const std::vector<double>& key)
        : mesh_(mesh),
          neighbours_(neighbours),
          key_(key),
          band_(mesh.triangles.size(), kNone),
          sweep_(mesh.triangles.size(), 0.0),
          emitted_(mesh.triangles.size(), false),
          rank_(mesh.triangles.size(), 0),
          stamp_(mesh.positions.size(), kNone) {}

    const std::vector<Triangle>& Order() const { return order_; }
    const std::vector<std::uint32_t>& Drawn() const { return drawn_; }  // triangle numbers
    std::size_t Count() const { return drawn_.size(); }
    std::uint32_t Last() const { return drawn_.back(); }

    // Draws the given triangles, which form one band; sweep[f] is each one's place along
    // the band, walked from low to high.
    void WalkBand(std::uint32_t band, std::vector<std::uint32_t> members,
                  const std::vector<double>& sweep) {
        for (std::uint32_t f : members) {
            band_[f] = band;
            sweep_[f] = sweep[f];
        }
        std::sort(members.begin(), members.end(), [&](std::uint32_t f, std::uint32_t g) {
            return sweep[f] < sweep[g] || (sweep[f] == sweep[g] && f < g);
        });
        for (std::uint32_t k = 0; k < members.size(); ++k)
            rank_[members[k]] = k;
        back_ = 0;
        for (std::size_t left = members.size(); left > 0; --left) {
            while (emitted_[members[back_]])
                ++back_;
            std::uint32_t next = kNone;
            if (!drawn_.empty()) {
                next = BestOf(neighbours_[drawn_.back()], band, kOverhangs);
                if (next == kNone)
                    next = BestOf(neighbours_[drawn_.back()], band, kOverhangsAtDeadEnd);
            }
            if (next == kNone)
                next = Restart(band, members);
            Draw(next);
        }
    }

private:
    std::uint32_t Support(std::uint32_t f) const {
        std::uint32_t drawn = 0;
        for (std::uint32_t g : neighbours_[f])
            drawn += emitted_[g] ? 1 : 0;
        return drawn;
    }

    bool Open(std::uint32_t f, std::uint32_t band, std::uint32_t overhangs) const {
        if (emitted_[f] || band_[f] != band)
            return false;
        return overhang_ == 0 || Support(f) >= 2 ||
               (overhang_ < overhangs && rank_[f] <= back_ + kOverhangReach);
    }

    bool Cached(std::uint32_t v) const {
        return stamp_[v] != kNone && insertions_ - stamp_[v] <= kCacheEntries;
    }

    std::uint32_t Misses(std::uint32_t f) const {
        std::uint32_t misses = 0;
        for (std::uint32_t v : mesh_.triangles[f])
            misses += Cached(v) ? 0 : 1;
        return misses;
    }

    bool Better(std::uint32_t f, std::uint32_t g) const {
        if (g == kNone)
            return true;
        const std::uint32_t mf = Misses(f), mg = Misses(g);
        if (mf != mg)
            return mf < mg;
        const std::uint32_t sf = std::min<std::uint32_t>(Support(f), 2);
        const std::uint32_t sg = std::min<std::uint32_t>(Support(g), 2);
        if (sf != sg)
            return sf > sg;
        if (sweep_[f] != sweep_[g])
            return sweep_[f] < sweep_[g];
        if (key_[f] != key_[g])
            return key_[f] < key_[g];
        return f < g;
    }

    std::uint32_t BestOf(const TriangleNeighbours& candidates, std::uint32_t band,
                         std::uint32_t overhangs) const {
        std::uint32_t best = kNone;
        for (std::uint32_t g : candidates) {
            if (Open(g, band, overhangs) && Better(g, best))
                best = g;
        }
        return best;
    }

    // A dead end: continue at the open neighbour of the last kRestartNear triangles
    // that costs the cache least, or else next to the most recent triangle that still
    // has an open neighbour, or else at the band's undrawn triangle furthest behind that
    // touches the drawn part, so that the drawn part stays one piece.
    std::uint32_t Restart(std::uint32_t band, const std::vector<std::uint32_t>& members) const {
        const std::size_t near = std::min<std::size_t>(drawn_.size(), kRestartNear);
        std::uint32_t nearest = kNone;
        for (std::size_t k = drawn_.size(); k-- > drawn_.size() - near;) {
            const std::uint32_t best = BestOf(neighbours_[drawn_[k]], band, kOverhangs);
            if (best != kNone && Better(best, nearest))
                nearest = best;
        }
        if (nearest != kNone)
            return nearest;
        const std::size_t reach = std::min<std::size_t>(drawn_.size(), kRestartReach);
        for (std::size_t k = drawn_.size(); k-- > drawn_.size() - reach;) {
            const std::uint32_t best = BestOf(neighbours_[drawn_[k]], band, kOverhangs);
            if (best != kNone)
                return best;
        }
        std::uint32_t first = kNone;
        for (std::uint32_t f : members) {
            if (emitted_[f])
                continue;
            if (first == kNone)
                first = f;
            if (drawn_.empty() || Support(f) > 0)
                return f;
        }
        return first;
    }

    // Appends triangle f, rotated so that its vertex not in the previous triangle comes
    // last, the way a strip reads: after (a, b, c) comes (c, b, d) or (a, c, d).
    void Draw(std::uint32_t f) {
        Triangle t = mesh_.triangles[f];
        if (!order_.empty()) {
            const Triangle& last = order_.back();
            for (int r = 0; r < 3 && std::find(last.begin(), last.end(), t[2]) != last.end(); ++r) {
                t = {t[1], t[2], t[0]};
            }
        }
        overhang_ = Support(f) < 2 ? overhang_ + 1 : 0;
        emitted_[f] = true;
        drawn_.push_back(f);
        order_.push_back(t);
        for (std::uint32_t v : t) {
            if (!Cached(v))
                stamp_[v] = insertions_++;
        }
    }

    const SurfaceMesh& mesh_;
    const std::vector<TriangleNeighbours>& neighbours_;
    const std::vector<double>& key_;
    std::vector<std::uint32_t> band_;
    std::vector<double> sweep_;
    std::vector<bool> emitted_;
    std::vector<std::uint32_t> rank_;   // each triangle's place along its band
    std::uint32_t back_ = 0;            // rank of the band's undrawn triangle furthest behind
    std::vector<std::uint32_t> stamp_;  // insertion number of each vertex's last miss
    std::uint32_t insertions_ = 0;
    // How many triangles drawn last in a row touched the drawn part along one edge only.
    std::uint32_t overhang_ = 0;
    std::vector<std::uint32_t> drawn_;  // triangle numbers in order
    std::vector<Triangle> order_;
};

constexpr double kTurn = 6.283185307179586;

// The angle about `start` at which each vertex lies, as seen along the surface: the
// start's neighbours by their direction in its tangent plane, every other vertex, in
// order of distance, the mean of its nearer neighbours' angles. At any distance the
// front's vertices come in order of it around the start.
std::vector<double> AnglesAbout(const SurfaceMesh& mesh, const Links& links,
                                const std::vector<double>& distance, std::uint32_t start) {
    const std::size_t count = mesh.positions.size();
    Vec3 normal;
    for (const Triangle& t : mesh.triangles) {
        if (t[0] == start || t[1] == start || t[2] == start) {
            normal = normal + Cross(mesh.positions[t[1]] - mesh.positions[t[0]],
                                    mesh.positions[t[2]] - mesh.positions[t[0]]);
        }
    }
    const Vec3 n = Normalized(normal);
    const Vec3& p = mesh.positions[start];
    Vec3 u = mesh.positions[links.to[links.start[start]].first] - p;
    u = Normalized(u - n * Dot(u, n));
    const Vec3 w = Cross(n, u);
    std::vector<double> angle(count, std::numeric_limits<double>::quiet_NaN());
    angle[start] = 0.0;
    for (std::uint32_t k = links.start[start]; k < links.start[start + 1]; ++k) {
        const Vec3 d = mesh.positions[links.to[k].first] - p;
        const double a = std::atan2(Dot(d, w), Dot(d, u));
        angle[links.to[k].first] = a < 0.0 ? a + kTurn : a;
    }
    std::vector<std::uint32_t> byDistance(count);
    for (std::uint32_t v = 0; v < count; ++v)
        byDistance[v] = v;
    std::sort(byDistance.begin(), byDistance.end(), [&](std::uint32_t a, std::uint32_t b) {
        return distance[a] < distance[b] || (distance[a] == distance[b] && a < b);
    });
    for (std::uint32_t v : byDistance) {
        if (!std::isnan(angle[v]))
            continue;
        double sum = 0.0, first = 0.0;
        int nearer = 0;
        for (std::uint32_t k = links.start[v]; k < links.start[v + 1]; ++k) {
            const std::uint32_t q = links.to[k].first;
            if (std::isnan(angle[q]) || q == start || distance[q] >= distance[v])
                continue;
            double a = angle[q];
            if (nearer == 0)
                first = a;
            a -= kTurn * std::round((a - first) / kTurn);  // nearest turn to the first
            sum += a, ++nearer;
        }
        const double a = nearer > 0 ? sum / nearer : 0.0;
        angle[v] = a - kTurn * std::floor(a / kTurn);
    }
    return angle;
}

// The k-th smallest of the values (k counted from 0).
double KthSmallest(std::vector<double> values, std::size_t k) {
    if (k >= values.size())
        throw std::runtime_error("a part's schedule lies beyond the list");
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// Where a part comes in: how far each vertex lies from its seam with the parts before
// it, along the surface.
struct Seam {
    std::uint8_t part;
    std::vector<double> away;  // per vertex
};

// How far from a seam the fronts are held back for it (model units): about ten rows.
constexpr double kHoldReach = 0.105;

// Where each part's front is: the arrival of the fronts at every vertex, with each part
// at its own pace and kept back until its gate; and each triangle's, its nearest
// corner's, but not before its own part's gate.
struct Fronts {
    std::vector<double> arrival;  // per vertex
    std::vector<double> nearest;  // per triangle
};

// Near a seam, the fronts of the parts still growing are held back so that they reach
// the seam only as the part beyond it comes in, at their own pace: they close in on it
// as a ring, instead of running round it and leaving it an island, or a thin strip
// between it and another part.
Fronts Advance(const SurfaceMesh& mesh, const Links& plain,
               const std::vector<PartSchedule>& schedule, const std::vector<std::uint8_t>& part,
               const std::vector<std::uint8_t>& vertexPart, const std::vector<Seam>& seams,
               std::uint32_t start, const std::vector<double>& scale,
               const std::vector<double>& gate) {
    std::vector<double> vertexScale(vertexPart.size()), vertexGate(vertexPart.size());
    for (std::size_t v = 0; v < vertexPart.size(); ++v) {
        vertexScale[v] = scale[vertexPart[v]];
        vertexGate[v] = gate[vertexPart[v]];
    }
    for (const Seam& seam : seams) {
        const PartSchedule& beyond = schedule[seam.part];
        for (std::size_t v = 0; v < vertexPart.size(); ++v) {
            const PartSchedule& own = schedule[vertexPart[v]];
            if (own.enter < beyond.enter && (own.finish == 0 || own.finish >= beyond.enter) &&
                seam.away[v] < kHoldReach && v != start) {  // the start is never held
                vertexGate[v] =
                    std::max(vertexGate[v], gate[seam.part] - seam.away[v] * vertexScale[v]);
            }
        }
    }
    Fronts fronts;
    fronts.arrival = Distances(Scaled(plain, vertexScale), {start}, vertexGate);
    for (std::size_t f = 0; f < mesh.triangles.size(); ++f) {
        const Triangle& t = mesh.triangles[f];
        fronts.nearest.push_back(
            std::max(std::min({fronts.arrival[t[0]], fronts.arrival[t[1]], fronts.arrival[t[2]]}),
                     gate[part[f]]));
    }
    return fronts;
}

std::size_t Off(std::size_t a, std::size_t b) {
    return a > b ? a - b : b - a;
}

// How far past its gate a part's seam may be reached and count as reached at the gate:
// the fronts held back for it reach it at the gate but for rounding.
constexpr double kReached = 1e-9;

// How far from where the opening part meets a later one the start may lie (model units),
// when one part opens the list; and how many more than the run's last frames draw of the
// triangles grown from a start are checked to face away, since the walk does not take
// them in quite the order the front reaches them.
constexpr double kStartReach = 0.15;
constexpr std::size_t kHiddenMargin = 4;  // a quarter more

// How many rows at a finished part's end wait for the end of their stretch.
constexpr double kLastRows = 2.0;

// Rounds of adjusting the parts' paces and gates before the schedule counts as unmet.
constexpr int kRounds = 200;

}  // namespace

std::vector<std::uint8_t> TidyParts(const SurfaceMesh& mesh, std::vector<std::uint8_t> parts) {
    const std::vector<TriangleNeighbours> neighbours = FindNeighbours(mesh.triangles);
    for (std::size_t f = 0; f < parts.size(); ++f) {
        const TriangleNeighbours& n = neighbours[f];
        if (parts[n[0]] == parts[f] || parts[n[1]] == parts[f] || parts[n[2]] == parts[f])
            continue;
        // Two or three neighbours of one part, or else the first neighbour's.
        parts[f] = parts[n[1]] == parts[n[2]] ? parts[n[1]] : parts[n[0]];
    }
    return parts;
}

std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options,
                                     std::vector<std::uint32_t>* numbers) {
    const std::vector<TriangleNeighbours> neighbours = FindNeighbours(mesh.triangles);
    const std::size_t triangles = mesh.triangles.size();
    const std::vector<PartSchedule>& schedule = options.schedule;
    const std::vector<std::uint8_t>& part = options.triangleParts;
    const std::size_t parts = schedule.size();
    if (part.size() != triangles || parts == 0 || parts > 32)
        throw std::runtime_error("the parts do not fit the mesh");
    std::vector<std::uint32_t> size(parts, 0);
    for (std::uint8_t p : part) {
        if (p >= parts)
            throw std::runtime_error("a triangle's part has no schedule");
        ++size[p];
    }

    // Each vertex belongs to the part of its triangles that comes in first, so that the
    // fronts of the parts before a part run along the seam where it joins them, whenever
    // it comes in; and the start is a vertex where all the parts that come in at 0 meet.
    std::vector<std::uint8_t> vertexPart(mesh.positions.size(), 0);
    std::vector<std::uint32_t> touches(mesh.positions.size(), 0);  // bit p: part p
    for (std::size_t f = 0; f < triangles; ++f) {
        for (std::uint32_t v : mesh.triangles[f]) {
            const std::uint8_t p = part[f], q = vertexPart[v];
            if (touches[v] == 0 || schedule[p].enter < schedule[q].enter ||
                (schedule[p].enter == schedule[q].enter && p < q))
                vertexPart[v] = p;
            touches[v] |= 1u << p;
        }
    }
    std::uint32_t opening = 0;
    for (std::size_t p = 0; p < parts; ++p)
        opening |= schedule[p].enter == 0 ? 1u << p : 0u;

    // The start: a vertex where all the parts that come in at 0 meet, or near the seam of
    // the parts that come in after them. Of these, the one whose first hiddenCount
    // triangles (grown through the opening parts alone) face hiddenFrom least, and then
    // reach that seam most, and then lie furthest from every triangle that faces
    // hiddenFrom: the first part of the list, which the run's last frames still draw, is
    // culled there, and the list can move on from it.
    std::vector<bool> faces(triangles, false);
    std::vector<std::uint32_t> seen;
    std::vector<double> edges;
    for (std::size_t f = 0; f < triangles; ++f) {
        const Triangle& t = mesh.triangles[f];
        const Vec3 a = mesh.positions[t[0]], b = mesh.positions[t[1]], c = mesh.positions[t[2]];
        faces[f] = Dot(Cross(b - a, c - a), options.hiddenFrom - a) > 0.0;
        if (faces[f])
            seen.insert(seen.end(), t.begin(), t.end());
        edges.push_back(Length(b - a));
    }
    const Links plain = LinkVertices(mesh, neighbours);
    const std::vector<double> hidden = Distances(plain, seen);
    std::vector<std::uint32_t> onward;  // vertices where an opening part meets a later one
    std::vector<double> opened(mesh.positions.size(), 0.0);  // gates: the opening parts only
    for (std::uint32_t v = 0; v < mesh.positions.size(); ++v) {
        if ((touches[v] & opening) != 0 && (touches[v] & ~opening) != 0)
            onward.push_back(v);
        if ((touches[v] & opening) == 0)
            opened[v] = std::numeric_limits<double>::infinity();
    }
    const std::vector<double> nearOnward = Distances(plain, onward);
    std::vector<std::uint32_t> openable;  // the triangles with a corner in an opening part
    for (std::uint32_t f = 0; f < triangles; ++f) {
        const Triangle& t = mesh.triangles[f];
        if (((touches[t[0]] | touches[t[1]] | touches[t[2]]) & opening) != 0)
            openable.push_back(f);
    }
    std::uint32_t start = kNone;
    std::size_t fewest = 0, most = 0;
    for (std::uint32_t v = 0; v < mesh.positions.size(); ++v) {
        const bool meets = (touches[v] & opening) == opening;
        const bool near = std::popcount(opening) == 1 && (touches[v] & ~opening) == 0 &&
                          nearOnward[v] < kStartReach;
        if (opening == 0 || !(meets || near))
            continue;
        std::size_t facing = 0, reaching = 0;
        if (options.hiddenCount > 0) {
            const std::vector<double> grown = Distances(plain, {v}, opened);
            std::vector<std::pair<double, std::uint32_t>> first;
            for (std::uint32_t f : openable) {
                const Triangle& t = mesh.triangles[f];
                const double d = std::min({grown[t[0]], grown[t[1]], grown[t[2]]});
                if (d < std::numeric_limits<double>::infinity())
                    first.push_back({d, f});
            }
            const std::size_t count = std::min<std::size_t>(
                options.hiddenCount + options.hiddenCount / kHiddenMargin, first.size());
            std::nth_element(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(count),
                             first.end());
            for (std::size_t k = 0; k < count; ++k) {
                const Triangle& t = mesh.triangles[first[k].second];
                facing += faces[first[k].second] ? 1 : 0;
                bool onSeam = false;
                for (std::uint32_t u : t)
                    onSeam = onSeam || (touches[u] & ~opening) != 0;
                reaching += onSeam ? 1 : 0;
            }
        }
        if (start == kNone || facing < fewest ||
            (facing == fewest &&
             (reaching > most || (reaching == most && hidden[v] > hidden[start]))))
            start = v, fewest = facing, most = reaching;
    }
    if (start == kNone)
        throw std::runtime_error("no vertex to start from");

    // The seams where the fronts are held back: those of every part that comes in later
    // than the run's last frames' count. A part that comes in sooner comes in beside the
    // start, where the fronts have nowhere else to go.
    std::vector<Seam> seams;
    for (std::size_t q = 0; q < parts; ++q) {
        if (schedule[q].enter <= options.hiddenCount)
            continue;
        std::uint32_t earlier = 0;
        for (std::size_t r = 0; r < parts; ++r)
            earlier |= schedule[r].enter < schedule[q].enter ? 1u << r : 0u;
        std::vector<std::uint32_t> on;
        for (std::uint32_t v = 0; v < mesh.positions.size(); ++v) {
            if ((touches[v] & (1u << q)) != 0 && (touches[v] & earlier) != 0)
                on.push_back(v);
        }
        seams.push_back({static_cast<std::uint8_t>(q), Distances(plain, on)});
    }

    // The paces and gates that meet the schedule. A part's gate is the arrival by which
    // exactly `enter` triangles of the parts that came in before it are reached; a part's
    // pace is scaled by how far its last triangle's arrival is from the one by which
    // `finish` triangles are reached in all, until every part is finished near its aim.
    std::vector<double> scale(parts, 1.0), gate(parts, 0.0), lastGate(parts, 0.0);
    std::vector<std::size_t> lastDrawn(parts, 0);
    Fronts fronts;
    for (int round = 0;; ++round) {
        fronts = Advance(mesh, plain, schedule, part, vertexPart, seams, start, scale, gate);
        const std::vector<double>& nearest = fronts.nearest;
        std::vector<double> first(parts, std::numeric_limits<double>::infinity());
        std::vector<double> last(parts, 0.0);
        for (std::size_t f = 0; f < triangles; ++f) {
            first[part[f]] = std::min(first[part[f]], nearest[f]);
            last[part[f]] = std::max(last[part[f]], nearest[f]);
        }
        bool met = true;
        std::vector<double> nextGate = gate, nextScale = scale;
        for (std::size_t p = 0; p < parts; ++p) {
            const PartSchedule& aim = schedule[p];
            if (aim.enter > 0) {
                std::vector<double> before;
                std::size_t drawn = 0;
                for (std::size_t f = 0; f < triangles; ++f) {
                    if (schedule[part[f]].enter < aim.enter)
                        before.push_back(nearest[f]);
                    drawn += nearest[f] < gate[p] ? 1 : 0;
                }
                // The fronts held back for this part move with its gate, and the count
                // below it with them: after a first step to where the count lies now, the
                // gate is moved by the secant through its last two counts.
                nextGate[p] = KthSmallest(std::move(before), aim.enter);
                if (round > 0 && drawn != lastDrawn[p] && gate[p] != lastGate[p]) {
                    const double step =
                        (static_cast<double>(aim.enter) - static_cast<double>(drawn)) *
                        (gate[p] - lastGate[p]) /
                        (static_cast<double>(drawn) - static_cast<double>(lastDrawn[p]));
                    const double reach = 4.0 * std::abs(nextGate[p] - gate[p]);
                    nextGate[p] = gate[p] + std::clamp(step, -reach, reach);
                }
                lastGate[p] = gate[p];
                lastDrawn[p] = drawn;
                // Triangles that share their nearest corner tie; a tie may straddle the
                // count.
                met = met && Off(drawn, aim.enter) <= options.tolerance &&
                      first[p] <= gate[p] + kReached;
            }
            if (aim.finish > 0) {
                if (aim.finish <= size[p] || aim.finish <= aim.enter + size[p] / 2)
                    throw std::runtime_error("a part is to be finished before it can be");
                std::vector<double> others;
                std::size_t drawn = size[p];
                for (std::size_t f = 0; f < triangles; ++f) {
                    if (part[f] != p) {
                        others.push_back(nearest[f]);
                        drawn += nearest[f] <= last[p] ? 1 : 0;
                    }
                }
                const std::size_t m = aim.finish - size[p];
                const double target =
                    0.5 * (KthSmallest(others, m - 1) + KthSmallest(std::move(others), m));
                const double from = aim.enter > 0 ? gate[p] : 0.0;
                nextScale[p] = scale[p] * std::clamp((target - from) / (last[p] - from), 0.5, 2.0);
                met = met && Off(drawn, aim.finish) <= options.tolerance;
            }
        }
        if (met)
            break;
        if (round == kRounds) {
            for (std::size_t p = 0; p < parts; ++p) {
                if (schedule[p].enter > 0 && first[p] > gate[p] + kReached)
                    throw std::runtime_error("part " + std::to_string(p) +
                                             " is reached only after its moment to come in");
            }
            throw std::runtime_error("the parts' paces do not settle on their schedule");
        }
        gate = nextGate;
        scale = nextScale;
    }
    const std::vector<double>& arrival = fronts.arrival;
    const std::vector<double>& nearest = fronts.nearest;
    std::vector<double> key(triangles);
    for (std::size_t f = 0; f < triangles; ++f) {
        const Triangle& t = mesh.triangles[f];
        key[f] = (arrival[t[0]] + arrival[t[1]] + arrival[t[2]]) / 3.0;
    }

    // Barriers: each part's gate, and just past each finished part's last triangle. All
    // that the fronts reach before a barrier is drawn before all that they reach after
    // it, so that the counts fall as scheduled.
    std::vector<double> barriers;
    std::vector<double> closes(parts, std::numeric_limits<double>::infinity());
    for (std::size_t p = 0; p < parts; ++p) {
        if (schedule[p].enter > 0)
            barriers.push_back(gate[p]);
        if (schedule[p].finish > 0) {
            double last = 0.0;
            for (std::size_t f = 0; f < triangles; ++f)
                last = part[f] == p ? std::max(last, nearest[f]) : last;
            closes[p] = std::nextafter(last, std::numeric_limits<double>::infinity());
            barriers.push_back(closes[p]);
        }
    }
    std::sort(barriers.begin(), barriers.end());
    barriers.erase(std::unique(barriers.begin(), barriers.end()), barriers.end());

    // Within each stretch between barriers, each part's front in rows one median edge
    // of its own apart, which the triangles between them fill as strips (a triangle's
    // row is its nearest corner's), walked in bands of bandRows rows in order of
    // arrival. After a barrier the parts that come in there go first; before one, the
    // last band of a part finished there goes last.
    std::nth_element(edges.begin(), edges.begin() + edges.size() / 2, edges.end());
    const double height = edges[edges.size() / 2];
    struct BandKey {
        std::size_t stretch;
        double level;
        int order;            // 0: a part's first triangle, 1: any other
        std::uint32_t enter;  // at one level, the parts that came in earlier first
        std::uint8_t part;
        auto operator<=>(const BandKey&) const = default;
    };
    std::vector<BandKey> bandKey(triangles);
    for (std::size_t f = 0; f < triangles; ++f) {
        const std::uint8_t p = part[f];
        const std::size_t stretch = static_cast<std::size_t>(
            std::upper_bound(barriers.begin(), barriers.end(), nearest[f]) - barriers.begin());
        const double from = stretch == 0 ? 0.0 : barriers[stretch - 1];
        const double thickness = height * options.bandRows * scale[p];
        double level = from + std::floor((nearest[f] - from) / thickness) * thickness;
        if (stretch < barriers.size() && barriers[stretch] == closes[p] &&
            nearest[f] + kLastRows * thickness / options.bandRows >= closes[p])
            level = closes[p];
        bandKey[f] = {stretch, level, 1, schedule[p].enter, p};
    }
    // Where parts come in, each one's first triangle comes first, on its own, so that
    // where several come in at once, each comes in at the count: of its triangles that
    // share an edge with one drawn before the gate, the one the fronts reach first.
    std::vector<std::uint32_t> seed(parts, kNone);
    for (std::uint32_t f = 0; f < triangles; ++f) {
        const std::uint8_t p = part[f];
        bool joins = false;
        for (std::uint32_t g : neighbours[f])
            joins = joins || nearest[g] < gate[p];
        if (joins && (seed[p] == kNone || nearest[f] < nearest[seed[p]] ||
                      (nearest[f] == nearest[seed[p]] && key[f] < key[seed[p]])))
            seed[p] = f;
    }
    for (std::uint32_t f : seed) {
        if (f != kNone)
            bandKey[f].order = 0;
    }
    std::vector<BandKey> keys = bandKey;
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::size_t> bandOf(triangles);
    for (std::size_t f = 0; f < triangles; ++f) {
        bandOf[f] = static_cast<std::size_t>(
            std::lower_bound(keys.begin(), keys.end(), bandKey[f]) - keys.begin());
    }
    // A lone triangle or two whose neighbours lie in other bands (where parts meet) joins
    // the later band of a neighbour, which walks past it, within its stretch.
    // Until none is left: a triangle that joins a band may leave another one alone.
    for (bool moved = true; moved;) {
        moved = false;
        for (std::size_t f = 0; f < triangles; ++f) {
            std::size_t same = 0, later = bandOf[f];
            for (std::uint32_t g : neighbours[f]) {
                same += bandOf[g] == bandOf[f] ? 1 : 0;
                if (keys[bandOf[g]].stretch == keys[bandOf[f]].stretch)
                    later = std::max(later, bandOf[g]);
            }
            if (same <= 1 && later > bandOf[f] && keys[bandOf[f]].order == 1) {
                bandOf[f] = later;
                moved = true;
            }
        }
    }
    std::vector<std::vector<std::uint32_t>> bands(keys.size());
    for (std::size_t f = 0; f < triangles; ++f)
        bands[bandOf[f]].push_back(static_cast<std::uint32_t>(f));

    // Each band in order of the angle about the start, every other one the other way
    // round, so that each starts about where the last ended.
    const std::vector<double> angle = AnglesAbout(mesh, plain, arrival, start);
    BandWalker walker(mesh, neighbours, key);
    std::vector<double> along(triangles, 0.0);
    std::uint32_t band = 0;
    for (std::vector<std::uint32_t>& members : bands) {
        if (members.empty())
            continue;
        for (std::uint32_t f : members) {
            const Triangle& t = mesh.triangles[f];
            double sum = angle[t[0]];
            for (int c = 1; c < 3; ++c)
                sum += angle[t[c]] - kTurn * std::round((angle[t[c]] - angle[t[0]]) / kTurn);
            along[f] = sum / 3.0 - kTurn * std::floor(sum / 3.0 / kTurn);
            if (band % 2 == 1)
                along[f] = -along[f];
        }
        // Where the front is in several pieces (around the ears and the legs), each
        // piece of the band is walked whole, so that the walk does not hop between them.
        std::vector<std::uint32_t> piece(members.size(), kNone);
        std::vector<std::uint32_t> index(triangles, kNone);
        for (std::uint32_t k = 0; k < members.size(); ++k)
            index[members[k]] = k;
        std::vector<std::vector<std::uint32_t>> pieces;
        for (std::uint32_t k = 0; k < members.size(); ++k) {
            if (piece[k] != kNone)
                continue;
            const std::uint32_t id = static_cast<std::uint32_t>(pieces.size());
            pieces.push_back({});
            std::vector<std::uint32_t> stack{k};
            for (piece[k] = id; !stack.empty();) {
                const std::uint32_t q = stack.back();
                stack.pop_back();
                pieces[id].push_back(members[q]);
                for (std::uint32_t g : neighbours[members[q]]) {
                    if (index[g] != kNone && piece[index[g]] == kNone)
                        piece[index[g]] = id, stack.push_back(index[g]);
                }
            }
        }
        // Pieces one after another, each next the one nearest to where the walk is.
        std::vector<bool> walked(pieces.size(), false);
        for (std::size_t n = 0; n < pieces.size(); ++n) {
            std::size_t next = 0;
            double closest = std::numeric_limits<double>::infinity();
            for (std::size_t p = 0; p < pieces.size(); ++p) {
                if (walked[p])
                    continue;
                for (std::uint32_t f : pieces[p]) {
                    const double d = walker.Count() == 0
                                         ? 0.0
                                         : Length(Centre(mesh, f) - Centre(mesh, walker.Last()));
                    if (d < closest)
                        closest = d, next = p;
                }
            }
            walked[next] = true;
            walker.WalkBand(band, pieces[next], along);
        }
        ++band;
    }

    // The counts as scheduled: every part comes in at its count, and is finished where
    // its last band's barrier falls.
    const std::vector<std::uint32_t>& drawn = walker.Drawn();
    std::vector<std::size_t> enters(parts, triangles), finishes(parts, 0);
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        enters[part[drawn[k]]] = std::min(enters[part[drawn[k]]], k);
        finishes[part[drawn[k]]] = k + 1;
    }
    for (std::size_t p = 0; p < parts; ++p) {
        const PartSchedule& aim = schedule[p];
        if (Off(enters[p], aim.enter) > options.tolerance ||
            (aim.finish > 0 && Off(finishes[p], aim.finish) > options.tolerance))
            throw std::runtime_error("part " + std::to_string(p) + " is off its schedule");
    }
    if (numbers != nullptr)
        *numbers = drawn;
    return walker.Order();
}
