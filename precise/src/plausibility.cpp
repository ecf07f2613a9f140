#include "plausibility.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "correlation_search.h"
#include "pairfit/precise.h"
#include "refinement.h"

namespace pairfit {
namespace {

// The overlap is judged at about the global stage's coarser level: what
// tells a pair from a map that lays one shape over its twin is the shapes,
// not their strokes, and a curved print that a homography misses by a few
// pixels still correlates there.
constexpr int kOverlapSide = 360;
// Below this correlation with itself, a shift or a half turn does not lay
// the reference over itself enough to be a rival: an ordinary print's
// lines of text reach 0.2.
constexpr double kSelfSimilar = 0.3;
// The likenesses looked for: the nearest cells each way and the half
// turn; a pattern's lattice is carried this many periods each way.
constexpr int kShifts = 24;
constexpr int kLatticeSteps = 4;
// The rivals fitted by the global stage, the best of those scored as they
// stand: the fit is the dear part.
constexpr std::size_t kFitted = 3;
// A map that does not explain the pair well may have laid one shape over
// another: its true rival need not start ahead of the others.
constexpr std::size_t kFittedDoubtful = 6;
// The global stage's fits of one rival, at most.
constexpr int kRefits = 3;
// The rounds of rivals of rivals.
constexpr int kRounds = 4;
// At the coarser level, a map this well correlated explains the pair; a
// rival start this far behind it does not catch up once fitted (a twin
// shape or another cell of a pattern starts within a few hundredths).
constexpr double kWellExplained = 0.8;
constexpr double kRivalBehind = 0.1;
// Two maps whose overlaps correlate within this of each other explain the
// pair equally: what tells them apart is the image noise.
constexpr double kTie = 0.015;
// At the reduced images' own size two maps of a print whose cells are truly
// alike differ by a few ten-thousandths; a cell's small number, which the
// coarser level blurs away, sets them apart by a hundredth.
constexpr double kFinestTie = 0.003;
// A rival lays the print elsewhere when it moves a corner of the output
// square by more than this share of its side: a cell of a pattern fine
// enough to show at the judged level is larger.
constexpr double kElsewhere = 0.02;

cv::Mat as_float(const cv::Mat& grey, double scale) {
    cv::Mat f = grey;
    if (scale < 1) cv::resize(grey, f, cv::Size(), scale, scale, cv::INTER_AREA);
    f.convertTo(f, CV_32F);
    return f;
}

// Where the camera holds data: not in an exactly flat area (no camera
// leaves a patch of pixels without noise), nor within `reach` of one, where
// the band-pass responds to its edge. Made at the reduced camera's own
// resolution, where the noise still shows, then brought to `size`.
cv::Mat camera_data(const cv::Mat& cam_small, cv::Size size, int reach) {
    cv::Mat highest, lowest, flat;
    const cv::Mat three = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    cv::dilate(cam_small, highest, three);
    cv::erode(cam_small, lowest, three);
    flat = highest == lowest;
    // A few flat pixels of a noisy camera are chance; an area is not.
    cv::morphologyEx(flat, flat, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
    cv::resize(flat, flat, size, 0, 0, cv::INTER_NEAREST);
    cv::dilate(flat, flat, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
    return flat == 0;
}

// Pixel centres stay where they are: x_level = scale (x + 0.5) - 0.5.
cv::Matx33d level_from(double scale) {
    const double shift = (scale - 1) / 2;
    return cv::Matx33d(scale, 0, shift, 0, scale, shift, 0, 0, 1);
}

// Whether two maps lay the print in one place on the output square: at the
// corner they show most differently, a cell of a pattern fine enough to
// show at the judged level is further apart.
bool same_place(const CameraMap& a, const CameraMap& b, const cv::Rect2d& q) {
    const Map<frame::Camera, frame::Camera> between = b * a.inverse();
    double worst = 0;
    for (const cv::Point2d c : {q.tl(), cv::Point2d(q.br().x, q.y), cv::Point2d(q.x, q.br().y), q.br()}) {
        const cv::Point2d d = between(c) - c;
        worst = std::max(worst, std::hypot(d.x, d.y));
    }
    return (std::isfinite(worst) ? worst : q.width) <= kElsewhere * q.width;
}

// The reduced pair at the judged level, both band-passed for maps of one
// size ratio (a map and its rivals share it), ready to correlate under any.
class OverlapLevel {
public:
    static std::optional<OverlapLevel> of(const FeatureEstimate& reduced, const CameraMap& camera_from_reference,
                                          int side = kOverlapSide) {
        if (reduced.img_small.empty() || reduced.cam_small.empty()) return std::nullopt;
        OverlapLevel l;
        const double scale = std::min(1.0, side / static_cast<double>(std::max(reduced.img_small.cols,
                                                                                       reduced.img_small.rows)));
        const cv::Mat t = as_float(reduced.img_small, scale), c = as_float(reduced.cam_small, scale);
        l.to_level_ = level_from(scale) * cv::Matx33d(reduced.factor, 0, 0, 0, reduced.factor, 0, 0, 0, 1);
        const cv::Matx33d m = l.level_map(camera_from_reference);
        const double ratio = size_ratio_at(m, cv::Point2d(t.cols / 2.0, t.rows / 2.0));
        if (!(ratio > 0.1 && ratio < 10)) return std::nullopt;
        const int box = band_pass_box(std::max(t.cols, t.rows));
        l.t_band_ = band_pass(t, box);
        l.c_band_ = band_pass(c, box, ratio);
        l.content_ = content_mask(l.t_band_, box / 4 + 1);
        l.content_count_ = cv::countNonZero(l.content_);
        l.data_ = camera_data(reduced.cam_small, c.size(), static_cast<int>(std::ceil(box * ratio)));
        return l;
    }

    std::optional<double> correlation(const CameraMap& camera_from_reference) const {
        const cv::Matx33d m = level_map(camera_from_reference);
        const cv::Mat counted = content_ & warped(data_, m, t_band_.size(), cv::INTER_NEAREST);
        const int count = cv::countNonZero(counted);
        if (count < 64 || count < content_count_ / 4) return std::nullopt;
        const double rho = cv::computeECC(t_band_, warped(c_band_, m, t_band_.size(), cv::INTER_LINEAR), counted);
        return std::isfinite(rho) ? rho : 0;
    }

private:
    // Level pixels of the camera from level pixels of the reference.
    cv::Matx33d level_map(const CameraMap& camera_from_reference) const {
        return to_level_ * camera_from_reference.matrix() * to_level_.inv();
    }

    cv::Matx33d to_level_;  // level pixels from pixels as loaded, for either image
    cv::Mat t_band_, c_band_, content_, data_;
    int content_count_ = 0;
};

// The maps of the reference onto itself that a rival may start from: each
// likeness found; and where it repeats, each turn it looks alike under and
// no turn at all, moved by whole periods (n p + m q, p and q its two
// shortest periods) as far as it still lies mostly over itself: a map that
// is off by several cells, or turned onto a grid's other axis, is then one
// of them.
using Likeness = Map<frame::Reference, frame::Reference>;

std::vector<cv::Point2d> lattice_of(std::vector<cv::Point2d> periods, cv::Size reference) {
    std::vector<cv::Point2d> shifts;
    if (periods.empty()) return shifts;
    std::sort(periods.begin(), periods.end(),
              [](cv::Point2d a, cv::Point2d b) { return std::hypot(a.x, a.y) < std::hypot(b.x, b.y); });
    const cv::Point2d p = periods.front();
    const auto across = std::find_if(periods.begin(), periods.end(), [&p](cv::Point2d q) {
        return std::abs(p.cross(q)) > 0.5 * std::hypot(p.x, p.y) * std::hypot(q.x, q.y);
    });
    const cv::Point2d q = across == periods.end() ? cv::Point2d(0, 0) : *across;
    const double reach = 0.6 * std::max(reference.width, reference.height);
    const int steps = std::min(kLatticeSteps, static_cast<int>(reach / std::hypot(p.x, p.y)));
    for (int n = -steps; n <= steps; ++n) {
        for (int k = -steps; k <= steps; ++k) {
            const cv::Point2d d = p * n + q * k;
            if (std::hypot(d.x, d.y) <= reach) shifts.push_back(d);
        }
    }
    return shifts;
}

std::vector<Likeness> rival_likenesses(const std::vector<SelfSimilarity>& found, cv::Size reference) {
    std::vector<Likeness> maps, turns = {Likeness()};
    std::vector<cv::Point2d> periods;
    for (const SelfSimilarity& s : found) {
        if (s.correlation < kSelfSimilar) continue;
        const cv::Matx33d& m = s.map.matrix();
        const bool shift = m(0, 0) > 0.5;
        if (shift && s.correlation >= kPeriodic) {
            periods.emplace_back(m(0, 2), m(1, 2));
        } else {
            maps.push_back(s.map);
            if (!shift) turns.push_back(s.map);
        }
    }
    const std::vector<cv::Point2d> lattice = lattice_of(periods, reference);
    for (const Likeness& turn : turns) {
        for (const cv::Point2d d : lattice) {
            if (d != cv::Point2d(0, 0) || turn.matrix()(0, 0) < 0.5) {
                maps.push_back(translation<frame::Reference, frame::Reference>(d.x, d.y) * turn);
            }
        }
    }
    return maps;
}

// The quarter and half turns of the reference about point `p`: a map that
// lays one outlined shape over another may have turned it onto itself (a
// square, a circle), where the rest of the print shows that it did.
std::vector<Likeness> turns_about(cv::Point2d p) {
    std::vector<Likeness> turns;
    for (const auto& [c, s] : {std::pair(0.0, 1.0), std::pair(-1.0, 0.0), std::pair(0.0, -1.0)}) {
        turns.emplace_back(cv::Matx33d(c, -s, p.x - c * p.x + s * p.y, s, c, p.y - s * p.x - c * p.y, 0, 0, 1));
    }
    return turns;
}

// The reference's size as loaded.
cv::Size reference_size(const FeatureEstimate& reduced) {
    return cv::Size(cvRound(reduced.img_small.cols / reduced.factor), cvRound(reduced.img_small.rows / reduced.factor));
}

// +1 where a margin prefers the map, -1 the rival, 0 neither.
int preference(double margin, double tie) {
    return margin > tie ? 1 : margin < -tie ? -1 : 0;
}

struct Rival {
    CameraMap map;
    double overlap = -1;
    Likeness likeness;  // the likeness that a start composes with a map
};

// A rival start fitted by the global stage, again while a fit still gains:
// a start laid by a twin shape is off in its turn and scale by as much as
// that one shape left open, and a single fit, its iterations spent on
// coming within reach, stops short of where the print lies.
CameraMap fitted_rival(const FeatureEstimate& reduced, const CameraMap& start, Motion motion) {
    CameraMap map = start;
    double before = -1;
    for (int fit_count = 0; fit_count < kRefits; ++fit_count) {
        const std::optional<GlobalFit> fit = refine_globally(reduced, map, motion, false);
        if (!fit) break;
        map = fit->map;
        if (fit->correlation - before <= kTie) break;
        before = fit->correlation;
    }
    return map;
}

// The rival places of a map, of those its likenesses leave open: every
// start scored as it stands, cheaply and at a coarser level, where a start
// off by the map's own error still shows; the best few, each somewhere else.
std::vector<Rival> rival_places(const CameraMap& map, const cv::Rect2d& camera_square, const OverlapLevel& coarse,
                                double own, const std::vector<Likeness>& likenesses) {
    // A map that explains the pair well has rivals only among starts close
    // behind it: a print's lines of text a line apart score 0.25 below it,
    // a twin shape or a cell of a pattern a few hundredths.
    const double floor = own >= kWellExplained ? own - kRivalBehind : -1;
    std::vector<Rival> starts;
    for (const Likeness& likeness : likenesses) {
        const CameraMap start = map * likeness;
        if (same_place(map, start, camera_square)) continue;
        const std::optional<double> overlap = coarse.correlation(start);
        if (overlap && *overlap >= floor) starts.push_back({start, *overlap, likeness});
    }
    std::sort(starts.begin(), starts.end(), [](const Rival& a, const Rival& b) { return a.overlap > b.overlap; });
    std::vector<Rival> places;
    for (const Rival& start : starts) {
        if (places.size() == (own >= kWellExplained ? kFitted : kFittedDoubtful)) break;
        const auto near = [&](const Rival& p) { return same_place(p.map, start.map, camera_square); };
        if (std::none_of(places.begin(), places.end(), near)) places.push_back(start);
    }
    return places;
}

// The best of the rival places, each started from `from` composed with its
// likeness, fitted as the map was and scored again.
std::optional<Rival> best_fitted(const FeatureEstimate& reduced, const CameraMap& map, const CameraMap& from,
                                 const std::vector<Rival>& places, Motion motion, const cv::Rect2d& camera_square,
                                 const OverlapLevel& level) {
    std::optional<Rival> best;
    for (const Rival& place : places) {
        const CameraMap fitted = fitted_rival(reduced, from * place.likeness, motion);
        if (same_place(map, fitted, camera_square)) continue;
        const std::optional<double> overlap = level.correlation(fitted);
        if (overlap && (!best || *overlap > best->overlap)) best = Rival{fitted, *overlap, place.likeness};
    }
    return best;
}

// The best rival of a map that lays the print elsewhere. A map fitted to
// one shape laid over its twin has taken its scale and tilt from that shape
// alone; carried elsewhere by a likeness, they may leave the rival too far
// from where the print lies for a fit to reach it. Where none of its
// rivals lays the print over itself beyond doubt, each is started again
// from `fitted_from` (the start the map was fitted from, where the fit moved
// the map elsewhere), which holds the turn and scale of the whole pair.
std::optional<Rival> best_rival(const FeatureEstimate& reduced, const CameraMap& map,
                                const std::optional<CameraMap>& fitted_from, Motion motion,
                                const cv::Rect2d& camera_square, const OverlapLevel& level,
                                const std::optional<OverlapLevel>& coarse, const std::vector<Likeness>& likenesses) {
    if (!coarse) return std::nullopt;
    const std::optional<double> own = coarse->correlation(map);
    if (!own) return std::nullopt;
    const std::vector<Rival> places = rival_places(map, camera_square, *coarse, *own, likenesses);
    std::optional<Rival> best = best_fitted(reduced, map, map, places, motion, camera_square, level);
    if (!fitted_from || (best && best->overlap >= kWellExplained)) return best;
    const std::optional<Rival> again = best_fitted(reduced, map, *fitted_from, places, motion, camera_square, level);
    return again && (!best || again->overlap > best->overlap) ? again : best;
}

}  // namespace

Verdict judge(const FeatureEstimate& reduced, const CameraMap& camera_from_reference, const CameraMap& fitted_from,
              Motion motion, const cv::Rect2d& camera_square,
              const std::function<std::vector<SelfSimilarity>()>& likenesses_found) {
    Verdict verdict;
    const std::optional<OverlapLevel> level = OverlapLevel::of(reduced, camera_from_reference);
    if (!level) return verdict;
    verdict.overlap = level->correlation(camera_from_reference);
    // The rivals are the maps a print's likeness leaves open beside one
    // that lays it over itself; a map that does not is no pair, and its
    // rivals would be a search of their own (a print of the same layout
    // with other text, turned, would be laid over the reference).
    if (!verdict.overlap || *verdict.overlap < kPairCorrelation) return verdict;
    // The first round's coarser level needs nothing of the likenesses: made
    // while they may still be searched for.
    std::optional<OverlapLevel> coarse = OverlapLevel::of(reduced, camera_from_reference, kOverlapSide / 2);
    std::vector<Likeness> likenesses = rival_likenesses(likenesses_found(), reference_size(reduced));
    const bool doubtful = *verdict.overlap < kWellExplained;
    if (doubtful) {
        const std::vector<Likeness> turns = turns_about(camera_from_reference.inverse()(centre_of(camera_square)));
        likenesses.insert(likenesses.end(), turns.begin(), turns.end());
    }
    // A map fitted to the wrong cells of a pattern is off in its tilt too,
    // and its rivals are off alike: the rival preferred is judged in turn,
    // each nearer the cells the pattern's edges decide.
    CameraMap map = camera_from_reference;
    for (int round = 0; round < kRounds; ++round) {
        if (round > 0) coarse = OverlapLevel::of(reduced, map, kOverlapSide / 2);
        // Only the map found has a start of its own; where its fit kept it
        // in place, the start adds no rival.
        const bool moved = round == 0 && doubtful && !same_place(map, fitted_from, camera_square);
        const std::optional<CameraMap> start = moved ? std::optional<CameraMap>(fitted_from) : std::nullopt;
        const std::optional<Rival> best =
            best_rival(reduced, map, start, motion, camera_square, *level, coarse, likenesses);
        if (!best) return verdict;
        verdict.margin = *verdict.overlap - best->overlap;
        // Finer detail (a cell's number, a mark) that the shapes' level
        // blurs away is compared at the reduced images' own size. A rival
        // is taken where both levels prefer it; the map is kept where one
        // prefers it and the other does not prefer the rival; otherwise
        // nothing tells the two apart.
        const auto [kept, rival] = finest_correlations(reduced, map, best->map);
        const int shapes = preference(verdict.margin, kTie), detail = preference(kept - rival, kFinestTie);
        if (shapes >= 0 || detail >= 0) {
            verdict.ambiguous = !(std::min(shapes, detail) >= 0 && shapes + detail > 0);
            return verdict;
        }
        // A rival is taken only where it lays the print over itself beyond
        // doubt: between two poor fits (a print of the same layout with
        // other text) the better says nothing, and the map found is no
        // more a pair than its rival.
        if (best->overlap < kWellExplained) {
            verdict.ambiguous = true;
            return verdict;
        }
        map = best->map;
        verdict.preferred = map;
        verdict.overlap = best->overlap;
        verdict.margin = 1;
    }
    return verdict;
}

std::optional<GlobalFit> search_start_fit(const FeatureEstimate& reduced, const CameraMap& start, Motion motion) {
    std::optional<GlobalFit> fit = refine_globally(reduced, start, motion, false);
    if (!fit || fit->correlation < kPairCorrelation) return std::nullopt;
    return fit;
}

std::vector<SelfSimilarity> likenesses_of(const FeatureEstimate& reduced) {
    return self_similarities(reduced, kShifts);
}

double reported_correlation(double square, const Verdict& verdict) {
    if (verdict.ambiguous) return std::min(square, std::max(0.0, verdict.margin));
    if (verdict.overlap && *verdict.overlap < kPairCorrelation) return std::min(square, *verdict.overlap);
    return square;
}

}  // namespace pairfit
