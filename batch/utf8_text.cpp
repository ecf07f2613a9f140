#include "utf8_text.h"

#include <cstdio>

namespace {

bool is_continuation(const std::string& s, std::size_t at) {
    return at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80;
}

std::string hex_escape(unsigned char byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    return text;
}

bool is_control(const std::string& text, std::size_t at, std::size_t length) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (length == 1) return lead < 0x20 || lead == 0x7F;
    // U+0080 to U+009F: terminals take U+009B as the start of a sequence.
    return length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
}

}  // namespace

std::size_t utf8_length(const std::string& s, std::size_t at) {
    const unsigned char lead = static_cast<unsigned char>(s[at]);
    if (lead < 0x80) return 1;
    const std::size_t n = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    for (std::size_t k = 1; k < n; ++k) {
        if (!is_continuation(s, at + k)) return 0;
    }
    if (n < 3) return n;
    const unsigned char second = static_cast<unsigned char>(s[at + 1]);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
        return 0;
    }
    return n;
}

std::string printable(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = utf8_length(text, at);
        if (n == 0 || is_control(text, at, n)) {
            for (std::size_t k = 0; k < (n == 0 ? 1 : n); ++k) {
                out += hex_escape(static_cast<unsigned char>(text[at + k]));
            }
        } else {
            out.append(text, at, n);
        }
        at += n == 0 ? 1 : n;
    }
    return out;
}
