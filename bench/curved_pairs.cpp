#include "curved_pairs.h"

#include <algorithm>
#include <cmath>

namespace {

const char* const kGroups[] = {"lens", "cylinder", "wave", "control"};

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
