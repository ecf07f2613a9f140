#pragma once
// Paths as the file system resolves them, and links it cannot resolve.

#include <string>

/// The absolute path with symbolic links, "." and ".." resolved as far as
/// the path exists: "in/p.jpg", "./in/p.jpg" and "/home/me/in/p.jpg" give one
/// answer. A path that cannot be resolved (a link loop) is made absolute and
/// normalised as text.
std::string canonical_path(const std::string& path);

/// Why `path` is a symbolic link that leads nowhere (a loop, a missing
/// target), or "" for any other path.
std::string unresolvable_link(const std::string& path);
