#include "tessellate.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Labeled_mesh_domain_3.h>
#include <CGAL/Mesh_complex_3_in_triangulation_3.h>
#include <CGAL/Mesh_criteria_3.h>
#include <CGAL/Mesh_triangulation_3.h>
#include <CGAL/Polygon_mesh_processing/measure.h>
#include <CGAL/Polygon_mesh_processing/orientation.h>
#include <CGAL/Polygon_mesh_processing/remesh.h>
#include <CGAL/Random.h>
#include <CGAL/Surface_mesh.h>
#include <CGAL/Surface_mesh_simplification/Policies/Edge_collapse/Bounded_normal_change_placement.h>
#include <CGAL/Surface_mesh_simplification/Policies/Edge_collapse/Edge_length_cost.h>
#include <CGAL/Surface_mesh_simplification/edge_collapse.h>
#include <CGAL/facets_in_complex_3_to_triangle_mesh.h>
#include <CGAL/make_mesh_3.h>

#include <cmath>
#include <stdexcept>

#include "sculpture.h"

namespace {

namespace PMP = CGAL::Polygon_mesh_processing;
namespace SMS = CGAL::Surface_mesh_simplification;

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;
using Mesh = CGAL::Surface_mesh<Point>;
using VertexIndex = Mesh::Vertex_index;
using FaceIndex = Mesh::Face_index;

using Domain = CGAL::Labeled_mesh_domain_3<Kernel>;
using Triangulation = CGAL::Mesh_triangulation_3<Domain, CGAL::Default, CGAL::Sequential_tag>::type;
using Complex = CGAL::Mesh_complex_3_in_triangulation_3<Triangulation>;
using Criteria = CGAL::Mesh_criteria_3<Triangulation>;

Vec3 ToVec(const Point& p) {
    return {p.x(), p.y(), p.z()};
}

Point ToPoint(const Vec3& v) {
    return {v.x, v.y, v.z};
}

// A closed, outward-facing surface mesh of the sculpture, coarser and less even than the
// final one: the facets of a Delaunay refinement of the implicit surface, at least 25
// degrees and at most 0.03 across. Only the surface is refined; the volume's tetrahedra
// are left as they come. The bound on the distance to the surface is loose: a tight one
// makes the facets smaller where the surface curves, and the remesher keeps some of
// that density, so that the final triangles would be smaller there. (The remesher puts
// every vertex back on the surface, which gives the shape its accuracy.)
Mesh MeshImplicitSurface(std::uint32_t seed) {
    // The mesher finds its first surface points along random rays from the generator it
    // is given.
    CGAL::Random random(seed);
    const Domain domain = Domain::create_implicit_mesh_domain(
        [](const Point& p) { return SculptureField(ToVec(p)); },
        Kernel::Sphere_3(ToPoint(SculptureInside), 1.6 * 1.6),
        CGAL::parameters::relative_error_bound = 1e-7, CGAL::parameters::p_rng = &random);
    const Criteria criteria(CGAL::parameters::facet_angle = 25.0,
                            CGAL::parameters::facet_size = 0.03,
                            CGAL::parameters::facet_distance = 0.02);
    const Complex complex =
        CGAL::make_mesh_3<Complex>(domain, criteria, CGAL::parameters::manifold(),
                                   CGAL::parameters::no_perturb(), CGAL::parameters::no_exude());
    Mesh mesh;
    CGAL::facets_in_complex_3_to_triangle_mesh(complex, mesh);
    if (!CGAL::is_closed(mesh) || mesh.number_of_vertices() < 1000)
        throw std::runtime_error("the mesher did not close the surface");
    if (!PMP::is_outward_oriented(mesh))
        PMP::reverse_face_orientations(mesh);
    return mesh;
}

// Where an edge collapse puts the vertex it keeps: the edge's midpoint, on the surface.
struct ProjectedMidpoint {
    template <typename Profile>
    boost::optional<typename Profile::Point> operator()(const Profile& profile) const {
        return ToPoint(ProjectOntoSurface((ToVec(profile.p0()) + ToVec(profile.p1())) * 0.5));
    }
};

}  // namespace

SurfaceMesh TessellateSculpture(std::uint32_t vertexCount, std::uint32_t seed) {
    const Mesh coarse = MeshImplicitSurface(seed);
    // Every vertex the remesher moves or adds goes back onto the sculpture's own surface
    // rather than onto the coarse mesh.
    Mesh mesh;
    auto project = [&mesh](VertexIndex v) {
        return ToPoint(ProjectOntoSurface(ToVec(mesh.point(v))));
    };
    // An even triangulation has two triangles of sqrt(3)/4 L^2 per vertex for an edge of
    // L: choose L so that the area takes about vertexCount vertices. The remesher keeps
    // its edges between 4/5 and 4/3 of the length it is given, and ends with them about
    // 7% shorter on average than that. Its count must come out over the one asked for,
    // by at most 3%, for edge collapses to take it down to the exact count: it is aimed
    // at 1% over, and a second try corrects what the estimate misses.
    constexpr double kAim = 1.01;
    double target =
        1.07 * std::sqrt(2.0 * PMP::area(coarse) / (std::sqrt(3.0) * kAim * vertexCount));
    for (int attempt = 0;; ++attempt) {
        mesh = coarse;
        PMP::isotropic_remeshing(
            mesh.faces(), target, mesh,
            PMP::parameters::number_of_iterations(4).projection_functor(project));
        const double ratio = static_cast<double>(mesh.number_of_vertices()) / vertexCount;
        if (ratio >= 1.0 && ratio < 1.03)
            break;
        if (attempt == 3)
            throw std::runtime_error("the remesher does not come near the vertex count");
        target *= std::sqrt(ratio / kAim);
    }
    mesh.collect_garbage();

    // The shortest edges go first, each to its midpoint on the surface, and none that
    // would turn a triangle over.
    SMS::edge_collapse(
        mesh,
        [&mesh, vertexCount](const auto&, const auto&, std::size_t, std::size_t) {
            return mesh.number_of_vertices() <= vertexCount;
        },
        CGAL::parameters::get_cost(SMS::Edge_length_cost<Mesh>())
            .get_placement(SMS::Bounded_normal_change_placement<ProjectedMidpoint>()));
    mesh.collect_garbage();
    if (mesh.number_of_vertices() != vertexCount)
        throw std::runtime_error("the edge collapses did not reach the vertex count");

    // Valence flips, tangential relaxation and projection, without changing the count, to
    // even out what the collapses left.
    PMP::isotropic_remeshing(mesh.faces(), target, mesh,
                             PMP::parameters::number_of_iterations(4)
                                 .do_split(false)
                                 .do_collapse(false)
                                 .projection_functor(project));
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
