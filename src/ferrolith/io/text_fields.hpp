// Field splitting, stripping and number formatting for the text structure
// formats, with the rules of Python's str methods and format specs, so that a
// file reads and writes the same whether the code path is C++ or Python.
//
// Texts are UTF-8 (what Python hands over for a str); whitespace is Unicode
// whitespace as str.isspace() defines it, not just ASCII blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolith::io {

/// Byte length of the whitespace character that starts at byte `pos` of the
/// UTF-8 text (a character for which Python's str.isspace() is true), or 0
/// when the character there is not whitespace or `pos` is at the end.
std::size_t whitespace_length(std::string_view text, std::size_t pos);

/// Splits `line` into its fields as Python's str.split() without arguments
/// does: runs of whitespace separate fields, leading and trailing whitespace
/// yield no empty fields. `fields` is cleared first; its views point into `line`.
void split_fields(std::string_view line, std::vector<std::string_view>& fields);

/// Same as split_fields, returning a new vector.
std::vector<std::string_view> split_fields(std::string_view line);

/// `text` without leading and trailing whitespace, as Python's str.strip().
std::string_view strip(std::string_view text);

/// The number of characters (code points) of a UTF-8 text.
std::size_t char_count(std::string_view text);

/// Appends `text` to `out`, left-aligned and padded with blanks to at least
/// `width` characters: Python's format(text, "<width").
void append_left_aligned(std::string& out, std::string_view text, std::size_t width);

/// Appends `value` with `decimals` (0 to 40) digits after the point, correctly rounded
/// (ties to even on the exact binary value): Python's format(value, ".{decimals}f").
/// Infinities are "inf"/"-inf", NaN of either sign "nan", negative zero keeps
/// its sign ("-0.000000").
void append_fixed(std::string& out, double value, int decimals);

/// Same as append_fixed, returning the text.
std::string format_fixed(double value, int decimals);

} // namespace ferrolith::io
