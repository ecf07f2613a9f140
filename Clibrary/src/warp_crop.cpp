#include "warp_crop.h"

#include <cstring>
#include <vector>

#include "nearest_warp.h"

namespace pairfit::detail {

cv::Mat warp_crop(const cv::Mat& src, const cv::Mat& forward, const cv::Rect& rect,
                  const cv::Scalar& fill) {
    CV_Assert(src.depth() == CV_8U && src.channels() <= 4);
    CV_Assert(rect.x >= 0 && rect.y >= 0 && rect.x + rect.width <= src.cols &&
              rect.y + rect.height <= src.rows);
    const NearestWarp warp(forward);
    const int channels = src.channels();
    uchar fill_pixel[4];
    for (int c = 0; c < channels; ++c) fill_pixel[c] = cv::saturate_cast<uchar>(fill[c]);

    // OpenCV's per-column parts, for the columns of the square only.
    std::vector<int> delta_x(rect.width), delta_y(rect.width);
    for (int i = 0; i < rect.width; ++i) {
        delta_x[i] = warp.column_delta_x(rect.x + i);
        delta_y[i] = warp.column_delta_y(rect.x + i);
    }
    const unsigned cols = static_cast<unsigned>(src.cols);
    const unsigned rows = static_cast<unsigned>(src.rows);
    cv::Mat out(rect.height, rect.width, src.type());
    for (int j = 0; j < rect.height; ++j) {
        const int base_x = warp.row_base_x(rect.y + j);
        const int base_y = warp.row_base_y(rect.y + j);
        uchar* d = out.ptr<uchar>(j);
        for (int i = 0; i < rect.width; ++i, d += channels) {
            const int sx = NearestWarp::combine(base_x, delta_x[i]);
            const int sy = NearestWarp::combine(base_y, delta_y[i]);
            const uchar* s = static_cast<unsigned>(sx) < cols && static_cast<unsigned>(sy) < rows
                                 ? src.ptr<uchar>(sy) + static_cast<std::size_t>(sx) * channels
                                 : fill_pixel;
            std::memcpy(d, s, channels);
        }
    }
    return out;
}

}  // namespace pairfit::detail
