#include "ferrolith/io/number_text.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace ferrolith::io {

// std::to_chars gives the digits printf gives ("as if by printf" in the C
// locale); printf takes over for what to_chars spells differently (inf, nan).

namespace {

// Appends `text` right-aligned in `width` columns.
void append_padded(std::string& out, const char* text, std::size_t n, std::size_t width) {
    if (n < width) {
        out.append(width - n, ' ');
    }
    out.append(text, n);
}

} // namespace

void append_e(std::string& out, double x) {
    if (!std::isfinite(x)) {
        append_format(out, "%e", x);
        return;
    }
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific, 6);
    out.append(buffer, r.ptr);
}

void append_g17(std::string& out, double x) {
    if (!std::isfinite(x)) {
        append_format(out, "%23.17g", x);
        return;
    }
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::general, 17);
    append_padded(out, buffer, static_cast<std::size_t>(r.ptr - buffer), 23);
}

void append_fixed(std::string& out, double x, int precision, std::size_t width) {
    if (!std::isfinite(x)) {
        // Python spells a NaN of either sign "nan", where printf may say "-nan".
        const char* text = std::isnan(x) ? "nan" : (x > 0 ? "inf" : "-inf");
        append_padded(out, text, std::char_traits<char>::length(text), width);
        return;
    }
    char buffer[400];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, precision);
    append_padded(out, buffer, static_cast<std::size_t>(r.ptr - buffer), width);
}

void append_integer(std::string& out, long long value, std::size_t width) {
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    append_padded(out, buffer, static_cast<std::size_t>(r.ptr - buffer), width);
}

} // namespace ferrolith::io
