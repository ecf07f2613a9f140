// pairfit-batch: aligns every pair of a folder or a CSV file, several at a
// time, with a JSON Lines report, progress, a summary and optional overlays.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "collisions.h"
#include "engine.h"
#include "overlay.h"
#include "pairfit/pipeline.h"
#include "pairs.h"
#include "paths.h"
#include "pairfit/precise.h"
#include "prepare.h"
#include "progress.h"
#include "report.h"
#include "utils.h"

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
    int jobs = worker_count();
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

// The program's own messages go to the standard error it was started with;
// the decoders' complaints about damaged files would garble the progress
// bar, so file descriptor 2 itself goes to /dev/null during the run.
class MessageStream {
public:
    MessageStream() {
        const int copy = dup(STDERR_FILENO);
        stream_ = copy >= 0 ? fdopen(copy, "w") : nullptr;
        terminal_ = isatty(STDERR_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (stream_ != nullptr && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
        if (null_fd >= 0) close(null_fd);
    }
    ~MessageStream() {
        if (stream_ == nullptr) return;
        std::fflush(stream_);
        dup2(fileno(stream_), STDERR_FILENO);
        std::fclose(stream_);
    }
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;
    FILE* get() const { return stream_ != nullptr ? stream_ : stderr; }
    bool terminal() const { return terminal_; }

private:
    FILE* stream_ = nullptr;
    bool terminal_ = false;
};

PairResult align_one(const PairJob& job, const Options& o) {
    PairResult r;
    r.img = job.img;
    r.cam = job.cam;
    r.img_canonical = job.img_canonical;
    r.cam_canonical = job.cam_canonical;
    const auto start = std::chrono::steady_clock::now();
    try {
        for (const std::string& path : {job.img, job.cam}) {
            const std::string problem = unresolvable_link(path);
            if (!problem.empty()) throw std::runtime_error(problem);
        }
        pairfit::AlignRequest request{job.img, job.cam, o.output_dir, o.size, !o.no_mask};
        request.max_pixels = o.max_pixels;
        SimMat m(0, 0, 0, 0);
        if (o.refine) {
            pairfit::PreciseOptions options;
            options.model = o.model;
            const pairfit::PreciseResult precise = pairfit::align_precise(request, options);
            m = precise.transform;
            r.method = precise.method;
            r.correlation = precise.correlation;
            r.matrix.assign(precise.matrix.val, precise.matrix.val + 9);
        } else {
            m = pairfit::align_exact(request);
        }
        r.outcome = pairfit::outcome_name(pairfit::outcome_of(m));
        r.score = m.score;
        r.theta = m.theta;
        r.s = m.s;
        r.t_x = m.t_x;
        r.t_y = m.t_y;
    } catch (const std::exception& e) {
        r.outcome = "error";
        r.error = e.what();
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// The overlay and the record of a pair that has been aligned.
void finish_pair(const PairResult& r, const Options& o, ReportWriter& report,
                 std::mutex& recorded_mutex, std::vector<PairResult>& recorded) {
    if (o.overlay && r.outcome == "aligned") write_overlay(output_folder_for(o.output_dir, r.img), r);
    if (report.write(r)) {
        const std::lock_guard<std::mutex> lock(recorded_mutex);
        recorded.push_back(r);
    }
}

// Aligns `pending` on o.jobs threads until done, interrupted or the report
// fails; reports each pair as it finishes and shows progress. Adds the
// records written to `recorded` and returns how many pairs were done.
int run_pairs(const std::vector<PairJob>& pending, const Options& o, ReportWriter& report,
              const MessageStream& messages, std::vector<PairResult>& recorded) {
    std::atomic<std::size_t> next{0};
    std::atomic<int> done{0};
    std::mutex recorded_mutex;
    const auto stopping = [&report] { return interrupted || report.failed(); };
    auto work = [&] {
        while (!stopping()) {
            const std::size_t k = next++;
            if (k >= pending.size()) return;
            finish_pair(align_one(pending[k], o), o, report, recorded_mutex, recorded);
            ++done;
        }
    };
    const int threads = std::max(1, std::min<int>(o.jobs, static_cast<int>(pending.size())));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(work);
    Progress progress(static_cast<int>(pending.size()), messages.terminal(), messages.get());
    while (done < static_cast<int>(pending.size()) && !stopping()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        progress.update(done);
    }
    for (std::thread& t : workers) t.join();
    progress.finish(done);
    return done;
}

// run_pairs with the alignments done by an outside engine; an engine that
// stops early ends the run as Ctrl-C does.
int run_pairs_on_engine(const std::vector<PairJob>& pending, const Options& o, ReportWriter& report,
                        const MessageStream& messages, std::vector<PairResult>& recorded) {
    const AlignSettings settings{o.output_dir, o.size, !o.no_mask, o.refine, o.model, o.max_pixels};
    std::mutex recorded_mutex;
    Progress progress(static_cast<int>(pending.size()), messages.terminal(), messages.get());
    const EngineRun run = run_on_engine(
        parse_engine_fds(o.engine_fds), pending, settings,
        [&report] { return interrupted || report.failed(); },
        [&](const PairResult& r) { finish_pair(r, o, report, recorded_mutex, recorded); }, progress);
    progress.finish(run.done);
    if (run.cut_short && !report.failed()) interrupted = true;
    return run.done;
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
        std::printf("  %.4f  %s\n", aligned[k].score, aligned[k].img.c_str());
    }
    for (const PairResult& r : all) {
        if (is_suspect(r)) {
            std::printf("suspect (correlation %.3f below %.2f: not the same subject?): %s\n",
                        r.correlation, pairfit::kPairCorrelation, r.img.c_str());
        }
    }
    for (const PairResult& r : all) {
        if (r.outcome == "error") std::printf("error: %s: %s\n", r.img.c_str(), r.error.c_str());
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
        throw std::runtime_error("'" + input + "' is neither a folder nor a CSV file");
    }
    for (PairJob& p : pairs) {
        p.img_canonical = canonical_path(p.img);
        p.cam_canonical = canonical_path(p.cam);
    }
    return pairs;
}

void refuse_output_collisions(const std::vector<PairJob>& pairs, const std::string& output_dir) {
    const std::vector<OutputCollision> collisions = output_collisions(pairs, output_dir);
    if (collisions.empty()) return;
    throw std::runtime_error(std::to_string(collisions.size()) +
                             " output files would be written by more than one pair; nothing was "
                             "aligned. Rename them, or align them into separate folders:\n" +
                             describe(collisions));
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

std::vector<PairJob> pairs_not_in(const std::vector<PairJob>& pairs,
                                  const std::vector<PairResult>& records) {
    const std::set<std::pair<std::string, std::string>> done_before = pairs_in_report(records);
    std::vector<PairJob> pending;
    for (const PairJob& p : pairs) {
        if (!done_before.count({p.img_canonical, p.cam_canonical})) pending.push_back(p);
    }
    return pending;
}

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    Options o;
    CLI::App app{"Aligns every reference/camera pair of a folder (NAME.jpg with NAME.png) or of a "
                 "CSV file (columns img,cam), several pairs at a time, and reports each pair in "
                 "JSON Lines as it finishes.",
                 "pairfit-batch"};
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
    const std::map<std::string, pairfit::Model> models = {
        {"similarity", pairfit::Model::similarity}, {"homography", pairfit::Model::homography}};
    app.add_option("--model", o.model,
                   "with the precise entry: the motion fitted, similarity or homography (a camera "
                   "at an angle); implies --refine")
        ->transform(CLI::CheckedTransformer(models, CLI::ignore_case))
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
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    std::vector<PairJob> pairs;
    std::string home;
    try {
        pairs = pairs_of_input(o.input, home);
        refuse_output_collisions(pairs, o.output_dir);
        if (!o.output_dir.empty()) fs::create_directories(o.output_dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pairfit-batch: error: %s\n", e.what());
        return kExitUsage;
    }
    const std::string page_dir = o.output_dir.empty() ? home : o.output_dir;
    if (o.report.empty()) o.report = page_dir + "/pairfit-report.jsonl";

    std::unique_ptr<ReportWriter> report;
    std::vector<PairResult> all;
    try {
        report = open_report(o);
        if (o.resume) all = read_report(o.report);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pairfit-batch: error: %s\n", e.what());
        return kExitUsage;
    }
    const std::vector<PairJob> pending = pairs_not_in(pairs, all);

    std::signal(SIGINT, on_interrupt);
    std::signal(SIGTERM, on_interrupt);
    const auto start = std::chrono::steady_clock::now();
    int done_now = 0;
    const std::size_t recorded_before = all.size();
    try {
        const MessageStream messages;
        done_now = o.engine_fds.empty() ? run_pairs(pending, o, *report, messages, all)
                                        : run_pairs_on_engine(pending, o, *report, messages, all);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pairfit-batch: error: %s\n", e.what());
        return kExitUsage;
    }
    const std::string report_failure = report->close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (o.overlay) {
        try {
            write_index_html(page_dir + "/index.html", all, o.output_dir);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "pairfit-batch: error: %s\n", e.what());
        }
    }
    print_summary(all, done_now, seconds);
    if (!report_failure.empty()) {
        std::fprintf(stderr, "pairfit-batch: error: %s; %zu pairs left for --resume\n",
                     report_failure.c_str(), pending.size() - (all.size() - recorded_before));
        return kExitUsage;
    }
    if (interrupted) {
        std::fprintf(stderr, "pairfit-batch: interrupted; %zu pairs left for --resume\n",
                     pending.size() - static_cast<std::size_t>(done_now));
        return kExitInterrupted;
    }
    const bool any_error = std::any_of(all.begin(), all.end(),
                                       [](const PairResult& r) { return r.outcome == "error"; });
    return any_error ? kExitSomeErrors : kExitAllProcessed;
}
