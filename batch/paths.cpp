#include "paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

std::string canonical_path(const std::string& path) {
    std::error_code error;
    // Made absolute first: of a relative path none of whose parts exist,
    // weakly_canonical would return a relative path.
    const fs::path absolute = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal().string();
    const fs::path resolved = fs::weakly_canonical(absolute, error);
    return (error ? absolute.lexically_normal() : resolved).string();
}

namespace {

std::string link_target(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return target;
}

}  // namespace

std::string unresolvable_link(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return "";
    if (stat(path.c_str(), &st) == 0) return "";
    if (errno == ENOENT) {
        return "'" + path + "' is a symbolic link to '" + link_target(path) + "', which does not exist";
    }
    return "'" + path + "' cannot be opened: " + std::strerror(errno);
}
