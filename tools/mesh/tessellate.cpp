#include "tessellate.h"

#include <CGAL/Complex_2_in_triangulation_3.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/IO/facets_in_complex_2_to_triangle_mesh.h>
#include <CGAL/Implicit_surface_3.h>
#include <CGAL/Polygon_mesh_processing/measure.h>
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/remesh.h>
#include <CGAL/Random.h>
#include <CGAL/Surface_mesh.h>
#include <CGAL/Surface_mesh_default_triangulation_3.h>
#include <CGAL/make_surface_mesh.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sculpture.h"

namespace {

namespace PMP = CGAL::Polygon_mesh_processing;

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;
using Mesh = CGAL::Surface_mesh<Point>;
using VertexIndex = Mesh::Vertex_index;
using HalfedgeIndex = Mesh::Halfedge_index;
using EdgeIndex = Mesh::Edge_index;
using FaceIndex = Mesh::Face_index;

using Delaunay = CGAL::Surface_mesh_default_triangulation_3;
using SurfaceComplex = CGAL::Complex_2_in_triangulation_3<Delaunay>;
using MesherTraits = Delaunay::Geom_traits;

// Smallest angle the surface's triangles may have, in degrees.
constexpr double kMinimumAngle = 15.0;

Vec3 ToVec(const Point& p) {
    return {p.x(), p.y(), p.z()};
}

Point ToPoint(const Vec3& v) {
    return {v.x, v.y, v.z};
}

MesherTraits::FT Field(MesherTraits::Point_3 p) {
    return SculptureField(ToVec(p));
}

// A closed, outward-facing surface mesh of the sculpture, coarser and less even than the
// final one: Delaunay refinement of the implicit surface with facets of at least 25
// degrees, at most 0.03 across and within 0.002 of the surface.
Mesh MeshImplicitSurface(std::uint32_t seed) {
    // The mesher finds its first surface points along random rays: seed the generator it
    // draws them from, which is otherwise seeded from the clock.
    CGAL::get_default_random() = CGAL::Random(seed);
    Delaunay triangulation;
    SurfaceComplex complex(triangulation);
    const CGAL::Implicit_surface_3<MesherTraits, MesherTraits::FT (*)(MesherTraits::Point_3)>
        surface(Field, MesherTraits::Sphere_3(ToPoint(SculptureInside), 1.6 * 1.6), 1e-7);
    const CGAL::Surface_mesh_default_criteria_3<Delaunay> criteria(25.0, 0.03, 0.002);
    CGAL::make_surface_mesh(complex, surface, criteria, CGAL::Manifold_tag());
    Mesh mesh;
    CGAL::facets_in_complex_2_to_triangle_mesh(complex, mesh);
    if (!CGAL::is_closed(mesh) || mesh.number_of_vertices() < 1000)
        throw std::runtime_error("the surface mesher did not close the surface");
    if (!PMP::is_outward_oriented(mesh))
        PMP::reverse_face_orientations(mesh);
    return mesh;
}

double AngleAt(const Vec3& apex, const Vec3& a, const Vec3& b) {
    const Vec3 u = a - apex;
    const Vec3 v = b - apex;
    return std::atan2(Length(Cross(u, v)), Dot(u, v)) * (180.0 / std::numbers::pi);
}

double SmallestAngle(const Vec3& a, const Vec3& b, const Vec3& c) {
    return std::min({AngleAt(a, b, c), AngleAt(b, c, a), AngleAt(c, a, b)});
}

struct Corners {
    Vec3 a, b, c;
};

Corners CornersOf(const Mesh& mesh, HalfedgeIndex h) {
    return {ToVec(mesh.point(mesh.source(h))), ToVec(mesh.point(mesh.target(h))),
            ToVec(mesh.point(mesh.target(mesh.next(h))))};
}

// Whether moving v to `to` keeps each triangle around it facing as it does now and
// leaves it no angle under the minimum.
bool MoveKeepsShape(const Mesh& mesh, VertexIndex v, const Vec3& to, FaceIndex skip0,
                    FaceIndex skip1, VertexIndex alias) {
    for (HalfedgeIndex h : CGAL::halfedges_around_target(mesh.halfedge(v), mesh)) {
        const FaceIndex f = mesh.face(h);
        if (f == skip0 || f == skip1)
            continue;
        // h ends at v: the triangle is (source(h), v, target(next(h))).
        const VertexIndex p = mesh.source(h), q = mesh.target(mesh.next(h));
        if (p == alias || q == alias)
            return false;
        const Vec3 a = ToVec(mesh.point(p)), b = ToVec(mesh.point(v)), c = ToVec(mesh.point(q));
        const Vec3 before = Cross(b - a, c - a);
        const Vec3 after = Cross(to - a, c - a);
        if (Dot(before, after) <= 0.0 || SmallestAngle(a, to, c) < kMinimumAngle)
            return false;
    }
    return true;
}

// Removes one vertex by collapsing the edge of h to its projected midpoint, if that keeps
// the surface a well-shaped manifold. Returns whether it did.
bool TryCollapse(Mesh& mesh, HalfedgeIndex h) {
    const EdgeIndex e = mesh.edge(h);
    if (!CGAL::Euler::does_satisfy_link_condition(e, mesh))
        return false;
    const VertexIndex a = mesh.source(h), b = mesh.target(h);
    const VertexIndex c = mesh.target(mesh.next(h));
    const VertexIndex d = mesh.target(mesh.next(mesh.opposite(h)));
    if (mesh.degree(c) <= 4 || mesh.degree(d) <= 4 || mesh.degree(a) + mesh.degree(b) > 13)
        return false;
    const Vec3 to = ProjectOntoSurface((ToVec(mesh.point(a)) + ToVec(mesh.point(b))) * 0.5);
    const FaceIndex f0 = mesh.face(h), f1 = mesh.face(mesh.opposite(h));
    if (!MoveKeepsShape(mesh, a, to, f0, f1, b) || !MoveKeepsShape(mesh, b, to, f0, f1, a))
        return false;
    const VertexIndex kept = CGAL::Euler::collapse_edge(e, mesh);
    mesh.point(kept) = ToPoint(to);
    return true;
}

// Adds one vertex at the projected midpoint of the edge of h, joined to the two
// vertices opposite the edge.
void Split(Mesh& mesh, HalfedgeIndex h) {
    const Vec3 mid = ProjectOntoSurface(
        (ToVec(mesh.point(mesh.source(h))) + ToVec(mesh.point(mesh.target(h)))) * 0.5);
    const HalfedgeIndex added = CGAL::Euler::split_edge(h, mesh);
    mesh.point(mesh.target(added)) = ToPoint(mid);
    CGAL::Euler::split_face(added, mesh.next(h), mesh);
    const HalfedgeIndex back = mesh.opposite(h);
    CGAL::Euler::split_face(back, mesh.next(mesh.opposite(added)), mesh);
}

double EdgeLength(const Mesh& mesh, HalfedgeIndex h) {
    return Length(ToVec(mesh.point(mesh.target(h))) - ToVec(mesh.point(mesh.source(h))));
}

// Edges by length, shortest first (ties by index, so the order is the same every run).
std::vector<HalfedgeIndex> EdgesByLength(const Mesh& mesh) {
    std::vector<std::pair<double, HalfedgeIndex>> edges;
    for (EdgeIndex e : mesh.edges())
        edges.push_back({EdgeLength(mesh, mesh.halfedge(e)), mesh.halfedge(e)});
    std::sort(edges.begin(), edges.end());
    std::vector<HalfedgeIndex> result;
    for (const auto& [length, h] : edges)
        result.push_back(h);
    return result;
}

// Splits the longest edges or collapses the shortest until the mesh has exactly
// `count` vertices, never two changes side by side in one pass.
void ReachVertexCount(Mesh& mesh, std::size_t count) {
    while (mesh.number_of_vertices() != count) {
        const bool grow = mesh.number_of_vertices() < count;
        std::vector<HalfedgeIndex> edges = EdgesByLength(mesh);
        if (grow)
            std::reverse(edges.begin(), edges.end());
        std::vector<bool> touched(mesh.num_vertices(), false);
        std::size_t changes = 0;
        for (HalfedgeIndex h : edges) {
            if (mesh.number_of_vertices() == count)
                break;
            if (mesh.is_removed(mesh.edge(h)))
                continue;
            const VertexIndex around[4] = {mesh.source(h), mesh.target(h),
                                           mesh.target(mesh.next(h)),
                                           mesh.target(mesh.next(mesh.opposite(h)))};
            if (std::any_of(std::begin(around), std::end(around), [&](VertexIndex v) {
                    return std::size_t{v} >= touched.size() || touched[v];
                }))
                continue;
            if (grow) {
                Split(mesh, h);
            } else if (!TryCollapse(mesh, h)) {
                continue;
            }
            ++changes;
            for (VertexIndex v : around) {
                if (mesh.is_removed(v))
                    continue;
                for (VertexIndex w : CGAL::vertices_around_target(v, mesh))
                    if (std::size_t{w} < touched.size())
                        touched[w] = true;
                touched[v] = true;
            }
        }
        if (changes == 0)
            throw std::runtime_error("cannot reach the vertex count");
        mesh.collect_garbage();
    }
}

// The smallest angle of the two triangles at the edge of h, now and with it flipped.
std::pair<double, double> FlipAngles(const Mesh& mesh, HalfedgeIndex h) {
    const Corners t = CornersOf(mesh, h);
    const Vec3 d = ToVec(mesh.point(mesh.target(mesh.next(mesh.opposite(h)))));
    const double now = std::min(SmallestAngle(t.a, t.b, t.c), SmallestAngle(t.b, t.a, d));
    // After the flip: (c, a, d) and (d, b, c).
    const Vec3 n0 = Cross(t.b - t.a, t.c - t.a) + Cross(t.a - t.b, d - t.b);
    if (Dot(Cross(t.a - t.c, d - t.c), n0) <= 0.0 || Dot(Cross(t.b - d, t.c - d), n0) <= 0.0)
        return {now, -1.0};
    return {now, std::min(SmallestAngle(t.c, t.a, d), SmallestAngle(d, t.b, t.c))};
}

// Flips edges where that raises the smallest angle of their two triangles above the
// minimum; collapses what flips cannot mend, then restores the count. Returns the number
// of triangles still under the minimum.
std::size_t MendSmallAngles(Mesh& mesh, std::size_t count) {
    auto badFaces = [&] {
        std::vector<FaceIndex> bad;
        for (FaceIndex f : mesh.faces()) {
            const Corners t = CornersOf(mesh, mesh.halfedge(f));
            if (SmallestAngle(t.a, t.b, t.c) < kMinimumAngle)
                bad.push_back(f);
        }
        return bad;
    };
    for (FaceIndex f : badFaces()) {
        if (mesh.is_removed(f))
            continue;
        HalfedgeIndex best;
        double bestAngle = 0.0;
        for (HalfedgeIndex h : CGAL::halfedges_around_face(mesh.halfedge(f), mesh)) {
            const VertexIndex c = mesh.target(mesh.next(h));
            const VertexIndex d = mesh.target(mesh.next(mesh.opposite(h)));
            if (mesh.degree(mesh.source(h)) <= 4 || mesh.degree(mesh.target(h)) <= 4 ||
                mesh.degree(c) >= 9 || mesh.degree(d) >= 9 ||
                mesh.halfedge(c, d) != Mesh::null_halfedge())
                continue;
            const auto [now, after] = FlipAngles(mesh, h);
            if (after > now && after > bestAngle)
                best = h, bestAngle = after;
        }
        if (best != Mesh::null_halfedge() && bestAngle >= kMinimumAngle) {
            CGAL::Euler::flip_edge(best, mesh);
            continue;
        }
        // Otherwise collapse the triangle's shortest edge.
        HalfedgeIndex shortest = mesh.halfedge(f);
        for (HalfedgeIndex h : CGAL::halfedges_around_face(mesh.halfedge(f), mesh))
            if (EdgeLength(mesh, h) < EdgeLength(mesh, shortest))
                shortest = h;
        TryCollapse(mesh, shortest);
    }
    mesh.collect_garbage();
    ReachVertexCount(mesh, count);
    return badFaces().size();
}

}  // namespace

SurfaceMesh TessellateSculpture(std::uint32_t vertexCount, std::uint32_t seed) {
    const Mesh coarse = MeshImplicitSurface(seed);
    // An even triangulation has two triangles of sqrt(3)/4 L^2 per vertex for an edge of
    // L: choose L so that the area takes about vertexCount vertices. The remesher keeps
    // its edges between 4/5 and 4/3 of the length it is given, and ends with them about
    // 7% shorter on average than that; a second try corrects what remains.
    double target = 1.075 * std::sqrt(2.0 * PMP::area(coarse) / (std::sqrt(3.0) * vertexCount));
    Mesh mesh;
    // Every vertex the remesher moves or adds goes back onto the sculpture's own surface
    // rather than onto the coarse mesh.
    auto project = [&mesh](VertexIndex v) {
        return ToPoint(ProjectOntoSurface(ToVec(mesh.point(v))));
    };
    for (int attempt = 0; attempt < 3; ++attempt) {
        mesh = coarse;
        PMP::isotropic_remeshing(
            mesh.faces(), target, mesh,
            PMP::parameters::number_of_iterations(4).projection_functor(project));
        const double ratio = static_cast<double>(mesh.number_of_vertices()) / vertexCount;
        if (std::abs(ratio - 1.0) < 0.015)
            break;
        target *= std::sqrt(ratio);
    }
    mesh.collect_garbage();
    ReachVertexCount(mesh, vertexCount);
    std::size_t bad = 0;
    for (int round = 0; round < 6; ++round) {
        // Valence flips, tangential relaxation and projection, without changing the count.
        PMP::isotropic_remeshing(mesh.faces(), target, mesh,
                                 PMP::parameters::number_of_iterations(2)
                                     .do_split(false)
                                     .do_collapse(false)
                                     .projection_functor(project));
        bad = MendSmallAngles(mesh, vertexCount);
        if (bad == 0)
            break;
    }
    if (bad != 0)
        throw std::runtime_error("triangles with angles under the minimum remain");
    mesh.collect_garbage();

    SurfaceMesh result;
    for (VertexIndex v : mesh.vertices())
        result.positions.push_back(ToVec(mesh.point(v)));
    for (FaceIndex f : mesh.faces()) {
        Triangle t;
        int i = 0;
        for (VertexIndex v : CGAL::vertices_around_face(mesh.halfedge(f), mesh))
            t[i++] = static_cast<std::uint32_t>(v);
        result.triangles.push_back(t);
    }
    return result;
}
