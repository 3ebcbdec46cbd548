#include "sphere_hull.h"

#include <cstdio>
#include <stdexcept>
#include <string>

extern "C" {
#include <libqhull_r/qhull_ra.h>
}

std::vector<std::array<std::uint32_t, 3>> TriangulateSphere(const std::vector<Vec3>& directions) {
    std::vector<coordT> coordinates;
    coordinates.reserve(directions.size() * 3);
    for (const Vec3& d : directions) {
        coordinates.insert(coordinates.end(), {d.x, d.y, d.z});
    }
    qhT context;
    qhT* qh = &context;
    qh_zero(qh, stderr);
    // Qt: triangulated output. No joggle, so the result depends on the input alone.
    char options[] = "qhull Qt";
    const int status = qh_new_qhull(qh, 3, static_cast<int>(directions.size()), coordinates.data(),
                                    False, options, nullptr, stderr);
    std::vector<std::array<std::uint32_t, 3>> triangles;
    std::string error;
    if (status != 0) {
        error = "qhull failed with status " + std::to_string(status);
    } else {
        facetT* facet;
        FORALLfacets {
            std::array<std::uint32_t, 3> t{};
            int k = 0;
            vertexT* vertex;
            vertexT** vertexp;
            FOREACHvertex_(facet->vertices) {
                if (k < 3)
                    t[k] = static_cast<std::uint32_t>(qh_pointid(qh, vertex->point));
                ++k;
            }
            if (k != 3) {
                error = "qhull returned a facet that is not a triangle";
                break;
            }
            const Vec3& a = directions[t[0]];
            const Vec3 n = Cross(directions[t[1]] - a, directions[t[2]] - a);
            if (Dot(n, a + directions[t[1]] + directions[t[2]]) < 0.0)
                std::swap(t[1], t[2]);
            triangles.push_back(t);
        }
    }
    qh_freeqhull(qh, !qh_ALL);
    int longCount = 0;
    int longBytes = 0;
    qh_memfreeshort(qh, &longCount, &longBytes);
    if (error.empty() && triangles.size() != 2 * directions.size() - 4) {
        error = "the hull leaves points out (" + std::to_string(triangles.size()) + " triangles)";
    }
    if (!error.empty())
        throw std::runtime_error(error);
    return triangles;
}
