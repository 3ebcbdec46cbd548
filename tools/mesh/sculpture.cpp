#include "sculpture.h"

#include <algorithm>
#include <cmath>

namespace {

// Polynomial smooth minimum: blends two fields over a band of width k.
double SmoothMin(double a, double b, double k) {
    const double h = std::max(k - std::abs(a - b), 0.0) / k;
    return std::min(a, b) - h * h * k * 0.25;
}

double SmoothMax(double a, double b, double k) {
    return -SmoothMin(-a, -b, k);
}

// Approximate distance to an axis-aligned ellipsoid (exact on the axes, good nearby).
double Ellipsoid(const Vec3& p, const Vec3& centre, const Vec3& radii) {
    const Vec3 q = p - centre;
    const Vec3 a{q.x / radii.x, q.y / radii.y, q.z / radii.z};
    const Vec3 b{a.x / radii.x, a.y / radii.y, a.z / radii.z};
    const double k0 = Length(a);
    const double k1 = Length(b);
    return k1 > 0.0 ? k0 * (k0 - 1.0) / k1 : -std::min({radii.x, radii.y, radii.z});
}

// A limb: the segment a..b swept by a sphere whose radius runs from ra to rb.
double Limb(const Vec3& p, const Vec3& a, const Vec3& b, double ra, double rb) {
    const Vec3 ab = b - a;
    const double t = std::clamp(Dot(p - a, ab) / Dot(ab, ab), 0.0, 1.0);
    return Length(p - (a + ab * t)) - (ra + (rb - ra) * t);
}

// Slow undulations that keep the body from looking machined: a few plane waves with
// fixed directions and phases, about a centimetre deep.
double Undulation(const Vec3& p) {
    struct Wave {
        Vec3 k;
        double phase;
        double amplitude;
    };
    static constexpr Wave waves[] = {
        {{5.1, 2.3, -3.7}, 0.4, 0.0150},   {{-2.9, 6.2, 1.8}, 2.1, 0.0135},
        {{3.3, -4.1, 5.6}, 4.0, 0.0120},   {{-6.8, -1.2, -2.4}, 1.3, 0.0105},
        {{1.7, 8.9, -4.4}, 5.2, 0.0075},   {{9.7, -3.1, 7.3}, 0.9, 0.0060},
        {{-4.6, 3.9, 10.2}, 3.4, 0.0035},  {{12.1, 5.5, -8.3}, 2.7, 0.0030},
        {{-7.7, -11.4, 6.1}, 4.6, 0.0025},
    };
    double sum = 0.0;
    for (const Wave& w : waves) {
        sum += w.amplitude * std::sin(Dot(w.k, p) + w.phase);
    }
    return sum;
}

}  // namespace

double SculptureField(const Vec3& p) {
    // Every limb starts at the centre, so that each stays star-shaped about it and the
    // union does too (checked by the generator: a fold would turn triangles inward).
    const Vec3 c = SculptureCentre;
    // The broad, low mass that carries everything, four feet spreading along the floor
    // and three softer swellings higher up.
    double d = Ellipsoid(p, {-0.22, 0.22, 0.10}, {0.57, 0.33, 0.55});
    d = SmoothMin(d, Limb(p, c, {0.47, 0.24, 0.44}, 0.28, 0.21), 0.14);
    d = SmoothMin(d, Limb(p, c, {0.02, 0.24, -0.31}, 0.28, 0.22), 0.14);
    d = SmoothMin(d, Limb(p, c, {-0.52, 0.26, 0.47}, 0.28, 0.22), 0.14);
    d = SmoothMin(d, Limb(p, c, {-0.76, 0.24, -0.22}, 0.24, 0.19), 0.18);
    d = SmoothMin(d, Limb(p, c, {0.24, 0.78, 0.30}, 0.24, 0.18), 0.32);
    d = SmoothMin(d, Limb(p, c, {-0.58, 0.82, 0.40}, 0.22, 0.16), 0.32);
    d = SmoothMin(d, Limb(p, c, {0.28, 0.52, -0.20}, 0.15, 0.11), 0.28);
    // The trunk around the vertical axis (it holds the point the camera looks at), and
    // the two raised heads on the -x side, apart from each other above a height of 1.1.
    d = SmoothMin(d, Ellipsoid(p, {-0.12, 0.69, -0.02}, {0.36, 0.32, 0.33}), 0.12);
    d = SmoothMin(d, Limb(p, c, {-0.72, 1.45, -0.40}, 0.24, 0.15), 0.10);
    d = SmoothMin(d, Limb(p, c, {-0.17, 1.535, -0.12}, 0.19, 0.115), 0.10);
    d += Undulation(p);
    // Cut flat underneath, with a rounded rim.
    return SmoothMax(d, SculptureFloor - p.y, 0.04);
}

Vec3 SculptureGradient(const Vec3& p) {
    // Forward differences: the gradient serves for directions only.
    const double h = 1e-7;
    const double f = SculptureField(p);
    return Vec3{SculptureField(p + Vec3{h, 0, 0}) - f, SculptureField(p + Vec3{0, h, 0}) - f,
                SculptureField(p + Vec3{0, 0, h}) - f} *
           (1.0 / h);
}

Vec3 ProjectOntoSurface(const Vec3& p, const Vec3& gradient) {
    const Vec3 step = gradient * (1.0 / Dot(gradient, gradient));
    Vec3 q = p;
    for (int i = 0; i < 8; ++i) {
        const double f = SculptureField(q);
        if (std::abs(f) < 1e-13)
            break;
        q = q - step * f;
    }
    return q;
}

double SurfaceDistance(const Vec3& d, double guess) {
    const auto field = [&d](double r) { return SculptureField(SculptureCentre + d * r); };
    // Bracket the crossing by stepping from the guess (or from the centre, which is
    // inside), then close in by the Illinois variant of regula falsi.
    const double step = 0.02;
    double lo = 0.0;
    double hi = 0.0;
    double flo = 0.0;
    double fhi = 0.0;
    if (guess > 0.0) {
        const double f = field(guess);
        if (f < 0.0) {
            lo = guess, flo = f;
            hi = guess + step, fhi = field(hi);
            while (fhi < 0.0) {
                lo = hi, flo = fhi;
                hi += step, fhi = field(hi);
            }
        } else {
            hi = guess, fhi = f;
            lo = std::max(guess - step, 0.0), flo = field(lo);
            while (flo >= 0.0) {
                hi = lo, fhi = flo;
                lo = std::max(lo - step, 0.0), flo = field(lo);
            }
        }
    } else {
        lo = 0.0, flo = field(0.0);
        hi = step, fhi = field(hi);
        while (fhi < 0.0) {
            lo = hi, flo = fhi;
            hi += step, fhi = field(hi);
        }
    }
    int side = 0;
    for (int i = 0; i < 100 && hi - lo > 1e-12; ++i) {
        const double r = (lo * fhi - hi * flo) / (fhi - flo);
        const double f = field(r);
        if (f < 0.0) {
            lo = r, flo = f;
            if (side == -1)
                fhi *= 0.5;
            side = -1;
        } else {
            hi = r, fhi = f;
            if (side == 1)
                flo *= 0.5;
            side = 1;
        }
        if (f == 0.0)
            return r;
    }
    return 0.5 * (lo + hi);
}
