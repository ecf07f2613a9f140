#include "pairfit/image_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace pairfit {

namespace {

using Bytes = std::vector<unsigned char>;

// Text headers (PNM comments, Radiance lines) longer than this are refused
// rather than read to the end of a file that may be gigabytes of nothing.
const std::uint64_t kTextHeaderLimit = 1 << 20;

// OpenCV's decoders refuse more than four channels; more components would
// multiply a JPEG 2000 decoder's memory beyond what the pixel count says.
const int kMostComponents = 4;

// A regular file read through a buffer, byte by byte or in blocks.
class FileBytes {
public:
    explicit FileBytes(int fd) : file_(fdopen(fd, "rb")) {
        if (file_ == nullptr) close(fd);
    }
    ~FileBytes() {
        if (file_ != nullptr) std::fclose(file_);
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    bool is_open() const { return file_ != nullptr; }

    /// The next byte, or EOF at the end of the file or of the text limit.
    int next() {
        if (position_ >= limit_) return EOF;
        const int c = std::getc(file_);
        if (c != EOF) ++position_;
        return c;
    }

    bool seek(std::uint64_t offset) {
        position_ = offset;
        return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0;
    }

    /// Up to `count` bytes from here; fewer at the end of the file.
    Bytes read(std::size_t count) {
        Bytes bytes(count);
        bytes.resize(std::fread(bytes.data(), 1, count, file_));
        position_ += bytes.size();
        return bytes;
    }

    Bytes read_at(std::uint64_t offset, std::size_t count) {
        return seek(offset) ? read(count) : Bytes();
    }

    /// Moves `count` bytes on; short skips read through the buffer, since a
    /// seek would drop it (a file of many tiny segments must stay cheap).
    void skip(std::uint64_t count) {
        if (count > 4096) {
            seek(position_ + count);
            return;
        }
        for (; count > 0 && next() != EOF; --count) {
        }
    }

    std::uint64_t position() const { return position_; }

    /// Text headers end here.
    void limit_text() { limit_ = position_ + kTextHeaderLimit; }

private:
    std::FILE* file_;
    std::uint64_t position_ = 0;
    std::uint64_t limit_ = UINT64_MAX;
};

std::uint64_t big_endian(const Bytes& b, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int k = 0; k < width; ++k) value = (value << 8) | b[at + k];
    return value;
}

std::uint64_t little_endian(const Bytes& b, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int k = width - 1; k >= 0; --k) value = (value << 8) | b[at + k];
    return value;
}

std::int32_t signed_32(std::uint64_t value) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

bool starts_with(const Bytes& b, const char* magic, std::size_t n) {
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

// --- JPEG ----------------------------------------------------------------

bool is_jpeg_frame_marker(int marker) {
    // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_jpeg_marker_without_length(int marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

// The next marker as libjpeg finds it: stray bytes and fill bytes (0xFF)
// before it are skipped, and 0xFF 0x00 is no marker. EOF at the end.
int next_jpeg_marker(FileBytes& in) {
    for (;;) {
        int c = in.next();
        while (c != 0xFF && c != EOF) c = in.next();
        do c = in.next();
        while (c == 0xFF);
        if (c != 0) return c;
    }
}

// Walks the segments to the first frame header, however many segments or
// fill bytes come before it: libjpeg takes the size from that header.
std::optional<cv::Size> jpeg_size(FileBytes& in) {
    if (!in.seek(2)) return std::nullopt;
    for (;;) {
        const int marker = next_jpeg_marker(in);
        if (marker == EOF || marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;
        if (is_jpeg_marker_without_length(marker)) continue;
        const Bytes segment = in.read(2);
        if (segment.size() < 2 || big_endian(segment, 0, 2) < 2) return std::nullopt;
        if (is_jpeg_frame_marker(marker)) {
            const Bytes frame = in.read(5);  // precision, height, width
            if (frame.size() < 5) return std::nullopt;
            return size_if_positive(big_endian(frame, 3, 2), big_endian(frame, 1, 2));
        }
        in.skip(big_endian(segment, 0, 2) - 2);
    }
}

std::optional<cv::Size> bmp_size(const Bytes& head) {
    if (head.size() < 26) return std::nullopt;
    if (little_endian(head, 14, 4) == 12) {  // the old OS/2 header
        return size_if_positive(little_endian(head, 18, 2), little_endian(head, 20, 2));
    }
    const std::int64_t height = signed_32(little_endian(head, 22, 4));  // negative: top-down
    return size_if_positive(signed_32(little_endian(head, 18, 4)), height < 0 ? -height : height);
}

// --- TIFF and BigTIFF ----------------------------------------------------

// How one of the two layouts spells its first directory.
struct TiffLayout {
    bool big_endian_order;
    bool big;  // BigTIFF: 8-byte offsets and counts, 20-byte entries

    std::uint64_t number(const Bytes& b, std::size_t at, int width) const {
        return big_endian_order ? big_endian(b, at, width) : little_endian(b, at, width);
    }
    int offset_width() const { return big ? 8 : 4; }
    int count_width() const { return big ? 8 : 2; }
    std::size_t entry_width() const { return big ? 20 : 12; }
};

// The width of a TIFF field type that can hold a size: SHORT, LONG, LONG8.
int tiff_integer_width(std::uint64_t type) {
    switch (type) {
        case 3: return 2;
        case 4: return 4;
        case 16: return 8;
        default: return 0;
    }
}

// The first directory's ImageWidth (256) and ImageLength (257): the page
// OpenCV decodes.
std::optional<cv::Size> tiff_size(FileBytes& in, const TiffLayout& layout) {
    const Bytes head = in.read_at(0, 16);
    if (head.size() < 16) return std::nullopt;
    const std::uint64_t directory = layout.number(head, layout.big ? 8 : 4, layout.offset_width());
    const Bytes count = in.read_at(directory, layout.count_width());
    if (count.size() < static_cast<std::size_t>(layout.count_width())) return std::nullopt;
    const std::uint64_t entries = layout.number(count, 0, layout.count_width());
    if (entries > 0xFFFF) return std::nullopt;
    const Bytes table = in.read(layout.entry_width() * entries);
    std::int64_t width = 0, height = 0;
    for (std::size_t e = 0; e + layout.entry_width() <= table.size(); e += layout.entry_width()) {
        const std::uint64_t tag = layout.number(table, e, 2);
        if (tag != 256 && tag != 257) continue;
        const int width_of_value = tiff_integer_width(layout.number(table, e + 2, 2));
        if (width_of_value == 0 || width_of_value > layout.offset_width()) return std::nullopt;
        const std::uint64_t value = layout.number(table, e + 4 + layout.offset_width(), width_of_value);
        if (value > 0x7fffffff) return std::nullopt;
        (tag == 256 ? width : height) = static_cast<std::int64_t>(value);
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
        const std::uint64_t bits = little_endian(head, 21, 4);
        return size_if_positive((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (std::memcmp(head.data() + 12, "VP8X", 4) == 0) {
        return size_if_positive(little_endian(head, 24, 3) + 1, little_endian(head, 27, 3) + 1);
    }
    return std::nullopt;
}

// --- Text headers: PNM, PAM, PFM, Radiance -------------------------------

bool is_blank(int c) { return c != EOF && std::isspace(c) != 0; }
bool is_digit(int c) { return c != EOF && std::isdigit(c) != 0; }

// A decimal number as OpenCV's PxM reader takes it: blanks and '#' comments
// (to the end of the line) before it; nothing for anything else.
std::optional<std::int64_t> text_number(FileBytes& in) {
    int c = in.next();
    while (!is_digit(c)) {
        if (c == '#') {
            do c = in.next();
            while (c != '\n' && c != '\r' && c != EOF);
            if (c == EOF) return std::nullopt;
            c = in.next();
        } else if (is_blank(c)) {
            c = in.next();
        } else {
            return std::nullopt;
        }
    }
    std::int64_t value = 0;
    for (; is_digit(c); c = in.next()) {
        value = value * 10 + (c - '0');
        if (value > 0x7fffffff) return std::nullopt;
    }
    return value;
}

// "P1".."P6" and PFM's "PF"/"Pf": width, then height.
std::optional<cv::Size> width_then_height(FileBytes& in) {
    if (!in.seek(2)) return std::nullopt;
    in.limit_text();
    const std::optional<std::int64_t> width = text_number(in);
    const std::optional<std::int64_t> height = width ? text_number(in) : std::nullopt;
    if (!height) return std::nullopt;
    return size_if_positive(*width, *height);
}

// One line of a text header without its end; false at the end of the file
// or the text limit.
bool text_line(FileBytes& in, std::string& line) {
    line.clear();
    int c = in.next();
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = in.next()) line += static_cast<char>(c);
    return true;
}

// PAM: lines "WIDTH n", "HEIGHT n", "DEPTH n" and others up to "ENDHDR";
// '#' lines are comments.
std::optional<cv::Size> pam_size(FileBytes& in) {
    if (!in.seek(3)) return std::nullopt;
    in.limit_text();
    std::int64_t width = 0, height = 0, depth = 1;
    std::string line;
    while (text_line(in, line)) {
        std::size_t at = line.find_first_not_of(" \t\r\v\f");
        if (at == std::string::npos || line[at] == '#') continue;
        const std::size_t end = line.find_first_of(" \t\r\v\f", at);
        const std::string word = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (word == "ENDHDR") {
            if (depth < 1 || depth > kMostComponents) return std::nullopt;
            return size_if_positive(width, height);
        }
        if (word != "WIDTH" && word != "HEIGHT" && word != "DEPTH") continue;
        char* number_end = nullptr;
        const char* value = line.c_str() + (end == std::string::npos ? line.size() : end);
        const long long number = std::strtoll(value, &number_end, 10);
        if (number_end == value || number <= 0 || number > 0x7fffffff) return std::nullopt;
        (word == "WIDTH" ? width : word == "HEIGHT" ? height : depth) = number;
    }
    return std::nullopt;
}

// Radiance: "#?" lines up to an empty one, then "-Y height +X width", the
// one orientation OpenCV reads.
std::optional<cv::Size> radiance_size(FileBytes& in) {
    if (!in.seek(0)) return std::nullopt;
    in.limit_text();
    std::string line;
    while (text_line(in, line) && !line.empty()) {
    }
    if (!text_line(in, line)) return std::nullopt;
    const char* text = line.c_str();
    char* end = nullptr;
    const auto number_after = [&text, &end](const char* label) -> std::int64_t {
        while (std::isspace(static_cast<unsigned char>(*text))) ++text;
        if (std::strncmp(text, label, 2) != 0) return -1;
        text += 2;
        const long long value = std::strtoll(text, &end, 10);
        if (end == text) return -1;
        text = end;
        return value;
    };
    const std::int64_t height = number_after("-Y");
    const std::int64_t width = height > 0 ? number_after("+X") : -1;
    return size_if_positive(width, height);
}

// --- JPEG 2000, OpenEXR, Sun raster ---------------------------------------

// A codestream's SIZ segment, right after its SOC marker at the current
// position: the image area and the number of components.
std::optional<cv::Size> codestream_size(FileBytes& in) {
    const Bytes siz = in.read(42);  // SOC, SIZ marker, Lsiz, Rsiz, 8 numbers, Csiz
    if (siz.size() < 42 || big_endian(siz, 0, 4) != 0xFF4FFF51) return std::nullopt;
    const std::uint64_t x1 = big_endian(siz, 8, 4), y1 = big_endian(siz, 12, 4);
    const std::uint64_t x0 = big_endian(siz, 16, 4), y0 = big_endian(siz, 20, 4);
    const std::uint64_t components = big_endian(siz, 40, 2);
    if (x0 >= x1 || y0 >= y1 || components < 1 || components > kMostComponents) return std::nullopt;
    return size_if_positive(static_cast<std::int64_t>(x1 - x0), static_cast<std::int64_t>(y1 - y0));
}

// JP2: boxes up to the contiguous codestream ("jp2c"), whose size the
// decoder uses.
std::optional<cv::Size> jp2_size(FileBytes& in) {
    std::uint64_t at = 0;
    for (int boxes = 0; boxes < 4096; ++boxes) {
        const Bytes box = in.read_at(at, 16);
        if (box.size() < 8) return std::nullopt;
        std::uint64_t length = big_endian(box, 0, 4);
        std::uint64_t header = 8;
        if (length == 1) {
            if (box.size() < 16) return std::nullopt;
            length = big_endian(box, 8, 8);
            header = 16;
        }
        if (std::memcmp(box.data() + 4, "jp2c", 4) == 0) {
            return in.seek(at + header) ? codestream_size(in) : std::nullopt;
        }
        if (length < header) return std::nullopt;  // 0: the last box, and not the codestream
        at += length;
    }
    return std::nullopt;
}

// OpenEXR: the "dataWindow" attribute (a box2i) of the single-part header.
std::optional<cv::Size> exr_size(FileBytes& in) {
    const Bytes version = in.read_at(4, 4);
    if (version.size() < 4) return std::nullopt;
    const std::uint64_t flags = little_endian(version, 0, 4);
    const std::uint64_t multipart_or_deep = 0x1000 | 0x800;
    if ((flags & multipart_or_deep) != 0) return std::nullopt;
    in.limit_text();
    for (int attributes = 0; attributes < 1024; ++attributes) {
        std::string name, type;
        for (std::string* text : {&name, &type}) {
            for (int c = in.next(); c != 0; c = in.next()) {
                if (c == EOF || text->size() > 255) return std::nullopt;
                *text += static_cast<char>(c);
            }
        }
        if (name.empty()) return std::nullopt;  // the header ended without it
        const Bytes size = in.read(4);
        if (size.size() < 4) return std::nullopt;
        const std::uint64_t value_size = little_endian(size, 0, 4);
        if (name == "dataWindow" && type == "box2i" && value_size == 16) {
            const Bytes box = in.read(16);
            if (box.size() < 16) return std::nullopt;
            const std::int64_t x_min = signed_32(little_endian(box, 0, 4)), y_min = signed_32(little_endian(box, 4, 4));
            const std::int64_t x_max = signed_32(little_endian(box, 8, 4)), y_max = signed_32(little_endian(box, 12, 4));
            return size_if_positive(x_max - x_min + 1, y_max - y_min + 1);
        }
        in.skip(value_size);
    }
    return std::nullopt;
}

std::optional<cv::Size> sun_raster_size(const Bytes& head) {
    if (head.size() < 12) return std::nullopt;
    return size_if_positive(signed_32(big_endian(head, 4, 4)), signed_32(big_endian(head, 8, 4)));
}

// --- Formats by their signatures, as OpenCV tells them apart --------------

// 'P', one of `kinds`, a blank: PNM ("123456"), PAM ("7"), PFM ("Ff").
bool is_netpbm(const Bytes& h, const char* kinds) {
    return h.size() >= 3 && h[0] == 'P' && h[1] != 0 && std::strchr(kinds, h[1]) != nullptr && is_blank(h[2]);
}

// A format OpenCV tells by its signature, and the size its header holds.
struct Measured {
    const char* format = nullptr;  // null: no format OpenCV decodes here
    std::optional<cv::Size> size;
};

Measured size_by_signature(FileBytes& in, const Bytes& head) {
    if (starts_with(head, "\x89PNG\r\n\x1a\n", 8)) return {"PNG", png_size(head)};
    if (starts_with(head, "\xff\xd8\xff", 3)) return {"JPEG", jpeg_size(in)};
    if (starts_with(head, "BM", 2)) return {"BMP", bmp_size(head)};
    if (starts_with(head, "II*\0", 4)) return {"TIFF", tiff_size(in, {false, false})};
    if (starts_with(head, "MM\0*", 4)) return {"TIFF", tiff_size(in, {true, false})};
    if (starts_with(head, "II+\0\x08\0\0\0", 8)) return {"BigTIFF", tiff_size(in, {false, true})};
    if (starts_with(head, "MM\0+\0\x08\0\0", 8)) return {"BigTIFF", tiff_size(in, {true, true})};
    if (starts_with(head, "RIFF", 4)) return {"WebP", webp_size(head)};
    if (is_netpbm(head, "123456")) return {"PNM", width_then_height(in)};
    if (is_netpbm(head, "Ff")) return {"PFM", width_then_height(in)};
    if (is_netpbm(head, "7")) return {"PAM", pam_size(in)};
    if (starts_with(head, "#?RGBE", 6) || starts_with(head, "#?RADIANCE", 10)) {
        return {"Radiance HDR", radiance_size(in)};
    }
    if (starts_with(head, "\xff\x4f\xff\x51", 4)) {
        return {"JPEG 2000", in.seek(0) ? codestream_size(in) : std::nullopt};
    }
    if (starts_with(head, "\0\0\0\x0cjP  \r\n\x87\n", 12)) return {"JPEG 2000", jp2_size(in)};
    if (starts_with(head, "\x76\x2f\x31\x01", 4)) return {"OpenEXR", exr_size(in)};
    if (starts_with(head, "\x59\xa6\x6a\x95", 4)) return {"Sun raster", sun_raster_size(head)};
    return {};
}

std::string problem_of_errno(int error) {
    if (error == ENOENT || error == ENOTDIR) return "not found";
    if (error == EACCES || error == EPERM) return "permission denied";
    return std::strerror(error);
}

}  // namespace

ImageFileCheck check_image_file(const std::string& path) {
    // Only regular files are opened: opening a FIFO or a device could block
    // for ever. The descriptor is checked again, in case the name changed
    // hands in between, and a FIFO is not waited for.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {std::nullopt, problem_of_errno(errno)};
    if (!S_ISREG(st.st_mode)) return {std::nullopt, "not a regular file"};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {std::nullopt, problem_of_errno(errno)};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return {std::nullopt, "not a regular file"};
    }
    FileBytes in(fd);
    if (!in.is_open()) return {std::nullopt, problem_of_errno(errno)};
    const Measured measured = size_by_signature(in, in.read(512));
    if (measured.format == nullptr) return {std::nullopt, "cannot be decoded: not an image format OpenCV reads here"};
    if (!measured.size) {
        return {std::nullopt, std::string("cannot be decoded: its ") + measured.format +
                                  " header holds no size that OpenCV would take"};
    }
    return {measured.size, ""};
}

}  // namespace pairfit
