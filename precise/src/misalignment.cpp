#include "misalignment.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "refinement.h"

namespace pairfit {
namespace {

// A window is a tenth of the square: small enough to follow a lens's or a
// curved print's error across the square, large enough to hold a few
// strokes of text.
constexpr double kWindowShare = 0.1;
constexpr int kSmallestWindow = 32;
// Squares larger than this are halved until they are not.
constexpr int kWorkingSide = 640;
// Coarser levels see a window's content over 2, 4, 8 times its side, so
// that a shift of several pixels is found before it is polished.
constexpr int kCoarsestLevel = 3;
// Mean squared gradient of the band-passed reference, in its weakest
// direction, below which a window has no detail to pin it down (blank
// paper, a single straight edge, a smooth sky): grey levels per pixel.
constexpr double kWindowDetail = 0.5;
// Windows of fainter detail than that, down to this (the shading of a
// photograph, a colour blend), are measured too, but their shift can be off
// by most of a pixel: the camera's light and colour move such smooth
// content as much as the map does. They count only where they have moved
// by more than kFaintShift pixels of the square, which a gross misfit does
// and shading does not. (Counted in pixels of the halved square, a 1200-px
// square's threshold was 2 px: the smooth photograph of a label round a
// bottle, 1.4 px off there, read as 0.15 px.)
constexpr double kFaintDetail = 0.1;
constexpr double kFaintShift = 1.0;
// A window's shift counts when noise moves it by at most this much (its
// standard deviation, in pixels): more would read as misalignment.
constexpr double kLargestDeviation = 0.05;
// The windows' own correlation below which the camera does not show what
// the reference shows there.
constexpr double kWindowMatch = 0.5;
// Fewer measured windows than this are no sample of the square.
constexpr int kFewestWindows = 6;
// A field over the square needs this many windows, whose centres span this
// share of the square both ways; it may carry the largest shift measured
// this much further towards the edges. Windows it misses by more than
// three times its median misfit, and this much, are left out of its fit.
constexpr int kFieldWindows = 20;
constexpr double kFieldSpan = 0.6;
constexpr double kFieldReach = 1.5;
constexpr double kFieldTolerance = 0.1;
// The share of the square a percentile stands for.
constexpr double kPercentile = 0.95;

cv::Mat grey_of(const cv::Mat& bgr_float) {
    cv::Mat g;
    cv::cvtColor(bgr_float, g, cv::COLOR_BGR2GRAY);
    return g;
}

// The camera's colours brought to the reference's balance, each channel by
// the gain and offset that match its spread and mean over the content:
// under a colour cast the grey of the two mixes the channels differently,
// and on smooth colourful content that difference moves a window by
// pixels.
cv::Mat balanced_grey(const cv::Mat& camera, const cv::Mat& reference_float, const cv::Mat& content) {
    cv::Mat cam;
    camera.convertTo(cam, CV_32FC3);
    cv::Scalar cam_mean, cam_spread, ref_mean, ref_spread;
    cv::meanStdDev(cam, cam_mean, cam_spread, content);
    cv::meanStdDev(reference_float, ref_mean, ref_spread, content);
    std::vector<cv::Mat> channels;
    cv::split(cam, channels);
    for (int c = 0; c < 3; ++c) {
        if (cam_spread[c] > 0 && ref_spread[c] > 0) {
            const double gain = ref_spread[c] / cam_spread[c];
            channels[c].convertTo(channels[c], CV_32F, gain, ref_mean[c] - gain * cam_mean[c]);
        }
    }
    cv::merge(channels, cam);
    return grey_of(cam);
}

// One pyramid level of the two crops, band-passed alike, and the camera's
// gradients for the Gauss-Newton steps.
struct Level {
    cv::Mat t, in, gx, gy;
};

// The reference is given the camera's defocus, the blur (of a few) under
// which the two squares correlate best: a sharp reference against a blurred
// camera biases a window wherever it cuts through a stroke.
cv::Mat with_camera_defocus(const cv::Mat& t_band, const cv::Mat& in_band, const cv::Mat& content) {
    cv::Mat best = t_band;
    double best_rho = cv::computeECC(t_band, in_band, content);
    for (const double sigma : {0.6, 0.9, 1.2, 1.6, 2.0, 2.5, 3.0}) {
        cv::Mat blurred;
        cv::GaussianBlur(t_band, blurred, cv::Size(), sigma);
        const double rho = cv::computeECC(blurred, in_band, content);
        if (!(rho > best_rho)) break;
        best_rho = rho;
        best = blurred;
    }
    return best;
}

std::vector<Level> pyramid_of(const cv::Mat& reference, const cv::Mat& camera, const cv::Mat& content, int levels) {
    std::vector<Level> pyramid;
    cv::Mat t = reference, in = camera, inside = content;
    for (int l = 0; l < levels; ++l) {
        if (l > 0) {
            cv::pyrDown(t, t);
            cv::pyrDown(in, in);
            cv::resize(inside, inside, t.size(), 0, 0, cv::INTER_NEAREST);
        }
        Level level;
        const int box = band_pass_box(std::max(t.cols, t.rows));
        level.in = band_pass(in, box);
        level.t = band_pass(t, box);
        if (cv::countNonZero(inside) > 16) level.t = with_camera_defocus(level.t, level.in, inside);
        cv::Sobel(level.in, level.gx, CV_32F, 1, 0, 3, 1.0 / 8);
        cv::Sobel(level.in, level.gy, CV_32F, 0, 1, 3, 1.0 / 8);
        pyramid.push_back(level);
    }
    return pyramid;
}

// A Gaussian weight over a window, so that what enters or leaves it at its
// edges as it moves barely counts.
cv::Mat window_weight(int side) {
    const cv::Mat g = cv::getGaussianKernel(side, side / 4.0, CV_32F);
    cv::Mat w = g * g.t();
    return w / w.at<float>(side / 2, side / 2);
}

// The reference window's detail in its weakest direction: the mean squared
// gradient across the way it varies least.
double weakest_detail(const cv::Mat& t, const cv::Mat& weight) {
    cv::Mat tx, ty;
    cv::Sobel(t, tx, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(t, ty, CV_32F, 0, 1, 3, 1.0 / 8);
    const double total = cv::sum(weight)[0];
    const double a = cv::sum(weight.mul(tx.mul(tx)))[0] / total, b = cv::sum(weight.mul(tx.mul(ty)))[0] / total,
                 c = cv::sum(weight.mul(ty.mul(ty)))[0] / total;
    return (a + c) / 2 - std::sqrt((a - c) * (a - c) / 4 + b * b);
}

// One window fitted at one level: the camera window moved by a shift and
// scaled in contrast and brightness to match the reference window.
struct WindowFit {
    cv::Point2d shift;
    double rho = -1;
    double deviation = std::numeric_limits<double>::infinity();
};

// The weighted sums one Gauss-Newton step needs, over the window's pixels:
// the camera's gradients gx, gy, the reference t and the camera i.
struct Sums {
    double w = 0, xx = 0, xy = 0, yy = 0, xt = 0, yt = 0, x1 = 0, y1 = 0, tt = 0, t1 = 0;
    double xi = 0, yi = 0, ti = 0, i1 = 0, ii = 0;
};

Sums sums_of(const cv::Mat& weight, const cv::Mat& t, const cv::Mat& in, const cv::Mat& gx, const cv::Mat& gy) {
    Sums s;
    for (int y = 0; y < t.rows; ++y) {
        const float *pw = weight.ptr<float>(y), *pt = t.ptr<float>(y), *pi = in.ptr<float>(y),
                    *px = gx.ptr<float>(y), *py = gy.ptr<float>(y);
        for (int x = 0; x < t.cols; ++x) {
            const double w = pw[x], a = px[x], b = py[x], c = pt[x], i = pi[x];
            s.w += w;
            s.xx += w * a * a;
            s.xy += w * a * b;
            s.yy += w * b * b;
            s.xt += w * a * c;
            s.yt += w * b * c;
            s.x1 += w * a;
            s.y1 += w * b;
            s.tt += w * c * c;
            s.t1 += w * c;
            s.xi += w * a * i;
            s.yi += w * b * i;
            s.ti += w * c * i;
            s.i1 += w * i;
            s.ii += w * i * i;
        }
    }
    return s;
}

// Gauss-Newton on the shift, the contrast and the brightness: the camera
// window I(x + d), linearised as I + g . delta, against alpha T + beta.
WindowFit fit_window(const Level& l, const cv::Mat& t, const cv::Mat& weight, cv::Point2d centre, cv::Point2d start,
                     int iterations, double stop) {
    const cv::Size size = t.size();
    WindowFit fit;
    fit.shift = start;
    cv::Mat in, gx, gy;
    for (int iteration = 0; iteration <= iterations; ++iteration) {
        const cv::Point2f at(static_cast<float>(centre.x + fit.shift.x), static_cast<float>(centre.y + fit.shift.y));
        cv::getRectSubPix(l.in, size, at, in, CV_32F);
        cv::getRectSubPix(l.gx, size, at, gx, CV_32F);
        cv::getRectSubPix(l.gy, size, at, gy, CV_32F);
        const Sums s = sums_of(weight, t, in, gx, gy);
        // Unknowns (dx, dy, alpha, beta), Jacobian row (gx, gy, -t, -1).
        const cv::Matx44d normal(s.xx, s.xy, -s.xt, -s.x1, s.xy, s.yy, -s.yt, -s.y1, -s.xt, -s.yt, s.tt, s.t1, -s.x1,
                                 -s.y1, s.t1, s.w);
        const cv::Vec4d right(-s.xi, -s.yi, s.ti, s.i1);
        const double vt = s.tt - s.t1 * s.t1 / s.w, vi = s.ii - s.i1 * s.i1 / s.w, cti = s.ti - s.t1 * s.i1 / s.w;
        fit.rho = vt > 0 && vi > 0 ? cti / std::sqrt(vt * vi) : -1;
        // What the contrast and brightness leave: the noise that the shift's
        // deviation follows from.
        const double residual = std::max(0.0, vi - (vt > 0 ? cti * cti / vt : 0)) / s.w;
        cv::Matx44d inverse;
        if (cv::invert(normal, inverse, cv::DECOMP_CHOLESKY) == 0) {
            fit.deviation = std::numeric_limits<double>::infinity();
            return fit;
        }
        fit.deviation = std::sqrt(residual * std::max(inverse(0, 0), inverse(1, 1)));
        if (iteration == iterations) break;
        const cv::Vec4d step = inverse * right;
        fit.shift += cv::Point2d(step[0], step[1]);
        if (std::hypot(step[0], step[1]) < stop) iterations = iteration + 1;  // one more look at where it landed
    }
    return fit;
}

int levels_for(int window, int out) {
    int levels = 1;
    while (levels <= kCoarsestLevel && (window << levels) <= out / 2) ++levels;
    return levels;
}

// The windows' shifts on the two grey images, band-passed level by level.
// `to_square`: pixels of the square per pixel of the images measured.
std::vector<LocalShift> shifts_at_working_size(const cv::Mat& reference, const cv::Mat& camera, const cv::Mat& content,
                                               double to_square) {
    const int out = reference.cols;
    const int side = std::max(kSmallestWindow, static_cast<int>(out * kWindowShare)) / 2 * 2;
    std::vector<LocalShift> shifts;
    if (out < 2 * side) return shifts;
    const std::vector<Level> pyramid = pyramid_of(reference, camera, content, levels_for(side, out));
    const cv::Mat weight = window_weight(side);
    const double reach = side;
    for (int y0 = 0; y0 + side <= out; y0 += side) {
        for (int x0 = 0; x0 + side <= out; x0 += side) {
            const cv::Rect box(x0, y0, side, side);
            if (cv::countNonZero(content(box)) < box.area()) continue;
            const cv::Point2d centre(x0 + (side - 1) / 2.0, y0 + (side - 1) / 2.0);
            const cv::Mat t = pyramid[0].t(box);
            const double detail = weakest_detail(t, weight);
            if (detail < kFaintDetail) continue;
            cv::Point2d shift(0, 0);
            for (int l = static_cast<int>(pyramid.size()) - 1; l > 0; --l) {
                const double f = 1.0 / (1 << l);
                cv::Mat coarse;
                cv::getRectSubPix(pyramid[l].t, cv::Size(side, side), cv::Point2f(centre * f), coarse, CV_32F);
                const WindowFit fit = fit_window(pyramid[l], coarse, weight, centre * f, shift * f, 3, 0.02);
                if (fit.rho >= kWindowMatch && std::hypot(fit.shift.x, fit.shift.y) <= reach * f) shift = fit.shift / f;
            }
            const WindowFit fit = fit_window(pyramid[0], t, weight, centre, shift, 8, 0.005);
            const double length = std::hypot(fit.shift.x, fit.shift.y);
            const bool matched = fit.rho >= kWindowMatch && length <= reach;
            if (detail < kWindowDetail) {
                if (matched && length * to_square > kFaintShift && fit.deviation <= kLargestDeviation) {
                    shifts.push_back({centre, fit.shift, true});
                }
            } else if (!matched) {
                shifts.push_back({centre, cv::Point2d(reach, 0), false});
            } else if (fit.deviation <= kLargestDeviation) {
                shifts.push_back({centre, fit.shift, true});
            }
        }
    }
    return shifts;
}

}  // namespace

std::vector<LocalShift> local_shifts(const cv::Mat& reference_crop, const cv::Mat& camera_crop,
                                     const cv::Mat& reference_content) {
    CV_Assert(reference_crop.size() == camera_crop.size() && reference_content.size() == reference_crop.size());
    CV_Assert(reference_crop.type() == CV_8UC3 && camera_crop.type() == CV_8UC3 && reference_content.type() == CV_8U);
    // Large squares are measured halved: the windows keep their share of
    // the square, and a shift is still found to a few hundredths of a pixel.
    cv::Mat reference;
    reference_crop.convertTo(reference, CV_32FC3);
    cv::Mat t = grey_of(reference), in = balanced_grey(camera_crop, reference, reference_content),
            content = reference_content;
    int halvings = 0;
    while ((t.cols >> halvings) > kWorkingSide) ++halvings;
    for (int h = 0; h < halvings; ++h) {
        cv::pyrDown(t, t);
        cv::pyrDown(in, in);
        cv::erode(content, content, cv::Mat());
        cv::resize(content, content, t.size(), 0, 0, cv::INTER_NEAREST);
    }
    const double to_square = 1 << halvings;  // pixel x of a halved image sits at 2x
    std::vector<LocalShift> shifts = shifts_at_working_size(t, in, content, to_square);
    for (LocalShift& s : shifts) {
        s.centre *= to_square;
        s.shift *= to_square;
    }
    return shifts;
}

namespace {

double percentile(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double at = kPercentile * (values.size() - 1);
    const std::size_t below = static_cast<std::size_t>(at);
    const double upper = values[std::min(below + 1, values.size() - 1)];
    return values[below] + (at - below) * (upper - values[below]);
}

// The terms of a cubic in the square's coordinates scaled to -1..1.
cv::Mat cubic_terms(cv::Point2d p, int out) {
    const double x = 2 * p.x / out - 1, y = 2 * p.y / out - 1;
    return cv::Mat(cv::Matx<double, 1, 10>(1, x, y, x * x, x * y, y * y, x * x * x, x * x * y, x * y * y, y * y * y), true);
}

// The lengths of a field's shifts over the square, and the largest shift of
// the windows it was fitted to.
struct WindowField {
    std::vector<double> lengths;
    double largest = 0;
};

// A lens, a curved print or wavy paper moves the square's content smoothly:
// a cubic in each coordinate follows it and averages the windows' noise.
// The fit is repeated without the windows it does not explain (a window
// caught on a neighbouring line of text), which then do not bound how far
// it is carried either: a curled label's one stray window of 1.2 px let the
// field reach 0.73 px where the crops were 0.30 px apart.
std::optional<WindowField> field_of_windows(const std::vector<LocalShift>& matched, int out) {
    std::vector<bool> kept(matched.size(), true);
    cv::Mat coefficients;
    for (int round = 0; round < 2; ++round) {
        cv::Mat a, b;
        for (std::size_t i = 0; i < matched.size(); ++i) {
            if (!kept[i]) continue;
            a.push_back(cubic_terms(matched[i].centre, out));
            b.push_back(cv::Mat(cv::Matx12d(matched[i].shift.x, matched[i].shift.y), true));
        }
        if (a.rows < kFieldWindows) return std::nullopt;
        cv::solve(a, b, coefficients, cv::DECOMP_SVD);
        std::vector<double> misfit;
        for (const LocalShift& s : matched) {
            const cv::Mat f = cubic_terms(s.centre, out) * coefficients;
            misfit.push_back(std::hypot(f.at<double>(0) - s.shift.x, f.at<double>(1) - s.shift.y));
        }
        std::vector<double> sorted = misfit;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double limit = std::max(kFieldTolerance, 3 * sorted[sorted.size() / 2]);
        for (std::size_t i = 0; i < matched.size(); ++i) kept[i] = misfit[i] <= limit;
    }
    WindowField field;
    for (std::size_t i = 0; i < matched.size(); ++i) {
        if (kept[i]) field.largest = std::max(field.largest, std::hypot(matched[i].shift.x, matched[i].shift.y));
    }
    const int steps = 40;
    for (int j = 0; j <= steps; ++j) {
        for (int i = 0; i <= steps; ++i) {
            const cv::Mat f = cubic_terms(cv::Point2d(out * i / double(steps), out * j / double(steps)), out) * coefficients;
            field.lengths.push_back(std::hypot(f.at<double>(0), f.at<double>(1)));
        }
    }
    return field;
}

// True when the windows' centres span most of the square both ways, so
// that the field is carried to its edges, not guessed far beyond them.
bool spans_the_square(const std::vector<LocalShift>& matched, int out) {
    double left = out, right = 0, top = out, bottom = 0;
    for (const LocalShift& s : matched) {
        left = std::min(left, s.centre.x);
        right = std::max(right, s.centre.x);
        top = std::min(top, s.centre.y);
        bottom = std::max(bottom, s.centre.y);
    }
    return right - left >= kFieldSpan * out && bottom - top >= kFieldSpan * out;
}

}  // namespace

double misalignment_px(const std::vector<LocalShift>& shifts, int out, double camera_per_square) {
    std::vector<LocalShift> matched;
    std::copy_if(shifts.begin(), shifts.end(), std::back_inserter(matched), [](const LocalShift& s) { return s.matched; });
    const std::size_t unmatched = shifts.size() - matched.size();
    if (unmatched > 0 && unmatched >= matched.size()) {
        const auto far = std::find_if(shifts.begin(), shifts.end(), [](const LocalShift& s) { return !s.matched; });
        return std::hypot(far->shift.x, far->shift.y) * camera_per_square;
    }
    if (static_cast<int>(matched.size()) < kFewestWindows) return std::numeric_limits<double>::quiet_NaN();
    std::vector<double> measured;
    for (const LocalShift& s : matched) measured.push_back(std::hypot(s.shift.x, s.shift.y));
    double estimate = percentile(measured);
    if (spans_the_square(matched, out)) {
        if (const std::optional<WindowField> field = field_of_windows(matched, out)) {
            // Carried to the edges, not beyond what the windows show.
            estimate = std::min(percentile(field->lengths), kFieldReach * field->largest);
        }
    }
    return estimate * camera_per_square;
}

}  // namespace pairfit
