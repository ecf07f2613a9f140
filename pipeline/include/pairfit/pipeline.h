#pragma once
// The alignment pipeline: two images in, two aligned crops written and the
// transform with its score out.

#include <functional>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "ICPair.h"
#include "SimMat.h"
#include "pairfit/interruption.h"
#include "pairfit/outcome.h"
#include "pairfit/request.h"

/// Aligns the reference image at img_path with the camera image at cam_path.
/// Outcomes travel in the result: s == 0 when either image is missing or
/// unreadable; score == 0 (s == 1) when the camera image cannot be
/// binarised; otherwise the full-resolution transform and 1 minus the best
/// fine-pass ratio, after both crops have been written into output_dir (the
/// reference's directory when empty).
/// Throws pairfit::InvalidInput, pairfit::FileError or pairfit::LibraryError.
SimMat alignment_ICpair(const char* img_path, const char* cam_path, const char* output_dir,
                        int out_size, bool is_masked);

namespace pairfit {

/// alignment_ICpair for a request. For the missing outcome, `unreadable`
/// (when given) receives which image could not be read and why, as
/// ExactSearch::unreadable says it.
SimMat align_exact(const AlignRequest& request, std::string* unreadable = nullptr);

/// The request's checkpoint as the interruption of the alignment on this
/// thread, for the lifetime of the object; an entry called inside another
/// entry's alignment keeps the outer one.
class RequestInterruption {
public:
    explicit RequestInterruption(const AlignRequest& request);
    RequestInterruption(const RequestInterruption&) = delete;
    RequestInterruption& operator=(const RequestInterruption&) = delete;

private:
    Interruption own_;
    std::optional<InFlight> in_flight_;  ///< only the outermost entry's
    InterruptionScope scope_;
};

/// The end of a stage of the current alignment: its checkpoint runs.
void stage_checkpoint();

/// Called with the two images as loaded, before they are binarised, so that
/// other work on them can start beside the search.
using LoadedHook = std::function<void(const cv::Mat& img, const cv::Mat& cam)>;

/// Called with the camera image as soon as it is decoded, and the size the
/// reference's header declares, on the thread that decoded the camera while
/// the reference may still be decoding: work on the camera alone can start
/// there. It must return at once (the search waits for it).
using CameraHook = std::function<void(const cv::Mat& cam, cv::Size reference)>;

/// The exact entry's result for a searched pair, with its two crops.
struct ExactCrops {
    SimMat transform;                     ///< as alignment_ICpair returns it
    cv::Mat reference_crop, camera_crop;  ///< the two out_size squares
};

/// What the exact search found for one request, before the final warp: the
/// stages that the exact and the precise entries share. The images it holds
/// are read through const views: only the exact entry's own steps touch the
/// pair.
struct ExactSearch {
    enum class Stage { missing, not_binarisable, searched };
    Stage stage = Stage::missing;
    SimMat transform{0, 1, 0, 0};                ///< full resolution, as alignment_ICpair returns it
    double ratio = 1.0;                          ///< best ratio of the fine pass
    double scale_2 = 1.0;                        ///< fine frame over full resolution
    cv::Mat img_300, cam_300;                    ///< the fine pass's reduced binary images
    cv::Size camera_size;                        ///< the camera image as loaded
    /// For the missing stage: the image that could not be read and why, as
    /// "camera image 'in/p.png': permission denied" (not found, permission
    /// denied, not a regular file, cannot be decoded).
    std::string unreadable;

    /// The reference as loaded.
    const cv::Mat& reference() const { return pair_.img_ori; }
    /// The camera as the search held it: enlarged to fit a larger reference
    /// and centred on a no-data border (ICPair::camMakeBorder).
    const cv::Mat& fitted_camera() const { return pair_.cam_ori; }
    int out_size() const { return pair_.out_size; }
    bool is_masked() const { return pair_.is_masked; }

private:
    friend ExactSearch run_exact_search(const AlignRequest&, const LoadedHook&, const CameraHook&);
    friend ExactCrops finish_exact(const ExactSearch&, const AlignRequest&);
    ICPair pair_{cv::Mat(), cv::Mat(), 0, true};  ///< originals, camera bordered; binaries released
};

/// Loads, binarises and searches a pair as alignment_ICpair does, without
/// the final warp and the files. Both images' sizes are read from their
/// headers first: an image above request.max_pixels (or OpenCV's own limit)
/// is refused with pairfit::InvalidInput before either is decoded, a file
/// whose size cannot be read is missing without being decoded, and a wrong
/// out_size is refused before the reference is decoded. request.checkpoint
/// runs after decoding, after the reference's clean-up and between the
/// passes. Throws as alignment_ICpair does, except that OpenCV's errors
/// arrive as cv::Exception.
ExactSearch run_exact_search(const AlignRequest& request, const LoadedHook& on_loaded = LoadedHook(),
                             const CameraHook& on_camera = CameraHook());

/// The rest of alignment_ICpair for a searched pair: the final warp, the two
/// files and the score. The search is left as it was.
ExactCrops finish_exact(const ExactSearch& found, const AlignRequest& request);

/// Writes the two aligned crops as the request asks (nothing when it keeps
/// them in memory), after a last checkpoint.
void write_crops(const cv::Mat& img_aligned, const cv::Mat& cam_aligned, const AlignRequest& request);

/// The result of a stage that aligns nothing: missing or not binarisable.
SimMat unaligned_result(ExactSearch::Stage stage);

}  // namespace pairfit
