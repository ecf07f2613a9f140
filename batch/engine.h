#pragma once
// Pairs aligned by an outside engine (pairfit-dask runs them on a Dask
// cluster) while pairfit-batch keeps everything else: the plan, the lock,
// the report, the overlays, the summary and the exit status.
//
// pairfit-batch writes one JSON line per pending pair on the jobs pipe,
//   {"id":0,"img":"in/p.jpg","cam":"in/p.png","output_dir":"out","size":600,
//    "masked":true,"refine":false,"model":"similarity"}
// ("max_pixels" too when it is not the default), then {"end":true}. The
// engine answers each pair with one line on the results pipe as soon as it
// is done: the five numbers and the time taken,
//   {"id":0,"score":0.9,"theta":0,"s":1,"t_x":5,"t_y":-2,"seconds":0.4}
// with "method", "matrix" (3x3, row by row), "correlation",
// "misalignment_px" and, from the deformable model, "field" (as
// pairfit.align returns it) when refined; "unreadable" says which image of a
// missing pair could not be read and why. A pair that failed answers
// {"id":0,"error":"<message>","seconds":0.1}. The outcome follows from
// the numbers here, as for pairfit-batch's own threads. An engine that
// aligned where the output folder cannot be seen adds
// "crops":["<base64 of the .jpg>","<base64 of the .png>"], and pairfit-batch
// writes those files itself. Closing the jobs pipe asks the engine to stop
// (Ctrl-C, a report that cannot be written); it then sends what has finished
// and closes the results pipe. A results pipe that ends before every pair is
// back ends the run as Ctrl-C does.

#include <functional>
#include <string>
#include <vector>

#include "pairfit/precise.h"
#include "pairs.h"
#include "progress.h"
#include "report.h"

/// The two pipes to the engine, as file descriptors this process inherited.
struct EnginePipes {
    int results = -1;  ///< read: one result line per finished pair
    int jobs = -1;     ///< written: one job line per pending pair
};

/// "IN,OUT" (results, then jobs) as --engine-fds takes it. Throws
/// std::runtime_error unless both are open file descriptors.
EnginePipes parse_engine_fds(const std::string& text);

/// What every pair of the run is aligned with.
struct AlignSettings {
    std::string output_dir;  ///< "" writes beside each reference
    int size = 600;
    bool masked = true;
    bool refine = false;
    pairfit::Model model = pairfit::Model::similarity;
    long long max_pixels = pairfit::AlignRequest().max_pixels;
};

/// Sends `pending` to the engine and passes each pair's record to
/// `finish_pair` as its result arrives, until every pair is back or the
/// engine stops. Once `stopping` turns true the engine is asked to stop.
/// A pair whose image is a link that leads nowhere is not sent: its error
/// record is made here, as pairfit-batch's own threads make it. Throws
/// std::runtime_error when the engine sends something that is not a result.
/// Returns how many pairs finished: fewer than `pending` when the engine
/// stopped before every pair was back.
int run_on_engine(const EnginePipes& pipes, const std::vector<PairJob>& pending,
                  const AlignSettings& settings, const std::function<bool()>& stopping,
                  const std::function<void(const PairResult&)>& finish_pair, Progress& progress);
