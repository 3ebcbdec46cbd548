#include "sculpture.h"

#include <algorithm>
#include <cmath>
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

// The rabbit is modelled facing +z with its right side towards +x (the demo's coordinates
// are left-handed, as Direct3D's are), then turned about the vertical axis so that no
// view of the spin is straight from behind.
constexpr double kTurn = 0.25;

Vec3 ToRabbit(const Vec3& p) {
    const double c = std::cos(kTurn), s = std::sin(kTurn);
    return {c * p.x - s * p.z, p.y, s * p.x + c * p.z - 0.19};
}

// Mirror of a point to the rabbit's right side, so that paired parts are modelled once.
Vec3 RightSide(const Vec3& q) {
    return {std::abs(q.x), q.y, q.z};
}

struct Parts {
    double leftEar, rightEar, head, body, frontLegs, hindLegs;
};

// An ear on the rabbit's right, `back` its lean backwards (z run per unit of height), its
// tip at 1.64.
double Ear(const Vec3& q, double back) {
    const Vec3 along{0.16, 1.0, -back};
    return Ellipsoid(q, {0.10, 1.64 - 0.34 / Length(along), 0.14}, along, {0.0, 0.0, 1.0},
                     {0.34, 0.115, 0.045});
}

Parts PartFields(const Vec3& p) {
    const Vec3 q = ToRabbit(p);
    const Vec3 side = RightSide(q);
    Parts parts;
    // Ears: long flattened leaves rising from the top of the skull, tipped back and out.
    // One leans back a little further than the other, as a live animal's would.
    parts.rightEar = Ear(q, 0.30);
    parts.leftEar = Ear({-q.x, q.y, q.z}, 0.12);
    // Head: a skull longer than it is wide with the nose a little down, full cheeks, a
    // rounded muzzle, and the neck that carries it forward of the chest.
    double head =
        Ellipsoid(q, {0.0, 0.99, 0.30}, {0.0, -0.25, 1.0}, {0.0, 1.0, 0.0}, {0.32, 0.24, 0.23});
    head = SmoothMin(head, Ellipsoid(side, {0.09, 0.91, 0.27}, {0.13, 0.14, 0.16}), 0.08);
    head = SmoothMin(head, Ellipsoid(q, {0.0, 0.90, 0.55}, {0.12, 0.12, 0.11}), 0.08);
    head = SmoothMin(head, Limb(q, {0.0, 0.68, 0.08}, {0.0, 0.92, 0.23}, 0.21, 0.18), 0.10);
    parts.head = head;
    // Body: a round rump low at the back, the chest rising forward of it, a short tail.
    double body = Ellipsoid(q, {0.0, 0.38, -0.34}, {0.58, 0.46, 0.66});
    body = SmoothMin(
        body,
        Ellipsoid(q, {0.0, 0.58, 0.0}, {0.0, 0.55, 0.50}, {1.0, 0.0, 0.0}, {0.60, 0.47, 0.46}),
        0.25);
    body = SmoothMin(body, Ellipsoid(q, {0.0, 0.30, -0.99}, {0.14, 0.14, 0.11}), 0.08);
    parts.body = body;
    // Front legs: straight down from the chest to paws set forward on the floor.
    parts.frontLegs = SmoothMin(Limb(side, {0.13, 0.60, 0.32}, {0.13, 0.10, 0.48}, 0.10, 0.07),
                                Ellipsoid(side, {0.13, 0.06, 0.56}, {0.075, 0.06, 0.11}), 0.06);
    // Hind legs: a thigh swelling on each flank of the rump and the long foot along the
    // floor.
    parts.hindLegs = SmoothMin(
        Ellipsoid(side, {0.40, 0.32, -0.22}, {0.0, 0.5, 1.0}, {1.0, 0.0, 0.0}, {0.44, 0.22, 0.32}),
        Ellipsoid(side, {0.40, 0.065, 0.12}, {0.11, 0.09, 0.42}), 0.12);
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
