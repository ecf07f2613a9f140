#pragma once
// What the precise entry reports of its result beside the five numbers: the
// method that made it and the maps it embodies.

#include <string>

#include "choice.h"
#include "frames.h"
#include "pairfit/precise.h"

namespace pairfit {

/// The method as the result names it: the winning start, "+ecc" where it
/// was refined, and the model fitted or why another was.
std::string method_text(const Choice& c);

// What the written crops embody and the reference's map onto the camera
// image as loaded.
void describe(const Frames& f, const CanvasMap& crops_from_reference, const CameraMap& camera_from_reference,
              PreciseResult& r);

}  // namespace pairfit
