#include "folder_watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FolderWatch::FolderWatch(const std::string& dir) : dir_(dir) {
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && fstat(fd_, &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
}

FolderWatch::~FolderWatch() {
    if (fd_ >= 0) close(fd_);
}

std::string FolderWatch::problem() const {
    if (fd_ < 0) return "";
    struct stat held, named;
    // A deleted folder stays open here with no links left.
    if (fstat(fd_, &held) == 0 && held.st_nlink == 0) {
        return "the output folder '" + dir_ + "' was deleted during the run";
    }
    if (stat(dir_.c_str(), &named) != 0 || named.st_dev != device_ || named.st_ino != inode_) {
        return "the output folder '" + dir_ + "' was moved or replaced during the run";
    }
    return "";
}
