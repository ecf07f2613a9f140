#include "base64.h"

#include <array>
#include <stdexcept>

namespace {

const int kNotInAlphabet = -1;

std::array<int, 256> alphabet_values() {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::array<int, 256> values;
    values.fill(kNotInAlphabet);
    for (std::size_t k = 0; k < alphabet.size(); ++k) values[static_cast<unsigned char>(alphabet[k])] = static_cast<int>(k);
    return values;
}

}  // namespace

std::vector<unsigned char> base64_decode(const std::string& text) {
    if (text.size() % 4 != 0) {
        throw std::runtime_error("base64 text of " + std::to_string(text.size()) +
                                 " characters: the length must be a multiple of 4");
    }
    static const std::array<int, 256> values = alphabet_values();
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t k = 0; k < text.size(); k += 4) {
        // Padding may end the last group only: "xx==" holds one byte, "xxx=" two.
        const bool last = k + 4 == text.size();
        const int padding = last ? (text[k + 3] == '=') + (text[k + 2] == '=' && text[k + 3] == '=') : 0;
        unsigned int group = 0;
        for (int i = 0; i < 4; ++i) {
            const int value = i >= 4 - padding ? 0 : values[static_cast<unsigned char>(text[k + i])];
            if (value == kNotInAlphabet) {
                throw std::runtime_error("base64 text holds a character outside its alphabet at " +
                                         std::to_string(k + i));
            }
            group = group << 6 | static_cast<unsigned int>(value);
        }
        for (int i = 0; i < 3 - padding; ++i) bytes.push_back(static_cast<unsigned char>(group >> (16 - 8 * i)));
    }
    return bytes;
}
