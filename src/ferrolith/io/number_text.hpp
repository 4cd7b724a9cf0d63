// Numbers as C's printf spells them, appended to a string: the atom lines of
// the structure writers, formatted several times faster than printf.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace ferrolith::io {

/// printf of `format` appended to `out`.
template <class... Args> void append_format(std::string& out, const char* format, Args... args) {
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    out.append(big.data(), static_cast<std::size_t>(n));
}

/// "%e" of x.
void append_e(std::string& out, double x);

/// "%23.17g" of x.
void append_g17(std::string& out, double x);

/// Python's "%<width>.<precision>f" of x: printf's digits for finite x,
/// "nan", "inf" or "-inf" otherwise.
void append_fixed(std::string& out, double x, int precision, std::size_t width);

/// "%<width>d" of an integer.
void append_integer(std::string& out, long long value, std::size_t width);

} // namespace ferrolith::io
