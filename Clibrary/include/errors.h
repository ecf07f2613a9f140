#pragma once
// The one family of exceptions that pairfit raises itself. Each entry point
// translates them once: Python exception types, or "pairfit: error: ..." on
// the command line.

#include <stdexcept>
#include <string>

namespace pairfit {

/// Base of every error pairfit raises on purpose.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Input the algorithm cannot take: image sizes, output size and the like.
class InvalidInput : public Error {
public:
    using Error::Error;
};

/// A file or directory that cannot be written or created; names the path.
class FileError : public Error {
public:
    using Error::Error;
};

/// A failure inside OpenCV, re-raised with its message.
class LibraryError : public Error {
public:
    using Error::Error;
};

}  // namespace pairfit
