#include "pairfit/image_header.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace pairfit {

namespace {

using Bytes = std::vector<unsigned char>;

// The first `count` bytes at `offset`; fewer at the end of the file.
Bytes read_at(std::ifstream& in, std::uint64_t offset, std::size_t count) {
    Bytes bytes(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(in ? count : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

std::uint32_t big_endian(const Bytes& b, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int k = 0; k < width; ++k) value = (value << 8) | b[at + k];
    return value;
}

std::uint32_t little_endian(const Bytes& b, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int k = width - 1; k >= 0; --k) value = (value << 8) | b[at + k];
    return value;
}

bool starts_with(const Bytes& b, const char* magic) {
    const std::size_t n = std::strlen(magic);
    return b.size() >= n && std::memcmp(b.data(), magic, n) == 0;
}

std::optional<cv::Size> size_if_positive(std::int64_t width, std::int64_t height) {
    const std::int64_t int_max = 0x7fffffff;
    if (width <= 0 || height <= 0 || width > int_max || height > int_max) return std::nullopt;
    return cv::Size(static_cast<int>(width), static_cast<int>(height));
}

std::optional<cv::Size> png_size(const Bytes& head) {
    if (head.size() < 24 || std::memcmp(head.data() + 12, "IHDR", 4) != 0) return std::nullopt;
    return size_if_positive(big_endian(head, 16, 4), big_endian(head, 20, 4));
}

bool is_jpeg_frame_marker(unsigned char marker) {
    // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_jpeg_marker_without_length(unsigned char marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8);
}

// Walks the segments up to the first frame header.
std::optional<cv::Size> jpeg_size(std::ifstream& in) {
    std::uint64_t at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        Bytes b = read_at(in, at, 2);
        if (b.size() < 2 || b[0] != 0xFF) return std::nullopt;
        if (b[1] == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const unsigned char marker = b[1];
        if (is_jpeg_marker_without_length(marker)) {
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // image data before any frame
        b = read_at(in, at + 2, 7);
        if (b.size() < 2) return std::nullopt;
        if (is_jpeg_frame_marker(marker)) {
            if (b.size() < 7) return std::nullopt;
            return size_if_positive(big_endian(b, 5, 2), big_endian(b, 3, 2));
        }
        at += 2 + big_endian(b, 0, 2);
    }
    return std::nullopt;
}

std::optional<cv::Size> bmp_size(const Bytes& head) {
    if (head.size() < 26) return std::nullopt;
    if (little_endian(head, 14, 4) == 12) {  // the old OS/2 header
        return size_if_positive(little_endian(head, 18, 2), little_endian(head, 20, 2));
    }
    const auto height = static_cast<std::int32_t>(little_endian(head, 22, 4));  // negative: top-down
    return size_if_positive(static_cast<std::int32_t>(little_endian(head, 18, 4)),
                            height < 0 ? -static_cast<std::int64_t>(height) : height);
}

// The first directory's ImageWidth (256) and ImageLength (257).
std::optional<cv::Size> tiff_size(std::ifstream& in, bool big) {
    const auto number = [big](const Bytes& b, std::size_t at, int width) {
        return big ? big_endian(b, at, width) : little_endian(b, at, width);
    };
    const Bytes head = read_at(in, 0, 8);
    if (head.size() < 8 || number(head, 2, 2) != 42) return std::nullopt;
    const std::uint32_t directory = number(head, 4, 4);
    const Bytes count = read_at(in, directory, 2);
    if (count.size() < 2) return std::nullopt;
    const std::uint32_t entries = number(count, 0, 2);
    const Bytes table = read_at(in, directory + 2, 12 * entries);
    std::int64_t width = 0, height = 0;
    for (std::size_t e = 0; e + 12 <= table.size(); e += 12) {
        const std::uint32_t tag = number(table, e, 2);
        const std::uint32_t type = number(table, e + 2, 2);
        if (tag != 256 && tag != 257) continue;
        if (type != 3 && type != 4) return std::nullopt;  // SHORT or LONG
        const std::int64_t value = number(table, e + 8, type == 3 ? 2 : 4);
        (tag == 256 ? width : height) = value;
    }
    return size_if_positive(width, height);
}

std::optional<cv::Size> webp_size(const Bytes& head) {
    if (head.size() < 30 || std::memcmp(head.data() + 8, "WEBP", 4) != 0) return std::nullopt;
    if (std::memcmp(head.data() + 12, "VP8 ", 4) == 0) {
        if (head[23] != 0x9D || head[24] != 0x01 || head[25] != 0x2A) return std::nullopt;
        return size_if_positive(little_endian(head, 26, 2) & 0x3FFF, little_endian(head, 28, 2) & 0x3FFF);
    }
    if (std::memcmp(head.data() + 12, "VP8L", 4) == 0) {
        if (head[20] != 0x2F) return std::nullopt;
        const std::uint32_t bits = little_endian(head, 21, 4);
        return size_if_positive((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(head.data() + 12, "VP8X", 4) == 0) {
        return size_if_positive(little_endian(head, 24, 3) + 1, little_endian(head, 27, 3) + 1);
    }
    return std::nullopt;
}

// "P1".."P6", then width and height as decimal text between blanks and
// comments.
std::optional<cv::Size> pnm_size(const Bytes& head) {
    if (head.size() < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6') return std::nullopt;
    std::size_t at = 2;
    std::int64_t numbers[2] = {0, 0};
    for (std::int64_t& n : numbers) {
        while (at < head.size() && (std::isspace(head[at]) || head[at] == '#')) {
            if (head[at] == '#') {
                while (at < head.size() && head[at] != '\n') ++at;
            } else {
                ++at;
            }
        }
        if (at >= head.size() || !std::isdigit(head[at])) return std::nullopt;
        for (; at < head.size() && std::isdigit(head[at]) && n <= 0x7fffffff; ++at) {
            n = n * 10 + (head[at] - '0');
        }
    }
    return size_if_positive(numbers[0], numbers[1]);
}

}  // namespace

std::optional<cv::Size> image_size_from_header(const std::string& path) {
    // Only regular files: reading a FIFO or a device could block for ever.
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const Bytes head = read_at(in, 0, 512);
    if (starts_with(head, "\x89PNG\r\n\x1a\n")) return png_size(head);
    if (starts_with(head, "\xff\xd8")) return jpeg_size(in);
    if (starts_with(head, "BM")) return bmp_size(head);
    if (starts_with(head, "II*")) return tiff_size(in, false);
    if (starts_with(head, "MM")) return tiff_size(in, true);
    if (starts_with(head, "RIFF")) return webp_size(head);
    return pnm_size(head);
}

}  // namespace pairfit
