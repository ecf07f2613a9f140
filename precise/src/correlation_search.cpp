#include "correlation_search.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "ecc.h"
#include "pairfit/core.h"
#include "refinement.h"

namespace pairfit {
namespace {

// The reference's longer side for rotation and scale: cells, lines of text
// and a label's frame still show. The shift is found at a finer size, where
// what tells a repeated pattern's cells apart (their numbers) shows too.
const int kSide = 256;
const int kFineSide = 384;
// The log-polar spectrum: a row per 0.7 degree, a column per 1.9% of scale.
const int kAngles = 512;
const int kRadii = 256;

// Both images reduced and band-passed. A camera image smaller than the
// reference is enlarged to fit it, as the exact search does: it frames the
// subject, and the spectra overlap best with the subject at about one size.
struct Working {
    cv::Mat ref, cam;                     // CV_32F
    double ref_scale = 1, cam_scale = 1;  // working pixels per pixel as loaded
    int box = 9;                          // the band-pass's wide blur, as the refinement sizes it
};

Working working_images(const FeatureEstimate& e, int side) {
    const cv::Size r = e.img_small.size(), c = e.cam_small.size();
    const double g = std::min(1.0, side / static_cast<double>(std::max(r.width, r.height)));
    const double fit = std::max(1.0, std::min(static_cast<double>(r.width) / c.width,
                                              static_cast<double>(r.height) / c.height));
    Working w;
    w.ref_scale = g * e.factor;
    w.cam_scale = g * fit * e.factor;
    w.box = band_pass_box(static_cast<int>(std::lround(g * std::max(r.width, r.height))));
    for (const auto& [from, to, f] : {std::tuple(&e.img_small, &w.ref, g), std::tuple(&e.cam_small, &w.cam, g * fit)}) {
        cv::Mat reduced;
        cv::resize(*from, reduced, cv::Size(), f, f, cv::INTER_AREA);
        reduced.convertTo(reduced, CV_32F);
        *to = band_pass(reduced, w.box);
    }
    return w;
}

// The top of the parabola through three equally spaced samples, the middle
// one the largest: its offset from the middle one and its height.
struct Vertex {
    double offset = 0, height = 0;
};

Vertex vertex_of(double before, double peak, double after) {
    const double curve = before - 2 * peak + after;
    if (!(curve < 0)) return {0, peak};
    const double offset = 0.5 * (before - after) / curve;
    return {offset, peak - 0.25 * (before - after) * offset};
}

// ---- rotation and scale ------------------------------------------------------

// Swaps the quadrants of an image of even sides: frequency 0 to the centre.
void centre_spectrum(cv::Mat& m) {
    const int cx = m.cols / 2, cy = m.rows / 2;
    cv::Mat q0(m, cv::Rect(0, 0, cx, cy)), q1(m, cv::Rect(cx, 0, cx, cy)), q2(m, cv::Rect(0, cy, cx, cy)),
        q3(m, cv::Rect(cx, cy, cx, cy)), tmp;
    q0.copyTo(tmp);
    q3.copyTo(q0);
    tmp.copyTo(q3);
    q1.copyTo(tmp);
    q2.copyTo(q1);
    tmp.copyTo(q2);
}

// The magnitude of an image's spectrum (windowed, on an n x n grid shared by
// both images so that a bin is the same frequency in each), its low
// frequencies damped (they hold the window's shape), on a log-polar grid:
// rotating the image shifts the rows, scaling it the columns, and shifting
// it changes nothing.
cv::Mat log_polar_spectrum(const cv::Mat& image, int n) {
    cv::Mat window;
    cv::createHanningWindow(window, image.size(), CV_32F);
    cv::Mat padded = cv::Mat::zeros(n, n, CV_32F);
    cv::Mat(image.mul(window)).copyTo(padded(cv::Rect(0, 0, image.cols, image.rows)));
    cv::Mat spectrum, planes[2], magnitude;
    cv::dft(padded, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::split(spectrum, planes);
    cv::magnitude(planes[0], planes[1], magnitude);
    centre_spectrum(magnitude);
    for (int y = 0; y < n; ++y) {
        float* row = magnitude.ptr<float>(y);
        const double cos_y = std::cos(CV_PI * (y - n / 2) / n);
        for (int x = 0; x < n; ++x) {
            const double c = std::cos(CV_PI * (x - n / 2) / n) * cos_y;
            row[x] *= static_cast<float>((1 - c) * (2 - c));
        }
    }
    cv::Mat polar;
    cv::warpPolar(magnitude, polar, cv::Size(kRadii, kAngles), cv::Point2f(n / 2.0f, n / 2.0f), n / 2.0,
                  cv::INTER_LINEAR | cv::WARP_POLAR_LOG);
    return polar;
}

// Where the plain correlation of two log-polar spectra peaks, in columns and
// rows. Not phase correlation: whitening gives the faint frequencies that
// the camera's noise, desk and shadows fill as much say as the subject's own.
cv::Point2d spectra_shift(const cv::Mat& reference, const cv::Mat& camera) {
    // Rows wrap round (angles); columns do not (radii): windowed and padded.
    cv::Mat window(1, kRadii, CV_32F);
    for (int x = 0; x < kRadii; ++x) {
        window.at<float>(x) = static_cast<float>(0.5 - 0.5 * std::cos(2 * CV_PI * x / (kRadii - 1)));
    }
    const cv::Mat windows = cv::repeat(window, kAngles, 1);
    cv::Mat spectra[2];
    for (int k = 0; k < 2; ++k) {
        cv::Mat padded = cv::Mat::zeros(kAngles, 2 * kRadii, CV_32F);
        cv::Mat windowed = (k == 0 ? reference : camera).mul(windows);
        windowed -= cv::mean(windowed)[0];
        windowed.copyTo(padded(cv::Rect(0, 0, kRadii, kAngles)));
        cv::dft(padded, spectra[k]);
    }
    cv::Mat product, r;
    cv::mulSpectrums(spectra[1], spectra[0], product, 0, true);
    cv::dft(product, r, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT);
    cv::Point at;
    cv::minMaxLoc(r, nullptr, nullptr, nullptr, &at);
    const float peak = r.at<float>(at);
    const float left = r.at<float>(at.y, (at.x + r.cols - 1) % r.cols), right = r.at<float>(at.y, (at.x + 1) % r.cols);
    const float up = r.at<float>((at.y + r.rows - 1) % r.rows, at.x), down = r.at<float>((at.y + 1) % r.rows, at.x);
    cv::Point2d shift(at.x + vertex_of(left, peak, right).offset, at.y + vertex_of(up, peak, down).offset);
    if (shift.x > kRadii) shift.x -= 2 * kRadii;
    if (shift.y > kAngles / 2) shift.y -= kAngles;
    return shift;
}

struct RotationScale {
    double angle = 0;  // radians, from x towards y in image coordinates
    double scale = 1;  // the working camera over the working reference
};

// Rotating the camera's subject rotates its spectrum alike; enlarging it by s
// shrinks the spectrum by s.
RotationScale rotation_and_scale(const Working& w) {
    const int largest = std::max({w.ref.cols, w.ref.rows, w.cam.cols, w.cam.rows});
    const int n = 2 * ((cv::getOptimalDFTSize(largest) + 1) / 2);
    const cv::Point2d shift = spectra_shift(log_polar_spectrum(w.ref, n), log_polar_spectrum(w.cam, n));
    return {shift.y * 2 * CV_PI / kAngles, std::exp(-shift.x * std::log(n / 2.0) / kRadii)};
}

RotationScale rotation_and_scale_of(const cv::Matx33d& m) {
    return {std::atan2(m(1, 0), m(0, 0)), std::hypot(m(0, 0), m(1, 0))};
}

// ---- shift -----------------------------------------------------------------

// The reference rotated and scaled into its bounding box, kept where it
// shows something (blank paper would count the camera's desk and shadows
// against it): canvas = a * reference - origin.
struct Turned {
    cv::Mat image, support;  // CV_32F
    cv::Matx22d a;
    cv::Point2d origin;
};

Turned turned(const Working& w, const RotationScale& rs) {
    Turned t;
    const double c = rs.scale * std::cos(rs.angle), s = rs.scale * std::sin(rs.angle);
    t.a = cv::Matx22d(c, -s, s, c);
    std::vector<cv::Point2f> corners;
    for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(w.ref.cols, 0), cv::Point2d(0, w.ref.rows),
                                cv::Point2d(w.ref.cols, w.ref.rows)}) {
        const cv::Vec2d q = t.a * cv::Vec2d(p.x, p.y);
        corners.emplace_back(static_cast<float>(q[0]), static_cast<float>(q[1]));
    }
    const cv::Rect box = cv::boundingRect(corners);
    t.origin = cv::Point2d(box.x, box.y);
    const cv::Matx23d m(c, -s, -t.origin.x, s, c, -t.origin.y);
    cv::Mat content;
    content_mask(w.ref, w.box / 4 + 1).convertTo(content, CV_32F, 1.0 / 255);
    cv::warpAffine(w.ref, t.image, m, box.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
    cv::warpAffine(content, t.support, m, box.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
    t.image = t.image.mul(t.support);
    return t;
}

// An image placed at `at` in a p-sized zero image, and its spectrum (packed).
cv::Mat spectrum_of(const cv::Mat& image, cv::Size p, cv::Point at = cv::Point()) {
    cv::Mat padded = cv::Mat::zeros(p, CV_32F);
    image.copyTo(padded(cv::Rect(at, image.size())));
    cv::Mat spectrum;
    cv::dft(padded, spectrum, 0, at.y + image.rows);
    return spectrum;
}

// sum over u of a(u) b(u + d) from their spectra, at index d + where b sits.
cv::Mat correlated(const cv::Mat& spectrum_b, const cv::Mat& spectrum_a) {
    cv::Mat product, result;
    cv::mulSpectrums(spectrum_b, spectrum_a, product, 0, true);
    cv::dft(product, result, cv::DFT_INVERSE | cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    return result;
}

// Independent pieces of work (transforms of one size) split between the two
// cores the precise entry counts on: the self-similarity search that runs
// beside the choice of the map outlasts it and would leave a core idle.
void in_two_halves(const std::vector<std::function<void()>>& tasks) {
    for_each_band(static_cast<int>(tasks.size()), 2, [&tasks](int first, int end) {
        for (int i = first; i < end; ++i) tasks[i]();
    });
}

// The camera's three spectra that every turn of the reference is
// correlated with: they depend only on the transform's size and on where
// the camera sits in it, which turns of one box share (a half turn's box is
// the unturned one's), so they are made once for those.
struct CameraSpectrum {
    cv::Size p;
    cv::Point at;
    cv::Mat cam, cam2, valid;
};

class CameraSpectra {
public:
    explicit CameraSpectra(const Working& w) : w_(w) {}

    // The spectra for a transform size and place, made already or none.
    const CameraSpectrum* made(cv::Size p, cv::Point at) const {
        for (const CameraSpectrum& s : made_) {
            if (s.p == p && s.at == at) return &s;
        }
        return nullptr;
    }

    // The work that makes them, to run with other transforms; `keep` then
    // stores what it made.
    std::vector<std::function<void()>> making(CameraSpectrum& s) const {
        return {[this, &s] { s.cam = spectrum_of(w_.cam, s.p, s.at); },
                [this, &s] { s.cam2 = spectrum_of(w_.cam.mul(w_.cam), s.p, s.at); },
                [this, &s] { s.valid = spectrum_of(cv::Mat(w_.cam.size(), CV_32F, cv::Scalar(1)), s.p, s.at); }};
    }
    const CameraSpectrum& keep(CameraSpectrum s) {
        made_.push_back(std::move(s));
        return made_.back();
    }

    const Working& working() const { return w_; }

private:
    const Working& w_;
    std::vector<CameraSpectrum> made_;
};

// The normalised correlation of the turned reference with the camera at every
// shift at which their overlap holds at least a quarter of the reference's
// content (as the refinement asks); -1 elsewhere. Shift d sits at d + `at`.
cv::Mat shift_scores(CameraSpectra& camera, const Turned& t, cv::Point at) {
    const Working& w = camera.working();
    const cv::Size p(cv::getOptimalDFTSize(t.image.cols + w.cam.cols),
                     cv::getOptimalDFTSize(t.image.rows + w.cam.rows));
    const CameraSpectrum* made = camera.made(p, at);
    CameraSpectrum fresh{p, at, {}, {}, {}};
    std::vector<std::function<void()>> transforms = made ? std::vector<std::function<void()>>() : camera.making(fresh);
    cv::Mat f_ref, f_ref2, f_support;
    transforms.push_back([&] { f_ref = spectrum_of(t.image, p); });
    transforms.push_back([&] { f_ref2 = spectrum_of(t.image.mul(t.image), p); });
    transforms.push_back([&] { f_support = spectrum_of(t.support, p); });
    in_two_halves(transforms);
    const CameraSpectrum& c = made ? *made : camera.keep(std::move(fresh));
    const cv::Rect shifts(0, 0, t.image.cols + w.cam.cols - 1, t.image.rows + w.cam.rows - 1);
    cv::Mat product, ref_energy, cam_energy, overlap;
    in_two_halves({[&] { product = correlated(c.cam, f_ref)(shifts); },
                   [&] { ref_energy = correlated(c.valid, f_ref2)(shifts); },
                   [&] { cam_energy = correlated(c.cam2, f_support)(shifts); },
                   [&] { overlap = correlated(c.valid, f_support)(shifts); }});
    const cv::Mat energy = ref_energy.mul(cam_energy);
    cv::Mat root, score;
    cv::sqrt(cv::max(energy, 1e-12), root);
    cv::divide(product, root, score);
    score.setTo(-1, (overlap < cv::sum(t.support)[0] / 4) | (energy <= 0));
    return score;
}

struct Peak {
    double height = 0;
    cv::Point2d at;
};

// A local maximum between pixels: its height depends on how near a pixel its
// top falls, by more than a repeated pattern's cells differ from each other.
Peak peak_at(const cv::Mat& score, cv::Point d) {
    const float s = score.at<float>(d);
    if (d.x == 0 || d.y == 0 || d.x + 1 == score.cols || d.y + 1 == score.rows) return {s, d};
    const float left = score.at<float>(d.y, d.x - 1), right = score.at<float>(d.y, d.x + 1);
    const float up = score.at<float>(d.y - 1, d.x), down = score.at<float>(d.y + 1, d.x);
    // At the edge of the shifts counted, the top may lie beyond it.
    if (std::min({left, right, up, down}) < 0) return {s, d};
    const Vertex vx = vertex_of(left, s, right), vy = vertex_of(up, s, down);
    return {vx.height + vy.height - s, cv::Point2d(d.x + vx.offset, d.y + vy.offset)};
}

// The highest local maxima, each at least `apart` from a higher one (closer
// ones are its shoulders).
std::vector<Peak> highest_peaks(const cv::Mat& score, int count, double apart) {
    cv::Mat largest;
    cv::dilate(score, largest, cv::Mat());
    std::vector<Peak> maxima;
    for (int y = 0; y < score.rows; ++y) {
        const float* s = score.ptr<float>(y);
        const float* l = largest.ptr<float>(y);
        for (int x = 0; x < score.cols; ++x) {
            if (s[x] > 0 && s[x] >= l[x]) maxima.push_back(peak_at(score, cv::Point(x, y)));
        }
    }
    std::sort(maxima.begin(), maxima.end(), [](const Peak& a, const Peak& b) { return a.height > b.height; });
    std::vector<Peak> kept;
    for (const Peak& m : maxima) {
        if (static_cast<int>(kept.size()) == count) break;
        const auto near = [&m, apart](const Peak& k) { return std::hypot(k.at.x - m.at.x, k.at.y - m.at.y) < apart; };
        if (std::none_of(kept.begin(), kept.end(), near)) kept.push_back(m);
    }
    return kept;
}

struct Found {
    double height;
    CameraMap map;
};

std::vector<Found> shift_candidates(CameraSpectra& camera, const RotationScale& rs, int count) {
    const Working& w = camera.working();
    const Turned t = turned(w, rs);
    // The camera placed so that every shift lands at a non-negative index.
    const cv::Point at(t.image.cols - 1, t.image.rows - 1);
    std::vector<Found> found;
    for (const Peak& p : highest_peaks(shift_scores(camera, t, at), count, w.box / 2)) {
        // camera (working) = a reference (working) - origin + shift.
        const cv::Point2d shift = p.at - cv::Point2d(at) - t.origin;
        const CameraMap working(cv::Matx33d(t.a(0, 0), t.a(0, 1), shift.x, t.a(1, 0), t.a(1, 1), shift.y, 0, 0, 1));
        found.push_back({p.height, scaling<frame::Camera, frame::Camera>(1 / w.cam_scale) * working *
                                       scaling<frame::Reference, frame::Reference>(w.ref_scale)});
    }
    return found;
}

// A repeated pattern's cells fix rotation and scale more closely than the
// spectrum's grid does, and a scale a few tenths of a per cent off misplaces
// the outer cells, so that the shifts that leave them out would win. Refined
// by the correlation at the coarse level from the best shift, which any of
// the pattern's cells serves equally.
RotationScale refined_rotation_and_scale(const Working& w, const CameraMap& found) {
    cv::Matx33d m = (scaling<frame::Camera, frame::Camera>(w.cam_scale) * found *
                     scaling<frame::Reference, frame::Reference>(1 / w.ref_scale)).matrix();
    const RotationScale start = rotation_and_scale_of(m);
    const cv::Mat valid(w.cam.size(), CV_8U, cv::Scalar(255));
    if (ecc_align(w.ref, content_mask(w.ref, w.box / 4 + 1), w.cam, valid, m, Motion::similarity, 20, 0.01) < 0) {
        return start;
    }
    return rotation_and_scale_of(m);
}

}  // namespace

std::vector<CameraMap> correlation_candidates(const FeatureEstimate& reduced, int count) {
    if (reduced.img_small.empty() || reduced.cam_small.empty()) return {};
    const Working coarse = working_images(reduced, kSide);
    const RotationScale spectra = rotation_and_scale(coarse);
    // The spectrum cannot tell a half turn, nor can the correlation at its
    // level where the subject's outline (a label's frame, a sheet's edges)
    // looks the same turned: the whole pair, as the candidates are compared.
    // A print of upright shapes (a chart of squares and circles) has a
    // spectrum that looks alike a quarter turn away, and may peak there.
    std::optional<Found> best;
    double best_measure = -1;
    CameraSpectra coarse_camera(coarse);
    for (const double angle : {spectra.angle, spectra.angle + CV_PI, spectra.angle + CV_PI / 2, spectra.angle - CV_PI / 2}) {
        const std::vector<Found> top = shift_candidates(coarse_camera, {angle, spectra.scale}, 1);
        if (top.empty()) continue;
        const double measure = whole_pair_measure(reduced, top[0].map);
        if (!best || measure > best_measure || (measure == best_measure && top[0].height > best->height)) {
            best = top[0];
            best_measure = measure;
        }
    }
    if (!best) return {};
    const RotationScale refined = refined_rotation_and_scale(coarse, best->map);
    std::vector<CameraMap> maps;
    const Working fine = working_images(reduced, kFineSide);
    CameraSpectra fine_camera(fine);
    for (const Found& f : shift_candidates(fine_camera, refined, count)) maps.push_back(f.map);
    return maps;
}

std::vector<SelfSimilarity> self_similarities(const FeatureEstimate& reduced, int shifts) {
    if (reduced.img_small.empty()) return {};
    FeatureEstimate itself = reduced;  // the reference against itself
    itself.cam_small = reduced.img_small;
    const Working w = working_images(itself, kFineSide);
    // Its own place is the highest peak of the shifts; closer ones are its shoulders.
    const double apart = w.box / 2.0 / w.ref_scale;
    const cv::Point2d centre(reduced.img_small.cols / 2.0 / reduced.factor, reduced.img_small.rows / 2.0 / reduced.factor);
    std::vector<SelfSimilarity> found;
    CameraSpectra camera(w);
    const auto add = [&](double angle, int count) {
        for (const Found& f : shift_candidates(camera, {angle, 1.0}, count)) {
            const cv::Point2d moved = f.map(centre) - centre;
            if (angle == 0 && std::hypot(moved.x, moved.y) < apart) continue;
            found.push_back({Map<frame::Reference, frame::Reference>(f.map.matrix()), f.height});
        }
    };
    add(0, shifts + 1);
    add(CV_PI, 1);
    // The cells of a grid look alike turned a quarter turn, and so does its
    // spectrum, whatever the outline: looked for where the print repeats.
    const bool repeats = std::any_of(found.begin(), found.end(), [](const SelfSimilarity& s) {
        return s.map.matrix()(0, 0) > 0.5 && s.correlation >= kPeriodic;
    });
    if (repeats) {
        add(CV_PI / 2, 1);
        add(-CV_PI / 2, 1);
    }
    return found;
}

}  // namespace pairfit
