#pragma once
// The decoders behind OpenCV print their own complaints ("Premature end of
// JPEG file", "libpng error: ...") to standard error, where they would
// garble a program's own output.

namespace pairfit {

/// Sends file descriptor 2 to /dev/null while it lives and then restores
/// it. The standard error it replaced stays open as saved() for the
/// program's own messages.
class QuietStandardError {
public:
    QuietStandardError();
    ~QuietStandardError();
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

    /// The standard error as it was, or -1 when it could not be kept (then
    /// nothing was silenced).
    int saved() const { return saved_; }

private:
    int saved_;
};

}  // namespace pairfit
