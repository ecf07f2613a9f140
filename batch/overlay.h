#pragma once
// Pictures for a person to check a batch at a glance.

#include <string>
#include <vector>

#include "report.h"

/// Where the overlay of the pair with reference `img_path` goes: NAME_overlay.png
/// beside the pair's crops (see aligned_file_paths).
std::string overlay_path(const std::string& output_dir, const std::string& img_path);

/// Writes the pair's overlay_path from its two crops, as the crops are
/// written (see save_file). Throws pairfit::FileError
/// naming the overlay and the reason when the crops cannot be read or the
/// overlay cannot be written.
void write_overlay(const std::string& output_dir, const PairResult& result);

/// Writes an HTML page listing every result, worst score first, with the
/// overlay of each pair that has one as a thumbnail (paths relative to the
/// page), and the method and correlation when the records have them. Names
/// are shown as printable() shows them: the page is valid UTF-8. Written as
/// the crops are; throws pairfit::FileError naming the page and the reason.
void write_index_html(const std::string& path, std::vector<PairResult> results,
                      const std::string& output_dir);

/// True when `path` is a regular file that is not a page write_index_html
/// made: a file of the user's that a run must not replace.
bool is_foreign_page(const std::string& path);
