#include "pairfit/quiet_stderr.h"

#include <fcntl.h>
#include <unistd.h>

namespace pairfit {

QuietStandardError::QuietStandardError() : saved_(dup(STDERR_FILENO)) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (saved_ >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
    if (null_fd >= 0) close(null_fd);
}

QuietStandardError::~QuietStandardError() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
}

}  // namespace pairfit
