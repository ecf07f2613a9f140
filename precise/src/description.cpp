#include "description.h"

namespace pairfit {

std::string method_text(const Choice& c) {
    std::string text = c.source == Candidate::Source::features      ? "features"
                       : c.source == Candidate::Source::correlation ? "correlation"
                                                                    : "exact";
    if (c.refined) text += "+ecc";
    if (c.deformable != DeformableUse::not_asked) {
        return text + deformable_method(c.deformable, c.motion == Motion::homography);
    }
    if (c.motion == Motion::homography) text += ":homography";
    if (c.homography == Choice::Homography::not_needed) text += ":similarity (homography not needed)";
    if (c.homography == Choice::Homography::folded) text += ":similarity (homography rejected)";
    return text;
}

void describe(const Frames& f, const CanvasMap& crops_from_reference, const CameraMap& camera_from_reference,
              PreciseResult& r) {
    r.crop_map = top_rows((camera_from_canvas(f) * crops_from_reference).matrix());
    r.matrix = camera_from_reference.matrix();
    r.camera_square = camera_square_of(f);
}

}  // namespace pairfit
