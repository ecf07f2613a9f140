#pragma once
// JSON strings that keep every byte of a file name.
//
// File names are bytes; JSON strings are Unicode. A byte that is not part of
// valid UTF-8 is written as the escape of a lone low surrogate, U+DC80 to
// U+DCFF, as Python writes a name it decoded with "surrogateescape" (so
// os.fsencode gives the name back there), and read back as that byte.

#include <string>

/// `bytes` as a quoted JSON string, valid UTF-8 as it is, other bytes escaped.
std::string json_string_keeping_bytes(const std::string& bytes);

/// A JSON text whose escaped bytes the JSON library can read: each such
/// escape becomes "\u0000" followed by the byte's two hex digits, which
/// restore_escaped_bytes turns back into the byte (a path holds no NUL).
std::string readable_json(const std::string& json_text);

/// A string read from readable_json's text with its bytes restored.
std::string restore_escaped_bytes(const std::string& text);
