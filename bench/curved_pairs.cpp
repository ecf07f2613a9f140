#include "curved_pairs.h"

#include <algorithm>
#include <cmath>

namespace {

const char* const kGroups[] = {"lens", "cylinder", "wave", "control", "curl"};

struct Similarity {
    double a = 1, b = 0, tx = 0, ty = 0;  // x' = a x - b y + tx, y' = b x + a y + ty
    cv::Point2d inverse(cv::Point2d q) const {
        const double d = a * a + b * b, x = q.x - tx, y = q.y - ty;
        return {(a * x + b * y) / d, (-b * x + a * y) / d};
    }
};

// A similarity that lays the centre `from` on `to`, turned and scaled.
Similarity placing(cv::Point2d from, cv::Point2d to, double degrees, double s) {
    Similarity m;
    m.a = s * std::cos(degrees * CV_PI / 180);
    m.b = s * std::sin(degrees * CV_PI / 180);
    m.tx = to.x - (m.a * from.x - m.b * from.y);
    m.ty = to.y - (m.b * from.x + m.a * from.y);
    return m;
}

// Radial distortion about the image centre: distorted = undistorted
// (1 + k1 r^2), r over the longer side; undone by fixed-point steps.
cv::Point2d undistorted(cv::Point2d d, cv::Point2d centre, double f, double k1) {
    const cv::Point2d rel = (d - centre) * (1 / f);
    cv::Point2d u = rel;
    for (int i = 0; i < 50; ++i) u = rel * (1 / (1 + k1 * (u.x * u.x + u.y * u.y)));
    return centre + u * f;
}

// A print lying flat but for one corner, lifted over a roll of radius r
// from a straight fold line across the corner on: a point t pixels of paper
// past the line lies r sin(t / r) from it and r (1 - cos(t / r)) above the
// desk; a camera `distance` above the print's centre sees the lifted part
// farther out. Reference pixel to the point on the desk's plane the camera
// sees it at.
struct CurledCorner {
    cv::Point2d on_line, towards_corner, centre;
    double reach = 0;  // the corner's distance from the line
    double radius = 1, distance = 1;
    cv::Point2d seen(cv::Point2d p) const {
        const double t = (p - on_line).dot(towards_corner);
        if (t <= 0) return p;
        const cv::Point2d flat = p + towards_corner * (radius * std::sin(t / radius) - t);
        const double height = radius * (1 - std::cos(t / radius));
        return centre + (flat - centre) * (distance / (distance - height));
    }
    // The reference pixel seen at `q`: fixed-point steps, the map being
    // within a few percent of the identity but for a pull of at most
    // 1 - cos(t / r) along the fold's normal.
    cv::Point2d inverse(cv::Point2d q) const {
        cv::Point2d p = q;
        for (int i = 0; i < 60; ++i) {
            const cv::Point2d miss = q - seen(p);
            p += miss;
            if (std::abs(miss.x) + std::abs(miss.y) < 1e-9) break;
        }
        return p;
    }
};

// One corner of `size` curled: the fold line cuts 60 to 90% of the shorter
// side off both edges at the corner, and the corner turns 0.3 to 0.9
// radians up.
CurledCorner curled_corner(cv::Size size, double distance, cv::RNG& rng) {
    const int corner = rng.uniform(0, 4);
    const cv::Point2d at((corner & 1) ? size.width : 0, (corner & 2) ? size.height : 0);
    const cv::Point2d sx((corner & 1) ? -1 : 1, 0), sy(0, (corner & 2) ? -1 : 1);
    const double shorter = std::min(size.width, size.height);
    const double a = rng.uniform(0.6, 0.9) * shorter, b = rng.uniform(0.6, 0.9) * shorter;
    CurledCorner c;
    // The line through at + a sx and at + b sy; its normal points at the corner.
    const cv::Point2d along = b * sy - a * sx;
    cv::Point2d normal(-along.y, along.x);
    normal *= 1 / std::hypot(normal.x, normal.y);
    if (normal.dot(-a * sx) < 0) normal = -normal;
    c.towards_corner = normal;
    c.on_line = at + a * sx;
    c.reach = (at - c.on_line).dot(normal);
    c.radius = c.reach / rng.uniform(0.3, 0.9);
    c.centre = cv::Point2d(size.width / 2.0, size.height / 2.0);
    c.distance = distance;
    return c;
}

}  // namespace

CurvedCase make_curved_case(int group, cv::RNG& rng) {
    CurvedCase c;
    c.group = kGroups[group];
    c.ref_size = cv::Size(2000, 1500);
    c.cam_size = cv::Size(2000, 1500);
    const cv::Point2d ref_centre(1000, 750), cam_centre(1000 + rng.uniform(-40.0, 40.0), 750 + rng.uniform(-30.0, 30.0));
    const double degrees = rng.uniform(-3.0, 3.0);
    const double longer = 2000;
    char text[64];
    if (c.group == "lens") {
        const double k1 = (rng.uniform(0, 2) ? 1 : -1) * rng.uniform(0.03, 0.12);
        // Barrel distortion pulls the corners in: the print is shot a little
        // smaller, so that the camera still shows all of it.
        const Similarity s = placing(ref_centre, cam_centre, degrees, rng.uniform(0.88, 0.95));
        const cv::Point2d centre(1000, 750);
        c.reference_of = [=](cv::Point2d q) { return s.inverse(undistorted(q, centre, longer, k1)); };
        std::snprintf(text, sizeof text, "k1 %+.3f", k1);
    } else if (c.group == "cylinder") {
        // The print's width wraps `share` of the circumference; seen from a
        // distance of three print widths, the far parts also shrink.
        const double share = rng.uniform(0.10, 0.30);
        const double radius = c.ref_size.width / (2 * CV_PI * share);
        const double distance = 3.0 * longer;
        const Similarity s = placing(cv::Point2d(0, 0), cam_centre, degrees, rng.uniform(0.95, 1.02));
        c.reference_of = [=](cv::Point2d q) {
            const cv::Point2d v = s.inverse(q);
            // v.x (D + R (1 - cos a)) = D R sin a, solved for the angle a.
            double a = std::asin(std::clamp(v.x / radius, -1.0, 1.0));
            for (int i = 0; i < 30; ++i) {
                const double f = v.x * (distance + radius * (1 - std::cos(a))) - distance * radius * std::sin(a);
                const double df = v.x * radius * std::sin(a) - distance * radius * std::cos(a);
                a -= f / df;
            }
            const double depth = radius * (1 - std::cos(a));
            return cv::Point2d(ref_centre.x + radius * a, ref_centre.y + v.y * (distance + depth) / distance);
        };
        std::snprintf(text, sizeof text, "%.0f%% round", 100 * share);
    } else if (c.group == "wave") {
        const double amplitude = rng.uniform(0.003, 0.01) * longer;
        const double length = rng.uniform(0.5, 1.0) * longer;
        const double along = rng.uniform(0.0, CV_PI), towards = rng.uniform(0.0, 2 * CV_PI);
        const double phase = rng.uniform(0.0, 2 * CV_PI);
        const cv::Point2d d(std::cos(along), std::sin(along)), n(std::cos(towards), std::sin(towards));
        const Similarity s = placing(ref_centre, cam_centre, degrees, rng.uniform(0.95, 1.02));
        c.reference_of = [=](cv::Point2d q) {
            return s.inverse(q + n * (amplitude * std::sin(2 * CV_PI * q.dot(d) / length + phase)));
        };
        std::snprintf(text, sizeof text, "%.1f px / %.0f px", amplitude, length);
    } else if (c.group == "curl") {
        const CurledCorner curl = curled_corner(c.ref_size, 3.0 * longer, rng);
        const Similarity s = placing(ref_centre, cam_centre, degrees, rng.uniform(0.95, 1.02));
        c.reference_of = [=](cv::Point2d q) { return curl.inverse(s.inverse(q)); };
        std::snprintf(text, sizeof text, "%.0f px, %.2f rad", curl.reach, curl.reach / curl.radius);
    } else {
        const Similarity s = placing(ref_centre, cam_centre, degrees, rng.uniform(0.95, 1.02));
        if (rng.uniform(0, 2)) {
            c.reference_of = [=](cv::Point2d q) { return s.inverse(q); };
            std::snprintf(text, sizeof text, "similarity");
        } else {
            // A tilt: depth changing along a direction, by up to 4% across.
            const double gx = rng.uniform(-2e-5, 2e-5), gy = rng.uniform(-2e-5, 2e-5);
            c.reference_of = [=](cv::Point2d q) {
                const cv::Point2d v = s.inverse(q) - ref_centre;
                const double w = 1 + gx * v.x + gy * v.y;
                return ref_centre + v * (1 / w);
            };
            std::snprintf(text, sizeof text, "tilt %.1e %.1e", gx, gy);
        }
    }
    c.detail = text;
    return c;
}

cv::Mat reference_sources(const CurvedCase& c) {
    cv::Mat sources(c.cam_size, CV_32FC2);
    for (int y = 0; y < sources.rows; ++y) {
        cv::Vec2f* row = sources.ptr<cv::Vec2f>(y);
        for (int x = 0; x < sources.cols; ++x) {
            const cv::Point2d p = c.reference_of(cv::Point2d(x, y));
            row[x] = cv::Vec2f(static_cast<float>(p.x), static_cast<float>(p.y));
        }
    }
    return sources;
}
