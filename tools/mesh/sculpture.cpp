#include "sculpture.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace {

// Polynomial smooth minimum: blends two fields over a band of width k.
double SmoothMin(double a, double b, double k) {
    const double h = std::max(k - std::abs(a - b), 0.0) / k;
    return std::min(a, b) - h * h * k * 0.25;
}

double SmoothMax(double a, double b, double k) {
    return -SmoothMin(-a, -b, k);
}

// Approximate distance to an ellipsoid with semi-axes radii.x, .y, .z along the unit
// axes u, v, w (exact on the axes, good nearby).
double Ellipsoid(const Vec3& p, const Vec3& centre, const Vec3& u, const Vec3& v, const Vec3& w,
                 const Vec3& radii) {
    const Vec3 q = p - centre;
    const Vec3 local{Dot(q, u), Dot(q, v), Dot(q, w)};
    const Vec3 a{local.x / radii.x, local.y / radii.y, local.z / radii.z};
    const Vec3 b{a.x / radii.x, a.y / radii.y, a.z / radii.z};
    const double k0 = Length(a);
    const double k1 = Length(b);
    return k1 > 0.0 ? k0 * (k0 - 1.0) / k1 : -std::min({radii.x, radii.y, radii.z});
}

double Ellipsoid(const Vec3& p, const Vec3& centre, const Vec3& radii) {
    return Ellipsoid(p, centre, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, radii);
}

// An ellipsoid whose first semi-axis (radii.x) runs along `along`; the second lies in the
// plane of `along` and `towards`, the third across both.
double Ellipsoid(const Vec3& p, const Vec3& centre, const Vec3& along, const Vec3& towards,
                 const Vec3& radii) {
    const Vec3 u = Normalized(along);
    const Vec3 v = Normalized(towards - u * Dot(towards, u));
    return Ellipsoid(p, centre, u, v, Cross(u, v), radii);
}

// A limb: the segment a..b swept by a sphere whose radius runs from ra to rb.
double Limb(const Vec3& p, const Vec3& a, const Vec3& b, double ra, double rb) {
    const Vec3 ab = b - a;
    const double t = std::clamp(Dot(p - a, ab) / Dot(ab, ab), 0.0, 1.0);
    return Length(p - (a + ab * t)) - (ra + (rb - ra) * t);
}

// The hare is modelled facing +z with its left side towards +x, then turned about the
// vertical axis so that the spin shows it from every side in turn.
constexpr double kTurn = 0.0;

Vec3 ToHare(const Vec3& p) {
    const double c = std::cos(kTurn), s = std::sin(kTurn);
    return {c * p.x - s * p.z, p.y, s * p.x + c * p.z - 0.19};
}

// Mirror of a point to the hare's left side, so that paired parts are modelled once.
Vec3 LeftSide(const Vec3& q) {
    return {std::abs(q.x), q.y, q.z};
}

struct Parts {
    double leftEar, rightEar, head, body, frontLegs, hindLegs;
};

double Ear(const Vec3& q) {
    return Ellipsoid(q, {0.11, 1.38, 0.10}, {0.18, 1.0, -0.24}, {0.0, 0.0, 1.0},
                     {0.27, 0.11, 0.045});
}

Parts PartFields(const Vec3& p) {
    const Vec3 q = ToHare(p);
    const Vec3 side = LeftSide(q);
    Parts parts;
    // Ears: long flattened leaves rising from the top of the skull, tipped back and out.
    parts.leftEar = Ear(q);
    parts.rightEar = Ear({-q.x, q.y, q.z});
    // Head: a skull longer than it is wide with the nose a little down, full cheeks, a
    // rounded muzzle, and the neck that carries it forward of the chest.
    double head =
        Ellipsoid(q, {0.0, 1.10, 0.25}, {0.0, -0.25, 1.0}, {0.0, 1.0, 0.0}, {0.31, 0.23, 0.22});
    head = SmoothMin(head, Ellipsoid(side, {0.09, 1.03, 0.22}, {0.13, 0.14, 0.16}), 0.08);
    head = SmoothMin(head, Ellipsoid(q, {0.0, 1.02, 0.50}, {0.12, 0.12, 0.11}), 0.08);
    head = SmoothMin(head, Limb(q, {0.0, 0.80, 0.05}, {0.0, 1.04, 0.18}, 0.21, 0.18), 0.10);
    parts.head = head;
    // Body: a round rump low at the back, the chest rising forward of it, a short tail.
    double body = Ellipsoid(q, {0.0, 0.42, -0.30}, {0.55, 0.50, 0.60});
    body = SmoothMin(
        body,
        Ellipsoid(q, {0.0, 0.64, -0.02}, {0.0, 0.55, 0.50}, {1.0, 0.0, 0.0}, {0.60, 0.47, 0.46}),
        0.25);
    body = SmoothMin(body, Ellipsoid(q, {0.0, 0.34, -0.90}, {0.14, 0.14, 0.11}), 0.08);
    parts.body = body;
    // Front legs: straight down from the chest to paws set forward on the floor.
    parts.frontLegs = SmoothMin(Limb(side, {0.13, 0.66, 0.28}, {0.13, 0.10, 0.44}, 0.10, 0.07),
                                Ellipsoid(side, {0.13, 0.06, 0.52}, {0.075, 0.06, 0.11}), 0.06);
    // Hind legs: a thigh swelling on each flank of the rump and the long foot along the
    // floor.
    parts.hindLegs = SmoothMin(
        Ellipsoid(side, {0.40, 0.34, -0.20}, {0.0, 0.5, 1.0}, {1.0, 0.0, 0.0}, {0.44, 0.22, 0.32}),
        Ellipsoid(side, {0.40, 0.065, 0.14}, {0.11, 0.09, 0.42}), 0.12);
    return parts;
}

}  // namespace

double SculptureField(const Vec3& p) {
    const Parts parts = PartFields(p);
    double d = SmoothMin(parts.body, parts.hindLegs, 0.12);
    d = SmoothMin(d, parts.frontLegs, 0.08);
    d = SmoothMin(d, parts.head, 0.14);
    d = SmoothMin(d, std::min(parts.leftEar, parts.rightEar), 0.08);
    // Cut flat underneath, with a rounded rim.
    return SmoothMax(d, SculptureFloor - p.y, 0.04);
}

Vec3 SculptureGradient(const Vec3& p) {
    // Central differences: the gradient serves for directions and Newton steps.
    const double h = 1e-6;
    return Vec3{SculptureField(p + Vec3{h, 0, 0}) - SculptureField(p - Vec3{h, 0, 0}),
                SculptureField(p + Vec3{0, h, 0}) - SculptureField(p - Vec3{0, h, 0}),
                SculptureField(p + Vec3{0, 0, h}) - SculptureField(p - Vec3{0, 0, h})} *
           (0.5 / h);
}

Vec3 ProjectOntoSurface(const Vec3& p) {
    Vec3 q = p;
    for (int i = 0; i < 12; ++i) {
        const double f = SculptureField(q);
        if (std::abs(f) < 1e-12)
            break;
        const Vec3 g = SculptureGradient(q);
        q = q - g * (f / Dot(g, g));
    }
    return q;
}

SculpturePart SculpturePartAt(const Vec3& p) {
    const Parts parts = PartFields(p);
    const std::pair<double, SculpturePart> candidates[] = {
        {parts.leftEar, SculpturePart::LeftEar},     {parts.rightEar, SculpturePart::RightEar},
        {parts.head, SculpturePart::Head},           {parts.body, SculpturePart::Body},
        {parts.frontLegs, SculpturePart::FrontLegs}, {parts.hindLegs, SculpturePart::HindLegs}};
    return std::min_element(std::begin(candidates), std::end(candidates),
                            [](const auto& a, const auto& b) { return a.first < b.first; })
        ->second;
}
