#include "progress.h"

#include <string>

namespace {

const auto kTerminalInterval = std::chrono::milliseconds(200);
const auto kLogInterval = std::chrono::seconds(5);
const int kBarWidth = 30;

std::string duration_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buffer[32];
    if (s >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
    }
    return buffer;
}

}  // namespace

Progress::Progress(int total, bool terminal, std::FILE* out)
    : total_(total), terminal_(terminal), out_(out), start_(std::chrono::steady_clock::now()), last_shown_(start_) {}

void Progress::update(int done) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_shown_ < (terminal_ ? kTerminalInterval : kLogInterval)) return;
    last_shown_ = now;
    draw(done);
}

void Progress::finish(int done) {
    draw(done);
    if (terminal_) std::fputc('\n', out_);
    std::fflush(out_);
}

void Progress::draw(int done) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = elapsed > 0 ? done / elapsed : 0;
    const std::string left = rate > 0 ? duration_text((total_ - done) / rate) : "?";
    if (terminal_) {
        const int filled = total_ > 0 ? kBarWidth * done / total_ : kBarWidth;
        std::fprintf(out_, "\r[%s%s] %d/%d pairs  %.2f pairs/s  %s left ",
                     std::string(filled, '#').c_str(), std::string(kBarWidth - filled, '.').c_str(),
                     done, total_, rate, left.c_str());
    } else {
        std::fprintf(out_, "pairfit-batch: %d/%d pairs, %.2f pairs/s, %s left\n", done, total_,
                     rate, left.c_str());
    }
    std::fflush(out_);
}
