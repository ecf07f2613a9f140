#include "ecc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "side_by_side.h"

namespace pairfit {
namespace {

int parameters_of(Motion motion) {
    switch (motion) {
        case Motion::shift: return 2;
        case Motion::similarity: return 4;
        case Motion::homography: break;
    }
    return 8;
}

bool affine(const cv::Matx33d& w) { return w(2, 0) == 0 && w(2, 1) == 0; }

// Rows first to last of `image` seen through w into `out`: the warp of the
// whole with its rows counted from `first`.
void warp_rows(const cv::Mat& image, const cv::Matx33d& w, cv::Mat& out, int first, int last, int flags) {
    if (first == last) return;
    cv::Mat rows = out.rowRange(first, last);
    if (affine(w)) {
        // The map in single precision, as the whole image's warp had it.
        cv::Matx23f single(w(0, 0), w(0, 1), w(0, 2), w(1, 0), w(1, 1), w(1, 2));
        cv::Matx23d m = single;
        m(0, 2) += m(0, 1) * first;
        m(1, 2) += m(1, 1) * first;
        cv::warpAffine(image, rows, cv::Mat(m), rows.size(), flags);
    } else {
        cv::warpPerspective(image, rows, cv::Mat(w * cv::Matx33d(1, 0, 0, 0, 1, first, 0, 0, 1)), rows.size(), flags);
    }
}

// The correlation of one warp and, when asked, what a Gauss-Newton step needs.
struct Evaluation {
    bool valid = false;
    double rho = -1;
    double i_norm2 = 0, corr = 0;
    cv::Mat hessian;        // n x n, CV_64F
    cv::Mat t_proj, i_proj; // n x 1
};

class Ecc {
public:
    Ecc(const cv::Mat& t, const cv::Mat& t_mask, const cv::Mat& in, const cv::Mat& in_valid, Motion motion)
        : t_(t), t_mask_(t_mask), in_(in), in_valid_(in_valid), motion_(motion), n_(parameters_of(motion)),
          counted_(t_mask.empty() ? static_cast<int>(t.total()) : cv::countNonZero(t_mask)),
          in_all_valid_(cv::countNonZero(in_valid) == static_cast<int>(in_valid.total())) {
        t_valid_ = t_mask.empty() ? cv::Mat(t.size(), CV_8U, cv::Scalar(255)) : t_mask;
        t_invalid_ = t_valid_ == 0;
        t_inside_ = zero_mean_template(t_valid_, t_invalid_);
        cv::Mat gx, gy;
        side_by_side([&] { cv::Sobel(in, gx, CV_32F, 1, 0, 3, 1.0 / 8); },
                     [&] { cv::Sobel(in, gy, CV_32F, 0, 1, 3, 1.0 / 8); });
        // One warp of three channels costs less than half of three warps
        // of one, and gives the same pixels.
        cv::merge(std::vector<cv::Mat>{in, gx, gy}, in_and_gradients_);
        xs_.create(t.size(), CV_32F);
        ys_.create(t.size(), CV_32F);
        for (int y = 0; y < t.rows; ++y) {
            float* px = xs_.ptr<float>(y);
            float* py = ys_.ptr<float>(y);
            for (int x = 0; x < t.cols; ++x) {
                px[x] = static_cast<float>(x);
                py[x] = static_cast<float>(y);
            }
        }
    }

    Evaluation evaluate(const cv::Matx33d& w, bool with_step) const {
        Evaluation e;
        // A template that lands inside an image valid throughout counts
        // where its mask does: the warp of the validity is spared.
        const bool inside = in_all_valid_ && lands_inside(w);
        cv::Mat valid = t_valid_;
        if (!inside) {
            valid = warped(in_valid_, w, t_.size(), cv::INTER_NEAREST);
            if (!t_mask_.empty()) valid &= t_mask_;
        }
        if ((inside ? counted_ : cv::countNonZero(valid)) < std::max(64, counted_ / 4)) return e;
        const cv::Mat invalid = inside ? t_invalid_ : valid == 0;
        cv::Mat iz, wgx, wgy;
        if (with_step) {
            std::vector<cv::Mat> planes;
            cv::split(warped(in_and_gradients_, w, t_.size(), cv::INTER_LINEAR), planes);
            iz = planes[0];
            wgx = planes[1];
            wgy = planes[2];
        } else {
            iz = warped(in_, w, t_.size(), cv::INTER_LINEAR);
        }
        const ZeroMeanTemplate t = inside ? t_inside_ : zero_mean_template(valid, invalid);
        const cv::Mat& tz = t.values;
        iz -= cv::mean(iz, valid)[0];
        const auto correlate = [&] {
            iz.setTo(0, invalid);
            e.i_norm2 = iz.dot(iz);
            e.corr = tz.dot(iz);
        };
        // The Jacobian is made, in two halves of the rows, beside the
        // correlation that decides whether it is needed.
        std::vector<cv::Mat> jacobian;
        if (with_step) {
            jacobian = jacobian_storage(wgx, wgy);
            const int middle = t_.rows / 2;
            side_by_side(
                [&] {
                    correlate();
                    jacobian_rows(w, wgx, wgy, invalid, 0, middle, jacobian);
                },
                [&] { jacobian_rows(w, wgx, wgy, invalid, middle, t_.rows, jacobian); });
        } else {
            correlate();
        }
        if (!(t.norm2 > 0 && e.i_norm2 > 0)) return e;
        e.rho = e.corr / std::sqrt(t.norm2 * e.i_norm2);
        e.valid = std::isfinite(e.rho);
        if (!e.valid || !with_step) return e;
        step_products(jacobian, tz, iz, e);
        return e;
    }

    // The ECC step from an evaluation (the photometric scale lambda solved in
    // closed form, as in cv::findTransformECC); empty when the images do not
    // correlate. The Hessian is scaled to a unit diagonal first: a
    // homography's parameters differ in size by ten orders of magnitude.
    static cv::Mat step_of(const Evaluation& e) {
        const int n = e.hessian.rows;
        cv::Mat d(n, 1, CV_64F);
        for (int i = 0; i < n; ++i) d.at<double>(i) = 1.0 / std::sqrt(std::max(e.hessian.at<double>(i, i), 1e-30));
        const cv::Mat scaled = cv::Mat::diag(d) * e.hessian * cv::Mat::diag(d);
        const cv::Mat inverse = cv::Mat::diag(d) * scaled.inv(cv::DECOMP_SVD) * cv::Mat::diag(d);
        const cv::Mat i_hess = inverse * e.i_proj;
        const double lambda_num = e.i_norm2 - e.i_proj.dot(i_hess);
        const double lambda_den = e.corr - e.t_proj.dot(i_hess);
        if (!(lambda_den > 0)) return cv::Mat();
        return inverse * ((lambda_num / lambda_den) * e.t_proj - e.i_proj);
    }

    cv::Matx33d moved(const cv::Matx33d& w, const cv::Mat& step, double fraction) const {
        std::array<double, 8> s{};
        for (int i = 0; i < n_; ++i) s[i] = step.at<double>(i) * fraction;
        cv::Matx33d m = w;
        switch (motion_) {
            case Motion::shift:
                m(0, 2) += s[0];
                m(1, 2) += s[1];
                break;
            case Motion::similarity:
                m(0, 0) += s[0];
                m(1, 1) += s[0];
                m(0, 1) -= s[1];
                m(1, 0) += s[1];
                m(0, 2) += s[2];
                m(1, 2) += s[3];
                break;
            case Motion::homography:
                for (int i = 0; i < 8; ++i) m(i / 3, i % 3) += s[i];
                break;
        }
        return m;
    }

    // The largest distance a change of warp moves a corner of the template.
    double reach(const cv::Matx33d& from, const cv::Matx33d& to) const {
        double largest = 0;
        for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(t_.cols, 0), cv::Point2d(0, t_.rows),
                                    cv::Point2d(t_.cols, t_.rows)}) {
            const cv::Vec3d a = from * cv::Vec3d(c.x, c.y, 1), b = to * cv::Vec3d(c.x, c.y, 1);
            largest = std::max(largest, std::hypot(a[0] / a[2] - b[0] / b[2], a[1] / a[2] - b[1] / b[2]));
        }
        return largest;
    }

private:
    // The Hessian and the two projections a step needs: dot products shared
    // out between the two cores.
    void step_products(const std::vector<cv::Mat>& jacobian, const cv::Mat& tz, const cv::Mat& iz,
                       Evaluation& e) const {
        e.hessian = cv::Mat::zeros(n_, n_, CV_64F);
        e.t_proj = cv::Mat::zeros(n_, 1, CV_64F);
        e.i_proj = cv::Mat::zeros(n_, 1, CV_64F);
        struct Product {
            const cv::Mat *a, *b;
            double *to, *mirror;
        };
        std::vector<Product> products;
        for (int i = 0; i < n_; ++i) {
            for (int j = i; j < n_; ++j) {
                products.push_back({&jacobian[i], &jacobian[j], &e.hessian.at<double>(i, j), &e.hessian.at<double>(j, i)});
            }
            products.push_back({&jacobian[i], &tz, &e.t_proj.at<double>(i), nullptr});
            products.push_back({&jacobian[i], &iz, &e.i_proj.at<double>(i), nullptr});
        }
        const auto run = [&products](size_t first, size_t last) {
            for (size_t k = first; k < last; ++k) {
                const Product& p = products[k];
                *p.to = p.a->dot(*p.b);
                if (p.mirror) *p.mirror = *p.to;
            }
        };
        const size_t half = products.size() / 2;
        side_by_side([&] { run(0, half); }, [&] { run(half, products.size()); });
    }

    // The template less its mean where it counts, zero elsewhere, and its
    // squared norm.
    struct ZeroMeanTemplate {
        cv::Mat values;
        double norm2 = 0;
    };

    ZeroMeanTemplate zero_mean_template(const cv::Mat& valid, const cv::Mat& invalid) const {
        ZeroMeanTemplate z{t_ - cv::mean(t_, valid)[0], 0};
        z.values.setTo(0, invalid);
        z.norm2 = z.values.dot(z.values);
        return z;
    }

    // True when every template pixel maps at least a pixel inside `in`, so
    // that no rounding of the warp can take it outside. The image of the
    // template's rectangle lies within its corners' images when the
    // denominator keeps its sign across it.
    bool lands_inside(const cv::Matx33d& w) const {
        const double right = t_.cols - 1, bottom = t_.rows - 1;
        for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(right, 0), cv::Point2d(0, bottom),
                                    cv::Point2d(right, bottom)}) {
            const cv::Vec3d p = w * cv::Vec3d(c.x, c.y, 1);
            if (!(p[2] > 0)) return false;
            const double x = p[0] / p[2], y = p[1] / p[2];
            if (!(x >= 1 && y >= 1 && x <= in_.cols - 2 && y <= in_.rows - 2)) return false;
        }
        return true;
    }

    // The Jacobian's images, sharing the warped gradients where they are
    // its entries.
    std::vector<cv::Mat> jacobian_storage(const cv::Mat& wgx, const cv::Mat& wgy) const {
        if (motion_ == Motion::shift) return {wgx, wgy};
        std::vector<cv::Mat> jacobian(n_);
        for (cv::Mat& j : jacobian) j.create(t_.size(), CV_32F);
        return jacobian;
    }

    // Rows first to last of the Jacobian, the warped gradients masked there
    // first.
    void jacobian_rows(const cv::Matx33d& w, const cv::Mat& wgx, const cv::Mat& wgy, const cv::Mat& invalid, int first,
                       int last, const std::vector<cv::Mat>& jacobian) const {
        const cv::Range rows(first, last);
        cv::Mat gx = wgx.rowRange(rows), gy = wgy.rowRange(rows);
        gx.setTo(0, invalid.rowRange(rows));
        gy.setTo(0, invalid.rowRange(rows));
        if (motion_ == Motion::shift) return;
        const std::vector<cv::Mat> part = jacobian_of(w, gx, gy, xs_.rowRange(rows), ys_.rowRange(rows));
        for (int k = 0; k < n_; ++k) part[k].copyTo(jacobian[k].rowRange(rows));
    }

    // The derivatives of the warped image with respect to the parameters, at
    // the pixels whose coordinates are xs and ys.
    std::vector<cv::Mat> jacobian_of(const cv::Matx33d& w, const cv::Mat& wgx, const cv::Mat& wgy, const cv::Mat& xs,
                                     const cv::Mat& ys) const {
        switch (motion_) {
            case Motion::shift: return {wgx, wgy};
            case Motion::similarity:
                return {wgx.mul(xs) + wgy.mul(ys), wgy.mul(xs) - wgx.mul(ys), wgx, wgy};
            case Motion::homography: break;
        }
        // x' = (h0 x + h1 y + h2) / d, y' = (h3 x + h4 y + h5) / d,
        // d = h6 x + h7 y + 1.
        cv::Mat den = static_cast<float>(w(2, 0)) * xs + static_cast<float>(w(2, 1)) * ys + static_cast<float>(w(2, 2));
        cv::Mat inv_den;
        cv::divide(1.0, den, inv_den);
        const cv::Mat xw = (static_cast<float>(w(0, 0)) * xs + static_cast<float>(w(0, 1)) * ys +
                            static_cast<float>(w(0, 2))).mul(inv_den);
        const cv::Mat yw = (static_cast<float>(w(1, 0)) * xs + static_cast<float>(w(1, 1)) * ys +
                            static_cast<float>(w(1, 2))).mul(inv_den);
        const cv::Mat gx = wgx.mul(inv_den), gy = wgy.mul(inv_den);
        const cv::Mat g = -(gx.mul(xw) + gy.mul(yw));
        return {gx.mul(xs), gx.mul(ys), gx, gy.mul(xs), gy.mul(ys), gy, g.mul(xs), g.mul(ys)};
    }

    cv::Mat t_, t_mask_, in_, in_valid_, in_and_gradients_, xs_, ys_;
    Motion motion_;
    int n_;
    int counted_;  // template pixels that count
    bool in_all_valid_;
    cv::Mat t_valid_, t_invalid_;  // the template pixels that count, and the others
    ZeroMeanTemplate t_inside_;    // for every warp that lands inside
};

}  // namespace

// `image` seen through w: pixel x of the result is image(w(x)). The two
// halves of the rows are made side by side, each as the whole warp makes it.
cv::Mat warped(const cv::Mat& image, const cv::Matx33d& w, cv::Size size, int interpolation) {
    cv::Mat out(size, image.type());
    const int flags = interpolation | cv::WARP_INVERSE_MAP;
    const int middle = size.height / 2;
    side_by_side([&] { warp_rows(image, w, out, 0, middle, flags); },
                 [&] { warp_rows(image, w, out, middle, size.height, flags); });
    return out;
}

double ecc_align(const cv::Mat& t, const cv::Mat& t_mask, const cv::Mat& in, const cv::Mat& in_valid,
                 cv::Matx33d& w, Motion motion, int iterations, double epsilon) {
    const Ecc ecc(t, t_mask, in, in_valid, motion);
    Evaluation current = ecc.evaluate(w, true);
    if (!current.valid) return -1;
    // Gauss-Newton steps, each moving a pixel by at most one pixel and only
    // uphill, halved until the correlation rises: near a repeated pattern
    // (lines of text, a bar code) a full step can jump to a neighbouring,
    // wrong optimum.
    const double max_reach = 1.0;
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const cv::Mat step = Ecc::step_of(current);
        if (step.empty()) return iteration == 0 ? -1 : current.rho;
        const double full_reach = ecc.reach(w, ecc.moved(w, step, 1.0));
        double fraction = std::min(1.0, max_reach / std::max(full_reach, 1e-12));
        bool accepted = false;
        for (int halving = 0; halving < 6 && !accepted; ++halving) {
            const cv::Matx33d candidate = ecc.moved(w, step, fraction);
            // A try that ends the steps when taken needs no next step.
            const bool ends = iteration + 1 == iterations || full_reach * fraction < epsilon;
            // Most first tries are taken: they are evaluated for the next
            // step at once.
            Evaluation next = ecc.evaluate(candidate, halving == 0 && !ends);
            if (next.valid && next.rho >= current.rho) {
                w = candidate;
                current = halving == 0 || ends ? next : ecc.evaluate(w, true);
                accepted = true;
            } else {
                fraction /= 2;
            }
        }
        if (!accepted || full_reach * fraction < epsilon) break;
    }
    return current.rho;
}

}  // namespace pairfit
