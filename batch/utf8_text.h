#pragma once
// File names shown to a person. A name is any bytes: shown raw, its escape
// sequences would drive the terminal, and its bytes that are not UTF-8
// would make a page invalid.

#include <cstddef>
#include <string>

/// The length of the valid UTF-8 sequence at `at`, or 0 when its byte starts
/// none (overlong forms and surrogates are not valid).
std::size_t utf8_length(const std::string& text, std::size_t at);

/// `text` safe on a terminal and valid UTF-8 for a page: control characters
/// (C0 ones, DEL and the C1 ones U+0080 to U+009F) and bytes that are not
/// UTF-8 written as \xNN.
std::string printable(const std::string& text);
