// pairfit-batch: aligns every pair of a folder or a CSV file, several at a
// time, with a JSON Lines report, progress, a summary and optional overlays.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "collisions.h"
#include "errors.h"
#include "folder_watch.h"
#include "engine.h"
#include "overlay.h"
#include "pairfit/core.h"
#include "pairfit/pipeline.h"
#include "pairs.h"
#include "paths.h"
#include "pairfit/precise.h"
#include "pairfit/quiet_stderr.h"
#include "progress.h"
#include "report.h"
#include "utf8_text.h"

namespace fs = std::filesystem;

namespace {

const int kExitAllProcessed = 0;
const int kExitSomeErrors = 1;
const int kExitUsage = 2;
const int kExitInterrupted = 130;  // as shells report a Ctrl-C

struct Options {
    std::string input;
    std::string output_dir;
    std::string report;
    int size = 600;
    bool no_mask = false;
    int jobs = pairfit::worker_count();
    bool resume = false;
    bool overwrite = false;
    bool overlay = false;
    bool refine = false;
    pairfit::Model model = pairfit::Model::similarity;
    long long max_pixels = pairfit::AlignRequest().max_pixels;
    std::string engine_fds;  ///< "IN,OUT": pairs aligned by an outside engine (see engine.h)
};

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
    interrupted = true;
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

// File names reach these messages: each line is made safe for a terminal.
void print_error(const std::string& text, const char* kind = "error") {
    std::fprintf(stderr, "pairfit-batch: %s: ", kind);
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); ; end = text.find('\n', start)) {
        std::fprintf(stderr, "%s\n", printable(text.substr(start, end - start)).c_str());
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// The program's own messages go to the standard error it was started with;
// the decoders' complaints about damaged files would garble the progress
// bar, so file descriptor 2 itself goes to /dev/null during the run.
class MessageStream {
public:
    MessageStream() {
        const int copy = dup(quiet_.saved());  // -1 when there is none to keep
        stream_ = copy >= 0 ? fdopen(copy, "w") : nullptr;
    }
    ~MessageStream() {
        if (stream_ != nullptr) std::fclose(stream_);
    }
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;
    FILE* get() const { return stream_ != nullptr ? stream_ : stderr; }
    bool terminal() const { return isatty(quiet_.saved()); }

private:
    pairfit::QuietStandardError quiet_;
    FILE* stream_ = nullptr;
};

// The field as the report holds it: grid, then dx and dy row by row.
std::vector<double> flat_field(const pairfit::DisplacementField& f) {
    if (f.empty()) return {};
    std::vector<double> flat = {f.origin.x, f.origin.y, f.spacing, static_cast<double>(f.dx.rows),
                                static_cast<double>(f.dx.cols)};
    for (const cv::Mat& m : {f.dx, f.dy}) flat.insert(flat.end(), m.begin<double>(), m.end<double>());
    return flat;
}

PairResult align_one(const PairJob& job, const Options& o) {
    PairResult r = record_for(job);
    const auto start = std::chrono::steady_clock::now();
    try {
        const std::string problem = pair_problem(job);
        if (!problem.empty()) throw std::runtime_error(problem);
        pairfit::AlignRequest request{job.img, job.cam, o.output_dir, o.size, !o.no_mask};
        request.max_pixels = o.max_pixels;
        SimMat m(0, 0, 0, 0);
        std::string unreadable;
        if (o.refine) {
            pairfit::PreciseOptions options;
            options.model = o.model;
            const pairfit::PreciseResult precise = pairfit::align_precise(request, options);
            m = precise.transform;
            r.method = precise.method;
            r.correlation = precise.correlation;
            r.misalignment_px = precise.misalignment_px;
            r.matrix.assign(precise.matrix.val, precise.matrix.val + 9);
            unreadable = precise.unreadable;
            r.field = flat_field(precise.field);
        } else {
            m = pairfit::align_exact(request, &unreadable);
        }
        record_numbers(m, r);
        r.error = unreadable;  // a missing pair says which image could not be read and why
    } catch (const pairfit::FileError&) {
        throw;  // the output folder's fault, not the pair's
    } catch (const std::exception& e) {
        r.outcome = "error";
        r.error = e.what();
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// What the summary and the page use of a record. The run keeps one for
// every pair it aligns, so what only the report needs (the canonical paths,
// the matrix, the field) stays out of memory over a long run.
PairResult summary_record(PairResult r) {
    r.img_canonical = std::string();
    r.cam_canonical = std::string();
    r.matrix = std::vector<double>();
    r.field = std::vector<double>();
    return r;
}

// What the pairs of a run share: where their records go, and what stops
// the run early.
struct RunShared {
    const Options& o;
    ReportWriter& report;
    std::vector<PairResult>& recorded;
    const FolderWatch watch;
    std::mutex mutex = {};  ///< guards `recorded` and `failure`
    // The first failure to write into the output folder. The run then takes
    // no new pair: every later one would fail alike.
    std::string failure = {};
    std::atomic<bool> failed = {false};

    bool stopping() const { return interrupted || report.failed() || failed; }

    void fail(const std::string& reason) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failed) failure = reason;
        failed = true;
    }

    // Writes the overlay of a pair that `align` aligns and records the pair.
    // When a file could not be written into the output folder or the folder
    // went away, the failure is kept and the pair gets no record, so that
    // --resume aligns it again.
    void finish_pair(const std::function<PairResult()>& align) {
        std::optional<PairResult> r;
        try {
            const std::string before = watch.problem();
            if (!before.empty()) throw pairfit::FileError(before);
            r = align();
            if (o.overlay && r->outcome == "aligned") write_overlay(o.output_dir, *r);
            const std::string after = watch.problem();
            if (!after.empty()) throw pairfit::FileError(after);
        } catch (const pairfit::FileError& e) {
            // A write that failed because the folder went away says so.
            const std::string gone = watch.problem();
            fail(gone.empty() ? e.what() : gone);
            return;
        }
        if (report.write(*r)) {
            const std::lock_guard<std::mutex> lock(mutex);
            recorded.push_back(summary_record(*r));
        }
    }
};

// Aligns `pending` on o.jobs threads until done or stopping; reports each
// pair as it finishes and shows progress. Returns how many pairs were taken.
int run_pairs(const std::vector<PairJob>& pending, RunShared& shared, Progress& progress) {
    std::atomic<std::size_t> next{0};
    std::atomic<int> done{0};
    auto work = [&] {
        while (!shared.stopping()) {
            const std::size_t k = next++;
            if (k >= pending.size()) return;
            shared.finish_pair([&] { return align_one(pending[k], shared.o); });
            // The pair's buffers were freed in the arenas of the threads
            // that made them; glibc keeps such pages, and over thousands
            // of pairs on many threads they add up. Handing them back costs
            // far less than a pair.
            malloc_trim(0);
            ++done;
        }
    };
    const int threads = std::max(1, std::min<int>(shared.o.jobs, static_cast<int>(pending.size())));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(work);
    while (done < static_cast<int>(pending.size()) && !shared.stopping()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        progress.update(done);
    }
    for (std::thread& t : workers) t.join();
    return done;
}

// run_pairs with the alignments done by an outside engine; an engine that
// stops early ends the run as Ctrl-C does.
int run_pairs_on_engine(const std::vector<PairJob>& pending, RunShared& shared, Progress& progress) {
    const Options& o = shared.o;
    const AlignSettings settings{o.output_dir, o.size, !o.no_mask, o.refine, o.model, o.max_pixels};
    // Counted here: a crop that cannot be written ends the run before the
    // engine's own count comes back.
    int done = 0;
    try {
        run_on_engine(
            parse_engine_fds(o.engine_fds), pending, settings, [&] { return shared.stopping(); },
            [&](const PairResult& r) {
                shared.finish_pair([&r] { return r; });
                ++done;
            },
            progress);
    } catch (const pairfit::FileError& e) {
        shared.fail(e.what());  // a shipped crop that could not be written
    }
    const bool cut_short = done < static_cast<int>(pending.size());
    if (cut_short && !shared.report.failed() && !shared.failed) interrupted = true;
    return done;
}

void print_summary(const std::vector<PairResult>& all, int done_now, double seconds) {
    std::map<std::string, int> counts = {{"aligned", 0}, {"missing", 0}, {"special", 0}, {"error", 0}};
    for (const PairResult& r : all) ++counts[r.outcome];
    std::printf("pairfit-batch: %d pairs processed in this run (%.1f s); the report holds %zu: "
                "aligned %d, missing %d, special %d, error %d\n",
                done_now, seconds, all.size(), counts["aligned"], counts["missing"],
                counts["special"], counts["error"]);
    std::vector<PairResult> aligned;
    for (const PairResult& r : all) {
        if (r.outcome == "aligned") aligned.push_back(r);
    }
    std::sort(aligned.begin(), aligned.end(),
              [](const PairResult& a, const PairResult& b) { return a.score < b.score; });
    if (!aligned.empty()) std::printf("lowest scores:\n");
    for (std::size_t k = 0; k < aligned.size() && k < 5; ++k) {
        std::printf("  %.4f  %s\n", aligned[k].score, printable(aligned[k].img).c_str());
    }
    for (const PairResult& r : all) {
        if (is_suspect(r)) {
            std::printf("suspect (correlation %.3f below %.2f: not the same subject?): %s\n",
                        r.correlation, pairfit::kPairCorrelation, printable(r.img).c_str());
        }
    }
    for (const PairResult& r : all) {
        if (is_misaligned(r)) {
            std::printf("misaligned (crops %.1f px apart, above %.0f px: a lens or a curved print?): %s\n",
                        r.misalignment_px, kMisalignedPx, printable(r.img).c_str());
        }
    }
    // Named, with the image that could not be read and why: a count alone
    // sends the user searching thousands of records.
    for (const PairResult& r : all) {
        if (r.outcome == "missing" || r.outcome == "error") {
            std::printf("%s: %s: %s\n", r.outcome.c_str(), printable(r.img).c_str(), printable(r.error).c_str());
        }
    }
    std::fflush(stdout);
}

std::vector<PairJob> pairs_of_input(const std::string& input, std::string& home) {
    std::vector<PairJob> pairs;
    if (fs::is_directory(input)) {
        home = input;
        pairs = pairs_in_folder(input);
    } else if (fs::is_regular_file(input)) {
        home = fs::path(input).parent_path().string();
        if (home.empty()) home = ".";
        pairs = pairs_in_csv(input);
    } else {
        throw std::runtime_error("'" + input + "' is neither a folder nor a CSV file (a regular "
                                 "file; a FIFO or a device is not read)");
    }
    for (PairJob& p : pairs) {
        p.img_canonical = canonical_path(p.img);
        p.cam_canonical = canonical_path(p.cam);
    }
    return pairs;
}

// Ends the run before it starts when a check of the plan found something.
template <class Found>
void refuse(const std::vector<Found>& found, const std::string& why) {
    if (!found.empty()) throw std::runtime_error(std::to_string(found.size()) + why + describe(found));
}

// Files that the run reads and that an output would replace: the images,
// the pair list, the report, and a page of the user's where index.html goes.
void refuse_outputs_over_inputs(const std::vector<PairJob>& pairs, const Options& o,
                                const std::string& page) {
    std::vector<RunFile> outputs = planned_outputs(pairs, o.output_dir, o.overlay);
    if (o.overlay) outputs.push_back({page, "the index page"});
    std::vector<RunFile> inputs;
    for (const PairJob& p : pairs) {
        inputs.push_back({p.img, "the reference image", p.img_canonical});
        inputs.push_back({p.cam, "the camera image", p.cam_canonical});
    }
    if (!fs::is_directory(o.input)) inputs.push_back({o.input, "the pair list"});
    if (o.overlay && is_foreign_page(page)) inputs.push_back({page, "a page pairfit-batch did not make,"});
    std::vector<OutputClash> clashes = output_input_clashes(outputs, {{o.report, "the report"}});
    outputs.push_back({o.report, "the report"});
    const std::vector<OutputClash> more = output_input_clashes(outputs, inputs);
    clashes.insert(clashes.end(), more.begin(), more.end());
    refuse(clashes, " output files would replace files this run reads; nothing was aligned. Choose "
                    "another output folder (-o) or report (-r):\n");
}

// Locks the report, then keeps it (--resume), empties it (--overwrite or a
// report with nothing in it) or refuses to touch it.
std::unique_ptr<ReportWriter> open_report(const Options& o) {
    auto report = std::make_unique<ReportWriter>(o.report);
    if (o.resume) {
        report->end_torn_line();
    } else if (report->holds_records() && !o.overwrite) {
        throw std::runtime_error("the report '" + o.report + "' already holds records of an earlier "
                                 "run; add --resume to skip its pairs, or --overwrite to start it anew");
    } else {
        report->start_anew();
    }
    return report;
}

// The records of a report being resumed; a line that cannot be read is
// named, and its pair aligned again.
std::vector<PairResult> records_to_resume(const std::string& report) {
    const ReportContents contents = read_report(report);
    for (const int line : contents.unreadable_lines) {
        print_error("line " + std::to_string(line) + " of the report '" + report +
                        "' is not a record pairfit-batch can read; it is skipped, so its pair is aligned again",
                    "warning");
    }
    return contents.records;
}

std::vector<PairJob> pairs_not_in(const std::vector<PairJob>& pairs,
                                  const std::vector<PairResult>& records) {
    const std::set<std::pair<std::string, std::string>> done_before = pairs_in_report(records);
    std::vector<PairJob> pending;
    for (const PairJob& p : pairs) {
        if (!done_before.count({p.img_canonical, p.cam_canonical})) pending.push_back(p);
    }
    return pending;
}

// Fills `o` from the command line; the status to end with when the run
// stops here (--help, --version, a usage error).
std::optional<int> parse(int argc, char** argv, Options& o) {
    CLI::App app{"Aligns every reference/camera pair of a folder (NAME.jpg with NAME.png) or of a "
                 "CSV file (columns img,cam), several pairs at a time, and reports each pair in "
                 "JSON Lines as it finishes.",
                 "pairfit-batch"};
    app.set_version_flag("--version", "pairfit-batch " PAIRFIT_VERSION);
    app.add_option("input", o.input, "folder of pairs, or CSV file with columns img,cam")->required();
    app.add_option("-o,--output", o.output_dir,
                   "folder for the aligned images (default: beside each reference)");
    app.add_option("-s,--size", o.size, "side of the aligned squares in pixels")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    app.add_flag("--no-mask", o.no_mask, "do not grey out the camera crop outside the reference");
    app.add_option("-j,--jobs", o.jobs, "pairs aligned at once (default: the number of cores)")
        ->check(CLI::Range(1, 1024))
        ->capture_default_str();
    app.add_option("-r,--report", o.report,
                   "JSON Lines report (default: pairfit-report.jsonl in the output folder, or "
                   "beside the input)");
    CLI::Option* resume =
        app.add_flag("--resume", o.resume, "skip the pairs already in the report and add to it");
    app.add_flag("--overwrite", o.overwrite, "start a report that holds records anew")->excludes(resume);
    app.add_option("--max-pixels", o.max_pixels,
                   "refuse images with more pixels than this, before decoding them")
        ->check(CLI::Range(1LL, 1LL << 62))
        ->capture_default_str();
    app.add_flag("--refine", o.refine,
                 "align precisely (rotation, a fraction of a pixel; bilinear crops)");
    app.add_option("--model", o.model,
                   "with the precise entry: the motion fitted, similarity (default), homography "
                   "(a camera at an angle) or deformable (a lens's distortion, a curved print); "
                   "implies --refine")
        ->transform(CLI::CheckedTransformer(pairfit::kModelNames, CLI::ignore_case).description(""))
        ->option_text("similarity|homography|deformable")
        ->each([&o](const std::string&) { o.refine = true; });
    app.add_flag("--overlay", o.overlay,
                 "write NAME_overlay.png for each aligned pair and an index.html of all pairs");
    app.add_option("--engine-fds", o.engine_fds,
                   "IN,OUT: pipes to an outside engine that aligns the pairs (pairfit-dask)")
        ->check([](const std::string& fds) {
            try {
                parse_engine_fds(fds);
                return std::string();
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
        })
        ->group("");  // for pairfit-dask, not for people
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return std::nullopt;
}

// A file of the run in `folder` as the user wrote it: "out/" and "out" both
// give "out/NAME", so messages show the path the user would type.
std::string in_folder(const std::string& folder, const char* name) {
    return (fs::path(folder) / name).string();
}

// The pairs to align and where the run's own files go, checked before
// anything is aligned or any file touched.
struct Plan {
    std::vector<PairJob> pairs;
    std::string page_dir;  ///< where the report (by default) and index.html go
    std::string page() const { return in_folder(page_dir, "index.html"); }
};

Plan plan(Options& o) {
    Plan p;
    std::string home;
    p.pairs = pairs_of_input(o.input, home);
    p.page_dir = o.output_dir.empty() ? home : o.output_dir;
    if (o.report.empty()) o.report = in_folder(p.page_dir, "pairfit-report.jsonl");
    refuse(output_collisions(p.pairs, o.output_dir),
           " output files would be written by more than one pair; nothing was aligned. Rename them, "
           "or align them into separate folders:\n");
    refuse_outputs_over_inputs(p.pairs, o, p.page());
    if (!o.output_dir.empty()) fs::create_directories(o.output_dir);
    return p;
}

// What a run leaves for the summary.
struct RunResult {
    std::vector<PairResult> all;  ///< every record of the report, earlier ones first
    std::size_t left = 0;         ///< pairs this run set out to align and did not record
    int done_now = 0;
    double seconds = 0;
    std::vector<std::string> failures;  ///< why the run stopped early or its files are incomplete
};

RunResult run(const Options& o, const Plan& p, ReportWriter& report, std::vector<PairResult> earlier) {
    RunResult result;
    result.all = std::move(earlier);
    const std::vector<PairJob> pending = pairs_not_in(p.pairs, result.all);
    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t recorded_before = result.all.size();
    RunShared shared{o, report, result.all, FolderWatch(p.page_dir)};
    {
        const MessageStream messages;
        Progress progress(static_cast<int>(pending.size()), messages.terminal(), messages.get());
        result.done_now = o.engine_fds.empty() ? run_pairs(pending, shared, progress)
                                               : run_pairs_on_engine(pending, shared, progress);
        progress.finish(result.done_now);
    }
    result.left = pending.size() - (result.all.size() - recorded_before);
    for (const std::string& failure : {report.close(), shared.failure}) {
        if (!failure.empty()) result.failures.push_back(failure);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

int summarise(const Options& o, const Plan& p, const RunResult& result) {
    std::string page_failure;
    if (o.overlay) {
        try {
            write_index_html(p.page(), result.all, o.output_dir);
        } catch (const std::exception& e) {
            page_failure = e.what();
        }
    }
    print_summary(result.all, result.done_now, result.seconds);
    for (const std::string& failure : result.failures) {
        print_error(failure + "; " + std::to_string(result.left) + " pairs left for --resume");
    }
    if (!page_failure.empty()) print_error(page_failure);
    if (!result.failures.empty() || !page_failure.empty()) return kExitUsage;
    if (interrupted) {
        std::fprintf(stderr, "pairfit-batch: interrupted; %zu pairs left for --resume\n", result.left);
        return kExitInterrupted;
    }
    const bool any_error = std::any_of(result.all.begin(), result.all.end(),
                                       [](const PairResult& r) { return r.outcome == "error"; });
    return any_error ? kExitSomeErrors : kExitAllProcessed;
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    Options o;
    if (const std::optional<int> status = parse(argc, argv, o)) return *status;
    try {
        const Plan p = plan(o);
        const std::unique_ptr<ReportWriter> report = open_report(o);
        std::vector<PairResult> earlier;
        if (o.resume) earlier = records_to_resume(o.report);
        return summarise(o, p, run(o, p, *report, std::move(earlier)));
    } catch (const std::exception& e) {
        print_error(e.what());
        return kExitUsage;
    }
}
