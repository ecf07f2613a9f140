#include "engine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "base64.h"
#include "errors.h"
#include "json_bytes.h"
#include "utils.h"

using json = nlohmann::ordered_json;

namespace {

// Progress is redrawn, and `stopping` looked at, this often while the engine works.
const int kPollMilliseconds = 100;
const std::size_t kReadChunk = 1 << 16;
// A result line is quoted this far in a complaint about it.
const std::size_t kQuotedLength = 200;

std::runtime_error not_two_fds(const std::string& text) {
    return std::runtime_error("--engine-fds takes IN,OUT, two open file descriptors; '" + text + "' is not");
}

int open_fd_of(const std::string& number, const std::string& whole) {
    std::size_t used = 0;
    int fd = -1;
    try {
        fd = std::stoi(number, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != number.size() || fd < 0 || fcntl(fd, F_GETFD) == -1) {
        throw not_two_fds(whole);
    }
    return fd;
}

// --- The jobs pipe -----------------------------------------------------------

// Paths keep every byte, as the report keeps them.
// The pixel limit only when it is not the default: the engine can then use
// the exact entry as it is, which has no other.
std::string job_line(std::size_t id, const PairJob& job, const AlignSettings& s) {
    json settings = {{"size", s.size}, {"masked", s.masked}, {"refine", s.refine},
                     {"model", pairfit::model_name(s.model)}};
    if (s.max_pixels != pairfit::AlignRequest().max_pixels) settings["max_pixels"] = s.max_pixels;
    return "{\"id\":" + std::to_string(id) + ",\"img\":" + json_string_keeping_bytes(job.img) +
           ",\"cam\":" + json_string_keeping_bytes(job.cam) +
           ",\"output_dir\":" + json_string_keeping_bytes(output_folder_for(s.output_dir, job.img)) +
           "," + settings.dump().substr(1);
}

// The job lines, written as the engine takes them, never blocking, so that a
// slow engine cannot hold up the results or Ctrl-C.
class JobFeed {
public:
    JobFeed(int fd, std::string text) : fd_(fd), text_(std::move(text)) {
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~JobFeed() { close(); }
    JobFeed(const JobFeed&) = delete;
    JobFeed& operator=(const JobFeed&) = delete;

    int fd_to_fill() const { return fd_ >= 0 && sent_ < text_.size() ? fd_ : -1; }

    void write_some() {
        const ssize_t n = ::write(fd_, text_.data() + sent_, text_.size() - sent_);
        if (n > 0) sent_ += static_cast<std::size_t>(n);
        // The engine is gone (EPIPE): its results pipe ends too.
        if (n < 0 && errno != EAGAIN && errno != EINTR) close();
    }

    /// Asks the engine to stop.
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    std::string text_;
    std::size_t sent_ = 0;
};

// --- The results pipe --------------------------------------------------------

class ResultLines {
public:
    explicit ResultLines(int fd) : fd_(fd) {}
    ~ResultLines() { ::close(fd_); }
    ResultLines(const ResultLines&) = delete;
    ResultLines& operator=(const ResultLines&) = delete;

    /// Reads what has arrived; false at the end of the pipe.
    bool read_some() {
        char chunk[kReadChunk];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    /// The next whole line, without its newline; false when there is none yet.
    bool next(std::string& line) {
        const std::size_t newline = buffer_.find('\n', start_);
        if (newline == std::string::npos) {
            buffer_.erase(0, start_);
            start_ = 0;
            return false;
        }
        line = buffer_.substr(start_, newline - start_);
        start_ = newline + 1;
        return true;
    }

private:
    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;
};

std::runtime_error not_a_result(const std::string& line, const std::string& why) {
    return std::runtime_error("the engine sent a line that is not a result (" + why +
                              "): " + line.substr(0, kQuotedLength));
}

std::size_t id_of(const json& result, const std::string& line, std::vector<bool>& back) {
    const auto id = result.find("id");
    if (id == result.end() || !id->is_number_unsigned() || id->get<std::size_t>() >= back.size()) {
        throw not_a_result(line, "no id of a pair sent");
    }
    const std::size_t k = id->get<std::size_t>();
    if (back[k]) throw not_a_result(line, "pair " + std::to_string(k) + " came back twice");
    back[k] = true;
    return k;
}

// --- Records -----------------------------------------------------------------

PairResult error_record(const PairJob& job, const std::string& message, double seconds) {
    PairResult r = record_for(job);
    r.outcome = "error";
    r.error = message;
    r.seconds = seconds;
    return r;
}

std::vector<std::vector<unsigned char>> shipped_crops(const json& result, const std::string& line) {
    const json& crops = result["crops"];
    if (!crops.is_array() || crops.size() != 2 || !crops[0].is_string() || !crops[1].is_string()) {
        throw not_a_result(line, "crops must be two base64 strings");
    }
    try {
        return {base64_decode(crops[0].get<std::string>()), base64_decode(crops[1].get<std::string>())};
    } catch (const std::runtime_error& e) {
        throw not_a_result(line, e.what());
    }
}

// The outcome follows from the numbers, as for pairfit-batch's own threads.
PairResult record_of_result(const json& result, const std::string& line, const PairJob& job,
                            const AlignSettings& settings) {
    PairResult r = record_for(job);
    r.seconds = number_at(result, "seconds");
    const auto error = result.find("error");
    if (error != result.end() && !error->is_null()) return error_record(job, string_at(result, "error"), r.seconds);
    if (!result.contains("s") || !result.contains("score")) throw not_a_result(line, "no numbers");
    SimMat m(number_at(result, "theta"), number_at(result, "s"), number_at(result, "t_x"),
             number_at(result, "t_y"));
    m.score = number_at(result, "score");
    record_numbers(m, r);
    // A missing pair says which image could not be read and why.
    if (result.contains("unreadable") && result["unreadable"].is_string()) r.error = result["unreadable"];
    // pairfit-batch's own threads record these for every pair the precise
    // entry did not fail on.
    if (settings.refine) read_precise_fields(result, r);
    if (!result.contains("crops")) return r;
    const std::vector<std::vector<unsigned char>> crops = shipped_crops(result, line);
    try {
        save_encoded_imgcam(crops[0], crops[1], settings.output_dir, job.img, job.cam);
    } catch (const pairfit::FileError&) {
        throw;  // the output folder's fault, not the pair's: the run stops
    } catch (const std::exception& e) {
        return error_record(job, e.what(), r.seconds);
    }
    return r;
}

}  // namespace

EnginePipes parse_engine_fds(const std::string& text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) throw not_two_fds(text);
    return {open_fd_of(text.substr(0, comma), text), open_fd_of(text.substr(comma + 1), text)};
}

int run_on_engine(const EnginePipes& pipes, const std::vector<PairJob>& pending,
                  const AlignSettings& settings, const std::function<bool()>& stopping,
                  const std::function<void(const PairResult&)>& finish_pair, Progress& progress) {
    // An engine that is gone shows as a failed write, not as this process's end.
    std::signal(SIGPIPE, SIG_IGN);
    int done = 0;
    std::vector<bool> back(pending.size(), false);
    std::string jobs;
    for (std::size_t k = 0; k < pending.size(); ++k) {
        const std::string problem = pair_problem(pending[k]);
        if (problem.empty()) {
            jobs += job_line(k, pending[k], settings) + '\n';
            continue;
        }
        finish_pair(error_record(pending[k], problem, 0.0));
        back[k] = true;
        ++done;
    }
    JobFeed feed(pipes.jobs, jobs + "{\"end\":true}\n");
    ResultLines results(pipes.results);
    const int total = static_cast<int>(pending.size());
    for (bool open = true; open && done < total;) {
        if (stopping()) feed.close();
        pollfd fds[] = {{pipes.results, POLLIN, 0}, {feed.fd_to_fill(), POLLOUT, 0}};
        if (poll(fds, 2, kPollMilliseconds) < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("cannot wait for the engine: ") + std::strerror(errno));
        }
        if (fds[1].revents != 0) feed.write_some();
        if (fds[0].revents != 0) open = results.read_some();
        for (std::string line; results.next(line);) {
            // Messages name files as the engine met them, every byte kept.
            const json result = json::parse(readable_json(line), nullptr, false);
            if (result.is_discarded() || !result.is_object()) throw not_a_result(line, "not a JSON object");
            const std::size_t k = id_of(result, line, back);
            finish_pair(record_of_result(result, line, pending[k], settings));
            ++done;
        }
        progress.update(done);
    }
    return done;
}
