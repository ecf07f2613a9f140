#pragma once
// Notices an output folder deleted or replaced during a run: the crops
// would go into a folder recreated by the next save, the records into a
// report that no longer has a name.

#include <sys/types.h>

#include <string>

class FolderWatch {
public:
    /// Starts watching `dir`; a folder that cannot be opened is not watched.
    explicit FolderWatch(const std::string& dir);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    /// "" while the folder is in place; otherwise what became of it, naming it.
    std::string problem() const;

private:
    std::string dir_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};
