#pragma once
// Base64 (RFC 4648, with padding), the way files travel inside JSON lines.

#include <string>
#include <vector>

/// The bytes `text` encodes. Throws std::runtime_error for a character
/// outside the alphabet or a length that is not a multiple of four.
std::vector<unsigned char> base64_decode(const std::string& text);
