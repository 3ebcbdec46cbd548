#include "reveal_order.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <queue>
#include <stdexcept>
#include <utility>

#include "splitmix64.h"

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// The post-transform cache the order is laid out for: first in, first out.
constexpr std::uint32_t kCacheEntries = 16;
// The list opens with a strip of alternating turns at least this long.
constexpr std::size_t kOpeningStrip = 10;

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

// Seeds spread by farthest-point selection on the triangle centres.
std::vector<std::uint32_t> SpreadSeeds(const std::vector<Vec3>& centres, std::uint32_t count,
                                       std::uint32_t first) {
    std::vector<double> nearest(centres.size(), std::numeric_limits<double>::infinity());
    std::vector<std::uint32_t> seeds{first};
    while (seeds.size() < count) {
        const Vec3& s = centres[seeds.back()];
        std::uint32_t farthest = 0;
        for (std::uint32_t f = 0; f < centres.size(); ++f) {
            const Vec3 d = centres[f] - s;
            nearest[f] = std::min(nearest[f], Dot(d, d));
            if (nearest[f] > nearest[farthest])
                farthest = f;
        }
        seeds.push_back(farthest);
    }
    return seeds;
}

// Each triangle joins the seed nearest to it along the surface (a multi-source
// shortest-path search over triangle centres), so every patch is edge-connected.
std::vector<std::uint32_t> GrowPatches(const std::vector<Vec3>& centres,
                                       const std::vector<TriangleNeighbours>& neighbours,
                                       const std::vector<std::uint32_t>& seeds) {
    std::vector<std::uint32_t> patch(centres.size(), kNone);
    std::vector<double> distance(centres.size(), std::numeric_limits<double>::infinity());
    using Entry = std::pair<double, std::uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    std::vector<std::uint32_t> source(centres.size(), kNone);
    for (std::uint32_t i = 0; i < seeds.size(); ++i) {
        distance[seeds[i]] = 0.0;
        source[seeds[i]] = i;
        queue.push({0.0, seeds[i]});
    }
    while (!queue.empty()) {
        const auto [d, f] = queue.top();
        queue.pop();
        if (patch[f] != kNone)
            continue;
        patch[f] = source[f];
        for (std::uint32_t g : neighbours[f]) {
            const double dg = d + Length(centres[g] - centres[f]);
            if (patch[g] == kNone && dg < distance[g]) {
                distance[g] = dg;
                source[g] = patch[f];
                queue.push({dg, g});
            }
        }
    }
    return patch;
}

// The order of the patches: a walk that steps to a neighbouring patch whenever it can,
// preferring the one with the fewest unvisited neighbours so that none is stranded
// (Warnsdorff's rule); when it is boxed in it jumps to the nearest unvisited patch.
std::vector<std::uint32_t> WalkPatches(const std::vector<std::vector<std::uint32_t>>& adjacent,
                                       const std::vector<Vec3>& centres, std::uint32_t start,
                                       const std::vector<std::uint64_t>& priority) {
    const std::size_t count = adjacent.size();
    std::vector<bool> visited(count, false);
    std::vector<std::uint32_t> walk{start};
    visited[start] = true;
    auto freeNeighbours = [&](std::uint32_t p) {
        return std::count_if(adjacent[p].begin(), adjacent[p].end(),
                             [&](std::uint32_t q) { return !visited[q]; });
    };
    while (walk.size() < count) {
        const std::uint32_t here = walk.back();
        std::uint32_t next = kNone;
        for (std::uint32_t q : adjacent[here]) {
            if (visited[q])
                continue;
            if (next == kNone || freeNeighbours(q) < freeNeighbours(next) ||
                (freeNeighbours(q) == freeNeighbours(next) && priority[q] < priority[next])) {
                next = q;
            }
        }
        if (next == kNone) {
            double best = std::numeric_limits<double>::infinity();
            for (std::uint32_t q = 0; q < count; ++q) {
                const double d = Length(centres[q] - centres[here]);
                if (!visited[q] && d < best)
                    best = d, next = q;
            }
        }
        visited[next] = true;
        walk.push_back(next);
    }
    return walk;
}

// Walks the triangles of one band at a time, each step to a neighbour of the triangle
// drawn last, while keeping a model of the vertex cache: among the neighbours it takes
// the one that brings the fewest new vertices into the cache, then the one furthest
// behind in the band's sweep direction, so that the walk zigzags across the band and
// each pass runs alongside the vertices the previous pass left in the cache.
class BandWalker {
public:
    BandWalker(const SurfaceMesh& mesh, const std::vector<TriangleNeighbours>& neighbours)
        : mesh_(mesh),
          neighbours_(neighbours),
          band_(mesh.triangles.size(), kNone),
          sweep_(mesh.triangles.size(), 0.0),
          emitted_(mesh.triangles.size(), false),
          stamp_(mesh.positions.size(), kNone) {}

    const std::vector<Triangle>& Order() const { return order_; }

    // How many of the given triangles have a drawn neighbour.
    std::size_t Bordering(const std::vector<std::uint32_t>& members) const {
        return std::count_if(members.begin(), members.end(), [&](std::uint32_t f) {
            return std::any_of(neighbours_[f].begin(), neighbours_[f].end(),
                               [&](std::uint32_t g) { return emitted_[g]; });
        });
    }

    // Draws the given triangles, which form one band; sweep[k] is the position of
    // triangle k along the band.
    void WalkBand(std::uint32_t band, const std::vector<std::uint32_t>& members,
                  const std::vector<double>& sweep) {
        for (std::size_t k = 0; k < members.size(); ++k) {
            band_[members[k]] = band;
            sweep_[members[k]] = sweep[k];
        }
        std::size_t left = members.size();
        if (order_.empty()) {
            int rotation = 0;
            const std::vector<std::uint32_t> strip = OpeningStrip(band, members, rotation);
            for (std::uint32_t f : strip)
                Draw(f, f == strip.front() ? rotation : 0);
            left -= strip.size();
        }
        for (; left > 0; --left) {
            std::uint32_t next = BestOf(neighbours_[drawn_.back()], band);
            if (next == kNone)
                next = Restart(band, members);
            Draw(next);
        }
    }

private:
    bool Open(std::uint32_t f, std::uint32_t band) const {
        return !emitted_[f] && band_[f] == band;
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

    std::uint32_t OpenNeighbours(std::uint32_t f, std::uint32_t band) const {
        std::uint32_t count = 0;
        for (std::uint32_t g : neighbours_[f])
            count += Open(g, band) ? 1 : 0;
        return count;
    }

    bool Better(std::uint32_t f, std::uint32_t g, std::uint32_t band) const {
        if (g == kNone)
            return true;
        const std::uint32_t mf = Misses(f), mg = Misses(g);
        if (mf != mg)
            return mf < mg;
        if (sweep_[f] != sweep_[g])
            return sweep_[f] < sweep_[g];
        const std::uint32_t nf = OpenNeighbours(f, band), ng = OpenNeighbours(g, band);
        if (nf != ng)
            return nf < ng;
        return f < g;
    }

    // The strip of alternating turns, up to kOpeningStrip triangles inside the band, that
    // starts at triangle f written from corner `rotation`: each next triangle lies across
    // the edge from the newest vertex to the one before it.
    std::vector<std::uint32_t> Strip(std::uint32_t f, int rotation, std::uint32_t band) const {
        Triangle t = mesh_.triangles[f];
        for (int r = 0; r < rotation; ++r)
            t = {t[1], t[2], t[0]};
        std::uint32_t a = t[1], b = t[2];
        std::vector<std::uint32_t> strip{f};
        while (strip.size() < kOpeningStrip) {
            const Triangle& here = mesh_.triangles[strip.back()];
            std::uint32_t next = kNone;
            for (int e = 0; e < 3; ++e) {
                if ((here[e] == a && here[(e + 1) % 3] == b) ||
                    (here[e] == b && here[(e + 1) % 3] == a)) {
                    next = neighbours_[strip.back()][e];
                }
            }
            if (next == kNone || !Open(next, band) ||
                std::find(strip.begin(), strip.end(), next) != strip.end()) {
                break;
            }
            const Triangle& there = mesh_.triangles[next];
            a = std::exchange(b, *std::find_if(there.begin(), there.end(),
                                               [&](std::uint32_t v) { return v != a && v != b; }));
            strip.push_back(next);
        }
        return strip;
    }

    // The list opens with a strip: of the band's triangles, furthest behind first, the
    // first from which a strip of alternating turns runs kOpeningStrip triangles, and
    // the corner to write first. Draw keeps it a strip, as it puts each triangle's new
    // vertex last.
    std::vector<std::uint32_t> OpeningStrip(std::uint32_t band,
                                            const std::vector<std::uint32_t>& members,
                                            int& rotation) const {
        std::vector<std::uint32_t> candidates = members;
        std::sort(candidates.begin(), candidates.end(), [&](std::uint32_t f, std::uint32_t g) {
            return sweep_[f] < sweep_[g] || (sweep_[f] == sweep_[g] && f < g);
        });
        for (std::uint32_t f : candidates) {
            for (rotation = 0; rotation < 3; ++rotation) {
                std::vector<std::uint32_t> strip = Strip(f, rotation, band);
                if (strip.size() == kOpeningStrip)
                    return strip;
            }
        }
        throw std::runtime_error("no room for the opening strip");
    }

    std::uint32_t BestOf(const TriangleNeighbours& candidates, std::uint32_t band) const {
        std::uint32_t best = kNone;
        for (std::uint32_t g : candidates) {
            if (Open(g, band) && Better(g, best, band))
                best = g;
        }
        return best;
    }

    // A dead end: continue next to the most recent triangle that still has an open
    // neighbour in the band, or else at the band's open triangle furthest behind.
    std::uint32_t Restart(std::uint32_t band, const std::vector<std::uint32_t>& members) const {
        const std::size_t reach = std::min<std::size_t>(drawn_.size(), 2000);
        for (std::size_t k = drawn_.size(); k-- > drawn_.size() - reach;) {
            const std::uint32_t best = BestOf(neighbours_[drawn_[k]], band);
            if (best != kNone)
                return best;
        }
        std::uint32_t best = kNone;
        for (std::uint32_t f : members) {
            if (Open(f, band) && Better(f, best, band))
                best = f;
        }
        return best;
    }

    // Appends triangle f, rotated so that its vertex not in the previous triangle comes
    // last, the way a strip reads: after (a, b, c) comes (c, b, d) or (a, c, d).
    void Draw(std::uint32_t f, int rotation = 0) {
        Triangle t = mesh_.triangles[f];
        for (int r = 0; r < rotation; ++r)
            t = {t[1], t[2], t[0]};
        if (!order_.empty()) {
            const Triangle& last = order_.back();
            for (int r = 0; r < 3 && std::find(last.begin(), last.end(), t[2]) != last.end(); ++r) {
                t = {t[1], t[2], t[0]};
            }
        }
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
    std::vector<std::uint32_t> band_;
    std::vector<double> sweep_;
    std::vector<bool> emitted_;
    std::vector<std::uint32_t> stamp_;  // insertion number of each vertex's last miss
    std::uint32_t insertions_ = 0;
    std::vector<std::uint32_t> drawn_;  // triangle numbers in order
    std::vector<Triangle> order_;
};

struct Band {
    std::vector<std::uint32_t> members;
    std::vector<double> sweep;  // each member's place along the band
};

// Splits a patch into parallel bands across its longest extent, each to be swept in the
// opposite direction to the one before, like a plough.
std::vector<Band> SplitIntoBands(const std::vector<std::uint32_t>& members,
                                 const std::vector<Vec3>& centres, double bandWidth) {
    Vec3 mean;
    for (std::uint32_t f : members)
        mean = mean + centres[f];
    mean = mean * (1.0 / members.size());
    // Principal direction by power iteration on the covariance of the centres.
    double cov[3][3] = {};
    for (std::uint32_t f : members) {
        const Vec3 d = centres[f] - mean;
        const double c[3] = {d.x, d.y, d.z};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                cov[i][j] += c[i] * c[j];
        }
    }
    auto principal = [&cov](Vec3 v) {
        for (int i = 0; i < 50; ++i) {
            const Vec3 w{cov[0][0] * v.x + cov[0][1] * v.y + cov[0][2] * v.z,
                         cov[1][0] * v.x + cov[1][1] * v.y + cov[1][2] * v.z,
                         cov[2][0] * v.x + cov[2][1] * v.y + cov[2][2] * v.z};
            v = Normalized(w);
        }
        return v;
    };
    const Vec3 along = principal({0.6, 0.3, 0.74});
    // The second direction: deflate the first and iterate again.
    const double lambda = [&] {
        const Vec3 w{cov[0][0] * along.x + cov[0][1] * along.y + cov[0][2] * along.z,
                     cov[1][0] * along.x + cov[1][1] * along.y + cov[1][2] * along.z,
                     cov[2][0] * along.x + cov[2][1] * along.y + cov[2][2] * along.z};
        return Dot(w, along);
    }();
    const double a[3] = {along.x, along.y, along.z};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j)
            cov[i][j] -= lambda * a[i] * a[j];
    }
    const Vec3 across = principal({-0.5, 0.7, 0.2});

    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (std::uint32_t f : members) {
        const double v = Dot(centres[f] - mean, along);
        lo = std::min(lo, v), hi = std::max(hi, v);
    }
    const std::uint32_t bands =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>((hi - lo) / bandWidth + 0.5));
    std::vector<Band> result(bands);
    for (std::uint32_t f : members) {
        const double v = Dot(centres[f] - mean, along);
        const std::uint32_t b =
            std::min(bands - 1, static_cast<std::uint32_t>((v - lo) / (hi - lo) * bands));
        const double u = Dot(centres[f] - mean, across);
        result[b].members.push_back(f);
        result[b].sweep.push_back(b % 2 == 0 ? u : -u);
    }
    return result;
}

// How strongly the reveal along a walk is sorted along some axis: the largest
// correlation of a triangle's place in the list with a coordinate of its centre, when the
// patches are laid whole in the walk's order, band by band.
double Sortedness(const std::vector<std::uint32_t>& walk,
                  const std::vector<std::vector<Band>>& bands, const std::vector<Vec3>& centres) {
    double n = 0, sp = 0, spp = 0;
    double sc[3] = {}, scc[3] = {}, spc[3] = {};
    for (std::uint32_t p : walk) {
        for (const Band& band : bands[p]) {
            for (std::uint32_t f : band.members) {
                const double c[3] = {centres[f].x, centres[f].y, centres[f].z};
                for (int k = 0; k < 3; ++k) {
                    sc[k] += c[k], scc[k] += c[k] * c[k], spc[k] += n * c[k];
                }
                sp += n, spp += n * n, n += 1;
            }
        }
    }
    double worst = 0;
    for (int k = 0; k < 3; ++k) {
        const double cov = spc[k] / n - (sp / n) * (sc[k] / n);
        const double vp = spp / n - (sp / n) * (sp / n);
        const double vc = scc[k] / n - (sc[k] / n) * (sc[k] / n);
        worst = std::max(worst, std::abs(cov / std::sqrt(vp * vc)));
    }
    return worst;
}

}  // namespace

std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options) {
    const std::vector<TriangleNeighbours> neighbours = FindNeighbours(mesh.triangles);
    std::vector<Vec3> centres(mesh.triangles.size());
    std::uint32_t first = 0;
    for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f) {
        const Triangle& t = mesh.triangles[f];
        centres[f] =
            (mesh.positions[t[0]] + mesh.positions[t[1]] + mesh.positions[t[2]]) * (1.0 / 3.0);
        if (Length(centres[f] - options.firstPatchNear) <
            Length(centres[first] - options.firstPatchNear)) {
            first = f;
        }
    }
    const std::vector<std::uint32_t> seeds = SpreadSeeds(centres, options.patchCount, first);
    const std::vector<std::uint32_t> patch = GrowPatches(centres, neighbours, seeds);

    std::vector<std::vector<std::uint32_t>> members(seeds.size());
    std::vector<std::vector<std::uint32_t>> adjacent(seeds.size());
    std::vector<Vec3> patchCentres(seeds.size());
    for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f) {
        members[patch[f]].push_back(f);
        patchCentres[patch[f]] = patchCentres[patch[f]] + centres[f];
        for (std::uint32_t g : neighbours[f]) {
            auto& list = adjacent[patch[f]];
            if (patch[g] != patch[f] &&
                std::find(list.begin(), list.end(), patch[g]) == list.end()) {
                list.push_back(patch[g]);
            }
        }
    }
    std::vector<std::vector<Band>> bands(seeds.size());
    for (std::uint32_t p = 0; p < seeds.size(); ++p) {
        patchCentres[p] = patchCentres[p] * (1.0 / members[p].size());
        std::sort(adjacent[p].begin(), adjacent[p].end());
        bands[p] = SplitIntoBands(members[p], centres, options.bandWidth);
    }

    // Of a few walks that differ in how they break ties, the one least sorted along any
    // axis. Each starts at the patch near firstPatchNear and its first few patches, the
    // first 5% of the list, lie next to it.
    std::vector<std::uint32_t> walk;
    double bestRating = std::numeric_limits<double>::infinity();
    SplitMix64 random(0x0DDBA11ull);
    for (int variant = 0; variant < options.walkVariants; ++variant) {
        std::vector<std::uint64_t> priority(seeds.size());
        for (std::uint64_t& value : priority)
            value = random.Next();
        std::vector<std::uint32_t> candidate = WalkPatches(adjacent, patchCentres, 0, priority);
        const double rating = Sortedness(candidate, bands, centres);
        if (rating < bestRating)
            bestRating = rating, walk = std::move(candidate);
    }

    // Each patch whole, band beside band, as the walk visits them, ploughed from the end
    // that borders more of what is drawn already: it grows out of the drawn part rather
    // than opening a piece apart from it.
    BandWalker walker(mesh, neighbours);
    std::uint32_t bandCount = 0;
    for (std::uint32_t p : walk) {
        std::vector<Band>& plough = bands[p];
        if (walker.Bordering(plough.back().members) > walker.Bordering(plough.front().members))
            std::reverse(plough.begin(), plough.end());
        for (const Band& band : plough)
            walker.WalkBand(bandCount++, band.members, band.sweep);
    }
    return walker.Order();
}
