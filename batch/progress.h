#pragma once
// Progress of a batch on standard error: a bar redrawn in place on a
// terminal, a plain line every few seconds otherwise.

#include <chrono>
#include <cstdio>

class Progress {
public:
    /// Shows progress through `total` pairs on `out`, a terminal or not.
    Progress(int total, bool terminal, std::FILE* out);

    /// Shows `done` pairs when the display is due; call as often as you like.
    void update(int done);

    /// Shows the final count and ends the line.
    void finish(int done);

private:
    void draw(int done);

    int total_;
    bool terminal_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_shown_;
};
