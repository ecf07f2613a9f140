#include "ecc_similarity.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

// The correlation of one warp and what a Gauss-Newton step needs.
struct Evaluation {
    bool valid = false;
    double rho = -1;
    double i_norm2 = 0, corr = 0;
    cv::Matx44d hessian;
    cv::Vec4d t_proj, i_proj;
};

class SimilarityEcc {
public:
    SimilarityEcc(const cv::Mat& t, const cv::Mat& in, const cv::Mat& in_valid, bool shift_only)
        : t_(t), in_(in), in_valid_(in_valid), xs_(t.size(), CV_32F), ys_(t.size(), CV_32F),
          shift_only_(shift_only) {
        cv::Sobel(in, gx_, CV_32F, 1, 0, 3, 1.0 / 8);
        cv::Sobel(in, gy_, CV_32F, 0, 1, 3, 1.0 / 8);
        for (int y = 0; y < t.rows; ++y) {
            float* px = xs_.ptr<float>(y);
            float* py = ys_.ptr<float>(y);
            for (int x = 0; x < t.cols; ++x) {
                px[x] = static_cast<float>(x);
                py[x] = static_cast<float>(y);
            }
        }
    }

    Evaluation evaluate(const cv::Matx23d& w) const {
        Evaluation e;
        cv::Mat m;
        cv::Mat(w).convertTo(m, CV_32F);
        cv::Mat warped, wgx, wgy, valid;
        const int flags = cv::INTER_LINEAR | cv::WARP_INVERSE_MAP;
        cv::warpAffine(in_, warped, m, t_.size(), flags);
        cv::warpAffine(gx_, wgx, m, t_.size(), flags);
        cv::warpAffine(gy_, wgy, m, t_.size(), flags);
        cv::warpAffine(in_valid_, valid, m, t_.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP);
        if (cv::countNonZero(valid) < static_cast<int>(t_.total() / 4)) return e;
        const cv::Mat invalid = valid == 0;
        cv::Mat tz = t_ - cv::mean(t_, valid)[0];
        cv::Mat iz = warped - cv::mean(warped, valid)[0];
        tz.setTo(0, invalid);
        iz.setTo(0, invalid);
        wgx.setTo(0, invalid);
        wgy.setTo(0, invalid);
        const double t_norm2 = tz.dot(tz);
        e.i_norm2 = iz.dot(iz);
        e.corr = tz.dot(iz);
        if (!(t_norm2 > 0 && e.i_norm2 > 0)) return e;
        e.rho = e.corr / std::sqrt(t_norm2 * e.i_norm2);
        // Jacobian of the warped image with respect to (a, b, t_x, t_y); with
        // the shift alone, a and b stay fixed (identity rows in the Hessian).
        cv::Mat jacobian[4];
        if (!shift_only_) {
            jacobian[0] = wgx.mul(xs_) + wgy.mul(ys_);
            jacobian[1] = wgy.mul(xs_) - wgx.mul(ys_);
        }
        jacobian[2] = wgx;
        jacobian[3] = wgy;
        const int first = shift_only_ ? 2 : 0;
        e.hessian = cv::Matx44d::eye();
        for (int i = first; i < 4; ++i) {
            for (int j = i; j < 4; ++j) e.hessian(i, j) = e.hessian(j, i) = jacobian[i].dot(jacobian[j]);
            e.t_proj[i] = jacobian[i].dot(tz);
            e.i_proj[i] = jacobian[i].dot(iz);
        }
        e.valid = std::isfinite(e.rho);
        return e;
    }

    // The ECC step from an evaluation (the photometric scale lambda solved in
    // closed form, as in cv::findTransformECC); false when the images do not
    // correlate.
    static bool step_of(const Evaluation& e, cv::Vec4d& step) {
        const cv::Matx44d inverse = e.hessian.inv(cv::DECOMP_SVD);
        const cv::Vec4d i_hess = inverse * e.i_proj;
        const double lambda_num = e.i_norm2 - e.i_proj.dot(i_hess);
        const double lambda_den = e.corr - e.t_proj.dot(i_hess);
        if (!(lambda_den > 0)) return false;
        step = inverse * ((lambda_num / lambda_den) * e.t_proj - e.i_proj);
        return true;
    }

    // The largest displacement a step gives a pixel of the template.
    double reach(const cv::Vec4d& step) const {
        const double side = std::max(t_.cols, t_.rows);
        return (std::abs(step[0]) + std::abs(step[1])) * side + std::abs(step[2]) + std::abs(step[3]);
    }

private:
    cv::Mat t_, in_, in_valid_, gx_, gy_, xs_, ys_;
    bool shift_only_;
};

cv::Matx23d moved(const cv::Matx23d& w, const cv::Vec4d& step, double fraction) {
    const cv::Vec4d s = step * fraction;
    return cv::Matx23d(w(0, 0) + s[0], w(0, 1) - s[1], w(0, 2) + s[2], w(1, 0) + s[1], w(1, 1) + s[0],
                       w(1, 2) + s[3]);
}

}  // namespace

double ecc_similarity(const cv::Mat& t, const cv::Mat& in, const cv::Mat& in_valid, cv::Matx23d& w,
                      int iterations, double epsilon, bool shift_only) {
    const SimilarityEcc ecc(t, in, in_valid, shift_only);
    Evaluation current = ecc.evaluate(w);
    if (!current.valid) return -1;
    // Gauss-Newton steps, each at most one pixel and only uphill, halved
    // until the correlation rises: near a repeated pattern (lines of text,
    // a bar code) a full step can jump to a neighbouring, wrong optimum.
    const double max_reach = 1.0;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        cv::Vec4d step;
        if (!SimilarityEcc::step_of(current, step)) return iteration == 0 ? -1 : current.rho;
        double fraction = std::min(1.0, max_reach / std::max(ecc.reach(step), 1e-12));
        bool accepted = false;
        for (int halving = 0; halving < 6 && !accepted; ++halving, fraction /= 2) {
            const cv::Matx23d candidate = moved(w, step, fraction);
            const Evaluation next = ecc.evaluate(candidate);
            if (next.valid && next.rho >= current.rho) {
                w = candidate;
                current = next;
                accepted = true;
            }
        }
        if (!accepted || ecc.reach(step) * fraction * 2 < epsilon) break;
    }
    return current.rho;
}
