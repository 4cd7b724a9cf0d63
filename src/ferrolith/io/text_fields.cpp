#include "ferrolith/io/text_fields.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace ferrolith::io {

namespace {

bool is_ascii_space(unsigned char c) {
    // \t \n \v \f \r, the four information separators \x1c-\x1f, and the blank.
    return (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x20);
}

} // namespace

std::size_t whitespace_length(std::string_view text, std::size_t pos) {
    const std::size_t n = text.size();
    if (pos >= n) {
        return 0;
    }
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[pos + k]); };
    const unsigned char c0 = byte(0);
    if (c0 < 0x80) {
        return is_ascii_space(c0) ? 1 : 0;
    }
    const std::size_t left = n - pos;
    if (c0 == 0xC2 && left >= 2) {
        // U+0085 next line, U+00A0 no-break space
        return (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
    }
    if (left < 3) {
        return 0;
    }
    const unsigned char c1 = byte(1);
    const unsigned char c2 = byte(2);
    if (c0 == 0xE1) {
        return (c1 == 0x9A && c2 == 0x80) ? 3 : 0; // U+1680 ogham space mark
    }
    if (c0 == 0xE2 && c1 == 0x80) {
        // U+2000..U+200A spaces, U+2028/U+2029 separators, U+202F narrow no-break
        return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
    }
    if (c0 == 0xE2 && c1 == 0x81) {
        return c2 == 0x9F ? 3 : 0; // U+205F medium mathematical space
    }
    if (c0 == 0xE3) {
        return (c1 == 0x80 && c2 == 0x80) ? 3 : 0; // U+3000 ideographic space
    }
    return 0;
}

namespace {

// Byte length of the (non-blank) character at `pos`: the UTF-8 sequence length
// from its lead byte, clipped to the text. Continuation bytes count as 1, so a
// malformed text still advances.
std::size_t char_length(std::string_view text, std::size_t pos) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    std::size_t length = 1;
    if (c >= 0xF0) {
        length = 4;
    } else if (c >= 0xE0) {
        length = 3;
    } else if (c >= 0xC0) {
        length = 2;
    }
    return std::min(length, text.size() - pos);
}

} // namespace

void split_fields(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    const std::size_t n = line.size();
    std::size_t pos = 0;
    while (pos < n) {
        // Skip whitespace.
        std::size_t blank = whitespace_length(line, pos);
        while (blank != 0) {
            pos += blank;
            blank = whitespace_length(line, pos);
        }
        if (pos >= n) {
            break;
        }
        const std::size_t start = pos;
        while (pos < n && whitespace_length(line, pos) == 0) {
            pos += char_length(line, pos);
        }
        fields.push_back(line.substr(start, pos - start));
    }
}

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    split_fields(line, fields);
    return fields;
}

std::string_view strip(std::string_view text) {
    const std::size_t n = text.size();
    std::size_t pos = 0;
    for (std::size_t blank = whitespace_length(text, pos); blank != 0;
         blank = whitespace_length(text, pos)) {
        pos += blank;
    }
    const std::size_t start = pos;
    std::size_t end = pos; // end of the last non-blank character seen
    while (pos < n) {
        const std::size_t blank = whitespace_length(text, pos);
        if (blank != 0) {
            pos += blank;
        } else {
            pos += char_length(text, pos);
            end = pos;
        }
    }
    return text.substr(start, end - start);
}

std::size_t char_count(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        // Every character has exactly one byte that is not a continuation byte.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

void append_left_aligned(std::string& out, std::string_view text, std::size_t width) {
    out.append(text);
    const std::size_t count = char_count(text);
    if (count < width) {
        out.append(width - count, ' ');
    }
}

void append_fixed(std::string& out, double value, int decimals) {
    if (std::isnan(value)) {
        out.append("nan"); // Python drops the sign of a NaN
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    // 309 integer digits at most, a sign, a point and up to 40 decimals.
    std::array<char, 360> buffer{};
    const int precision = decimals < 0 ? 0 : (decimals > 40 ? 40 : decimals);
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                   std::chars_format::fixed, precision);
    if (ec == std::errc()) {
        out.append(buffer.data(), end);
    }
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    append_fixed(out, value, decimals);
    return out;
}

} // namespace ferrolith::io
