#include "deformable.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <iterator>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "bspline.h"
#include "refinement.h"
#include "side_by_side.h"

namespace pairfit {
namespace {

// Cells along the reference's longer side, the finest first that the
// content supports: a spacing of a twelfth of the image follows paper
// waving twice across the image to a few hundredths of a pixel, a sixth
// still a lens's distortion and a bottle's curve; where a finer grid
// leaves many cells blank, their displacement would only be guessed from
// their neighbours.
constexpr int kCellChoices[] = {12, 9, 6};
// The uncorrelated remainder of a pair (1 - correlation) that a coarser
// grid's fit must leave for the finest grid to be tried (the lens
// photographs whose skies chose a coarser grid left 0.0002 to 0.0004, and the
// finest left the same; the pagoda under waves below left 0.009), and the
// share of it below which the finest grid's fit is taken (see fit_field).
constexpr double kFinerWorth = 0.002;
constexpr double kFinerLeaves = 0.5;
// A cell has content where this share of it shows detail; a grid is
// supported where this share of its cells have content. Detail is a
// gradient of kEdge grey levels per pixel at 500 px: a photograph's
// shading has it, blank paper and flat fills do not. (At 8, only strokes
// counted: photographs under waves got the coarsest grid and were 2.7 px
// off at the 95th percentile; the finest one took them to 0.4-0.7 px.)
constexpr double kCellContent = 0.02;
constexpr double kEdge = 2;
constexpr double kCellsWithContent = 0.8;
// The field's bending is counted in differences of this order of its
// control displacements (see bending_of).
constexpr int kBendingOrder = 4;
// The weight of the bending against the data, per parameter's share of the
// Hessian's trace: enough to keep the field from fitting the camera's noise
// and to carry it smoothly across blank paper and along a line, which tells
// only its normal motion; little enough not to flatten a bottle's curve
// where the print shows it (on the accuracy run's curved pairs, half of
// this leaves a label round a bottle 0.7 px off at the 95th percentile, two
// and a half times it a wave over a photograph 0.7 px).
constexpr double kBending = 2e-2;
// The stiffer bending tried where the field may stray by more than
// kStifferWorth (camera pixels) over blank stretches (see fit_steadiest).
constexpr double kStiffer = 10;
constexpr double kStifferWorth = 0.05;
// Where the bending's weight that the fit's own noise and bending imply is
// below kSofterBelow of the weight used (see implied_weight_share), the last
// level goes on under kSofter of it. A lens, a bottle and a flat print bend
// little beyond the cubic the bending leaves free: the weight their fits
// imply is 0.02 to 1.3 of the weight used on the accuracy run's generated
// pairs. Waves and curled corners bend where the data tells it, and their
// fits imply 1e-4 to 9e-3 of it: held to the full weight, a wave's field
// was flattened by tenths of a pixel.
constexpr double kSofter = 0.1;
constexpr double kSofterBelow = 0.01;
// The softer fit starts where the first settled, a step from where it
// settles in turn: two steps left the accuracy run's softened pairs within
// 0.04 px of three, at two thirds of the cost.
constexpr int kSofterIterations = 2;
// A field earns its parameters where it removes this share of what the
// map leaves uncorrelated over the whole pair and moves some point of the
// output square by more than kVisibleDisplacement (camera pixels). On a
// flat print it fits noise: a few hundredths of a pixel, up to four
// tenths of one on sparse labels and smooth photographs, where what the
// homography leaves is so little that noise can gain the share (on the
// accuracy run's control pairs three did, moving the square by 0.22 to
// 0.40 px, two of them ending 0.16 px off where the homography was 0.07
// and 0.11 px). Every curved pair's field moved it by 0.9 px or more.
constexpr double kEarnedShare = 0.05;
constexpr double kVisibleDisplacement = 0.5;
// The displacement (camera pixels) below which the coarser levels' field
// ends the fit: a field that has not moved the square visibly by then is
// noise. On the accuracy run's flat pairs the coarser levels' field moved
// the square by up to 4.3 px (most over blank paper, which the data do not
// hold), on every curved pair by 0.9 px or more.
constexpr double kSparedBelow = kVisibleDisplacement;
// Levels of fewer pixels remake the Hessian at every step.
constexpr size_t kFreshHessian = 120000;
// The smallest cell of a level's grid, in pixels of the level: a cell
// smaller holds too little content to tell its displacement.
constexpr double kLevelCell = 40;
// The template's margin at the coarser levels, in band-pass boxes: there
// the field still moves by pixels, and the print's edge against the desk,
// which the band-pass spreads over a box, would pull the nearby content
// (the end of a text block) towards it before that content is resolved.
// (One box let it pull a document round a bottle 19-34 px off; two left the
// outer tenth of the print unfitted, and a label round a bottle was 35 px
// off there, past the output square.)
constexpr double kCoarseInset = 1.5;
// Along the print's edges that the output square comes within a box of, the
// last level's template comes kEdgeBand of its pixels close to them, its
// band-pass made of the print alone, which leaves out the print's outermost
// kEdgeInset pixels. Kept a box away, as along the other edges, the field
// over the square's border was carried there by its smoothness alone, and
// most pairs the field missed by more than half a pixel missed there: a lens
// photograph 0.54 / 1.23 px (95th percentile / worst point) is now 0.29 /
// 0.65 px, a bottle's photograph 0.30 / 1.39 px now 0.19 / 0.35 px. Along
// every edge the band helps boards and photographs more but pulls labels: the
// ends of their banner at a bottle's sides took one 2.5 px off at the
// square's corner. The coarser levels never see that band, so the start map
// can be pixels off there, and within a few pixels more than the fine blur's
// reach the camera then shows the desk: over dark, smooth content, whose faint
// gradients make a small change of tone a large shift, it pulled the field.
// At 4 pixels a flower on a dark background seen through a lens was 0.65 /
// 2.65 px off at the square's corner, a mosaic with a colour wheel 4.1 / 25 px
// (the few displacements the band told carried on as a cubic across the
// wheel's blank side); at 12, 0.12 / 0.39 px and 3.7 / 9.5 px.
constexpr int kEdgeBand = 12;
constexpr int kEdgeInset = 4;
// The black level and the light's quadratic over the print; the most the
// light is taken to differ from its middle either way (a quadratic fitted to
// a print seen in part runs on steeply past it); the residual, in typical
// residuals, beyond which a cell is left out of the light's second fit.
constexpr int kLightTerms = 7;
constexpr double kLightRange = 4;
constexpr double kOutlying = 3;
// The pull towards the cubic through the whole field, against the
// bending's weight (see fit_level).
constexpr double kHeld = 0.001;
// The largest change of a control displacement in one step, in pixels of
// the level: a longer step can jump to a neighbouring optimum of a repeated
// pattern (lines of text).
constexpr double kLargestStep = 4.0;

struct Grid {
    cv::Point2d origin;
    double spacing = 1;
    int cols = 4, rows = 4;
    int parameters() const { return 2 * cols * rows; }
};

// The final grid for a reference of `cells` along its longer side, or one
// `depth` times coarser (spacing doubled each time): coarse levels fit the
// few parameters they can tell, which keeps a large first motion (a
// bottle's curve) from being spread over the noise of many.
Grid grid_for(cv::Size reference, int cells, int depth) {
    Grid g;
    g.spacing = std::ldexp(std::max(reference.width, reference.height) / static_cast<double>(cells), depth);
    g.origin = cv::Point2d(-g.spacing, -g.spacing);
    // One control point beyond each edge, so that four reach every pixel.
    g.cols = static_cast<int>(std::ceil(reference.width / g.spacing)) + 3;
    g.rows = static_cast<int>(std::ceil(reference.height / g.spacing)) + 3;
    return g;
}

// One level of the pyramid: the template (the reference band-passed, its
// edges cut), the camera seen through the map the level starts from (the
// homography and the coarser levels' field), band-passed in the
// reference's geometry with its gradients, and the spline's weights at each
// template column and row. Band-passed in its own geometry, a camera that
// the print's curve squeezes (a bottle's side) would be filtered over more
// of the print than the template is: on smooth content that moves the
// optimum by pixels.
struct FieldLevel {
    cv::Mat t, t_mask;      // CV_32F, CV_8U
    cv::Mat in;             // CV_32FC3 over the level's reference: the camera, and its gradients per camera pixel
    cv::Mat camera;         // CV_32F: the first of `in`'s channels alone, for steps that need no gradients
    int content = 0;        // pixels of t_mask
    cv::Mat seen;           // CV_8U over the level's reference: where the start map reaches the camera
    cv::Mat start;          // CV_64FC2 per template pixel: the camera pixel the start map gives it
    cv::Mat towards;        // CV_32FC4 per template pixel: level pixels per camera pixel there (2x2, row by row)
    cv::Point inset;        // template pixel + inset = level pixel
    double k = 1;           // level pixels per camera pixel
    std::vector<double> px, py;  // the reference pixel of each template column and row
    std::vector<SplineWeights> wx, wy;
};

// The camera resampled onto the level's reference grid through the start
// map, with where that map reaches the camera, and the level pixels per
// camera pixel at each grid pixel.
struct StartView {
    cv::Mat camera, seen, towards, start;
};

// `halved`: its pixels are made in two bands of rows side by side, where
// nothing else runs beside it.
StartView start_view(const cv::Mat& camera, const CameraMap& map, const DisplacementField& field, cv::Size size,
                     double k, double offset, const std::function<double(int)>& reference_of, bool halved) {
    // Exact at every few pixels: the map bends over hundreds of them, so
    // that bilinear steps between are within a thousandth of a pixel.
    const int step = 8;
    const int cols = (size.width - 1) / step + 2, rows = (size.height - 1) / step + 2;
    cv::Mat nodes(rows, cols, CV_64FC(6));
    const cv::Matx33d h = map.matrix();
    for (int j = 0; j < rows; ++j) {
        for (int i = 0; i < cols; ++i) {
            const cv::Point2d p(reference_of(i * step), reference_of(j * step));
            const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
            const cv::Point2d c = cv::Point2d((h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w,
                                              (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w) + field.at(p);
            const cv::Matx22d a = (jacobian_at(h, p) + field.jacobian_at(p)).inv() * k;
            const bool ahead = w > 0 && std::isfinite(c.x) && std::isfinite(c.y);
            nodes.at<cv::Vec6d>(j, i) = ahead ? cv::Vec6d(c.x, c.y, a(0, 0), a(0, 1), a(1, 0), a(1, 1))
                                              : cv::Vec6d(-1e6, -1e6, 0, 0, 0, 0);
        }
    }
    StartView v;
    cv::Mat map_x(size, CV_32F), map_y(size, CV_32F);
    v.start.create(size, CV_64FC2);
    v.towards.create(size, CV_32FC4);
    v.seen.create(size, CV_8U);
    const auto fill = [&](int first, int last) {
        for (int y = first; y < last; ++y) {
            const int j = y / step;
            const double fy = static_cast<double>(y - j * step) / step;
            for (int x = 0; x < size.width; ++x) {
                const int i = x / step;
                const double fx = static_cast<double>(x - i * step) / step;
                const cv::Vec6d n = (1 - fy) * ((1 - fx) * nodes.at<cv::Vec6d>(j, i) + fx * nodes.at<cv::Vec6d>(j, i + 1)) +
                                    fy * ((1 - fx) * nodes.at<cv::Vec6d>(j + 1, i) + fx * nodes.at<cv::Vec6d>(j + 1, i + 1));
                const double lx = k * n[0] + offset, ly = k * n[1] + offset;
                map_x.at<float>(y, x) = static_cast<float>(lx);
                map_y.at<float>(y, x) = static_cast<float>(ly);
                v.start.at<cv::Vec2d>(y, x) = cv::Vec2d(n[0], n[1]);
                v.towards.at<cv::Vec4f>(y, x) = cv::Vec4f(static_cast<float>(n[2]), static_cast<float>(n[3]),
                                                          static_cast<float>(n[4]), static_cast<float>(n[5]));
                v.seen.at<std::uint8_t>(y, x) = lx >= 0 && ly >= 0 && lx <= camera.cols - 1 && ly <= camera.rows - 1 ? 255 : 0;
            }
        }
    };
    if (halved) {
        side_by_side([&] { fill(0, size.height / 2); }, [&] { fill(size.height / 2, size.height); });
    } else {
        fill(0, size.height);
    }
    cv::remap(camera, v.camera, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return v;
}

using LightFit = cv::Vec<double, kLightTerms>;

// The fit's terms at template pixel (x, y) of a template of `size` showing
// `tone`: the black level, then the tone under each of the light's terms.
LightFit light_terms(double x, double y, cv::Size size, double tone) {
    const double u = 2 * x / size.width - 1, v = 2 * y / size.height - 1;
    return {1, tone, tone * u, tone * v, tone * u * u, tone * u * v, tone * v * v};
}

// One cell of the light's fit: its terms and the camera's tone there.
struct LightSample {
    LightFit terms;
    double camera;
};

// The cells the camera sees wholly.
std::vector<LightSample> light_samples(const cv::Mat& camera, const cv::Mat& t, const cv::Mat& seen) {
    std::vector<LightSample> samples;
    for (int y = 0; y < t.rows; ++y) {
        for (int x = 0; x < t.cols; ++x) {
            if (!seen.at<std::uint8_t>(y, x)) continue;
            samples.push_back({light_terms(x + 0.5, y + 0.5, t.size(), t.at<float>(y, x)), camera.at<float>(y, x)});
        }
    }
    return samples;
}

// Least squares over the samples whose residual under `previous` is within
// `tolerance` (all of them without one).
std::optional<LightFit> fitted_light(const std::vector<LightSample>& samples, const std::optional<LightFit>& previous,
                                     double tolerance) {
    cv::Matx<double, kLightTerms, kLightTerms> normal = cv::Matx<double, kLightTerms, kLightTerms>::zeros();
    LightFit right = LightFit::all(0);
    for (const LightSample& sample : samples) {
        if (previous && std::abs(sample.camera - sample.terms.dot(*previous)) > tolerance) continue;
        right += sample.terms * sample.camera;
        normal += sample.terms * sample.terms.t();
    }
    LightFit fit;
    if (!cv::solve(normal, right, fit, cv::DECOMP_CHOLESKY)) return std::nullopt;
    return fit;
}

// How far the camera lies from the fit, typically (the median residual).
double typical_residual(const std::vector<LightSample>& samples, const LightFit& fit) {
    if (samples.empty()) return 0;
    std::vector<double> residuals;
    for (const LightSample& sample : samples) residuals.push_back(std::abs(sample.camera - sample.terms.dot(fit)));
    std::nth_element(residuals.begin(), residuals.begin() + residuals.size() / 2, residuals.end());
    return residuals[residuals.size() / 2];
}

// The camera's light made even with the template's. A camera's light falls
// off towards its corners and across the desk; the band-pass leaves that
// slope on smooth content, shifted by the wide box's reach, and photographs
// under uneven light were fitted 0.6-0.8 px off (95th percentile) where they
// were 0.2-0.3 px off under even light. The camera is taken as its black
// level plus the template lit by a light that varies over the print as a
// quadratic (vignetting, a lamp to one side), fitted over the whole seen
// print by least squares and divided out. A light measured over windows instead
// follows where the content is bright within each, and pulls as much.
cv::Mat evened_light(const cv::Mat& camera, const cv::Mat& t, const cv::Mat& seen, int box) {
    // Fitted over cells of a quarter box, where a start map pixels off moves
    // an edge's tone by a fraction of its contrast; and again without the
    // cells it moved most, which would otherwise pass for light.
    const int cell = std::max(1, box / 4);
    const cv::Size cells(std::max(1, t.cols / cell), std::max(1, t.rows / cell));
    cv::Mat small_t, small_camera, small_seen;
    cv::resize(t, small_t, cells, 0, 0, cv::INTER_AREA);
    cv::resize(camera, small_camera, cells, 0, 0, cv::INTER_AREA);
    cv::resize(seen, small_seen, cells, 0, 0, cv::INTER_AREA);
    const std::vector<LightSample> samples = light_samples(small_camera, small_t, small_seen == 255);
    std::optional<LightFit> fit = fitted_light(samples, std::nullopt, 0);
    if (fit) fit = fitted_light(samples, fit, std::max(0.5, kOutlying * typical_residual(samples, *fit)));
    // An image that is not this print's photograph (or a blank one) has no
    // light of its own to divide out.
    if (!fit || !((*fit)[1] > 0) || !cv::checkRange(*fit)) return camera;
    const LightFit& f = *fit;
    cv::Mat even(camera.size(), CV_32F);
    for (int y = 0; y < t.rows; ++y) {
        for (int x = 0; x < t.cols; ++x) {
            const LightFit a = light_terms(x + 0.5, y + 0.5, t.size(), 1);
            const double light = std::clamp((a.dot(f) - f[0]) / f[1], 1 / kLightRange, kLightRange);
            even.at<float>(y, x) = static_cast<float>((camera.at<float>(y, x) - f[0]) / light);
        }
    }
    return even;
}

// What a band-pass over only some pixels needs of them: where they are (1,
// else 0) and how much of each pixel's wide blur they make up.
struct Shown {
    cv::Mat where, share;  // CV_32F
};

Shown shown_of(const cv::Mat& mask, int box) {
    Shown s;
    mask.convertTo(s.where, CV_32F, 1.0 / 255);
    cv::blur(s.where, s.share, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    cv::blur(s.share, s.share, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    cv::max(s.share, 1e-6, s.share);
    return s;
}

// The band-pass of an image of which only the `shown` pixels are known: its
// wide blur made of those pixels alone, not of a mirror image of the print
// (which moves the other way when the content moves) nor of the camera's
// border pixels repeated past its frame. The template and the camera are
// filtered over the same pixels.
cv::Mat band_pass_within(const cv::Mat& image, const Shown& shown, int box) {
    cv::Mat fine, coarse;
    cv::GaussianBlur(image, fine, cv::Size(), 1.0);
    cv::blur(image.mul(shown.where), coarse, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    cv::blur(coarse, coarse, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    return fine - coarse / shown.share;
}

// The template's inset from each of the level's edges (left, top, right,
// bottom): on coarser levels kCoarseInset boxes; on the last, one box, or
// kEdgeBand along an edge that `square` (the output square in reference
// pixels) comes within `reach` reference pixels of.
cv::Vec4i insets_of(cv::Size level, int box, cv::Size reference, const cv::Rect2d& square, double reach, bool last) {
    const int margin = std::min(last ? box : static_cast<int>(kCoarseInset * box), std::min(level.width, level.height) / 4);
    if (!last || square.empty()) return cv::Vec4i::all(margin);
    const auto inset = [&](bool reached) { return reached ? std::min(kEdgeBand, margin) : margin; };
    return {inset(square.x < reach), inset(square.y < reach), inset(square.br().x > reference.width - reach),
            inset(square.br().y > reference.height - reach)};
}

// A resized image keeps pixel centres: level = scale (x + 0.5) - 0.5, as in
// the refinement; the reduced images sit at `factor` times the full ones.
FieldLevel level_of(const FeatureEstimate& reduced, const CameraMap& map, const DisplacementField& field,
                    const Grid& grid, double scale, bool last, cv::Size reference, const cv::Rect2d& square) {
    FieldLevel l;
    cv::Mat t, in;
    reduced.img_small.convertTo(t, CV_32F);
    reduced.cam_small.convertTo(in, CV_32F);
    if (scale != 1) {
        cv::resize(t, t, cv::Size(), scale, scale, cv::INTER_AREA);
        cv::resize(in, in, cv::Size(), scale, scale, cv::INTER_AREA);
    }
    const int box = band_pass_box(std::max(t.cols, t.rows));
    l.k = scale * reduced.factor;
    const cv::Vec4i insets = insets_of(t.size(), box, reference, square, box / l.k, last);
    l.inset = cv::Point(insets[0], insets[1]);
    const cv::Rect inside(insets[0], insets[1], t.cols - insets[0] - insets[2], t.rows - insets[1] - insets[3]);
    const auto reference_of = [&](int i) { return ((i + 0.5) / scale - 0.5) / reduced.factor; };
    const auto template_of = [&](const cv::Mat& band_passed) {
        l.t = band_passed(inside);
        l.t_mask = content_mask(l.t, box / 4 + 1);
        l.content = cv::countNonZero(l.t_mask);
    };
    StartView view;
    // The last level's template is filtered over what the camera shows,
    // which its view tells; a coarser one's beside the view.
    const auto view_of = [&](bool halved) {
        view = start_view(in, map, field, t.size(), l.k, (scale - 1) / 2, reference_of, halved);
    };
    if (last) {
        view_of(true);
    } else {
        side_by_side([&] { template_of(band_pass(t, box)); }, [&] { view_of(false); });
    }
    cv::Mat camera;
    if (last) {
        // The print's outermost pixels are left out too: the camera blurs
        // the desk into them, and where the start map is a pixel or two off
        // it shows the desk there.
        cv::Mat known(view.seen.size(), CV_8U, cv::Scalar(0));
        const int edge = std::min(kEdgeInset, std::min(known.cols, known.rows) / 4);
        const cv::Rect print(edge, edge, known.cols - 2 * edge, known.rows - 2 * edge);
        view.seen(print).copyTo(known(print));
        const Shown shown = shown_of(known, box);
        side_by_side([&] { template_of(band_pass_within(t, shown, box)); },
                     [&] { camera = band_pass_within(evened_light(view.camera, t, view.seen, box), shown, box); });
    } else {
        camera = band_pass(evened_light(view.camera, t, view.seen, box), box);
    }
    cv::Mat gx, gy;
    cv::Sobel(camera, gx, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(camera, gy, CV_32F, 0, 1, 3, 1.0 / 8);
    // Level pixels per camera pixel turn the grid's gradients into the
    // camera's, which the field's displacements are counted in.
    for (int y = 0; y < camera.rows; ++y) {
        float* px = gx.ptr<float>(y);
        float* py = gy.ptr<float>(y);
        const cv::Vec4f* a = view.towards.ptr<cv::Vec4f>(y);
        for (int x = 0; x < camera.cols; ++x) {
            const float u = px[x], v = py[x];
            px[x] = a[x][0] * u + a[x][2] * v;
            py[x] = a[x][1] * u + a[x][3] * v;
        }
    }
    cv::merge(std::vector<cv::Mat>{camera, gx, gy}, l.in);
    l.camera = camera;
    l.seen = view.seen;
    l.start = view.start(inside);
    l.towards = view.towards(inside);
    const auto place = [&](int count, int inset, double origin, int n, std::vector<double>& p,
                           std::vector<SplineWeights>& w) {
        for (int i = 0; i < count; ++i) {
            p.push_back(reference_of(i + inset));
            w.push_back(spline_weights((p.back() - origin) / grid.spacing, n));
        }
    };
    place(l.t.cols, l.inset.x, grid.origin.x, grid.cols, l.px, l.wx);
    place(l.t.rows, l.inset.y, grid.origin.y, grid.rows, l.py, l.wy);
    return l;
}

// The control displacements, x and y of each control point in turn, row by
// row of the grid: the order that keeps the normal equations banded.
using Coefficients = std::vector<double>;

int index_of(const Grid& g, int row, int col, int axis) { return 2 * (row * g.cols + col) + axis; }

// The correlation under a field and, when asked, the gradient of the data
// term and its Gauss-Newton Hessian.
struct FieldEvaluation {
    bool valid = false;
    double rho = -1;
    double noise = 0;              // mean square of what the fitted brightness leaves per counted pixel
    std::vector<double> gradient;  // J^T e
    cv::Mat hessian;               // J^T J, CV_64F
};

// Per-pixel sums that the normal equations gather, for one band of rows.
struct Sums {
    std::vector<double> gradient;
    cv::Mat hessian;
};

// The template against the camera seen through a field, over the pixels
// that count: their means and the zero-mean products.
struct Agreement {
    float t_mean = 0, i_mean = 0;
    double tt = 0, ii = 0, ti = 0;
};

// f(template, camera) at each counted pixel of rows first to last, the
// camera being channel 0 of `seen`.
template <typename F>
void for_counted(const cv::Mat& t, const cv::Mat& seen, const cv::Mat& counted, int first, int last, F f) {
    const int channels = seen.channels();
    for (int y = first; y < last; ++y) {
        const float* pt = t.ptr<float>(y);
        const float* pi = seen.ptr<float>(y);
        const std::uint8_t* ok = counted.ptr<std::uint8_t>(y);
        for (int x = 0; x < t.cols; ++x) {
            if (ok[x]) f(pt[x], pi[x * channels]);
        }
    }
}

// f(first, last) over the top and the bottom half of `rows` rows, side by
// side; the two results in that order.
template <typename F>
auto by_halves(int rows, F f) {
    std::array<decltype(f(0, 0)), 2> r;
    side_by_side([&] { r[0] = f(0, rows / 2); }, [&] { r[1] = f(rows / 2, rows); });
    return r;
}

// The template t against `seen` where `counted`: one pass for the means,
// one for the products, each by halves.
Agreement agreement_of(const cv::Mat& t, const cv::Mat& seen, const cv::Mat& counted, int count) {
    const auto sums = by_halves(t.rows, [&](int first, int last) {
        cv::Vec2d s(0, 0);  // of t, of the camera
        for_counted(t, seen, counted, first, last, [&](float tv, float iv) {
            s[0] += tv;
            s[1] += iv;
        });
        return s;
    });
    Agreement a;
    a.t_mean = static_cast<float>((sums[0][0] + sums[1][0]) / count);
    a.i_mean = static_cast<float>((sums[0][1] + sums[1][1]) / count);
    const auto products = by_halves(t.rows, [&](int first, int last) {
        Agreement b;
        for_counted(t, seen, counted, first, last, [&](float tv, float iv) {
            const double tz = tv - a.t_mean, iz = iv - a.i_mean;
            b.tt += tz * tz;
            b.ii += iz * iz;
            b.ti += tz * iz;
        });
        return b;
    });
    a.tt = products[0].tt + products[1].tt;
    a.ii = products[0].ii + products[1].ii;
    a.ti = products[0].ti + products[1].ti;
    return a;
}

// What a step reduces at each counted pixel: lambda (t - t_mean) - (i - i_mean).
struct Residual {
    double lambda;
    float t_mean, i_mean;
};

class FieldProblem {
public:
    FieldProblem(const FieldLevel& l, const Grid& g, const cv::Matx33d& h)
        : l_(l), g_(g), h_(h), sparse_hessian_(l.t.total() >= kFreshHessian) {}

    // The camera seen through the field `c` over the template (its first
    // channel alone without `gradient`), the pixels that count and how many.
    struct Seen {
        cv::Mat seen, counted;
        int count = 0;
    };
    Seen seen_through(const Coefficients& c, bool gradient) const {
        Seen v;
        cv::Mat map_x(l_.t.size(), CV_32F), map_y(l_.t.size(), CV_32F);
        v.counted.create(l_.t.size(), CV_8U);
        const auto counts =
            by_halves(l_.t.rows, [&](int first, int last) { return sources(c, first, last, map_x, map_y, v.counted); });
        v.count = counts[0] + counts[1];
        if (v.count >= std::max(64, l_.content / 4)) {
            cv::remap(gradient ? l_.in : l_.camera, v.seen, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
        }
        return v;
    }

    // The correlation of a template with the camera seen; -1 where it is
    // not defined.
    static double correlation_of(const cv::Mat& t, const Seen& v) {
        if (v.seen.empty()) return -1;
        const Agreement a = agreement_of(t, v.seen, v.counted, v.count);
        const double rho = a.tt > 0 && a.ii > 0 ? a.ti / std::sqrt(a.tt * a.ii) : -1;
        return std::isfinite(rho) ? rho : -1;
    }

    FieldEvaluation evaluate(const Coefficients& c, bool gradient, bool hessian) const {
        FieldEvaluation e;
        const Seen v = seen_through(c, gradient);
        if (v.seen.empty()) return e;
        const cv::Mat& seen = v.seen;
        const cv::Mat& counted = v.counted;
        const Agreement a = agreement_of(l_.t, seen, counted, v.count);
        if (!(a.tt > 0 && a.ii > 0)) return e;
        e.rho = a.ti / std::sqrt(a.tt * a.ii);
        e.valid = std::isfinite(e.rho);
        e.noise = a.ii * (1 - e.rho * e.rho) / v.count;
        if (!e.valid || !gradient) return e;
        // The camera's brightness relative to the template's: the step
        // moves the warped camera towards lambda times the template.
        const Residual r{a.ti / a.tt, a.t_mean, a.i_mean};
        const auto [first, second] =
            by_halves(l_.t.rows, [&](int from, int to) { return sums(seen, counted, r, from, to, hessian); });
        e.gradient = first.gradient;
        for (size_t i = 0; i < e.gradient.size(); ++i) e.gradient[i] += second.gradient[i];
        if (hessian) e.hessian = symmetric(first.hessian + second.hessian) * (sparse_hessian_ ? 2.0 : 1.0);
        return e;
    }

private:
    // The level pixel of the camera that each template pixel of rows first
    // to last sees, and whether it counts; how many do.
    int sources(const Coefficients& c, int first, int last, cv::Mat& map_x, cv::Mat& map_y, cv::Mat& counted) const {
        int count = 0;
        std::vector<double> row_x(g_.cols), row_y(g_.cols);
        const double right = l_.in.cols - 1, bottom = l_.in.rows - 1;
        const double left = l_.inset.x, top = l_.inset.y;
        for (int y = first; y < last; ++y) {
            const SplineWeights& sy = l_.wy[y];
            for (int i = 0; i < g_.cols; ++i) {
                row_x[i] = row_y[i] = 0;
                for (int a = 0; a < 4; ++a) {
                    row_x[i] += sy.w[a] * c[index_of(g_, sy.first + a, i, 0)];
                    row_y[i] += sy.w[a] * c[index_of(g_, sy.first + a, i, 1)];
                }
            }
            float* mx = map_x.ptr<float>(y);
            float* my = map_y.ptr<float>(y);
            std::uint8_t* ok = counted.ptr<std::uint8_t>(y);
            const std::uint8_t* mask = l_.t_mask.ptr<std::uint8_t>(y);
            const cv::Vec2d* start = l_.start.ptr<cv::Vec2d>(y);
            const cv::Vec4f* towards = l_.towards.ptr<cv::Vec4f>(y);
            const double py = l_.py[y];
            for (int x = 0; x < l_.t.cols; ++x) {
                const SplineWeights& sx = l_.wx[x];
                const double px = l_.px[x];
                const double w = h_(2, 0) * px + h_(2, 1) * py + h_(2, 2);
                double cx = (h_(0, 0) * px + h_(0, 1) * py + h_(0, 2)) / w;
                double cy = (h_(1, 0) * px + h_(1, 1) * py + h_(1, 2)) / w;
                for (int b = 0; b < 4; ++b) {
                    cx += sx.w[b] * row_x[sx.first + b];
                    cy += sx.w[b] * row_y[sx.first + b];
                }
                // Through the start map's local inverse, from where it put
                // this pixel in the camera.
                const cv::Vec2d from = start[x];
                const cv::Vec4f& a = towards[x];
                const double ex = cx - from[0], ey = cy - from[1];
                const double lx = x + left + a[0] * ex + a[1] * ey, ly = y + top + a[2] * ex + a[3] * ey;
                mx[x] = static_cast<float>(lx);
                my[x] = static_cast<float>(ly);
                ok[x] = mask[x] && w > 0 && lx >= 0 && ly >= 0 && lx <= right && ly <= bottom &&
                                l_.seen.at<std::uint8_t>(static_cast<int>(ly + 0.5), static_cast<int>(lx + 0.5))
                            ? 255
                            : 0;
                count += ok[x] ? 1 : 0;
            }
        }
        return count;
    }

    // J^T e and, when asked, J^T J over rows first to last. The spline is a
    // product of one weight per axis, so each row's sums over its pixels
    // come first (per pair of control columns) and meet the row's weights
    // once: a few dozen products per pixel for hundreds of parameters.
    Sums sums(const cv::Mat& seen, const cv::Mat& counted, const Residual& r, int first, int last, bool hessian) const {
        Sums s;
        s.gradient.assign(g_.parameters(), 0.0);
        if (hessian) s.hessian = cv::Mat::zeros(g_.parameters(), g_.parameters(), CV_64F);
        const int cols = g_.cols;
        // Per control column: x and y of J^T e; per column and offset 0..3
        // to the right: the three products of the gradients.
        std::vector<double> ex(cols), ey(cols), xx(cols * 4), xy(cols * 4), yy(cols * 4);
        for (int y = first; y < last; ++y) {
            std::fill(ex.begin(), ex.end(), 0.0);
            std::fill(ey.begin(), ey.end(), 0.0);
            if (hessian) {
                for (std::vector<double>* v : {&xx, &xy, &yy}) std::fill(v->begin(), v->end(), 0.0);
            }
            const cv::Vec3f* in = seen.ptr<cv::Vec3f>(y);
            const float* pt = l_.t.ptr<float>(y);
            const std::uint8_t* ok = counted.ptr<std::uint8_t>(y);
            // On large levels every other row serves the Hessian, which
            // sets only the steps' pace; the gradient takes every row.
            const bool rows_hessian = hessian && (!sparse_hessian_ || y % 2 == 0);
            for (int x = 0; x < l_.t.cols; ++x) {
                if (!ok[x]) continue;
                const SplineWeights& sx = l_.wx[x];
                const float tz = pt[x] - r.t_mean, iz = in[x][0] - r.i_mean;
                const double a = in[x][1], b = in[x][2], e = static_cast<float>(r.lambda * tz - iz);
                for (int p = 0; p < 4; ++p) {
                    ex[sx.first + p] += sx.w[p] * a * e;
                    ey[sx.first + p] += sx.w[p] * b * e;
                }
                if (!rows_hessian) continue;
                const double aa = a * a, ab = a * b, bb = b * b;
                for (int p = 0; p < 4; ++p) {
                    for (int q = p; q < 4; ++q) {
                        const double w = sx.w[p] * sx.w[q];
                        const int at = (sx.first + p) * 4 + (q - p);
                        xx[at] += w * aa;
                        xy[at] += w * ab;
                        yy[at] += w * bb;
                    }
                }
            }
            add_row(l_.wy[y], ex, ey, xx, xy, yy, rows_hessian, s);
        }
        return s;
    }

    // One row's sums into the normal equations through the row's weights.
    // The x-by-y block of the Hessian is filled, not its transpose.
    void add_row(const SplineWeights& sy, const std::vector<double>& ex, const std::vector<double>& ey,
                 const std::vector<double>& xx, const std::vector<double>& xy, const std::vector<double>& yy,
                 bool hessian, Sums& s) const {
        const int cols = g_.cols;
        for (int a = 0; a < 4; ++a) {
            const int row = sy.first + a;
            for (int i = 0; i < cols; ++i) {
                s.gradient[index_of(g_, row, i, 0)] += sy.w[a] * ex[i];
                s.gradient[index_of(g_, row, i, 1)] += sy.w[a] * ey[i];
            }
        }
        if (!hessian) return;
        for (int a = 0; a < 4; ++a) {
            for (int b = 0; b < 4; ++b) {
                const double w = sy.w[a] * sy.w[b];
                const int row_a = sy.first + a, row_b = sy.first + b;
                for (int i = 0; i < cols; ++i) {
                    for (int d = 0; d < 4 && i + d < cols; ++d) {
                        const int at = i * 4 + d;
                        // Columns i and i + d, in both orders: the sums are
                        // symmetric in the two columns.
                        add(s.hessian, index_of(g_, row_a, i, 0), index_of(g_, row_b, i + d, 0), w * xx[at]);
                        add(s.hessian, index_of(g_, row_a, i, 1), index_of(g_, row_b, i + d, 1), w * yy[at]);
                        add(s.hessian, index_of(g_, row_a, i, 0), index_of(g_, row_b, i + d, 1), w * xy[at]);
                        if (d == 0) continue;
                        add(s.hessian, index_of(g_, row_a, i + d, 0), index_of(g_, row_b, i, 0), w * xx[at]);
                        add(s.hessian, index_of(g_, row_a, i + d, 1), index_of(g_, row_b, i, 1), w * yy[at]);
                        add(s.hessian, index_of(g_, row_a, i + d, 0), index_of(g_, row_b, i, 1), w * xy[at]);
                    }
                }
            }
        }
    }

    static void add(cv::Mat& m, int i, int j, double v) { m.at<double>(i, j) += v; }

    // The y-by-x block from the x-by-y one (x parameters even, y odd).
    static cv::Mat symmetric(cv::Mat m) {
        for (int i = 0; i < m.rows; i += 2) {
            for (int j = 1; j < m.cols; j += 2) m.at<double>(j, i) = m.at<double>(i, j);
        }
        return m;
    }

    const FieldLevel& l_;
    const Grid& g_;
    cv::Matx33d h_;
    bool sparse_hessian_;
};

// The camera's defocus given to a level's template: the blur, of a few (in
// camera pixels), under which the two correlate best through the field `c`.
// Against a blurred camera a sharp template is biased at strong edges, and
// a field bends to follow that bias: a flat smooth photograph on a dark disc
// earned a field 0.4-0.5 px off inside the disc, and on the accuracy run's
// curved pairs documents and boards through a lens were 0.1-0.4 px off at
// the 95th percentile where they are now 0.01-0.03 px.
void match_defocus(FieldLevel& l, const FieldProblem& problem, const Coefficients& c, double camera_per_reference) {
    const FieldProblem::Seen seen = problem.seen_through(c, false);
    const cv::Mat sharp = l.t;
    double best = FieldProblem::correlation_of(sharp, seen);
    if (best < 0) return;
    for (const double sigma : kCameraBlurs) {
        cv::Mat blurred;
        cv::GaussianBlur(sharp, blurred, cv::Size(), sigma * l.k / camera_per_reference);
        const double rho = FieldProblem::correlation_of(blurred, seen);
        if (!(rho > best)) break;
        best = rho;
        l.t = blurred;
    }
}

// The bending of a field: the sum of squares of its control displacements'
// fourth differences, along each axis and across them (weighted as in the
// square of the fourth-order derivative: 1, 4, 6, 4, 1), as a quadratic
// form. A field whose displacement is a cubic across the grid does not bend,
// so that over blank paper and past the last content the field goes on
// curving as the print showed it: a lens's and a bottle's displacement grows
// with the cube of the distance from their centre. (Third differences let
// that growth fade to a quadratic past the last content: on the accuracy
// run's curved pairs, labels round a bottle were 1.5-2.3 px off at the
// square's corners, and 10 of 80 pairs outside 0.5 / 1 px where 5 are now.)
cv::Mat bending_of(const Grid& g) {
    static_assert(kBendingOrder == 4, "the weights across the axes are the fourth order's binomials");
    static const double kDifference[kBendingOrder + 1][kBendingOrder + 1] = {
        {1}, {-1, 1}, {1, -2, 1}, {-1, 3, -3, 1}, {1, -4, 6, -4, 1}};
    static const double kBinomial[kBendingOrder + 1] = {1, 4, 6, 4, 1};
    cv::Mat r = cv::Mat::zeros(g.parameters(), g.parameters(), CV_64F);
    for (int along = 0; along <= kBendingOrder; ++along) {
        const int across = kBendingOrder - along;
        for (int row = 0; row + across < g.rows; ++row) {
            for (int col = 0; col + along < g.cols; ++col) {
                // The difference along the columns times the one down the rows.
                std::vector<std::pair<int, double>> stencil;
                for (int j = 0; j <= across; ++j) {
                    for (int i = 0; i <= along; ++i) {
                        stencil.emplace_back(index_of(g, row + j, col + i, 0),
                                             kDifference[along][i] * kDifference[across][j]);
                    }
                }
                for (int axis = 0; axis < 2; ++axis) {
                    for (const auto& [i, a] : stencil) {
                        for (const auto& [j, b] : stencil) r.at<double>(i + axis, j + axis) += kBinomial[along] * a * b;
                    }
                }
            }
        }
    }
    return r;
}

// A symmetric positive definite matrix whose entries lie within `band` of
// the diagonal, factored once (Cholesky) and solved for many right sides.
class BandedCholesky {
public:
    BandedCholesky(const cv::Mat& a, int band) : n_(a.rows), band_(band), l_(a.rows, a.rows, CV_64F, cv::Scalar(0)) {
        for (int j = 0; j < n_; ++j) {
            const int lo = std::max(0, j - band_);
            double d = a.at<double>(j, j);
            const double* lj = l_.ptr<double>(j);
            for (int k = lo; k < j; ++k) d -= lj[k] * lj[k];
            if (!(d > 0)) {
                ok_ = false;
                return;
            }
            l_.at<double>(j, j) = std::sqrt(d);
            for (int i = j + 1; i < std::min(n_, j + band_ + 1); ++i) {
                double* li = l_.ptr<double>(i);
                double v = a.at<double>(i, j);
                for (int k = std::max(lo, i - band_); k < j; ++k) v -= li[k] * lj[k];
                li[j] = v / lj[j];
            }
        }
    }

    bool ok() const { return ok_; }

    // The entries of A^-1 within the band (the rest left zero), from the
    // factor alone: row by row upwards, L^T Z = L^-1 gives each entry from
    // those below it, which lie within the band of each other.
    cv::Mat inverse_in_band() const {
        cv::Mat z = cv::Mat::zeros(n_, n_, CV_64F);
        for (int i = n_ - 1; i >= 0; --i) {
            const int last = std::min(n_ - 1, i + band_);
            const double lii = l_.at<double>(i, i);
            for (int j = last; j >= i; --j) {
                double v = j == i ? 1 / lii : 0;
                for (int k = i + 1; k <= last; ++k) v -= l_.at<double>(k, i) * z.at<double>(std::min(k, j), std::max(k, j));
                z.at<double>(i, j) = v / lii;
            }
        }
        cv::completeSymm(z);
        return z;
    }

    std::vector<double> solve(std::vector<double> b) const {
        for (int i = 0; i < n_; ++i) {
            const double* li = l_.ptr<double>(i);
            for (int k = std::max(0, i - band_); k < i; ++k) b[i] -= li[k] * b[k];
            b[i] /= li[i];
        }
        // Back by rows of L, not its columns: each row lies in memory.
        for (int i = n_ - 1; i >= 0; --i) {
            const double* li = l_.ptr<double>(i);
            b[i] /= li[i];
            for (int k = std::max(0, i - band_); k < i; ++k) b[k] -= li[k] * b[i];
        }
        return b;
    }

private:
    int n_, band_;
    cv::Mat l_;
    bool ok_ = true;
};

std::vector<double> times(const cv::Mat& m, const std::vector<double>& v) {
    std::vector<double> r(v.size(), 0.0);
    for (int i = 0; i < m.rows; ++i) {
        const double* row = m.ptr<double>(i);
        for (int j = 0; j < m.cols; ++j) r[i] += row[j] * v[j];
    }
    return r;
}

// The finest grid whose cells the reference's content fills: from the
// content of the reduced reference band-passed at about 500 px.
int cells_for(const cv::Mat& reduced_reference) {
    cv::Mat t;
    const double scale = std::min(1.0, 500.0 / std::max(reduced_reference.cols, reduced_reference.rows));
    cv::resize(reduced_reference, t, cv::Size(), scale, scale, cv::INTER_AREA);
    t.convertTo(t, CV_32F);
    cv::GaussianBlur(t, t, cv::Size(), 1.0);
    // Detail: gradients of at least kEdge grey levels per pixel. (The
    // correlation's content mask also takes the paper around each shape.)
    cv::Mat gx, gy, magnitude;
    cv::Sobel(t, gx, CV_32F, 1, 0, 3, 1.0 / 8);
    cv::Sobel(t, gy, CV_32F, 0, 1, 3, 1.0 / 8);
    cv::magnitude(gx, gy, magnitude);
    const cv::Mat content = magnitude > kEdge;
    for (const int cells : kCellChoices) {
        const double side = std::max(t.cols, t.rows) / static_cast<double>(cells);
        int filled = 0, all = 0;
        for (double y = 0; y + side / 2 < t.rows; y += side) {
            for (double x = 0; x + side / 2 < t.cols; x += side) {
                const cv::Rect cell = cv::Rect(cv::Point(static_cast<int>(x), static_cast<int>(y)),
                                               cv::Point(static_cast<int>(x + side), static_cast<int>(y + side))) &
                                      cv::Rect(0, 0, t.cols, t.rows);
                ++all;
                filled += cv::countNonZero(content(cell)) >= kCellContent * cell.area() ? 1 : 0;
            }
        }
        if (filled >= kCellsWithContent * all) return cells;
    }
    return kCellChoices[std::size(kCellChoices) - 1];
}

// The same spline on the grid of half the spacing: cubic B-splines
// subdivide exactly (new points take 1/8, 6/8, 1/8 of the old at the old
// points and halves between). The finer grid starts one of its spacings
// later, as grid_for places it; beyond the coarse grid's ends its last
// points stand in.
Coefficients subdivided(const Grid& coarse, const Coefficients& c, const Grid& fine) {
    const auto along = [](const std::vector<double>& v, int count) {
        std::vector<double> out(count);
        const auto at = [&v](int k) { return v[std::clamp(k, 0, static_cast<int>(v.size()) - 1)]; };
        for (int n = 0; n < count; ++n) {
            const int m = n + 1, k = m / 2;
            out[n] = m % 2 == 0 ? (at(k - 1) + 6 * at(k) + at(k + 1)) / 8 : (at(k) + at(k + 1)) / 2;
        }
        return out;
    };
    Coefficients result(fine.parameters());
    for (int axis = 0; axis < 2; ++axis) {
        std::vector<std::vector<double>> rows(coarse.rows);
        for (int row = 0; row < coarse.rows; ++row) {
            std::vector<double> v(coarse.cols);
            for (int col = 0; col < coarse.cols; ++col) v[col] = c[index_of(coarse, row, col, axis)];
            rows[row] = along(v, fine.cols);
        }
        for (int col = 0; col < fine.cols; ++col) {
            std::vector<double> v(coarse.rows);
            for (int row = 0; row < coarse.rows; ++row) v[row] = rows[row][col];
            const std::vector<double> out = along(v, fine.rows);
            for (int row = 0; row < fine.rows; ++row) result[index_of(fine, row, col, axis)] = out[row];
        }
    }
    return result;
}

// How many times coarser than the final grid a level's grid is: a cell of
// at least kLevelCell pixels of the level.
int depth_for(const Grid& final_grid, double k) {
    int depth = 0;
    while (std::ldexp(final_grid.spacing * k, depth) < kLevelCell) ++depth;
    return depth;
}

// Pyramid scales of the reduced pair, from about 300 px on the longer side
// up to the reduced images themselves.
std::vector<double> field_scales(cv::Size reduced) {
    std::vector<double> scales = {1.0};
    while (scales.front() * std::max(reduced.width, reduced.height) > 160) scales.insert(scales.begin(), scales.front() / 2);
    return scales;
}

// An orthonormal basis (parameters x 20) of the fields whose control
// displacements are a cubic in the control point's column and row, one per
// axis: the fields that the bending leaves free.
cv::Mat unbent_fields(const Grid& g) {
    cv::Mat cubics = cv::Mat::zeros(g.parameters(), 20, CV_64F);
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col) {
            // About the grid's middle, in grid widths: well conditioned.
            const double u = (col - (g.cols - 1) / 2.0) / g.cols, v = (row - (g.rows - 1) / 2.0) / g.cols;
            int term = 0;
            for (int degree = 0; degree <= 3; ++degree) {
                for (int a = degree; a >= 0; --a, ++term) {
                    const double m = std::pow(u, a) * std::pow(v, degree - a);
                    cubics.at<double>(index_of(g, row, col, 0), term) = m;
                    cubics.at<double>(index_of(g, row, col, 1), term + 10) = m;
                }
            }
        }
    }
    cv::Mat w, basis, vt;
    cv::SVD::compute(cubics, w, basis, vt);
    return basis;
}

// What a pull `h` towards the unbent fields (orthonormal basis `q`) does to
// `c`: h times its part off them.
std::vector<double> pull_of(const cv::Mat& q, double h, const std::vector<double>& c) {
    const cv::Mat unbent = q * (q.t() * cv::Mat(c));
    std::vector<double> p(c.size());
    for (size_t i = 0; i < c.size(); ++i) p[i] = h * (c[i] - unbent.at<double>(static_cast<int>(i)));
    return p;
}

// The normal equations of a step: a banded matrix (the data's Hessian, the
// bending, and h times the identity) less h Q Q^T, Q an orthonormal basis of
// the unbent fields, so that the pull h holds each control point towards
// the cubic through the whole field rather than towards no displacement.
// Solved by the Woodbury identity: 21 banded solves for 20 columns of Q.
class HeldSolver {
public:
    HeldSolver(const cv::Mat& banded, int band, const cv::Mat& q, double h) : banded_(banded, band), q_(q), h_(h) {
        if (!banded_.ok()) return;
        z_.create(q.rows, q.cols, CV_64F);
        for (int k = 0; k < q.cols; ++k) {
            const std::vector<double> zk = banded_.solve(q.col(k).clone());
            cv::Mat(zk).copyTo(z_.col(k));
        }
        small_ = cv::Mat::eye(q.cols, q.cols, CV_64F) - h * (q.t() * z_);
    }

    bool ok() const { return banded_.ok(); }

    std::vector<double> solve(const std::vector<double>& b) const {
        std::vector<double> y = banded_.solve(b);
        cv::Mat along;
        if (!cv::solve(small_, h_ * (q_.t() * cv::Mat(y)), along, cv::DECOMP_SVD)) return y;
        const cv::Mat more = z_ * along;
        for (size_t i = 0; i < y.size(); ++i) y[i] += more.at<double>(static_cast<int>(i));
        return y;
    }

private:
    BandedCholesky banded_;
    cv::Mat q_, z_, small_;
    double h_;
};

// The field's bending (see bending_of) and how stiff it is taken.
struct Bending {
    cv::Mat matrix;
    double stiffness = 1;
    // The bending's weight against the data's Hessian `h`: kBending of its
    // trace per parameter, times the stiffness.
    double weight(const cv::Mat& h) const { return stiffness * kBending * cv::trace(h)[0] / h.rows; }
    // The normal equations' banded matrix over the data's Hessian `h`: the
    // bending at its weight, and the pull towards the cubic (see HeldSolver)
    // on the diagonal.
    cv::Mat normal(const cv::Mat& h) const {
        const double mu = weight(h);
        return h + mu * matrix + cv::Mat::eye(h.rows, h.cols, CV_64F) * (kHeld * mu);
    }
    // What the bending and the pull towards the cubic (orthonormal basis
    // `unbent`) hold the field `c` back by.
    std::vector<double> restoring(const cv::Mat& h, const cv::Mat& unbent, const Coefficients& c) const {
        const double mu = weight(h);
        std::vector<double> r = times(matrix, c);
        const std::vector<double> pulled = pull_of(unbent, kHeld * mu, c);
        for (size_t i = 0; i < r.size(); ++i) r[i] = mu * r[i] + pulled[i];
        return r;
    }
};

// How far from the diagonal the normal equations' entries lie: the bending
// ties control points kBendingOrder rows and columns apart, the data three.
int band_of(const Grid& g) { return 2 * (kBendingOrder * g.cols + kBendingOrder) + 1; }

// Gauss-Newton steps at one level, only uphill, from `c`: on large levels
// the Hessian made at the level's start serves its steps (it changes little
// while the field moves by a fraction of a pixel, and costs most). Returns
// the correlation; `at_end`, where given, receives the last evaluation,
// with the data's Hessian last used.
double fit_level(const FieldProblem& problem, const FieldLevel& l, const Grid& g, const Bending& bending,
                 int iterations, double settled, Coefficients& c, FieldEvaluation* at_end = nullptr) {
    FieldEvaluation current = problem.evaluate(c, true, true);
    if (!current.valid) return -1;
    // Small levels, where the field still moves by pixels, make it afresh
    // at every step.
    const bool refresh = l.t.total() < kFreshHessian;
    const cv::Mat unbent = unbent_fields(g);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const double mu = bending.weight(current.hessian);
        // A control point that no content reaches (beyond the print's edge,
        // over blank paper) is held by a faint pull towards the cubic that
        // the whole field follows. (Towards no displacement, the pull bent
        // a bottle's field at the print's edges, where it moves by tens of
        // pixels: a mosaic of photographs round 28% of a bottle was 8 px
        // off at the square's corner, now 0.3 px.)
        const HeldSolver solver(bending.normal(current.hessian), band_of(g), unbent, kHeld * mu);
        if (!solver.ok()) break;
        std::vector<double> rhs = current.gradient;
        const std::vector<double> restoring = bending.restoring(current.hessian, unbent, c);
        for (size_t i = 0; i < rhs.size(); ++i) rhs[i] -= restoring[i];
        const std::vector<double> step = solver.solve(rhs);
        // The step's reach counts the control points the data tells: one
        // beyond the print's edge may move far at no cost.
        double longest = 0;
        for (size_t i = 0; i < step.size(); ++i) {
            const int k = static_cast<int>(i);
            if (current.hessian.at<double>(k, k) > mu) longest = std::max(longest, std::abs(step[i]) * l.k);
        }
        double fraction = std::min(1.0, kLargestStep / std::max(longest, 1e-12));
        bool accepted = false;
        for (int halving = 0; halving < 2 && !accepted; ++halving) {
            Coefficients next = c;
            for (size_t i = 0; i < c.size(); ++i) next[i] += fraction * step[i];
            // The step that ends the level needs only its correlation.
            const bool more = iteration + 1 < iterations && longest * fraction >= settled;
            FieldEvaluation tried = problem.evaluate(next, more, more && refresh);
            if (tried.valid && tried.rho >= current.rho) {
                c = next;
                // Kept for the step that ends a level without one: the fit's spread
                // is measured from it.
                if (!refresh || tried.hessian.empty()) tried.hessian = current.hessian;
                current = tried;
                accepted = true;
            } else {
                fraction /= 2;
            }
        }
        if (!accepted || longest * fraction < settled) break;
    }
    if (at_end) *at_end = current;
    return current.rho;
}

DisplacementField field_of(const Grid& g, const Coefficients& c) {
    DisplacementField f;
    f.origin = g.origin;
    f.spacing = g.spacing;
    f.dx.create(g.rows, g.cols, CV_64F);
    f.dy.create(g.rows, g.cols, CV_64F);
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col) {
            f.dx.at<double>(row, col) = c[index_of(g, row, col, 0)];
            f.dy.at<double>(row, col) = c[index_of(g, row, col, 1)];
        }
    }
    return f;
}

// Points over the output square in camera pixels, `per_side` spans along each side, edges included.
std::vector<cv::Point2d> lattice_over(const cv::Rect2d& q, int per_side) {
    std::vector<cv::Point2d> points;
    for (int j = 0; j <= per_side; ++j) {
        for (int i = 0; i <= per_side; ++i) points.emplace_back(q.x + q.width * i / per_side, q.y + q.height * j / per_side);
    }
    return points;
}

// The output square's extent in the reference (pixels) under the homography;
// empty where no point of it maps back.
cv::Rect2d reference_extent(const CameraMap& camera_from_reference, const cv::Rect2d& camera_square) {
    const Map<frame::Reference, frame::Camera> back = camera_from_reference.inverse();
    double left = HUGE_VAL, top = HUGE_VAL, right = -HUGE_VAL, bottom = -HUGE_VAL;
    for (const cv::Point2d c : lattice_over(camera_square, 8)) {
        const cv::Point2d p = back(c);
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        left = std::min(left, p.x);
        top = std::min(top, p.y);
        right = std::max(right, p.x);
        bottom = std::max(bottom, p.y);
    }
    return left <= right ? cv::Rect2d(left, top, right - left, bottom - top) : cv::Rect2d();
}

// The largest displacement the field gives a point of the output square
// (camera pixels): how far the model moves the crops from the homography.
double largest_displacement(const CameraMap& camera_from_reference, const DisplacementField& field,
                            const cv::Rect2d& camera_square) {
    double largest = 0;
    for (const cv::Point2d c : lattice_over(camera_square, 16)) {
        const cv::Point2d d = field.at(camera_from_reference.inverse()(c));
        largest = std::max(largest, std::hypot(d.x, d.y));
    }
    return largest;
}

// A field fitted over a map, and the whole reduced pair's correlation at
// the fit's finest level without it and with it; `spread`: how far the
// field may stray where the data leaves it to its smoothness (see
// spread_over); `stiffer_spread`: the same for the field that kStiffer
// times the bending would settle to, foreseen (see stiffened).
struct FieldFit {
    DisplacementField field;
    double before = -1, after = -1;
    double spread = 0, stiffer_spread = HUGE_VAL;
};

// The fitted field's bending c^T B c per control displacement the data tells
// (its diagonal above the bending's weight), less the 20 cubic ones the
// bending leaves free: the prior's variance that the field shows.
double bending_per_told(const Grid& g, const Coefficients& c, const Bending& bending, const cv::Mat& hessian) {
    const double mu = bending.weight(hessian);
    int told = 0;
    for (int i = 0; i < g.parameters(); ++i) told += hessian.at<double>(i, i) > mu ? 1 : 0;
    const double bent = cv::Mat(cv::Mat(c).t() * bending.matrix * cv::Mat(c)).at<double>(0);
    return bent / std::max(1, told - 20);
}

// Over blank stretches the field is carried by its bending alone, and how
// far it may stray there grows with how much the field bends where the
// data tells it: a lens's cubic carries on exactly, a short wave does not.
// With the bending taken as a Gaussian prior on the control displacements,
// the fit's posterior covariance is mu tau^2 (H + mu B)^-1 (H the data's
// Hessian, B the bending, mu its weight); tau^2 is bending_per_told. (Per bent
// degree of freedom of the fit, trace((H + mu B)^-1 H) less 20, which
// would be unbiased were the print's bending the prior's, tau^2 came out
// two to three times larger: on four sets of 40 curved pairs the estimate
// then told four more results, under waves over blurred tiles and lenses
// with a blank corner, and lost six, estimating fields 0.1 to 2.3 px off
// about twice as far.) Returns the 95th percentile over the output square
// of the displacement's spread (camera pixels; 0 where the system cannot
// be factored).
double spread_over(const Grid& g, const Coefficients& c, const Bending& bending, const cv::Mat& hessian,
                   const CameraMap& camera_from_reference, const cv::Rect2d& camera_square) {
    if (hessian.empty()) return 0;
    const double mu = bending.weight(hessian);
    const BandedCholesky factor(bending.normal(hessian), band_of(g));
    if (!factor.ok()) return 0;
    const double tau2 = bending_per_told(g, c, bending, hessian);
    // A point's 32 control displacements lie within the band of each other.
    const cv::Mat covariance = factor.inverse_in_band();
    const Map<frame::Reference, frame::Camera> back = camera_from_reference.inverse();
    std::vector<double> spreads;
    for (const cv::Point2d q : lattice_over(camera_square, 16)) {
        const cv::Point2d p = back(q);
        const SplineWeights sx = spline_weights((p.x - g.origin.x) / g.spacing, g.cols);
        const SplineWeights sy = spline_weights((p.y - g.origin.y) / g.spacing, g.rows);
        double variance = 0;
        for (int axis = 0; axis < 2; ++axis) {
            for (int a = 0; a < 16; ++a) {
                const int ia = index_of(g, sy.first + a / 4, sx.first + a % 4, axis);
                for (int b = 0; b < 16; ++b) {
                    const int ib = index_of(g, sy.first + b / 4, sx.first + b % 4, axis);
                    variance += sy.w[a / 4] * sx.w[a % 4] * sy.w[b / 4] * sx.w[b % 4] * covariance.at<double>(ia, ib);
                }
            }
        }
        spreads.push_back(std::sqrt(std::max(0.0, mu * tau2 * variance)));
    }
    const auto at = spreads.begin() + static_cast<std::ptrdiff_t>(0.95 * (spreads.size() - 1));
    std::nth_element(spreads.begin(), at, spreads.end());
    return std::isfinite(*at) ? *at : 0;
}

// The bending's weight that a fit's own noise and bending imply, as a share
// of the weight it was fitted with. With the bending taken as a Gaussian
// prior (see spread_over), the weight that fits best is the noise per pixel
// over the prior's variance, tau^2.
double implied_weight_share(const Grid& g, const Coefficients& c, const Bending& bending, const FieldEvaluation& e) {
    if (e.hessian.empty()) return HUGE_VAL;
    return e.noise / bending_per_told(g, c, bending, e.hessian) / bending.weight(e.hessian);
}

// Where the fit `c` under `bending` has settled, the data's pull balances
// what the bending holds it back by. Taking the data's Hessian to hold, one
// Newton step from there finds the field that the `stiffer` bending would
// settle to, without a pass over the images. Empty where the system cannot
// be factored.
Coefficients stiffened(const Grid& g, const Coefficients& c, const Bending& bending, const Bending& stiffer,
                       const cv::Mat& hessian) {
    const cv::Mat unbent = unbent_fields(g);
    const HeldSolver solver(stiffer.normal(hessian), band_of(g), unbent, kHeld * stiffer.weight(hessian));
    if (!solver.ok()) return {};
    std::vector<double> rhs = bending.restoring(hessian, unbent, c);
    const std::vector<double> stiff = stiffer.restoring(hessian, unbent, c);
    for (size_t i = 0; i < rhs.size(); ++i) rhs[i] -= stiff[i];
    const std::vector<double> step = solver.solve(rhs);
    Coefficients next = c;
    for (size_t i = 0; i < c.size(); ++i) next[i] += step[i];
    return next;
}

// The field that, added to `camera_from_reference`, lays the reduced pair
// over itself best, on a control grid of `cells` along the longer side of a
// reference of `reference` pixels. None when the pair does not correlate,
// or when the field moves no point of the output square `camera_square`
// (camera pixels) visibly before the last level.
std::optional<FieldFit> fit_field_on(int cells, double stiffness, const FeatureEstimate& reduced,
                                     const CameraMap& camera_from_reference, cv::Size reference,
                                     const cv::Rect2d& camera_square) {
    const std::vector<double> scales = field_scales(reduced.img_small.size());
    int depth = depth_for(grid_for(reference, cells, 0), scales.front() * reduced.factor);
    Grid g = grid_for(reference, cells, depth);
    Coefficients c(g.parameters(), 0.0);
    const cv::Rect2d square = reference_extent(camera_from_reference, camera_square);
    const double camera_per_reference =
        size_ratio_at(camera_from_reference.matrix(), cv::Point2d(reference.width / 2.0, reference.height / 2.0));
    FieldFit fit;
    for (const double scale : scales) {
        for (const int wanted = depth_for(grid_for(reference, cells, 0), scale * reduced.factor); depth > wanted; --depth) {
            const Grid finer = grid_for(reference, cells, depth - 1);
            c = subdivided(g, c, finer);
            g = finer;
        }
        const bool last = scale == scales.back();
        // A flat print's field often stays below the visible displacement
        // through the coarser levels: the last, which costs as much as all
        // of them (its view of the pair included), is spared.
        if (last && scales.size() > 1 &&
            largest_displacement(camera_from_reference, field_of(g, c), camera_square) < kSparedBelow) {
            return std::nullopt;
        }
        const Bending bending{bending_of(g), stiffness};
        FieldLevel l = level_of(reduced, camera_from_reference, field_of(g, c), g, scale, last, reference, square);
        if (l.t.cols < 24 || l.t.rows < 24) continue;
        const FieldProblem problem(l, g, camera_from_reference.matrix());
        // At the coarser levels the blur is a fraction of their pixel and the
        // choice noise (made there, it took a smooth photograph's worst point
        // at the print's edge from 0.14 to 0.23 px).
        if (last) match_defocus(l, problem, c, camera_per_reference);
        // Fewer steps where they cost most: the coarser levels have come close.
        const int iterations = last ? 3 : scale == scales.front() ? 30 : 10;
        // A coarser level needs to bring the field within reach of the
        // next; the last settles it to a fiftieth of its pixel.
        FieldEvaluation ended;
        double rho = fit_level(problem, l, g, bending, iterations, last ? 0.02 : 0.05, c, last ? &ended : nullptr);
        if (last) {
            // A wave's or a curl's fit calls for a far softer bending than
            // a lens's (see kSofter); a stiffer fit is never tried after it.
            const bool softened =
                stiffness < kStiffer && implied_weight_share(g, c, bending, ended) < kSofterBelow;
            const Bending used{bending.matrix, softened ? stiffness * kSofter : stiffness};
            if (softened) rho = fit_level(problem, l, g, used, kSofterIterations, 0.02, c, &ended);
            if (rho < 0) return std::nullopt;
            const cv::Mat& hessian = ended.hessian;
            fit.spread = spread_over(g, c, used, hessian, camera_from_reference, camera_square);
            // Foreseen only where a stiffer fit may follow (see fit_steadiest).
            const Bending stiffer{bending.matrix, bending.stiffness * kStiffer};
            const Coefficients foreseen = !softened && stiffness < kStiffer && fit.spread > kStifferWorth
                                              ? stiffened(g, c, bending, stiffer, hessian)
                                              : Coefficients();
            if (!foreseen.empty()) {
                fit.stiffer_spread = spread_over(g, foreseen, stiffer, hessian, camera_from_reference, camera_square);
            }
            const FieldEvaluation without = problem.evaluate(Coefficients(g.parameters(), 0.0), false, false);
            fit.before = without.valid ? without.rho : -1;
            fit.after = rho;
        }
    }
    fit.field = field_of(g, c);
    return fit;
}

// The field on the finest grid that the content supports. Where it supports
// only a coarser one and that leaves more than kFinerWorth of the pair
// uncorrelated, the finest is fitted too and taken when it leaves less than
// kFinerLeaves of what the coarser left: a coarse grid carries a lens's
// curve smoothly across a sky, but cannot follow waves shorter than a few
// of its cells (a pagoda under waves of 1100 px, its sky leaving a quarter
// of the cells blank, was 1 px off over its content on a sixth of the image
// and 100 px off across the sky; on a twelfth, 0.1 px and 9 px). Across
// such blank stretches the finer field is still a guess; its spread says
// how good a one. (How far the two fields placed the square apart, taken
// for that before, said 26 px for the pagoda's 3.8; the spread says 3.7.)
std::optional<FieldFit> fit_field(double stiffness, const FeatureEstimate& reduced,
                                  const CameraMap& camera_from_reference, cv::Size reference,
                                  const cv::Rect2d& camera_square) {
    const int cells = cells_for(reduced.img_small);
    std::optional<FieldFit> fit = fit_field_on(cells, stiffness, reduced, camera_from_reference, reference, camera_square);
    if (!fit || cells == kCellChoices[0] || !(1 - fit->after > kFinerWorth)) return fit;
    std::optional<FieldFit> finer =
        fit_field_on(kCellChoices[0], stiffness, reduced, camera_from_reference, reference, camera_square);
    return finer && 1 - finer->after < kFinerLeaves * (1 - fit->after) ? finer : fit;
}

// The field, fitted again kStiffer times as stiff where it may stray over
// blank stretches, and the stiffer taken where its bending was the camera's
// noise. The bending leaves a cubic free, and a lens's curve is one: what a
// lens's field bends besides is noise, which the stiffer bending removes,
// so its spread (the bending per told displacement, see spread_over)
// shrinks; a print that bends (a bottle, waves, a curl) keeps most of its
// bending under the stiffer weight, and its spread grows. Without noise to
// hold on to, the stiffer field carries the lens's curve into the square's
// blank corners: on two sets of 40 real prints, a cameraman's portrait 0.47
// / 4.12 px off (95th percentile / worst point) is now 0.18 / 1.03, a
// flower 0.37 / 1.46 now 0.23 / 0.75. Taken wherever it correlated as well,
// it followed waves less well: a photograph 0.06 px off at the 95th
// percentile became 0.16, a mosaic 0.09 / 0.27 px became 0.36 / 0.54. The
// second fit, which costs as much as the first, is made only where the
// stiffer field foreseen from the first's Hessian strays less: on 4 of a
// set of 40 real prints instead of 14. On two such sets the same are taken
// but for a cameraman round a bottle, which stays 0.21 / 0.85 px off rather
// than 0.04 / 0.10.
std::optional<FieldFit> fit_steadiest(const FeatureEstimate& reduced, const CameraMap& camera_from_reference,
                                      cv::Size reference, const cv::Rect2d& camera_square) {
    if (reduced.img_small.empty()) return std::nullopt;
    std::optional<FieldFit> fit = fit_field(1, reduced, camera_from_reference, reference, camera_square);
    if (!fit || !(fit->spread > kStifferWorth) || !(fit->stiffer_spread < fit->spread)) return fit;
    std::optional<FieldFit> stiffer = fit_field(kStiffer, reduced, camera_from_reference, reference, camera_square);
    return stiffer && stiffer->spread < fit->spread && stiffer->after >= fit->after ? stiffer : fit;
}

}  // namespace

bool field_folds(const CameraMap& camera_from_reference, const DisplacementField& field,
                 const cv::Rect2d& camera_square) {
    const Map<frame::Reference, frame::Camera> back = camera_from_reference.inverse();
    for (const cv::Point2d c : lattice_over(camera_square, 32)) {
        const cv::Point2d p = back(c);
        const cv::Matx22d h = jacobian_at(camera_from_reference.matrix(), p);
        if (!(cv::determinant(h + field.jacobian_at(p)) > 0.25 * cv::determinant(h))) return true;
    }
    return false;
}

FieldChoice field_choice(const FeatureEstimate& reduced, const CameraMap& camera_from_reference, cv::Size reference,
                         const cv::Rect2d& camera_square) {
    const std::optional<FieldFit> fit = fit_steadiest(reduced, camera_from_reference, reference, camera_square);
    if (!fit || !(fit->after - fit->before >= kEarnedShare * (1 - fit->before)) ||
        largest_displacement(camera_from_reference, fit->field, camera_square) < kVisibleDisplacement) {
        return {};
    }
    if (field_folds(camera_from_reference, fit->field, camera_square)) return {DeformableUse::folded, {}};
    return {DeformableUse::fitted, fit->field, fit->spread};
}

std::string deformable_method(DeformableUse use, bool homography) {
    if (use == DeformableUse::fitted) return ":deformable";
    const std::string model = homography ? ":homography" : ":similarity";
    return model + (use == DeformableUse::folded ? " (deformable rejected)" : " (deformable not needed)");
}

cv::Mat square_sources(const CameraMap& camera_from_reference, const DisplacementField& field,
                       const Map<frame::Camera, frame::Square>& camera_from_square, int out) {
    // Exact every few pixels: the map bends over hundreds of pixels, so that
    // bilinear steps of 4 px are within a thousandth of a pixel of it.
    const int step = 4;
    const int nodes = (out - 1) / step + 2;
    std::vector<cv::Point2d> camera;
    for (int j = 0; j < nodes; ++j) {
        for (int i = 0; i < nodes; ++i) camera.push_back(camera_from_square(cv::Point2d(i * step, j * step)));
    }
    // Two halves of the lattice side by side.
    const auto middle = camera.begin() + static_cast<std::ptrdiff_t>(camera.size() / 2);
    std::vector<cv::Point2d> reference, second;
    side_by_side([&] { reference = map_points(camera_from_reference.matrix(), field, {camera.begin(), middle}, true); },
                 [&] { second = map_points(camera_from_reference.matrix(), field, {middle, camera.end()}, true); });
    reference.insert(reference.end(), second.begin(), second.end());
    cv::Mat sources(out, out, CV_32FC2);
    // Bilinear between the lattice's points, two bands of rows side by side.
    const auto fill = [&](int first, int last) {
        for (int y = first; y < last; ++y) {
            const int j = y / step;
            const double fy = static_cast<double>(y - j * step) / step;
            cv::Vec2f* row = sources.ptr<cv::Vec2f>(y);
            for (int x = 0; x < out; ++x) {
                const int i = x / step;
                const double fx = static_cast<double>(x - i * step) / step;
                const cv::Point2d p = (1 - fy) * ((1 - fx) * reference[j * nodes + i] + fx * reference[j * nodes + i + 1]) +
                                      fy * ((1 - fx) * reference[(j + 1) * nodes + i] + fx * reference[(j + 1) * nodes + i + 1]);
                // A point no step reached stays outside the reference: grey.
                row[x] = std::isfinite(p.x) && std::isfinite(p.y) ? cv::Vec2f(static_cast<float>(p.x), static_cast<float>(p.y))
                                                                  : cv::Vec2f(-1e6f, -1e6f);
            }
        }
    };
    side_by_side([&] { fill(0, out / 2); }, [&] { fill(out / 2, out); });
    return sources;
}

}  // namespace pairfit
