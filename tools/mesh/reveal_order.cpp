#include "reveal_order.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// The post-transform cache the order is laid out for: first in, first out.
constexpr std::uint32_t kCacheEntries = 16;
// The steps by which the bands are made lower until the level keeps its depth.
constexpr double kLower = 0.98;
// Upper-lane triangles in a block: with the lower ones under them, their vertices about
// fill the cache, and the upper lane runs no more than about five edges ahead.
constexpr std::size_t kBlock = 10;
// Steps of the search for the strips through a block: some hundred times the most a
// block that one strip runs through takes.
constexpr std::size_t kSearch = 5000;
// How far back in the list a new block looks for where to go on: about the triangles
// whose vertices are still in the cache.
constexpr std::size_t kNear = 16;
// The most triangles a piece of a band may have and still be a speck, a bump of the
// tessellation where the surface lies flat, rather than a new top of the surface.
constexpr std::size_t kSpeck = 3;

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

Vec3 Centre(const SurfaceMesh& mesh, std::uint32_t f) {
    const Triangle& t = mesh.triangles[f];
    return (mesh.positions[t[0]] + mesh.positions[t[1]] + mesh.positions[t[2]]) * (1.0 / 3.0);
}

bool Adjacent(const std::vector<TriangleNeighbours>& neighbours, std::uint32_t f, std::uint32_t g) {
    const TriangleNeighbours& n = neighbours[f];
    return n[0] == g || n[1] == g || n[2] == g;
}

// The edge-connected pieces of a set of triangles. `scratch` holds kNone for every
// triangle on entry, and again on return.
std::vector<std::vector<std::uint32_t>> Pieces(const std::vector<std::uint32_t>& members,
                                               const std::vector<TriangleNeighbours>& neighbours,
                                               std::vector<std::uint32_t>& scratch) {
    for (std::uint32_t k = 0; k < members.size(); ++k)
        scratch[members[k]] = k;  // in the set, its piece not found yet
    std::vector<std::vector<std::uint32_t>> pieces;
    for (std::uint32_t f : members) {
        if (scratch[f] == kNone)
            continue;
        std::vector<std::uint32_t> piece{f};
        scratch[f] = kNone;
        for (std::size_t k = 0; k < piece.size(); ++k) {
            for (std::uint32_t g : neighbours[piece[k]]) {
                if (scratch[g] != kNone)
                    scratch[g] = kNone, piece.push_back(g);
            }
        }
        std::sort(piece.begin(), piece.end());
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

// Each triangle's band, bands of the given height counted down from the top: the band
// its centre lies in; then, until none is left, a triangle that touches earlier bands
// along two edges joins the latest of them. Where a band's edge cuts a row of
// triangles, the triangles of the row that point across it would hang on by one edge,
// which a strip cannot pass through: they join the row's others.
std::vector<std::uint32_t> Bands(const SurfaceMesh& mesh,
                                 const std::vector<TriangleNeighbours>& neighbours, double top,
                                 double height) {
    std::vector<std::uint32_t> band(mesh.triangles.size());
    for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f)
        band[f] = static_cast<std::uint32_t>((top - Centre(mesh, f).y) / height);
    for (bool moved = true; moved;) {
        moved = false;
        for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f) {
            std::uint32_t earlier = 0, latest = 0;
            for (std::uint32_t g : neighbours[f]) {
                if (band[g] < band[f])
                    ++earlier, latest = std::max(latest, band[g]);
            }
            if (earlier >= 2)
                band[f] = latest, moved = true;
        }
    }
    return band;
}

// How far the level can lie below the top of what is still to be drawn, whatever the
// order within each band: while band k is drawn, the highest centre of the bands from k
// on above the lowest centre of the bands up to k.
double LevelDepth(const SurfaceMesh& mesh, const std::vector<std::uint32_t>& band) {
    const std::size_t count = *std::max_element(band.begin(), band.end()) + 1;
    std::vector<double> highest(count, -std::numeric_limits<double>::infinity());
    std::vector<double> lowest(count, std::numeric_limits<double>::infinity());
    for (std::uint32_t f = 0; f < mesh.triangles.size(); ++f) {
        highest[band[f]] = std::max(highest[band[f]], Centre(mesh, f).y);
        lowest[band[f]] = std::min(lowest[band[f]], Centre(mesh, f).y);
    }
    for (std::size_t k = count - 1; k-- > 0;)
        highest[k] = std::max(highest[k], highest[k + 1]);
    double depth = 0.0;
    for (std::size_t k = 1; k < count; ++k) {
        lowest[k] = std::min(lowest[k], lowest[k - 1]);
        depth = std::max(depth, highest[k] - lowest[k]);
    }
    return depth;
}

// Lays the triangles into the list, a ring at a time and each ring a block at a time. A
// ring's upper lane is the triangles that touch the part laid above it by a corner, its
// lower lane the rest. A block is the next kBlock triangles along the upper lane, with
// the lower triangles under them; it is laid as one strip, found by search, through as
// many of its first upper triangles as one strip can run through, the rest going to the
// next block. In a band two rows high such a strip runs forward along the upper lane
// and back along the lower one: a triangle between two rows touches only its two
// neighbours in the row, so a strip that enters a row must follow it. So each block's
// vertices are loaded once and used again while still in the cache, and the list breaks
// about once a block. A lower triangle comes only after the upper ones over it, so the
// lower lane never runs ahead as a sliver, and no strip starts apart from the laid part.
class StripWalker {
public:
    StripWalker(const SurfaceMesh& mesh, const std::vector<TriangleNeighbours>& neighbours,
                const std::vector<std::vector<std::uint32_t>>& around)
        : mesh_(mesh),
          neighbours_(neighbours),
          around_(around),
          ring_(mesh.triangles.size(), kNone),
          lower_(mesh.triangles.size(), false),
          along_(mesh.triangles.size(), 0.0),
          block_(mesh.triangles.size(), kNone),
          covered_(mesh.positions.size(), kNone),
          state_(mesh.triangles.size(), kOut),
          onStrip_(mesh.positions.size(), 0),
          laid_(mesh.triangles.size(), false),
          deferred_(mesh.triangles.size(), false),
          stamp_(mesh.positions.size(), kNone) {}

    const std::vector<Triangle>& Order() const { return order_; }
    const std::vector<std::uint32_t>& Laid() const { return laid_order_; }
    bool IsLaid(std::uint32_t f) const { return laid_[f]; }

    // Holds back a speck until a neighbour of it is laid, and then lays it at once.
    void Defer(const std::vector<std::uint32_t>& speck) {
        for (std::uint32_t f : speck)
            deferred_[f] = true;
    }

    // Lays what is still held back.
    void LayDeferred() {
        for (std::uint32_t f = 0; f < deferred_.size(); ++f) {
            if (deferred_[f])
                Lay(f);
        }
    }

    // Lays one edge-connected ring, given which of its triangles lie in its lower lane.
    void WalkRing(std::vector<std::uint32_t> members, const std::vector<bool>& lower) {
        ++rings_;
        for (std::uint32_t f : members) {
            ring_[f] = rings_;
            lower_[f] = lower[f];
        }
        // Round the ring in the sense of a positive turn about the vertical, from the
        // entry: the way the blocks go, and the order in which a new block is looked for.
        const std::uint32_t entry = Entry(members);
        Vec3 middle;
        for (std::uint32_t f : members)
            middle = middle + Centre(mesh_, f) * (1.0 / static_cast<double>(members.size()));
        const double from = Azimuth(Centre(mesh_, entry) - middle);
        for (std::uint32_t f : members) {
            const double turn = Azimuth(Centre(mesh_, f) - middle) - from;
            along_[f] = turn - kFullTurn * std::floor(turn / kFullTurn);
        }
        along_[entry] = -1.0;
        std::sort(members.begin(), members.end(), [&](std::uint32_t f, std::uint32_t g) {
            return along_[f] < along_[g] || (along_[f] == along_[g] && f < g);
        });
        std::size_t left = members.size();
        for (std::uint32_t start = entry; left > 0; start = Next(members)) {
            for (std::uint32_t f : Strung(Block(start)))
                Lay(f), --left;
        }
    }

private:
    static constexpr double kFullTurn = 2.0 * std::numbers::pi;
    // The search's state of each triangle.
    static constexpr std::uint8_t kOut = 0, kNode = 1, kOnStrip = 2, kTaken = 3;

    static double Azimuth(const Vec3& d) { return std::atan2(d.z, d.x); }

    std::uint32_t Support(std::uint32_t f) const {
        std::uint32_t laid = 0;
        for (std::uint32_t g : neighbours_[f])
            laid += laid_[g] ? 1 : 0;
        return laid;
    }

    bool Open(std::uint32_t f) const { return !laid_[f] && ring_[f] == rings_; }

    // The ring's first triangle: of those that touch the laid part (any, if none does),
    // one in the upper lane, nearest to the triangle laid last.
    std::uint32_t Entry(const std::vector<std::uint32_t>& members) const {
        std::uint32_t entry = kNone;
        std::tuple<bool, bool, double> best;
        for (std::uint32_t f : members) {
            const double d = laid_order_.empty()
                                 ? -Centre(mesh_, f).y  // the first ring opens at its top
                                 : Length(Centre(mesh_, f) - Centre(mesh_, laid_order_.back()));
            const std::tuple<bool, bool, double> key{Support(f) == 0, lower_[f], d};
            if (entry == kNone || key < best)
                entry = f, best = key;
        }
        return entry;
    }

    // Where the next block starts: the open upper triangle next to the triangles laid
    // last that comes first round the ring; else the first open triangle round the ring
    // that touches the laid part, the upper lane first; else the first open one.
    std::uint32_t Next(const std::vector<std::uint32_t>& members) const {
        std::uint32_t best = kNone;
        for (std::size_t k = laid_order_.size() - std::min(laid_order_.size(), kNear);
             k < laid_order_.size(); ++k) {
            for (std::uint32_t g : neighbours_[laid_order_[k]]) {
                if (Open(g) && !lower_[g] && (best == kNone || along_[g] < along_[best]))
                    best = g;
            }
        }
        if (best != kNone)
            return best;
        for (bool lower : {false, true}) {
            for (std::uint32_t f : members) {
                if (Open(f) && lower_[f] == lower && Support(f) > 0)
                    return f;
            }
        }
        for (std::uint32_t f : members) {
            if (Open(f))
                return f;
        }
        return kNone;
    }

    // The block from `start`, as steps: up to kBlock upper triangles along the upper
    // lane, each the open neighbour of the last that touches the laid part most and
    // comes first round the ring, each with the open lower triangles it brings: those
    // across an edge from it, and those all of whose corners it or an earlier step, or
    // the laid part, covers.
    std::vector<std::vector<std::uint32_t>> Block(std::uint32_t start) {
        ++blocks_;
        std::vector<std::vector<std::uint32_t>> steps{{start}};
        block_[start] = blocks_;
        for (std::uint32_t f = start; !lower_[start] && steps.size() < kBlock;) {
            std::uint32_t next = kNone;
            for (std::uint32_t g : neighbours_[f]) {
                if (!Open(g) || lower_[g] || block_[g] == blocks_)
                    continue;
                if (next == kNone || Support(g) > Support(next) ||
                    (Support(g) == Support(next) && along_[g] < along_[next]))
                    next = g;
            }
            if (next == kNone)
                break;
            steps.push_back({next});
            block_[next] = blocks_;
            f = next;
        }
        for (std::vector<std::uint32_t>& step : steps) {
            for (std::uint32_t v : mesh_.triangles[step[0]])
                covered_[v] = blocks_;
            for (std::size_t k = 0; k < step.size(); ++k) {
                for (std::uint32_t v : mesh_.triangles[step[k]]) {
                    for (std::uint32_t g : around_[v]) {
                        if (Open(g) && lower_[g] && block_[g] != blocks_ &&
                            (Covered(g) || Adjacent(neighbours_, g, step[0]))) {
                            step.push_back(g);
                            block_[g] = blocks_;
                        }
                    }
                }
            }
        }
        return steps;
    }

    // Whether corner w is covered by a laid triangle of an upper lane or an earlier ring,
    // or lies on the ring's lower edge (it is a corner of an open triangle beyond it).
    bool CoveredCorner(std::uint32_t w) const {
        for (std::uint32_t h : around_[w]) {
            if (laid_[h] ? ring_[h] != rings_ || !lower_[h] : ring_[h] != rings_)
                return true;
        }
        return false;
    }

    // Whether each corner of lower triangle g is covered, by the block's upper triangles
    // or as CoveredCorner says.
    bool Covered(std::uint32_t g) const {
        for (std::uint32_t w : mesh_.triangles[g]) {
            if (covered_[w] != blocks_ && !CoveredCorner(w))
                return false;
        }
        return true;
    }

    // The block's triangles in strip order: one strip through as many of its first steps
    // as one strip runs through, starting next to the triangle laid last if it can, the
    // rest released for the next block; else as few strips as a greedy search finds.
    std::vector<std::uint32_t> Strung(const std::vector<std::vector<std::uint32_t>>& steps) {
        const std::uint32_t last = laid_order_.empty() ? kNone : laid_order_.back();
        steps_ = 0;
        for (std::size_t count = steps.size(); count > 0; --count) {
            Mark(steps, count);
            for (bool joined : {true, false}) {
                for (std::uint32_t s : nodes_) {
                    // A strip through all of them starts next to the last triangle, or
                    // else at one with one way on, if there is one, that touches the laid
                    // part: a strip that starts apart from it would come in alone.
                    if ((last != kNone && Adjacent(neighbours_, s, last)) != joined ||
                        (!joined && ((Onward(s) > 1 && Ends() > 0) ||
                                     (Support(s) == 0 && !laid_order_.empty()))) ||
                        !Reachable(s))
                        continue;
                    strip_.clear();
                    Push(s);
                    if (Through()) {
                        const std::vector<std::uint32_t> strip = strip_;
                        while (!strip_.empty())
                            Pop();
                        Unmark();
                        for (std::size_t k = count; k < steps.size(); ++k) {
                            for (std::uint32_t f : steps[k])
                                block_[f] = kNone;
                        }
                        return strip;
                    }
                    Pop();
                }
            }
            Unmark();
        }
        return Greedy(steps, last);
    }

    // The longest strip from each start in turn, each starting next to the last strip's
    // end if it can, else next to what is laid; what touches neither waits for a later
    // block, unless it is all there is.
    std::vector<std::uint32_t> Greedy(const std::vector<std::vector<std::uint32_t>>& steps,
                                      std::uint32_t last) {
        Mark(steps, steps.size());
        std::vector<std::uint32_t> order;
        for (std::size_t left = nodes_.size(); left > 0; left -= longest_.size()) {
            const std::uint32_t from = order.empty() ? last : order.back();
            longest_.clear();
            for (int pass = 0; pass < (order.empty() ? 3 : 2) && longest_.empty(); ++pass) {
                for (std::uint32_t s : nodes_) {
                    if (state_[s] != kNode ||
                        (pass == 0 && (from == kNone || !Adjacent(neighbours_, s, from))) ||
                        (pass == 1 && !Touches(s)))
                        continue;
                    strip_.assign(1, s);
                    state_[s] = kOnStrip;
                    steps_ = 0;
                    Longest();
                    state_[s] = kNode;
                }
            }
            if (longest_.empty())
                break;
            for (std::uint32_t f : longest_)
                state_[f] = kTaken;
            order.insert(order.end(), longest_.begin(), longest_.end());
        }
        for (std::uint32_t f : nodes_) {
            if (state_[f] == kNode)
                block_[f] = kNone;
        }
        Unmark();
        return order;
    }

    // The search runs over the triangles of the first `count` steps, its nodes.
    void Mark(const std::vector<std::vector<std::uint32_t>>& steps, std::size_t count) {
        nodes_.clear();
        for (std::size_t k = 0; k < count; ++k) {
            for (std::uint32_t f : steps[k])
                nodes_.push_back(f), state_[f] = kNode;
        }
    }

    void Unmark() {
        for (std::uint32_t f : nodes_)
            state_[f] = kOut;
    }

    std::uint32_t Onward(std::uint32_t f) const {  // neighbours still to be strung
        std::uint32_t onward = 0;
        for (std::uint32_t g : neighbours_[f])
            onward += state_[g] == kNode ? 1 : 0;
        return onward;
    }

    std::uint32_t Ends() const {  // nodes with one way on at most
        std::uint32_t ends = 0;
        for (std::uint32_t f : nodes_)
            ends += state_[f] == kNode && Onward(f) <= 1 ? 1 : 0;
        return ends;
    }

    // Whether f touches the laid part or a strip already taken.
    bool Touches(std::uint32_t f) const {
        for (std::uint32_t g : neighbours_[f]) {
            if (laid_[g] || state_[g] == kTaken)
                return true;
        }
        return false;
    }

    // Whether f may come next on the strip: an upper triangle may; a lower one once the
    // upper lane over it is laid or on the strip, across one of its edges or over each
    // of its corners.
    bool Reachable(std::uint32_t f) const {
        if (!lower_[f])
            return true;
        for (std::uint32_t h : neighbours_[f]) {
            if (ring_[h] == rings_ && !lower_[h] && (laid_[h] || state_[h] == kOnStrip))
                return true;
        }
        for (std::uint32_t w : mesh_.triangles[f]) {
            if (onStrip_[w] == 0 && !CoveredCorner(w))
                return false;
        }
        return true;
    }

    void Push(std::uint32_t f) {
        strip_.push_back(f);
        state_[f] = kOnStrip;
        if (!lower_[f]) {
            for (std::uint32_t v : mesh_.triangles[f])
                ++onStrip_[v];
        }
    }

    void Pop() {
        const std::uint32_t f = strip_.back();
        strip_.pop_back();
        state_[f] = kNode;
        if (!lower_[f]) {
            for (std::uint32_t v : mesh_.triangles[f])
                --onStrip_[v];
        }
    }

    // Extends the strip through all the nodes, trying the neighbour with the fewest ways
    // on first; gives up after kSearch steps for the block.
    bool Through() {
        if (strip_.size() == nodes_.size())
            return true;
        if (++steps_ > kSearch)
            return false;
        // A node with no way on but from the strip's end must come next; two such, or
        // one anywhere else, can not all be reached.
        std::uint32_t ends = 0;
        for (std::uint32_t f : nodes_) {
            if (state_[f] != kNode || Onward(f) > 0)
                continue;
            if (!Adjacent(neighbours_, f, strip_.back()) || ++ends > 1)
                return false;
        }
        std::array<std::uint32_t, 3> next = neighbours_[strip_.back()];
        std::sort(next.begin(), next.end(), [&](std::uint32_t a, std::uint32_t b) {
            return std::make_pair(state_[a] != kNode, Onward(a)) <
                   std::make_pair(state_[b] != kNode, Onward(b));
        });
        for (std::uint32_t g : next) {
            if (state_[g] != kNode || !Reachable(g))
                continue;
            Push(g);
            if (Through())
                return true;
            Pop();
        }
        return false;
    }

    // The longest strip from the strip's start through the nodes, into longest_.
    void Longest() {
        if (strip_.size() > longest_.size())
            longest_ = strip_;
        if (++steps_ > kSearch)
            return;
        for (std::uint32_t g : neighbours_[strip_.back()]) {
            if (state_[g] != kNode)
                continue;
            strip_.push_back(g);
            state_[g] = kOnStrip;
            Longest();
            state_[g] = kNode;
            strip_.pop_back();
        }
    }

    bool Cached(std::uint32_t v) const {
        return stamp_[v] != kNone && insertions_ - stamp_[v] <= kCacheEntries;
    }

    // Appends triangle f, rotated so that its vertex not in the previous triangle comes
    // last, the way a strip reads: after (a, b, c) comes (c, b, d) or (a, c, d); then a
    // speck held back next to it.
    void Lay(std::uint32_t f) {
        Triangle t = mesh_.triangles[f];
        if (!order_.empty()) {
            const Triangle& last = order_.back();
            for (int r = 0; r < 3 && std::find(last.begin(), last.end(), t[2]) != last.end(); ++r)
                t = {t[1], t[2], t[0]};
        }
        laid_[f] = true;
        deferred_[f] = false;
        laid_order_.push_back(f);
        order_.push_back(t);
        for (std::uint32_t v : t) {
            if (!Cached(v))
                stamp_[v] = insertions_++;
        }
        for (std::uint32_t g : neighbours_[f]) {
            if (deferred_[g])
                Lay(g);
        }
    }

    const SurfaceMesh& mesh_;
    const std::vector<TriangleNeighbours>& neighbours_;
    const std::vector<std::vector<std::uint32_t>>& around_;  // triangles around each vertex
    // The rings, and each triangle's place in its ring.
    std::vector<std::uint32_t> ring_;  // the ring each triangle was given to
    std::uint32_t rings_ = 0;          // the ring being walked
    std::vector<bool> lower_;          // in the lower lane of its ring
    std::vector<double> along_;        // radians round the ring from its entry
    // The blocks.
    std::vector<std::uint32_t> block_;    // the block each triangle is in, if any
    std::uint32_t blocks_ = 0;            // the block being laid
    std::vector<std::uint32_t> covered_;  // per vertex: the block whose upper lane covers it
    // The search for strips through a block.
    std::vector<std::uint8_t> state_;
    std::vector<std::uint32_t> onStrip_;  // per vertex: upper triangles on the strip around it
    std::vector<std::uint32_t> nodes_;    // the triangles it strings together
    std::vector<std::uint32_t> strip_, longest_;
    std::size_t steps_ = 0;
    // The list, and the cache as it loads it.
    std::vector<bool> laid_;
    std::vector<bool> deferred_;        // specks held back
    std::vector<std::uint32_t> stamp_;  // insertion number of each vertex's last miss
    std::uint32_t insertions_ = 0;
    std::vector<std::uint32_t> laid_order_;  // triangle numbers in order
    std::vector<Triangle> order_;
};

// A band's piece in rings two rows wide, by the rows of vertices counted from the part
// laid above it, or, for a piece that nothing touches yet, from its highest corner: a
// ring's upper lane touches the row it starts from, its lower lane does not (`lower`).
// Where the band lies steep, the piece is one ring; where it lies flat (a dome's top,
// the underside) it is wide, and its rings go round it one inside the other. `row` holds
// kNone for every vertex on entry, and again on return.
std::vector<std::vector<std::uint32_t>> Rings(
    const SurfaceMesh& mesh, const std::vector<TriangleNeighbours>& neighbours,
    const std::vector<std::vector<std::uint32_t>>& linked, const StripWalker& walker,
    const std::vector<std::uint32_t>& piece, std::vector<std::uint32_t>& row,
    std::vector<bool>& lower, std::vector<std::uint32_t>& scratch) {
    constexpr std::uint32_t kUnreached = kNone - 1;  // a vertex of the piece
    std::vector<std::uint32_t> corners;
    for (std::uint32_t f : piece) {
        for (std::uint32_t v : mesh.triangles[f])
            corners.push_back(v), row[v] = kUnreached;
    }
    std::vector<std::uint32_t> reached;
    for (std::uint32_t f : piece) {
        const Triangle& t = mesh.triangles[f];
        for (int e = 0; e < 3; ++e) {
            if (!walker.IsLaid(neighbours[f][e]))
                continue;
            for (std::uint32_t v : {t[e], t[(e + 1) % 3]}) {
                if (row[v] == kUnreached)
                    row[v] = 0, reached.push_back(v);
            }
        }
    }
    if (reached.empty()) {
        const std::uint32_t highest = *std::max_element(
            corners.begin(), corners.end(), [&](std::uint32_t a, std::uint32_t b) {
                return mesh.positions[a].y < mesh.positions[b].y;
            });
        row[highest] = 0, reached.push_back(highest);
    }
    for (std::size_t k = 0; k < reached.size(); ++k) {
        for (std::uint32_t w : linked[reached[k]]) {
            if (row[w] == kUnreached)
                row[w] = row[reached[k]] + 1, reached.push_back(w);
        }
    }
    std::vector<std::vector<std::uint32_t>> cut;
    for (std::uint32_t f : piece) {
        std::uint32_t first = kNone;
        for (std::uint32_t v : mesh.triangles[f])
            first = std::min(first, row[v]);
        if (first / 2 >= cut.size())
            cut.resize(first / 2 + 1);
        cut[first / 2].push_back(f);
        lower[f] = first % 2 == 1;
    }
    for (std::uint32_t v : corners)
        row[v] = kNone;
    std::vector<std::vector<std::uint32_t>> rings;
    for (const std::vector<std::uint32_t>& ring : cut) {
        for (std::vector<std::uint32_t>& part : Pieces(ring, neighbours, scratch))
            rings.push_back(std::move(part));
    }
    return rings;
}

}  // namespace

std::vector<Triangle> OrderForReveal(const SurfaceMesh& mesh, const RevealOptions& options,
                                     std::vector<std::uint32_t>* numbers) {
    const std::vector<TriangleNeighbours> neighbours = FindNeighbours(mesh.triangles);
    const std::uint32_t triangles = static_cast<std::uint32_t>(mesh.triangles.size());
    if (options.hidden.size() != triangles || !(options.levelDepth > 0.0))
        throw std::runtime_error("the reveal's options do not fit the mesh");

    // The bands, as high as the level allows.
    double top = -std::numeric_limits<double>::infinity();
    for (std::uint32_t f = 0; f < triangles; ++f)
        top = std::max(top, Centre(mesh, f).y);
    std::vector<std::uint32_t> bandOf;
    for (double height = options.levelDepth;; height *= kLower) {
        bandOf = Bands(mesh, neighbours, top, height);
        if (LevelDepth(mesh, bandOf) <= options.levelDepth)
            break;
    }
    std::vector<std::vector<std::uint32_t>> bands(*std::max_element(bandOf.begin(), bandOf.end()) +
                                                  1);
    for (std::uint32_t f = 0; f < triangles; ++f)
        bands[bandOf[f]].push_back(f);

    // The opening: the first bands that hold hiddenCount hidden triangles, their hidden
    // triangles first, band by band, then the rest of them.
    std::size_t opening = 0;
    for (std::uint32_t found = 0; found < options.hiddenCount; ++opening) {
        if (opening == bands.size())
            throw std::runtime_error("too few hidden triangles to open the list with");
        for (std::uint32_t f : bands[opening])
            found += options.hidden[f] ? 1 : 0;
    }
    std::vector<std::vector<std::uint32_t>> passes;
    for (bool hidden : {true, false}) {
        for (std::size_t b = 0; b < opening; ++b) {
            passes.push_back({});
            for (std::uint32_t f : bands[b]) {
                if (options.hidden[f] == hidden)
                    passes.back().push_back(f);
            }
        }
    }
    passes.insert(passes.end(), bands.begin() + static_cast<std::ptrdiff_t>(opening), bands.end());

    // Each vertex's neighbours along edges, and the triangles around it.
    std::vector<std::vector<std::uint32_t>> linked(mesh.positions.size());
    std::vector<std::vector<std::uint32_t>> around(mesh.positions.size());
    for (std::uint32_t f = 0; f < triangles; ++f) {
        const Triangle& t = mesh.triangles[f];
        for (int e = 0; e < 3; ++e) {
            linked[t[e]].push_back(t[(e + 1) % 3]);
            around[t[e]].push_back(f);
        }
    }

    StripWalker walker(mesh, neighbours, around);
    std::vector<std::uint32_t> scratch(triangles, kNone);
    std::vector<std::uint32_t> row(mesh.positions.size(), kNone);
    std::vector<bool> lower(triangles, false);
    for (const std::vector<std::uint32_t>& pass : passes) {
        std::vector<std::vector<std::uint32_t>> rings;
        for (const std::vector<std::uint32_t>& piece : Pieces(pass, neighbours, scratch)) {
            // A speck that nothing laid touches waits for its neighbours, rather than come
            // in alone.
            bool touches = false;
            for (std::uint32_t f : piece) {
                for (std::uint32_t g : neighbours[f])
                    touches = touches || walker.IsLaid(g);
            }
            if (!touches && piece.size() <= kSpeck && !walker.Laid().empty()) {
                walker.Defer(piece);
                continue;
            }
            for (std::vector<std::uint32_t>& ring :
                 Rings(mesh, neighbours, linked, walker, piece, row, lower, scratch))
                rings.push_back(std::move(ring));
        }
        // Rings one after another, each next the one nearest to where the walk is, and
        // always one that touches the laid part where there is one.
        std::vector<bool> walked(rings.size(), false);
        for (std::size_t n = 0; n < rings.size(); ++n) {
            std::size_t next = 0;
            double closest = std::numeric_limits<double>::infinity();
            for (std::size_t r = 0; r < rings.size(); ++r) {
                if (walked[r])
                    continue;
                for (std::uint32_t f : rings[r]) {
                    bool touches = false;
                    for (std::uint32_t g : neighbours[f])
                        touches = touches || walker.IsLaid(g);
                    const double d =
                        walker.Laid().empty()
                            ? 0.0
                            : Length(Centre(mesh, f) - Centre(mesh, walker.Laid().back())) +
                                  (touches ? 0.0 : 1e3);
                    if (d < closest)
                        closest = d, next = r;
                }
            }
            walked[next] = true;
            walker.WalkRing(rings[next], lower);
        }
    }
    walker.LayDeferred();
    if (numbers != nullptr)
        *numbers = walker.Laid();
    return walker.Order();
}
