#include "json_bytes.h"

#include <cstdio>

#include "utf8_text.h"

namespace {

std::string unicode_escape(unsigned code) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", code);
    return text;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code of the \uXXXX escape at `at` (which holds the backslash), or -1.
long escape_code(const std::string& text, std::size_t at) {
    if (at + 6 > text.size() || text[at + 1] != 'u') return -1;
    long code = 0;
    for (std::size_t k = at + 2; k < at + 6; ++k) {
        const int digit = hex_value(text[k]);
        if (digit < 0) return -1;
        code = code * 16 + digit;
    }
    return code;
}

}  // namespace

std::string json_string_keeping_bytes(const std::string& bytes) {
    std::string out = "\"";
    for (std::size_t at = 0; at < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        const std::size_t n = utf8_length(bytes, at);
        if (n == 0) {
            out += unicode_escape(0xDC00 + c);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += unicode_escape(c);
        } else {
            out.append(bytes, at, n);
        }
        at += n == 0 ? 1 : n;
    }
    return out + "\"";
}

std::string readable_json(const std::string& json_text) {
    std::string out;
    bool after_high_surrogate = false;
    for (std::size_t at = 0; at < json_text.size(); ++at) {
        if (json_text[at] != '\\') {
            out += json_text[at];
            after_high_surrogate = false;
            continue;
        }
        const long code = escape_code(json_text, at);
        if (code >= 0xDC80 && code <= 0xDCFF && !after_high_surrogate) {
            out += "\\u0000";
            out += json_text.substr(at + 4, 2);
        } else {
            // Any other escape is copied whole, so that "\\u..." stays text.
            out += json_text.substr(at, code >= 0 ? 6 : 2);
        }
        after_high_surrogate = code >= 0xD800 && code <= 0xDBFF;
        at += (code >= 0 ? 6 : 2) - 1;
    }
    return out;
}

std::string restore_escaped_bytes(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\0' && at + 2 < text.size() && hex_value(text[at + 1]) >= 0 &&
            hex_value(text[at + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[at + 1]) * 16 + hex_value(text[at + 2]));
            at += 2;
        } else {
            out += text[at];
        }
    }
    return out;
}
